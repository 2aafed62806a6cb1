// What the launcher does to files: removals, the stock commands of the
// command interpreter, and patience with a file another program holds.
#include <cstdio>

#include "launcher/launcher.h"

namespace {

// A virus scanner's cloud check holds a new executable for up to a minute.
constexpr unsigned InUseRetryPause = 1000;  // ms
constexpr int MaxInUseRetries = 60;
// A hung interpreter, or a move that stalls on a network share, must not
// hold the launcher up for ever, nor a launch past its deadline. One run at
// the deadline, as a trial's fallback is, still has a few seconds: the
// interpreter starts, and a move is done, in a moment.
constexpr unsigned CommandTimeLimit = 60000;    // ms
constexpr unsigned CommandTimeAtTheEnd = 5000;  // ms

}  // namespace

unsigned PauseWithin(unsigned milliseconds, Milliseconds left) {
    if (left <= 0) return 0;
    return left < milliseconds ? static_cast<unsigned>(left) : milliseconds;
}

bool TryAgainWhenFree(Platform& os, int* retries, Milliseconds deadline) {
    const Milliseconds left = deadline - os.TickCount();
    if (*retries == MaxInUseRetries || left <= 0) return false;
    if (++*retries == 1) Log(os, "file in use, trying again...\n");
    os.Sleep(PauseWithin(InUseRetryPause, left));
    return true;
}

bool RemoveEvenReadOnly(Platform& os, const char* name) {
    const FileStatus status = os.QueryFileStatus(name);
    if (status.found && status.readOnly) os.ClearReadOnly(name);
    return os.RemoveFile(name);
}

bool RemoveWhenFree(Platform& os, const char* name, Milliseconds deadline) {
    int retries = 0;
    for (;;) {
        if (!Exists(os, name) || RemoveEvenReadOnly(os, name)) return true;
        const FileStatus left = os.QueryFileStatus(name);
        if (!left.found) return true;
        if (left.directory || !TryAgainWhenFree(os, &retries, deadline)) return false;
    }
}

bool Exists(Platform& os, const char* name) {
    return os.QueryFileStatus(name).found;
}

bool IsFile(Platform& os, const char* name) {
    const FileStatus status = os.QueryFileStatus(name);
    return status.found && !status.directory;
}

bool RunStockCommand(Platform& os, const char* command, Milliseconds deadline) {
    const Milliseconds left = deadline - os.TickCount();
    const unsigned limit =
        left < CommandTimeAtTheEnd ? CommandTimeAtTheEnd : PauseWithin(CommandTimeLimit, left);
    if (os.RunCommand(command, limit)) return true;
    char line[64];
    (void)std::snprintf(
        line, sizeof line, "command did not finish in %u s, ended.\n", (limit + 999) / 1000);
    Log(os, line);
    return false;
}
