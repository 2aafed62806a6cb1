// This file implements processes for the POSIX platform layer: starting,
// terminating and waiting for the kernel, and the helper programs the layer
// runs. It must contain only POSIX and Linux process calls.
//
// Programs are started with posix_spawn, never through a shell, and watched
// through pidfds, which no reused process id can confuse.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/posix/command_line.h"
#include "platform/posix/posix_layer.h"

namespace posix_layer {

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// A bare name is a file of the working directory, as for an application
// name on Windows: no other directory is searched.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    if (access(name.c_str(), F_OK) == 0) return "./" + name;
    return "";
}

// Why a start failed. The file is broken where it is no program this system
// can start: not there, a directory or not executable, not a program. It is
// held while it is open for writing, as one being written or scanned. Every
// other failure may pass: the user's process limit reached, memory or
// descriptors short for a while.
StartFailure StartFailureOf(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENOEXEC:
        case EACCES:
        case ELOOP:
        case ENAMETOOLONG: return StartFailure::Broken;
        case ETXTBSY: return StartFailure::Held;
        default: return StartFailure::Other;
    }
}

std::vector<char*> ArgvOf(std::vector<std::string>& words) {
    std::vector<char*> argv(words.size() + 1, nullptr);
    std::transform(
        words.begin(), words.end(), argv.begin(), [](std::string& word) { return word.data(); });
    return argv;
}

// Set once the launcher has let go of its terminal but could not leave the
// terminal's session: the kernels it starts then leave it.
bool kernelsInSessionsOfTheirOwn = false;

// Children start with the default signal mask and dispositions and with
// none of the launcher's descriptors but the standard three.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup(bool newSession, bool quiet) {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attributes, &all);
        if (newSession) flags |= POSIX_SPAWN_SETSID;
        if (quiet) {
            for (int fd = 0; fd <= 2; ++fd) {
                posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
            }
        }
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        posix_spawnattr_setflags(&attributes, flags);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void WaitForChild(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Without a pidfd a child's end is waited for by its SIGCHLD, held back
// and taken with a time limit. The child is left to be reaped.
bool WaitForChildById(pid_t pid, long long deadline) {
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    for (;;) {
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
            if (errno == ECHILD) return true;  // reaped already
        } else if (info.si_pid == pid) {
            return true;
        }
        const long long remaining = deadline - MonotonicMs();
        if (remaining <= 0) return false;
        const timespec limit = {static_cast<time_t>(remaining / 1000),
                                static_cast<long>(remaining % 1000) * 1000000};
        sigtimedwait(&childEnded, nullptr, &limit);
    }
}

