// Soak test of the platform layer: many start / terminate / wait cycles of a
// short-lived child, and of named mutexes, with nothing left behind: the
// same number of open descriptors (POSIX) or handles (Windows) afterwards,
// and no child left unreaped.
//
//     soak CYCLES      the test; exits 0 when nothing grew
//     soak child       the child: ends at once
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#endif

namespace {

#ifdef _WIN32
constexpr char Self[] = "soak.exe";
constexpr char What[] = "handles";
long OpenCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) {
        return static_cast<long>(count);
    }
    // wine answers 0 here: count the handles that answer instead (handle
    // values are multiples of 4, and a small process has small ones).
    long answering = 0;
    for (ULONG_PTR value = 4; value < 65536; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++answering;
    }
    return answering;
}
bool ChildLeft() {
    return false;  // Windows keeps no zombies; handles are counted instead
}
#else
constexpr char Self[] = "soak";
constexpr char What[] = "descriptors";
long OpenCount() {
    long count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (const dirent* entry = readdir(fds)) count += entry->d_name[0] != '.';
    closedir(fds);
    return count - 1;  // the directory's own descriptor
}
bool ChildLeft() {
    return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}
#endif

// A start refused for a moment (wine's, on a busy machine, once in
// thousands) is tried again, as the launcher does: the soak counts what is
// left over, not what the system refused for a while.
LaunchResult Start(Platform& os, const std::string& commandLine, int i) {
    LaunchResult launch = os.StartProcess(commandLine.c_str());
    for (int retry = 0; retry < 3 && !launch.started && launch.failure != StartFailure::Broken;
         ++retry) {
        std::printf("cycle %d: start failed (%d), tried again\n", i, launch.error);
        os.Sleep(500);
        launch = os.StartProcess(commandLine.c_str());
    }
    return launch;
}

bool Cycle(Platform& os, const std::string& commandLine, int i) {
    const LaunchResult launch = Start(os, commandLine, i);
    if (!launch.started) {
        std::printf("cycle %d: start failed (%d)\n", i, launch.error);
        return false;
    }
    // Every other child is terminated, whether or not it has ended yet.
    if (i % 2 == 1) os.TerminateProcess(launch.process, 0);
    if (!os.WaitForProcessEnd(launch.process, 10000)) {
        std::printf("cycle %d: the child did not end\n", i);
        return false;
    }
    os.CloseHandle(launch.process);

    const MutexResult mutex = os.CreateNamedMutex("SOAK");
    if (mutex.alreadyExists) {
        std::printf("cycle %d: the name was still held\n", i);
        return false;
    }
    os.CloseHandle(mutex.mutex);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && std::strcmp(argv[1], "child") == 0) return 0;
    const int cycles = argc == 2 ? std::atoi(argv[1]) : 1000;
    Platform& os = SystemPlatform();
    const std::string commandLine = std::string(Self) + " child";

    // One cycle first, so that what the system opens once for good (such as
    // the directory of named objects) is not counted as growth.
    if (!Cycle(os, commandLine, 0)) return 1;
    const long before = OpenCount();
    for (int i = 1; i <= cycles; ++i) {
        if (!Cycle(os, commandLine, i)) return 1;
    }
    const long after = OpenCount();

    std::printf("%d cycles: %ld open %s before, %ld after\n", cycles, before, What, after);
    if (after != before) return 1;
    if (ChildLeft()) {
        std::printf("a child was left unreaped\n");
        return 1;
    }
    return 0;
}
