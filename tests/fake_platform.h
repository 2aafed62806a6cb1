// A scripted platform with a virtual clock, for running the launcher core in
// tests: files, kernels, mutexes and command effects are set up beforehand,
// time passes only in pauses and waits, and every call is recorded in order.
#ifndef LAUNCHER_TESTS_FAKE_PLATFORM_H
#define LAUNCHER_TESTS_FAKE_PLATFORM_H

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// What one started kernel does, at times counted from its start.
class KernelScript {
public:
    KernelScript& At(unsigned milliseconds);
    KernelScript& Creates(const std::string& file, const std::string& content = "");
    KernelScript& Deletes(const std::string& file);
    KernelScript& Exits(std::uint32_t code = 0);
    // The system's time is set forward (or back) by that many seconds.
    KernelScript& SetsClock(Seconds by);

private:
    friend class FakePlatform;
    enum class Action { Create, Delete, Exit, SetClock };
    struct Step {
        unsigned at;
        Action action;
        std::string file;
        std::string content;
        Seconds by = 0;
        std::uint32_t code = 0;
    };
    unsigned at_ = 0;
    std::vector<Step> steps_;
};

class FakePlatform final : public Platform {
public:
    // The clock starts here, in whole seconds since the epoch.
    static constexpr Seconds Epoch = 1700000000;

    FakePlatform();

    // ---- Setting up a scenario ----

    // A file (or directory) modified the given number of seconds ago.
    void AddFile(const std::string& name, const std::string& content = "", Seconds age = 0);
    void SetModified(const std::string& name, Seconds time);
    void AddDirectory(const std::string& name);
    // Removing it fails until the read-only attribute is cleared.
    void MakeReadOnly(const std::string& name) { files_.at(name).readOnly = true; }
    // Another program holds the file of this name for that long from now,
    // as a virus scanner does: removing it, or moving it away, fails, now or
    // once it exists.
    void HoldFile(const std::string& name, long long milliseconds) {
        heldUntil_[name] = nowMs_ + milliseconds;
    }
    // Held for ever (a file in use, or a directory without permission).
    void MakeUndeletable(const std::string& name) { heldUntil_[name] = LLONG_MAX; }
    // What the next launch starts; a kernel with no script keeps running.
    KernelScript& NextKernel();
    // This command never finishes by itself: it is ended when its time is up.
    void HangCommand(const std::string& command) { hanging_.insert(command); }
    // The next launch fails with this Windows error code, classed as the
    // Windows layer does (start_failure.h): 5, 32 and 33 mean the file is in
    // use; 2, 3, 11, 193, 216 and 740 that it is broken; any other code
    // passes.
    void FailNextLaunch(int error);
    // Another process holds the name; "taskkill" frees it after that many
    // kills have failed to.
    void HoldMutexElsewhere(const std::string& name, int killsSurvived = 0);
    // The creation of this name fails.
    void FailMutex(const std::string& name);
    // The launcher is stopped at this virtual time (ms), if still running.
    void StopAt(long long milliseconds) { stopAt_ = milliseconds; }
    // The machine sleeps for that long in the pause that spans this virtual
    // time (ms): the clock and the tick count run on, as Windows' do.
    void SuspendAt(long long at, long long milliseconds) {
        suspendAt_ = at;
        suspendedFor_ = milliseconds;
    }
    // The launcher dies right after its n-th platform call, queries included.
    void CutAfter(size_t calls) { cutAfter_ = calls; }
    // The files an earlier run left, as a fresh launcher finds them.
    void KeepFilesOf(const FakePlatform& earlier);
    // A kernel file with this content is no program: it fails to start with
    // 193 (ERROR_BAD_EXE_FORMAT).
    static constexpr char NotAProgram[] = "not a program";
    // The directory of the launcher's executable. Its files, named under it,
    // become those of the working directory once the launcher enters it;
    // where no file is named under it, the launcher was started in it.
    static constexpr char ProgramDir[] = "C:\\NX8\\";
    // The launcher's process id; a kernel's is its number, #1 on.
    static constexpr std::uint32_t LauncherProcessId = 4242;
    // The executable's directory cannot be told or entered.
    void LoseProgramDirectory() { programDirectoryLost_ = true; }

    // ---- Running ----

