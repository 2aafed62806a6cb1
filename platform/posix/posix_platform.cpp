// This file implements the Platform interface for POSIX systems (Linux).
// It must contain only the console, locale, clocks and pauses, and the
// delegation of every other operation to the file of its concern.
//
// Each operation gives the meaning the launcher relies on from its Windows
// counterpart: named mutexes are lock files, processes are pidfds, the two
// stock commands are carried out natively.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "platform/posix/gbk.h"
#include "platform/posix/posix_layer.h"

namespace {

class PosixPlatform final : public Platform {
public:
    PosixPlatform() noexcept {
        // A log reader that goes away must not end the launcher: a write to
        // a closed pipe fails, as on Windows, instead of raising SIGPIPE.
        // Children start with the default again.
        (void)signal(SIGPIPE, SIG_IGN);
        // Held back, so that a child's end can be waited for with a time
        // limit where there are no pidfds. Children start with no signal
        // blocked.
        sigset_t childEnded;
        sigemptyset(&childEnded);
        sigaddset(&childEnded, SIGCHLD);
        sigprocmask(SIG_BLOCK, &childEnded, nullptr);
    }

    void FreeConsole() override {
        // Each standard stream still on the terminal goes to /dev/null;
        // redirected ones stay where they are. Then the launcher leaves the
        // terminal, which it outlives, as a Windows program outlives the
        // console window it was started from.
        posix_layer::KeepTerminalForNotices();
        for (int fd = 0; fd <= 2; ++fd) {
            if (!isatty(fd)) continue;
            const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null < 0) break;
            dup2(null, fd);  // the copy is inherited: O_CLOEXEC is not copied
            close(null);
        }
        posix_layer::LeaveTerminalSession();
    }

    void SetLocale(const char* name) override {
        // "chs" is the Windows runtime's name for simplified Chinese, GBK.
        (void)std::setlocale(LC_CTYPE, std::strcmp(name, "chs") == 0 ? "zh_CN.GBK" : name);
    }

    FileStatus QueryFileStatus(const char* name) override {
        return posix_layer::QueryFileStatus(name);
    }

    bool RemoveFile(const char* name) override { return posix_layer::RemoveFile(name); }

    void ClearReadOnly(const char* name) override { posix_layer::ClearReadOnly(name); }

    bool CreateEmptyFile(const char* name) override { return posix_layer::CreateEmptyFile(name); }

    bool AppendToFile(const char* name, const char* text) override {
        return posix_layer::AppendToFile(name, text);
    }

    bool EmptyFile(const char* name) override { return posix_layer::EmptyFile(name); }

    bool RenameFile(const char* from, const char* to) override {
        return posix_layer::RenameFile(from, to);
    }

    bool EnterProgramDirectory() override { return posix_layer::EnterProgramDirectory(); }

    Seconds CurrentTime() override { return static_cast<Seconds>(std::time(nullptr)); }

    Milliseconds TickCount() override { return posix_layer::MonotonicMs(); }

    LocalTime CurrentLocalTime() override {
        const std::time_t now = std::time(nullptr);
        std::tm local = {};
        (void)localtime_r(&now, &local);
        return {local.tm_year + 1900,
                local.tm_mon + 1,
                local.tm_mday,
                local.tm_hour,
                local.tm_min,
                local.tm_sec};
    }

    std::uint32_t ProcessId() override { return static_cast<std::uint32_t>(getpid()); }

    void WriteOutput(const char* text) override {
        (void)std::fputs(text, stdout);
        (void)std::fflush(stdout);
    }

    void ShowNotice(const char* text, const char* caption) override {
        posix_layer::ShowNotice(text, caption);
    }

    void NoticeToUtf8(const char* notice, char* text, std::size_t size) override {
        std::string utf8;
        if (!GbkToUtf8(notice, &utf8)) utf8 = notice;
        (void)std::snprintf(text, size, "%s", utf8.c_str());
    }

    MutexResult CreateNamedMutex(const char* name) override {
        return posix_layer::CreateNamedMutex(name);
    }

    void CloseHandle(Handle handle) override { posix_layer::CloseHandle(handle); }

    void OpenWebAddress(const char* address) override { posix_layer::OpenWebAddress(address); }

    bool RunCommand(const char* command, unsigned milliseconds) override {
        return posix_layer::RunCommand(command, milliseconds);
    }

    LaunchResult StartProcess(const char* commandLine) override {
        return posix_layer::StartProcess(commandLine);
    }

    void TerminateProcess(Handle process, unsigned /*exitCode*/) override {
        // A signal cannot carry an exit code; nobody reads it.
        posix_layer::TerminateProcess(process);
    }

    bool WaitForProcessEnd(Handle process, unsigned milliseconds) override {
        return posix_layer::WaitForProcessEnd(process, milliseconds);
    }

    void DescribeExit(Handle process, char* text, std::size_t size) override {
        posix_layer::DescribeExit(process, text, size);
    }

    void Sleep(unsigned milliseconds) override {
        // The full time, whatever signals arrive meanwhile.
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += milliseconds / 1000;
        until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
};

PosixPlatform posixPlatform;

}  // namespace

Platform& SystemPlatform() {
    return posixPlatform;
}