// Starts one of the layer's helper programs, with the launcher's terminal and
// output; its process id, or -1.
pid_t SpawnHelper(const std::string& program, std::vector<std::string> words) {
    SpawnSetup setup(false, false);
    std::vector<char*> argv = ArgvOf(words);
    pid_t pid;
    if (posix_spawn(
            &pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

}  // namespace

long long MonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int PidfdSendSignal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

std::string FindOnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start);
        candidate = (candidate.empty() ? "." : candidate) + "/" + program;
        if (IsExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return "";
}

void LeaveTerminalSession() {
    // A process group leader (as a shell's job is) cannot start a session of
    // its own: it stays, deaf to the terminal's hangup, and its kernels start
    // sessions of their own.
    if (setsid() >= 0) return;
    (void)signal(SIGHUP, SIG_IGN);
    kernelsInSessionsOfTheirOwn = true;
}

void RunAndWait(const std::string& program, std::vector<std::string> words) {
    const pid_t pid = SpawnHelper(program, std::move(words));
    if (pid > 0) WaitForChild(pid);
}

bool RunAndWaitAtMost(const std::string& program,
                      std::vector<std::string> words,
                      unsigned milliseconds) {
    const pid_t pid = SpawnHelper(program, std::move(words));
    if (pid <= 0) return true;  // nothing ran, nothing to end
    // Watched as a kernel is: through a pidfd, else by its id.
    const int pidfd = AboveStandardStreams(PidfdOpen(pid));
    const Handle child = pidfd >= 0 ? pidfd : -static_cast<Handle>(pid);
    const bool finished = WaitForProcessEnd(child, milliseconds);
    if (!finished) TerminateProcess(child);
    WaitForChild(pid);
    if (pidfd >= 0) close(pidfd);
    return finished;
}

void StartDetached(const std::string& program, std::vector<std::string> words) {
    // Started through a short-lived intermediate child, so the program is
    // never the launcher's child and is never left a zombie; in a session of
    // its own, with its output kept off the launcher's console.
    const pid_t intermediate = fork();
    if (intermediate < 0) return;
    if (intermediate == 0) {
        SpawnSetup setup(true, true);
        std::vector<char*> argv = ArgvOf(words);
        pid_t pid;
        posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
        _exit(0);  // not exit(): the launcher's stdio buffers are not ours to flush
    }
    WaitForChild(intermediate);
}

LaunchResult StartProcess(const char* commandLine) {
    // Split as Windows would, and started without a shell: no shell ever
    // reads the command line.
    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty()) return NotStarted(ENOENT, StartFailure::Broken);
    const std::string program = FindProgram(words[0]);
    if (program.empty()) return NotStarted(ENOENT, StartFailure::Broken);

    SpawnSetup setup(kernelsInSessionsOfTheirOwn, false);
    std::vector<char*> argv = ArgvOf(words);
    pid_t pid;
    const int error =
        posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    if (error != 0) return NotStarted(error, StartFailureOf(error));
    // Still an unreaped child, so the id cannot have been reused yet.
    const int pidfd = AboveStandardStreams(PidfdOpen(pid));
    const auto id = static_cast<std::uint32_t>(pid);
    if (pidfd >= 0) return Started(pidfd, id);
    if (errno == ENOSYS) return Started(-static_cast<Handle>(pid), id);
    // Descriptors used up: that passes.
    const int openError = errno;
    kill(pid, SIGKILL);
    WaitForChild(pid);
    return NotStarted(openError, StartFailure::Other);
}

void TerminateProcess(Handle process) {
    // Through the pidfd, so a reused process id can never be hit. (By id,
    // without pidfds, is safe as well: the child is not reaped before it is
    // seen to end, so its id is not free for reuse.)
    if (process > 0) {
        PidfdSendSignal(static_cast<int>(process), SIGKILL);
    } else {
        kill(static_cast<pid_t>(-process), SIGKILL);
    }
}

bool WaitForProcessEnd(Handle process, unsigned milliseconds) {
    const long long deadline = MonotonicMs() + milliseconds;
    if (process < 0) return WaitForChildById(static_cast<pid_t>(-process), deadline);
    // A pidfd is readable once its process has ended, reaped or not.
    pollfd ended = {static_cast<int>(process), POLLIN, 0};
    for (;;) {
        const long long remaining = deadline - MonotonicMs();
        const int ready = poll(&ended, 1, static_cast<int>(remaining > 0 ? remaining : 0));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

void DescribeExit(Handle process, char* text, size_t size) {
    // Read without reaping, as often as asked, until the handle is closed.
    siginfo_t info = {};
    const int result =
        process > 0
            ? waitid(static_cast<idtype_t>(P_PIDFD),
                     static_cast<id_t>(process),
                     &info,
                     WEXITED | WNOHANG | WNOWAIT)
            : waitid(P_PID, static_cast<id_t>(-process), &info, WEXITED | WNOHANG | WNOWAIT);
    if (result < 0 || info.si_pid == 0) {
        (void)std::snprintf(text, size, "end unknown");
    } else if (info.si_code == CLD_EXITED) {
        (void)std::snprintf(text, size, "exit status %d", info.si_status);
    } else {
        const char* name = sigabbrev_np(info.si_status);
        (void)std::snprintf(text,
                            size,
                            "signal %d (SIG%s)%s",
                            info.si_status,
                            name != nullptr ? name : "?",
                            info.si_code == CLD_DUMPED ? ", core dumped" : "");
    }
}

void CloseHandle(Handle handle) {
    // A process is reaped if it has ended: the launcher closes only the
    // handles of processes it has seen end. A named mutex's descriptor, no
    // pidfd, is merely closed.
    if (handle > 0) {
        siginfo_t info;
        (void)waitid(
            static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(handle), &info, WEXITED | WNOHANG);
        close(static_cast<int>(handle));
    } else if (handle < 0) {
        (void)waitpid(static_cast<pid_t>(-handle), nullptr, WNOHANG);
    }
}

}  // namespace posix_layer
