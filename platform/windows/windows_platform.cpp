// The Windows implementation of the platform operations.
//
// Each operation is the Win32 or C runtime (msvcrt) call it is named after,
// with the arguments the launcher has always used; file status and the clocks
// come from kernel32, and the command interpreter is started with
// CreateProcessA. Nothing here may need more than Windows 2000 offers:
// tests/windows_imports.txt lists every function the executable may import.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

#include <locale.h>
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/windows/exit_code.h"
#include "platform/windows/file_time.h"
#include "platform/windows/start_failure.h"

namespace {

constexpr UINT NoticeCodePage = 936;  // GBK, the notices' encoding
constexpr int NoticeLength = 512;     // wide characters, ample for every notice
constexpr size_t CommandLineLength = MAX_PATH;
// The longest path Windows has, in UTF-16 units, its terminating zero
// included.
constexpr DWORD LongestPath = 32768;
constexpr DWORD EndedCommandWait = 5000;               // ms for a terminated command to go
constexpr char Utf8Mark[] = {'\xef', '\xbb', '\xbf'};  // the byte order mark, in UTF-8

STARTUPINFOA ZeroedStartupInfo() {
    STARTUPINFOA info = {};
    info.cb = sizeof info;
    return info;
}

// The start-up record of every launch: all zero but its size.
STARTUPINFOA startupInfo = ZeroedStartupInfo();

std::uint64_t TicksOf(FILETIME time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

enum class CommandRun { NotStarted, Finished, Ended };

// Runs the command interpreter with "/d /c" and the command: without the
// user's AutoRun command, and without a console window of its own, which a
// process that has freed its console would otherwise give it. Waits up to
// that long for its end, and ends it then.
CommandRun RunInterpreter(const char* program, const char* command, unsigned milliseconds) {
    // Quoted, as the interpreter may lie under a path with spaces.
    char line[2 * MAX_PATH];
    const int length = snprintf(line, sizeof line, "\"%s\" /d /c %s", program, command);
    if (length < 0 || static_cast<size_t>(length) >= sizeof line) return CommandRun::NotStarted;
    STARTUPINFOA info = ZeroedStartupInfo();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program,
                        line,
                        nullptr,
                        nullptr,
                        FALSE,
                        CREATE_NO_WINDOW,
                        nullptr,
                        nullptr,
                        &info,
                        &process)) {
        return CommandRun::NotStarted;
    }
    ::CloseHandle(process.hThread);
    CommandRun run = CommandRun::Finished;
    if (WaitForSingleObject(process.hProcess, milliseconds) == WAIT_TIMEOUT) {
        // A hung interpreter, or a move that stalls on a network share.
        ::TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, EndedCommandWait);
        run = CommandRun::Ended;
    }
    ::CloseHandle(process.hProcess);
    return run;
}

// The system's own interpreter, in the system directory: never one found
// from the installation, which the search would look in first.
bool SystemInterpreter(char (&path)[MAX_PATH]) {
    constexpr char Name[] = "\\cmd.exe";
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof Name > MAX_PATH) return false;
    memcpy(path + length, Name, sizeof Name);
    return true;
}

// Opens a file shared with everyone, so that nobody is kept from it for the
// moment it is open.
HANDLE OpenShared(const char* name,
                  DWORD access,
                  DWORD disposition,
                  DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(name,
                       access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr,
                       disposition,
                       flags,
                       nullptr);
}

// Opens a file for writing, as the disposition says, and closes it again.
bool OpenForAMoment(const char* name, DWORD disposition) {
    const HANDLE file = OpenShared(name, GENERIC_WRITE, disposition);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
}

