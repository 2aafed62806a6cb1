// This file implements the command interpreter for the POSIX platform layer:
// its two stock commands, "move" and "taskkill", carried out natively, and a
// shell for anything else. It must contain only POSIX and Linux calls.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/posix_layer.h"

namespace posix_layer {

namespace {

// ---- move ----

// Whether another program has the file open for writing, as a scanner or a
// copy in progress may: such a file can be neither started (ETXTBSY) nor
// moved, as on Windows a file held without sharing. A read lease is refused
// (EAGAIN) exactly then; where none is to be had (a file of another owner,
// a file system without leases), the file counts as free.
bool HeldForWriting(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    // Should another program open the file in the moment the lease is held,
    // the kernel says so by a signal: one that is ignored, not SIGIO, which
    // would end the launcher.
    (void)fcntl(fd, F_SETSIG, SIGURG);
    const bool held = fcntl(fd, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
    close(fd);  // and with it the lease
    return held;
}

// "move SRC DST": an existing destination is refused, as Windows does when
// nobody answers move's question whether to overwrite it.
void Move(const std::string& from, const std::string& to) {
    const std::string source = PosixPath(from.c_str());
    const std::string target = PosixPath(to.c_str());
    int result = -1;
    if (HeldForWriting(source)) {
        errno = ETXTBSY;
    } else {
        result = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    }
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system (or a kernel) without the flag: the destination is
        // looked at first.
        struct stat status;
        if (lstat(target.c_str(), &status) == 0) {
            errno = EEXIST;
        } else {
            result = std::rename(source.c_str(), target.c_str());
        }
    }
    if (result != 0) {
        (void)std::fprintf(
            stderr, "move: %s -> %s: %s\n", source.c_str(), target.c_str(), std::strerror(errno));
    }
}

// ---- taskkill ----

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

// How long a kill waits for its processes to be gone.
constexpr long long GoneTimeoutMs = 10000;

// "taskkill /f /im NAME": every process of this user named NAME, but the
// launcher itself, is killed; returns once they are gone.
void KillByName(const std::string& name) {
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

// ---- The interpreter ----

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

}  // namespace

bool RunCommand(const char* command, unsigned milliseconds) {
    // Both stock commands are bounded of themselves: a rename, and a kill
    // that waits at most GoneTimeoutMs.
    const std::vector<std::string> words = SplitOnSpaces(command);
    if (words.size() == 3 && SameWord(words[0], "move")) {
        Move(words[1], words[2]);
    } else if (words.size() == 4 && SameWord(words[0], "taskkill") && SameWord(words[1], "/f") &&
               SameWord(words[2], "/im")) {
        KillByName(words[3]);
    } else {
        return RunAndWaitAtMost("/bin/sh", {"sh", "-c", command}, milliseconds);
    }
    return true;
}

}  // namespace posix_layer