    // Runs the launcher with these arguments (the program name is added);
    // the exit code, or nothing when it was still running at StopAt.
    std::optional<int> Run(const std::vector<std::string>& arguments);

    // ---- Looking at the result ----

    // Every call, in order. Effects leaves out the queries (the clocks, file
    // status, the process id, a process's exit) and the calls that keep the
    // launcher's record, which a test reads as a file; Timeline adds the
    // virtual time (s.mmm) of each entry.
    std::vector<std::string> Calls() const;
    std::vector<std::string> Effects() const;
    std::vector<std::string> Timeline() const;

    bool HasFile(const std::string& name) const { return files_.count(name) != 0; }
    std::string Content(const std::string& name) const;
    // The launcher has an open handle on this name.
    bool Holds(const std::string& name) const;
    long long NowMs() const { return nowMs_; }
    int KernelsStarted() const { return static_cast<int>(processes_.size()); }
    int KernelsRunning() const;

    // ---- Platform ----

    void FreeConsole() override;
    void SetLocale(const char* name) override;
    FileStatus QueryFileStatus(const char* name) override;
    bool RemoveFile(const char* name) override;
    void ClearReadOnly(const char* name) override;
    bool CreateEmptyFile(const char* name) override;
    bool AppendToFile(const char* name, const char* text) override;
    bool EmptyFile(const char* name) override;
    bool RenameFile(const char* from, const char* to) override;
    bool EnterProgramDirectory() override;
    Seconds CurrentTime() override;
    Milliseconds TickCount() override;
    // The clock read as the local time of a machine whose time zone is UTC.
    LocalTime CurrentLocalTime() override;
    std::uint32_t ProcessId() override { return LauncherProcessId; }
    void WriteOutput(const char* text) override;
    void ShowNotice(const char* text, const char* caption) override;
    void NoticeToUtf8(const char* notice, char* text, std::size_t size) override;
    MutexResult CreateNamedMutex(const char* name) override;
    void CloseHandle(Handle handle) override;
    void OpenWebAddress(const char* address) override;
    bool RunCommand(const char* command, unsigned milliseconds) override;
    LaunchResult StartProcess(const char* commandLine) override;
    void TerminateProcess(Handle process, unsigned exitCode) override;
    bool WaitForProcessEnd(Handle process, unsigned milliseconds) override;
    // As the Windows layer tells the exit code a kernel's script gave, or
    // the one it was terminated with.
    void DescribeExit(Handle process, char* text, std::size_t size) override;
    void Sleep(unsigned milliseconds) override;

private:
    struct File {
        Seconds modified;
        std::string content;
        bool directory = false;
        bool readOnly = false;
    };
    struct Process {
        bool ended;
        std::uint32_t exitCode;
    };
    struct Event {
        long long at;
        size_t process;
        KernelScript::Step step;
    };
    struct Launch {
        bool fails;
        int error;
        KernelScript script;
    };
    struct Entry {
        long long at;
        bool query;
        std::string text;
    };
    struct StillRunning {};

    Seconds Now() const { return Epoch + clockSetBy_ + nowMs_ / 1000; }
    void Record(std::string text, bool query = false);
    void RecordAt(long long at, std::string text, bool query = false);
    void AdvanceTo(long long milliseconds);
    void Apply(const Event& event);
    void CheckLimits() const;
    size_t ProcessOf(Handle handle) const;
    bool Held(const std::string& name) const;
    bool Move(const std::string& from, const std::string& to);
    void KillKernels();

    long long nowMs_ = 0;
    Seconds clockSetBy_ = 0;
    long long stopAt_;
    size_t cutAfter_ = SIZE_MAX;
    long long suspendAt_ = -1;
    long long suspendedFor_ = 0;
    bool programDirectoryLost_ = false;
    std::map<std::string, File> files_;
    std::map<std::string, long long> heldUntil_;  // virtual ms
    std::set<std::string> hanging_;
    std::vector<Launch> launches_;  // scripted, in launch order
    size_t nextLaunch_ = 0;
    std::vector<Process> processes_;
    std::vector<Event> events_;                 // pending, in time order
    std::map<std::string, int> heldElsewhere_;  // name -> kills it survives
    std::vector<std::string> failingMutexes_;
    std::map<Handle, std::string> mutexHandles_;  // open, held by the launcher
    Handle nextMutexHandle_ = 1000;
    std::vector<Entry> trace_;
};

#endif
