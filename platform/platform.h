// The operating-system services the launcher calls, gathered in one interface.
//
// The launcher core calls nothing else of the system: processes, named mutexes,
// notices, the web browser, the command interpreter, file status, creation,
// appending, renaming and removal, the working directory, the clocks and the
// process id, pauses, the console and the locale all pass through here. The
// build links exactly one implementation (platform/windows or
// platform/posix); the tests bring a scripted one with a virtual clock.
#ifndef LAUNCHER_PLATFORM_PLATFORM_H
#define LAUNCHER_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

// A process or named-mutex handle as the platform gives it out (a Windows
// HANDLE; on POSIX a descriptor, or a negated process id where there are no
// pidfds). The core only stores it and hands it back.
using Handle = std::intptr_t;
constexpr Handle NoHandle = 0;

// Whole seconds since 1970-01-01 00:00 UTC.
using Seconds = std::int64_t;
using Milliseconds = std::int64_t;

// All but found are meaningful only when the query succeeded.
struct FileStatus {
    bool found;        // the status query succeeded
    Seconds modified;  // last modification
    bool directory;
    bool readOnly;      // a removal would be refused for it
    std::int64_t size;  // bytes
};

// A date and time of day in the system's time zone.
struct LocalTime {
    int year;
    int month;  // 1 to 12
    int day;
    int hour;
    int minute;
    int second;
};

struct MutexResult {
    Handle mutex;        // NoHandle when the creation failed
    bool alreadyExists;  // another holder had the name already
};

// Why a program did not start.
enum class StartFailure {
    Held,    // another program holds the file for now: a scanner, an indexer, a backup tool
    Broken,  // the file is no program this system can start: not there, a directory, not a
             // program of this system
    Other,   // anything else, which may pass: memory or processes short, access refused, a
             // disk error
};

struct LaunchResult {
    bool started;
    Handle process;           // the new process, when started
    std::uint32_t processId;  // and the system's id of it
    int error;                // the platform's error code, when not started
    StartFailure failure;     // why, when not started
};

inline LaunchResult Started(Handle process, std::uint32_t processId) {
    LaunchResult launch = {};
    launch.started = true;
    launch.process = process;
    launch.processId = processId;
    return launch;
}

inline LaunchResult NotStarted(int error, StartFailure failure) {
    return {false, NoHandle, 0, error, failure};
}

class Platform {
public:
    // Releases the console; later log lines reach only a redirected output.
    virtual void FreeConsole() = 0;
    // Sets the character-type category of the runtime locale.
    virtual void SetLocale(const char* name) = 0;
    virtual FileStatus QueryFileStatus(const char* name) = 0;
    // Deletes a file; a directory or a read-only file is refused.
    virtual bool RemoveFile(const char* name) = 0;
    // Lets a read-only file be removed; the result is not looked at.
    virtual void ClearReadOnly(const char* name) = 0;
    // Creates an empty file, or leaves the file of that name as it is; never
    // through a link. True when the file is there.
    virtual bool CreateEmptyFile(const char* name) = 0;
    // Appends UTF-8 text to a text file, created where there is none, the
    // text in one write that reaches the disk before it returns; never
    // through a link, nor to a read-only file. The text is there whole or not
    // at all: a write that comes up short, as on a full disk, is undone. A
    // file it begins, or finds empty, starts as this system's UTF-8 text
    // files do (on Windows with the byte order mark). False where it cannot.
    virtual bool AppendToFile(const char* name, const char* text) = 0;
    // Cuts a file to nothing, whoever else has it open for reading or
    // writing; never through a link, nor a read-only file. False where it
    // cannot.
    virtual bool EmptyFile(const char* name) = 0;
    // Gives a file another name, replacing a file of that name.
    virtual bool RenameFile(const char* from, const char* to) = 0;
    // Makes the directory of the launcher's own executable the working
    // directory, which every program started later inherits. It is found
    // and entered by its real name, whatever characters or bytes that holds;
    // false where it cannot be told or entered.
    virtual bool EnterProgramDirectory() = 0;
    virtual Seconds CurrentTime() = 0;
    // A count that changes of the system's time do not move, from an
    // arbitrary start; the launcher reads it in every watch pass.
    virtual Milliseconds TickCount() = 0;
    virtual LocalTime CurrentLocalTime() = 0;
    // The system's id of this process.
    virtual std::uint32_t ProcessId() = 0;
    // Writes a line to standard output, as it stands, and flushes it.
    virtual void WriteOutput(const char* text) = 0;
    // A modal notice with one OK button; caption and text are GBK bytes.
    // Returns once the user has pressed OK.
    virtual void ShowNotice(const char* text, const char* caption) = 0;
    // A notice's GBK text in UTF-8, cut to the size given; as it stands
    // where this system cannot convert it.
    virtual void NoticeToUtf8(const char* notice, char* text, std::size_t size) = 0;
    // Creates (or opens) a named mutex without taking ownership.
    virtual MutexResult CreateNamedMutex(const char* name) = 0;
    // Gives up a mutex handle, or the handle of a process that has ended.
    virtual void CloseHandle(Handle handle) = 0;
    // Opens a web address in the user's browser.
    virtual void OpenWebAddress(const char* address) = 0;
    // Runs a command through the command interpreter and waits up to that
    // long for its end; a command still running then is ended. False only
    // when it had to be ended.
    virtual bool RunCommand(const char* command, unsigned milliseconds) = 0;
    // Starts a program from a command line (the program is its first word,
    // a file of the working directory: no search path is used), with the
    // launcher's environment and working directory.
    virtual LaunchResult StartProcess(const char* commandLine) = 0;
    virtual void TerminateProcess(Handle process, unsigned exitCode) = 0;
    // Waits up to the given time; true only when the process has ended.
    virtual bool WaitForProcessEnd(Handle process, unsigned milliseconds) = 0;
    // How a process that has ended ended, in a few words: on Windows its
    // exit code in hex, with what the commonest mean; on POSIX its exit
    // status, or the signal that ended it. Told until its handle is closed.
    virtual void DescribeExit(Handle process, char* text, std::size_t size) = 0;
    virtual void Sleep(unsigned milliseconds) = 0;

protected:
    ~Platform() = default;
};

// The platform this executable was built for.
Platform& SystemPlatform();

#endif
