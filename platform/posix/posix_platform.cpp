// The POSIX implementation of the platform operations, for Linux.
//
// Each operation gives the meaning the launcher relies on from its Windows
// counterpart: named mutexes are lock files, processes are pidfds, the two
// stock commands are carried out natively. Only POSIX and Linux calls here.
//
// A process handle is the process's pidfd or, where the system has no pidfds
// (Linux before 5.3, or valgrind), its process id negated.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/command_line.h"
#include "platform/posix/gbk.h"

namespace {

// ---- Small helpers ----

// Windows names use the backslash as separator.
std::string PosixPath(const char* name) {
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Keeps the launcher's own descriptors clear of 0-2, so that no handle is
// ever 0 (NoHandle) and a closed standard stream is never taken by one.
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

long long MonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool IsExecutableFile(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The full path of a program found on PATH, or "" when it is not there.
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

std::string OwnDirectory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    *slash = '\0';
    return path;
}

// Shown as it stands when it cannot be converted.
std::string FromGbk(const char* text) {
    std::string utf8;
    return GbkToUtf8(text, &utf8) ? utf8 : text;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

std::vector<char*> ArgvOf(std::vector<std::string>& words) {
    std::vector<char*> argv(words.size() + 1, nullptr);
    std::transform(
        words.begin(), words.end(), argv.begin(), [](std::string& word) { return word.data(); });
    return argv;
}

// Children start with the default signal mask and dispositions and with
// none of the launcher's descriptors but the standard three.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    explicit SpawnSetup(bool quietAndDetached) {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attributes, &all);
        if (quietAndDetached) {
            flags |= POSIX_SPAWN_SETSID;
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

// Starts a program and waits for its end.
void RunAndWait(const std::string& program, std::vector<std::string> words) {
    SpawnSetup setup(false);
    std::vector<char*> argv = ArgvOf(words);
    pid_t pid;
    if (posix_spawn(
            &pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) == 0) {
        WaitForChild(pid);
    }
}

// ---- The two stock commands ----

// "move SRC DST": an existing destination is replaced.
void Move(const std::string& from, const std::string& to) {
    const std::string source = PosixPath(from.c_str());
    const std::string target = PosixPath(to.c_str());
    if (std::rename(source.c_str(), target.c_str()) != 0) {
        (void)std::fprintf(
            stderr, "move: %s -> %s: %s\n", source.c_str(), target.c_str(), std::strerror(errno));
    }
}

bool ReadComm(pid_t pid, char* comm, size_t size) {
    char path[64];
    (void)std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t length = read(fd, comm, size - 1);
    close(fd);
    if (length <= 0) return false;
    comm[length] = '\0';
    comm[std::strcspn(comm, "\n")] = '\0';
    return true;
}

// "taskkill /f /im NAME": every process of this user named NAME, but the
// launcher itself, is killed; returns once they are gone.
// Whether a process has ended: gone, or a zombie waiting for its parent.
bool Ended(pid_t pid) {
    char path[64];
    (void)std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char stat[512];
    const ssize_t length = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (length <= 0) return true;
    stat[length] = '\0';
    const char* state = std::strrchr(stat, ')');  // the name may hold anything
    return state == nullptr || state[1] == '\0' || state[2] == 'Z';
}

// A process being killed: through its pidfd, or by its id where the system
// has no pidfds.
struct Victim {
    pid_t pid;
    int pidfd;
};

// Waits, up to the deadline, until the process has ended.
void WaitUntilEnded(const Victim& victim, long long deadline) {
    for (;;) {
        const long long remaining = deadline - MonotonicMs();
        if (remaining <= 0) return;
        if (victim.pidfd < 0) {
            if (Ended(victim.pid)) return;
            const timespec pause = {0, 10000000};  // 10 ms
            nanosleep(&pause, nullptr);
            continue;
        }
        // A pidfd becomes readable once its process has ended.
        pollfd ended = {victim.pidfd, POLLIN, 0};
        const int ready = poll(&ended, 1, static_cast<int>(remaining));
        if (ready >= 0 || errno != EINTR) return;
    }
}

// "taskkill /f /im NAME": every process of this user named NAME, but the
// launcher itself, is killed; returns once they are gone.
void KillByName(const std::string& name) {
    constexpr long long GoneTimeoutMs = 10000;
    // The kernel keeps only the first 15 bytes of a process name.
    const std::string wanted = name.substr(0, 15);
    const uid_t uid = getuid();
    const pid_t self = getpid();

    std::vector<Victim> killed;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return;
    while (const dirent* entry = readdir(proc)) {
        char* end;
        const long number = std::strtol(entry->d_name, &end, 10);
        const auto pid = static_cast<pid_t>(number);
        if (*end != '\0' || number <= 0 || pid == self) continue;
        char path[64];
        (void)std::snprintf(path, sizeof path, "/proc/%ld", number);
        struct stat status;
        char comm[32];
        if (stat(path, &status) != 0 || status.st_uid != uid) continue;
        if (!ReadComm(pid, comm, sizeof comm) || wanted != comm) continue;
        const Victim victim = {pid, PidfdOpen(pid)};
        if (victim.pidfd < 0 && errno != ENOSYS) continue;  // gone already
        // An open pidfd pins the process: read the name again, in case the
        // id was reused between the first read and the open.
        char commAgain[32];
        const bool same = ReadComm(pid, commAgain, sizeof commAgain) && wanted == commAgain;
        const bool signalled = same && (victim.pidfd >= 0 ? PidfdSendSignal(victim.pidfd, SIGKILL)
                                                          : kill(pid, SIGKILL)) == 0;
        if (signalled) {
            killed.push_back(victim);
        } else if (victim.pidfd >= 0) {
            close(victim.pidfd);
        }
    }
    closedir(proc);

    const long long deadline = MonotonicMs() + GoneTimeoutMs;
    for (const Victim& victim : killed) {
        WaitUntilEnded(victim, deadline);
        if (victim.pidfd >= 0) close(victim.pidfd);
    }
}

// Without a pidfd a child's end is waited for by its SIGCHLD, held back
// and taken with a time limit, and it is reaped by its id.
bool WaitForChildById(pid_t pid, long long deadline) {
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    for (;;) {
        const pid_t reaped = waitpid(pid, nullptr, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno == ECHILD)) return true;
        const long long remaining = deadline - MonotonicMs();
        if (remaining <= 0) return false;
        const timespec limit = {static_cast<time_t>(remaining / 1000),
                                static_cast<long>(remaining % 1000) * 1000000};
        sigtimedwait(&childEnded, nullptr, &limit);
    }
}

bool SameWord(const std::string& word, const char* expected) {
    return strcasecmp(word.c_str(), expected) == 0;
}

std::vector<std::string> SplitOnSpaces(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* c = text;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    return words;
}

// ---- The platform ----

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
        // redirected ones stay where they are.
        for (int fd = 0; fd <= 2; ++fd) {
            if (!isatty(fd)) continue;
            const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null < 0) return;
            dup2(null, fd);  // the copy is inherited: O_CLOEXEC is not copied
            close(null);
        }
    }

