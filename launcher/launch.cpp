// A kernel launch: "kernel.bin" started until it runs, for the first launch
// and every relaunch. Every decision of a start that fails is here: to try
// again at once, to wait, to fall back on the kept kernel, or to give up and
// tell the user why.
#include <cstdio>

#include "launcher/launcher.h"

namespace {

// A start that failed for a reason that may pass is tried again after this
// long, up to a deadline this long after the launch's first failure: then
// the user is told.
constexpr unsigned NotStartedPause = 5000;           // ms
constexpr Milliseconds FailingStartsBound = 120000;  // ms

// 无法启动NX8内核, 请重新安装NX8.
constexpr char LaunchFailedNotice[] =
    "\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb, "
    "\xc7\xeb\xd6\xd8\xd0\xc2\xb0\xb2\xd7\xb0NX8.";

// 暂时无法启动NX8内核, 请稍后重试.
constexpr char NotStartedNowNotice[] =
    "\xd4\xdd\xca\xb1\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb, "
    "\xc7\xeb\xc9\xd4\xba\xf3\xd6\xd8\xca\xd4.";

void LogLaunchFailure(Platform& os, int error) {
    char line[48];
    (void)std::snprintf(line, sizeof line, "CreateProcess failed (%d)\n", error);
    Log(os, line);
}

// The launcher gives up on the kernel: the notice, then, once the user has
// pressed OK, the log line.
void ReportLaunchFailure(Platform& os, const char* notice, int error) {
    Notify(os, notice);
    LogLaunchFailure(os, error);
}

// A start that failed for a reason that may pass, or a rollback that cannot
// be done now: the start is tried again in a while, or at the deadline,
// whichever comes first.
void WaitToTryAgain(Platform& os, Milliseconds deadline) {
    const unsigned pause = PauseWithin(NotStartedPause, deadline - os.TickCount());
    char line[64];
    (void)std::snprintf(
        line, sizeof line, "kernel not started, trying again in %u s...\n", (pause + 999) / 1000);
    Log(os, line);
    os.Sleep(pause);
}

// A start has failed: a broken kernel file, and a kernel on trial that
// could not be started by the launch's deadline, give way to the kept
// kernel, with a log line that says why.
Rollback FallBackOnKeptKernel(Platform& os,
                              Trial& trial,
                              const LaunchResult& launch,
                              Milliseconds deadline) {
    // The installation comes back with the kernel an update replaced where
    // the kernel file is broken (an update cut short, a new kernel that is
    // no program, a kernel file damaged or deleted), and where a new kernel,
    // which proved nothing, cannot be started in time. A failure that may
    // pass is no failed try. A kernel that has run is never given up for
    // such a failure: it may have moved its data on.
    const bool onTrial = trial.state == TrialState::OnTrial;
    const bool broken = launch.failure == StartFailure::Broken;
    const bool outOfTime = os.TickCount() >= deadline;
    if (!broken && !(onTrial && outOfTime)) return Rollback::NotDue;
    if (!KeptKernelExists(os)) return Rollback::NothingKept;
    LogLaunchFailure(os, launch.error);
    Log(os,
        onTrial ? "new kernel failed to start, rolling back...\n"
                : "kernel failed to start, rolling back...\n");
    return RollBack(os, trial, deadline);
}

}  // namespace

KernelLaunch LaunchKernel(Platform& os, const char* kernelCommandLine, Trial& trial) {
    // Set at the launch's first failure.
    Milliseconds deadline = NoDeadline;
    bool rolledBack = false;
    int heldRetries = 0;
    for (;;) {
        const TagsAtStart tags = QueryTagsAtStart(os);
        const LaunchResult launch = os.StartProcess(kernelCommandLine);
        if (launch.started) {
            const Kernel kernel = {launch.process, launch.processId, tags};
            RecordKernelStart(os, kernel.id);
            return {true, kernel, rolledBack};
        }
        if (deadline == NoDeadline) deadline = os.TickCount() + FailingStartsBound;
        if (launch.failure == StartFailure::Held && TryAgainWhenFree(os, &heldRetries, deadline)) {
            continue;
        }
        heldRetries = 0;
        // The kept kernel starts now, or, where it cannot be put back yet,
        // the one in place again, and with it the rollback.
        const Rollback rollback = FallBackOnKeptKernel(os, trial, launch, deadline);
        if (rollback == Rollback::Done) {
            // Another kernel: a launch of its own, with a deadline of its own.
            deadline = NoDeadline;
            rolledBack = true;
            continue;
        }
        // Reinstalling is the remedy only for a kernel file that is broken,
        // with nothing to go back to. Anything else may pass: the user is
        // told so once it has not passed by the deadline, which the
        // rollback's own retries may have reached.
        if (launch.failure == StartFailure::Broken && rollback == Rollback::NothingKept) {
            ReportLaunchFailure(os, LaunchFailedNotice, launch.error);
            return {};
        }
        if (os.TickCount() >= deadline) {
            ReportLaunchFailure(os, NotStartedNowNotice, launch.error);
            return {};
        }
        // A rollback that cannot be done now has said why.
        if (rollback != Rollback::NotNow) LogLaunchFailure(os, launch.error);
        WaitToTryAgain(os, deadline);
    }
}
