// The pieces of the POSIX platform layer, one concern per file, that
// posix_platform.cpp puts behind the Platform interface.
//
// Only the POSIX layer includes this header. A process handle is the
// process's pidfd or, where the system has no pidfds (Linux before 5.3, or
// valgrind), its process id negated. A process that has ended is reaped as
// its handle is closed.
#ifndef LAUNCHER_PLATFORM_POSIX_POSIX_LAYER_H
#define LAUNCHER_PLATFORM_POSIX_POSIX_LAYER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace posix_layer {

// ---- Files (files.cpp) ----

// Windows names use the backslash as separator.
std::string PosixPath(const char* name);
FileStatus QueryFileStatus(const char* name);
bool RemoveFile(const char* name);
void ClearReadOnly(const char* name);
bool CreateEmptyFile(const char* name);
bool AppendToFile(const char* name, const char* text);
bool EmptyFile(const char* name);
bool RenameFile(const char* from, const char* to);
bool EnterProgramDirectory();

// ---- Processes (processes.cpp) ----

long long MonotonicMs();
// Moves a new descriptor of the launcher's above 0-2, so that no handle is
// ever 0 (NoHandle) and a closed standard stream is never taken by one.
int AboveStandardStreams(int fd);
int PidfdOpen(pid_t pid);
int PidfdSendSignal(int pidfd, int signal);
// The full path of a program found on PATH, or "" when it is not there.
std::string FindOnPath(const char* program);
// Leaves the session of the terminal the launcher was started from, so that
// closing it ends neither the launcher nor its kernels.
void LeaveTerminalSession();
// Starts a program and waits for its end.
void RunAndWait(const std::string& program, std::vector<std::string> words);
// The same, up to that long: a program still running then is killed. False
// when it had to be.
bool RunAndWaitAtMost(const std::string& program,
                      std::vector<std::string> words,
                      unsigned milliseconds);
// Starts a program that is not the launcher's child, with no terminal and
// none of the launcher's output, and does not wait for it.
void StartDetached(const std::string& program, std::vector<std::string> words);
LaunchResult StartProcess(const char* commandLine);
void TerminateProcess(Handle process);
// Tells when a process has ended, and leaves it to be reaped as its handle
// is closed: its end can be described until then, as on Windows.
bool WaitForProcessEnd(Handle process, unsigned milliseconds);
void DescribeExit(Handle process, char* text, size_t size);
// Closes a process's handle, reaping the process if it has ended, or a
// named mutex's.
void CloseHandle(Handle handle);

// ---- Named mutexes (named_mutexes.cpp) ----

MutexResult CreateNamedMutex(const char* name);

// ---- The user's side: notices and the browser (desktop.cpp) ----

// Keeps the terminal at hand for notices, before the launcher leaves it.
void KeepTerminalForNotices();
void ShowNotice(const char* text, const char* caption);
void OpenWebAddress(const char* address);

// ---- The command interpreter's stock commands (commands.cpp) ----

bool RunCommand(const char* command, unsigned milliseconds);

}  // namespace posix_layer

#endif