    void SetLocale(const char* name) override {
        // "chs" is the Windows runtime's name for simplified Chinese, GBK.
        (void)std::setlocale(LC_CTYPE, std::strcmp(name, "chs") == 0 ? "zh_CN.GBK" : name);
    }

    FileStatus QueryFileStatus(const char* name) override {
        struct stat status;
        if (stat(PosixPath(name).c_str(), &status) != 0) return {false, 0};
        return {true, static_cast<Seconds>(status.st_mtim.tv_sec)};
    }

    bool RemoveFile(const char* name) override { return std::remove(PosixPath(name).c_str()) == 0; }

    Seconds CurrentTime() override { return static_cast<Seconds>(std::time(nullptr)); }

    void WriteLog(const char* text) override {
        (void)std::fputs(text, stdout);
        (void)std::fflush(stdout);
    }

    void ShowNotice(const char* text, const char* caption) override {
        const std::string title = FromGbk(caption);
        const std::string message = FromGbk(text);
        const char* x11 = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        const bool desktop =
            (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
        const std::string zenity = desktop ? FindOnPath("zenity") : "";
        if (!zenity.empty()) {
            RunAndWait(zenity,
                       {"zenity",
                        "--info",
                        "--no-markup",
                        "--no-wrap",
                        "--title=" + title,
                        "--text=" + message});
            return;
        }
        // The released console no longer reaches the user's terminal, but
        // the terminal itself may still be there.
        const std::string line = title + ": " + message + "\n";
        const int tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (tty >= 0) {
            WriteAll(tty, line);
            close(tty);
        } else {
            WriteAll(STDERR_FILENO, line);
        }
    }

    MutexResult CreateNamedMutex(const char* name) override {
        // Every holder keeps a read lock on the name's file for as long as
        // its handle is open; "already exists" means another holder.
        const int fd = AboveStandardStreams(OpenLockFile(name));
        if (fd < 0) return {NoHandle, false};
        struct flock lock = {};
        lock.l_whence = SEEK_SET;  // the whole file, as l_start and l_len are 0
        // A write lock, taken without waiting, is granted only where nobody
        // else holds the name. Turning it into a read lock is atomic, so no
        // one can slip in between the test and the hold.
        lock.l_type = F_WRLCK;
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
            lock.l_type = F_RDLCK;
            if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return {fd, false};
        } else if (errno == EAGAIN || errno == EACCES) {
            // Held already; a write lock seen here is only another creator's
            // test, which turns into a read lock at once.
            lock.l_type = F_RDLCK;
            int result;
            while ((result = fcntl(fd, F_OFD_SETLKW, &lock)) < 0 && errno == EINTR) {
            }
            if (result == 0) return {fd, true};
        }
        close(fd);
        return {NoHandle, false};
    }