// A file's size, from a handle of it.
std::uint64_t SizeOf(HANDLE file) {
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Cuts a file back to that size, through a handle that may write anywhere
// in it.
void CutTo(const char* name, std::uint64_t size) {
    const HANDLE file = OpenShared(name, GENERIC_WRITE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return;
    LONG high = static_cast<LONG>(size >> 32);
    SetLastError(NO_ERROR);
    if (SetFilePointer(file, static_cast<LONG>(size & 0xFFFFFFFF), &high, FILE_BEGIN) !=
            INVALID_SET_FILE_POINTER ||
        GetLastError() == NO_ERROR) {
        (void)SetEndOfFile(file);
    }
    ::CloseHandle(file);
}

// Handles are kept as integers; this gives them back their type.
HANDLE HandleOf(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

class WindowsPlatform final : public Platform {
public:
    // Set before anything is started, and inherited by every kernel: a
    // program that crashes, or lacks a DLL, ends at once instead of waiting
    // on an error dialog for a user who may not be there.
    WindowsPlatform() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX); }

    void FreeConsole() override { ::FreeConsole(); }

    void SetLocale(const char* name) override { (void)setlocale(LC_CTYPE, name); }

    FileStatus QueryFileStatus(const char* name) override {
        // The last write time in UTC, as the file system keeps it (the
        // runtime's stat goes through local time), for a directory too.
        WIN32_FILE_ATTRIBUTE_DATA status;
        if (!GetFileAttributesExA(name, GetFileExInfoStandard, &status)) {
            return {false, 0, false, false, 0};
        }
        const bool directory = (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return {true,
                SecondsFromFileTime(TicksOf(status.ftLastWriteTime)),
                directory,
                !directory && (status.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0,
                static_cast<std::int64_t>((static_cast<std::uint64_t>(status.nFileSizeHigh) << 32) |
                                          status.nFileSizeLow)};
    }

    bool RemoveFile(const char* name) override { return remove(name) == 0; }

    void ClearReadOnly(const char* name) override {
        // Only that attribute: the others stay as they are.
        const DWORD attributes = GetFileAttributesA(name);
        if (attributes == INVALID_FILE_ATTRIBUTES) return;
        (void)SetFileAttributesA(name, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }

    bool CreateEmptyFile(const char* name) override {
        // Opened if it is there already.
        return OpenForAMoment(name, OPEN_ALWAYS);
    }

    bool AppendToFile(const char* name, const char* text) override {
        // Appending only, so that every write lands at the end, whoever
        // else appends; written through the cache to the disk.
        const HANDLE file = OpenShared(
            name, FILE_APPEND_DATA, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH);
        if (file == INVALID_HANDLE_VALUE) return false;
        // An empty file begins with the byte order mark: Notepad, and every
        // editor, then reads it as UTF-8 on a Windows of any language.
        DWORD mark = 0;
        const bool marked =
            SizeOf(file) != 0 ||
            (WriteFile(file, Utf8Mark, sizeof Utf8Mark, &mark, nullptr) && mark == sizeof Utf8Mark);
        const DWORD length = static_cast<DWORD>(strlen(text));
        DWORD written = 0;
        const bool wrote =
            marked && WriteFile(file, text, length, &written, nullptr) && written == length;
        const std::uint64_t end = SizeOf(file);
        ::CloseHandle(file);
        // A write that came up short, as on a full disk, is undone: an
        // appending handle cannot cut the file, so one that may does.
        const std::uint64_t undone = std::uint64_t{mark} + written;
        if (!wrote && undone > 0 && end >= undone) CutTo(name, end - undone);
        return wrote;
    }

    bool EmptyFile(const char* name) override { return OpenForAMoment(name, TRUNCATE_EXISTING); }

    bool RenameFile(const char* from, const char* to) override {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    }

    bool EnterProgramDirectory() override {
        // In UTF-16 from end to end: the ANSI calls give '?' for every
        // character outside the ANSI code page (a Chinese folder on a Windows
        // whose language for non-Unicode programs is not Chinese, a Korean
        // user name on a Chinese one), and that directory is then not found.
        wchar_t path[LongestPath];
        const DWORD length = GetModuleFileNameW(nullptr, path, LongestPath);
        if (length == 0 || length >= LongestPath) return false;  // cut short
        DWORD end = 0;
        for (DWORD i = 0; i < length; ++i) {
            // cppcheck-suppress uninitvar ; GetModuleFileNameW wrote these
            if (path[i] == L'\\' || path[i] == L'/') end = i + 1;
        }
        if (end == 0) return false;
        path[end] = L'\0';
        return SetCurrentDirectoryW(path) != 0;
    }

    Seconds CurrentTime() override {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return SecondsFromFileTime(TicksOf(now));
    }

    Milliseconds TickCount() override {
        // GetTickCount64 is newer than Windows 2000: the 32-bit count is
        // widened here. It wraps every 49.7 days, and the launcher reads it
        // every few seconds, so no wrap goes unseen.
        const DWORD ticks = GetTickCount();
        if (ticks < lastTicks) ++tickWraps;
        lastTicks = ticks;
        return static_cast<Milliseconds>((static_cast<std::uint64_t>(tickWraps) << 32) | ticks);
    }

    LocalTime CurrentLocalTime() override {
        SYSTEMTIME now;
        GetLocalTime(&now);
        return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    }

    std::uint32_t ProcessId() override { return GetCurrentProcessId(); }

    void WriteOutput(const char* text) override {
        (void)fputs(text, stdout);
        (void)fflush(stdout);
    }

    void ShowNotice(const char* text, const char* caption) override {
        // Shown in UTF-16, so the notice reads the same on a system whose
        // ANSI code page is not GBK.
        wchar_t wideText[NoticeLength];
        wchar_t wideCaption[NoticeLength];
        if (MultiByteToWideChar(NoticeCodePage, 0, text, -1, wideText, NoticeLength) == 0 ||
            MultiByteToWideChar(NoticeCodePage, 0, caption, -1, wideCaption, NoticeLength) == 0) {
            MessageBoxA(nullptr, text, caption, MB_OK);
            return;
        }
        MessageBoxW(nullptr, wideText, wideCaption, MB_OK);
    }

    void NoticeToUtf8(const char* notice, char* text, std::size_t size) override {
        // Code page 936 to UTF-16 to UTF-8.
        wchar_t wide[NoticeLength];
        const int length = MultiByteToWideChar(NoticeCodePage, 0, notice, -1, wide, NoticeLength);
        if (length == 0 ||
            WideCharToMultiByte(
                CP_UTF8, 0, wide, length, text, static_cast<int>(size), nullptr, nullptr) == 0) {
            (void)snprintf(text, size, "%s", notice);
        }
    }

    MutexResult CreateNamedMutex(const char* name) override {
        const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        const DWORD error = GetLastError();
        return {reinterpret_cast<Handle>(mutex), error == ERROR_ALREADY_EXISTS};
    }

    void CloseHandle(Handle handle) override {
        if (handle != NoHandle) ::CloseHandle(HandleOf(handle));
    }

    void OpenWebAddress(const char* address) override {
        // The handler of an address may be started through COM, which the
        // calling thread must have set up first; once is enough.
        if (!comInitialised) {
            (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
            comInitialised = true;
        }
        ShellExecuteA(nullptr, nullptr, address, nullptr, nullptr, SW_SHOWNORMAL);
    }

    bool RunCommand(const char* command, unsigned milliseconds) override {
        // The interpreter named by COMSPEC, else the system's own; its exit
        // code is not looked at. Only the launcher's own fixed commands come
        // here.
        char interpreter[MAX_PATH];
        const DWORD length = GetEnvironmentVariableA("COMSPEC", interpreter, sizeof interpreter);
        CommandRun run = CommandRun::NotStarted;
        if (length > 0 && length < sizeof interpreter) {
            run = RunInterpreter(interpreter, command, milliseconds);
        }
        if (run == CommandRun::NotStarted && SystemInterpreter(interpreter)) {
            run = RunInterpreter(interpreter, command, milliseconds);
        }
        return run != CommandRun::Ended;
    }

    LaunchResult StartProcess(const char* commandLine) override {
        // CreateProcess may write into the command line it is given.
        char line[CommandLineLength];
        const size_t length = strlen(commandLine);
        if (length >= sizeof line) return NotStarted(ERROR_INVALID_PARAMETER, StartFailure::Other);
        memcpy(line, commandLine, length + 1);

        // The program, the first word, is named as the application too: a
        // bare name is then taken from the working directory, and the search
        // path (the launcher's directory, PATH) is never used. The launcher
        // never quotes it.
        char program[CommandLineLength];
        size_t programLength = 0;
        while (commandLine[programLength] != '\0' && commandLine[programLength] != ' ') {
            ++programLength;
        }
        memcpy(program, commandLine, programLength);
        program[programLength] = '\0';

        PROCESS_INFORMATION info = {};
        if (!CreateProcessA(
                program, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startupInfo, &info)) {
            const DWORD error = GetLastError();
            const DWORD attributes = GetFileAttributesA(program);
            const bool directory = attributes != INVALID_FILE_ATTRIBUTES &&
                                   (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            return NotStarted(static_cast<int>(error), StartFailureOf(error, directory));
        }
        ::CloseHandle(info.hThread);  // never used
        return Started(reinterpret_cast<Handle>(info.hProcess), info.dwProcessId);
    }

    void TerminateProcess(Handle process, unsigned exitCode) override {
        ::TerminateProcess(HandleOf(process), exitCode);
    }

    bool WaitForProcessEnd(Handle process, unsigned milliseconds) override {
        return WaitForSingleObject(HandleOf(process), milliseconds) == WAIT_OBJECT_0;
    }

    void DescribeExit(Handle process, char* text, std::size_t size) override {
        DWORD code = 0;
        if (!GetExitCodeProcess(HandleOf(process), &code)) {
            (void)snprintf(text, size, "exit code unknown (%lu)", GetLastError());
            return;
        }
        DescribeExitCode(code, text, size);
    }

    void Sleep(unsigned milliseconds) override { ::Sleep(milliseconds); }

private:
    bool comInitialised = false;
    DWORD lastTicks = 0;
    DWORD tickWraps = 0;
};

WindowsPlatform windowsPlatform;

}  // namespace

Platform& SystemPlatform() {
    return windowsPlatform;
}