    void CloseHandle(Handle handle) override {
        // A process known by its id alone holds nothing to close.
        if (handle > 0) close(static_cast<int>(handle));
    }

    void OpenWebAddress(const char* address) override {
        const std::string xdgOpen = FindOnPath("xdg-open");
        if (xdgOpen.empty()) return;
        // Started through a short-lived intermediate child, so the opener is
        // never the launcher's child and is never left a zombie; in a session
        // of its own, with its output kept off the launcher's console.
        const pid_t intermediate = fork();
        if (intermediate < 0) return;
        if (intermediate == 0) {
            SpawnSetup setup(true);
            std::vector<std::string> words = {"xdg-open", address};
            std::vector<char*> argv = ArgvOf(words);
            pid_t pid;
            posix_spawn(
                &pid, xdgOpen.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
            _exit(0);  // not exit(): the launcher's stdio buffers are not ours to flush
        }
        WaitForChild(intermediate);
    }

    void RunCommand(const char* command) override {
        const std::vector<std::string> words = SplitOnSpaces(command);
        if (words.size() == 3 && SameWord(words[0], "move")) {
            Move(words[1], words[2]);
        } else if (words.size() == 4 && SameWord(words[0], "taskkill") &&
                   SameWord(words[1], "/f") && SameWord(words[2], "/im")) {
            KillByName(words[3]);
        } else {
            RunAndWait("/bin/sh", {"sh", "-c", command});
        }
    }

    LaunchResult StartProcess(const char* commandLine) override {
        // Split as Windows would, and started without a shell: no shell
        // ever reads the command line.
        std::vector<std::string> words = SplitCommandLine(commandLine);
        if (words.empty()) return {false, NoHandle, ENOENT};
        const std::string program = FindProgram(words[0]);
        if (program.empty()) return {false, NoHandle, ENOENT};

        SpawnSetup setup(false);
        std::vector<char*> argv = ArgvOf(words);
        pid_t pid;
        const int error = posix_spawn(
            &pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
        if (error != 0) return {false, NoHandle, error};
        // Still an unreaped child, so the id cannot have been reused yet.
        const int pidfd = AboveStandardStreams(PidfdOpen(pid));
        if (pidfd >= 0) return {true, pidfd, 0};
        if (errno == ENOSYS) return {true, -static_cast<Handle>(pid), 0};
        const int openError = errno;
        kill(pid, SIGKILL);
        WaitForChild(pid);
        return {false, NoHandle, openError};
    }

    void TerminateProcess(Handle process, unsigned /*exitCode*/) override {
        // Through the pidfd, so a reused process id can never be hit. (By
        // id, without pidfds, is safe as well: the child is not reaped
        // before it is seen to end, so its id is not free for reuse.) A
        // signal cannot carry an exit code; nobody reads it.
        if (process > 0) {
            PidfdSendSignal(static_cast<int>(process), SIGKILL);
        } else {
            kill(static_cast<pid_t>(-process), SIGKILL);
        }
    }

    bool WaitForProcessEnd(Handle process, unsigned milliseconds) override {
        const long long deadline = MonotonicMs() + milliseconds;
        if (process < 0) return WaitForChildById(static_cast<pid_t>(-process), deadline);
        const int pidfd = static_cast<int>(process);
        pollfd ended = {pidfd, POLLIN, 0};
        for (;;) {
            const long long remaining = deadline - MonotonicMs();
            const int ready = poll(&ended, 1, static_cast<int>(remaining > 0 ? remaining : 0));
            if (ready > 0) break;
            if (ready == 0 || errno != EINTR) return false;
        }
        // Reaped at once, so no zombie is left behind.
        siginfo_t info;
        while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) <
                   0 &&
               errno == EINTR) {
        }
        return true;
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

private:
    // The name's lock file: <dir>/<NAME>-<uid>.lock, private to this user.
    static int OpenLockFile(const char* name) {
        // A relative runtime directory is not valid, and would change with
        // the working directory.
        const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
        const std::string dir = runtimeDir != nullptr && runtimeDir[0] == '/' ? runtimeDir : "/tmp";
        const std::string path =
            dir + "/" + name + "-" + std::to_string(static_cast<unsigned long>(getuid())) + ".lock";
        // No link is followed, and a file someone else planted is not used.
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return -1;
        struct stat status;
        if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != getuid()) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Windows looks for a program first in the launcher's own directory,
    // then in the working directory.
    static std::string FindProgram(const std::string& name) {
        if (name.find('/') != std::string::npos) return name;
        std::string own = OwnDirectory() + "/" + name;
        if (access(own.c_str(), F_OK) == 0) return own;
        if (access(name.c_str(), F_OK) == 0) return "./" + name;
        return "";
    }
};

PosixPlatform posixPlatform;

}  // namespace

Platform& SystemPlatform() {
    return posixPlatform;
}
