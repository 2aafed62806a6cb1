// The supervision cycle: watch the kernel, force quit it when it outlives a
// tag, and when it has ended, act on the tag it left.
#include "launcher/launcher.h"

namespace {

constexpr unsigned WatchPause = 5000;         // ms, in every watch pass
constexpr unsigned WatchWait = 1000;          // ms, at most, in every pass
constexpr unsigned RestartPause = 3000;       // ms before a relaunch after a restart tag
constexpr unsigned AbnormalQuitPause = 5000;  // ms before a relaunch after an abnormal quit
constexpr unsigned ForceQuitExitCode = 0;

const char* RelaunchLine(RelaunchCause cause) {
    switch (cause) {
        case RelaunchCause::RestartTagFound: return "kernel relaunched (cause:restart tag found)\n";
        case RelaunchCause::UpdateApplied: return "kernel relaunched!\n";
        case RelaunchCause::UpdateRolledBack:
            return "kernel relaunched (cause:update rolled back)\n";
        case RelaunchCause::AbnormalQuit: return "kernel relaunched (cause:abnormal quit)\n";
    }
    return "";
}

// The kernel just swapped in cannot start: the one it replaced goes back in
// its place, the update is over, and that kernel is started instead.
LaunchResult RollBackAndRelaunch(Platform& os, const LaunchSettings& settings, int error) {
    LogLaunchFailure(os, error);
    os.WriteLog("new kernel failed to start, rolling back...\n");
    RollBackUpdate(os);
    RemoveTag(os, ControlTag::Update);
    return StartKernel(os, settings);
}

}  // namespace

bool WatchPass(Platform& os, Handle kernel) {
    const Seconds now = os.CurrentTime();
    bool forceQuit = IsStale(QueryTag(os, ControlTag::Quit), now);
    if (IsStale(QueryTag(os, ControlTag::Restart), now)) forceQuit = true;
    // However many tags are stale, one line and one termination.
    if (IsStale(QueryTag(os, ControlTag::Update), now) || forceQuit) {
        os.WriteLog("sig timeout, force quit!\n");
        os.TerminateProcess(kernel, ForceQuitExitCode);
    }
    os.Sleep(WatchPause);
    // A failed wait counts as the kernel still running.
    return os.WaitForProcessEnd(kernel, WatchWait);
}

int Supervise(Platform& os, Handle kernel, const LaunchSettings& settings) {
    for (;;) {
        while (!WatchPass(os, kernel)) {
        }

        // The kernel has ended: the first tag present decides, whatever its
        // age and whatever the kernel's exit code.
        RelaunchCause cause;
        bool swapped = false;  // a new kernel file took the old one's place
        if (QueryTag(os, ControlTag::Quit).present) {
            os.WriteLog("deleting quit tag...\n");
            RemoveTag(os, ControlTag::Quit);
            return ExitQuit;
        }
        if (QueryTag(os, ControlTag::Restart).present) {
            RemoveTag(os, ControlTag::Restart);
            os.Sleep(RestartPause);
            cause = RelaunchCause::RestartTagFound;
        } else if (QueryTag(os, ControlTag::Update).present) {
            // After a swap the tag stays; the new kernel is expected to
            // remove it. A skipped update is over: left in place, the tag
            // would have the kernel force quit and the skip repeated.
            os.WriteLog("update file tag found, force updating...\n");
            swapped = RunUpdateSwap(os);
            if (!swapped) RemoveTag(os, ControlTag::Update);
            cause = RelaunchCause::UpdateApplied;
        } else {
            os.Sleep(AbnormalQuitPause);
            cause = RelaunchCause::AbnormalQuit;
        }

        LaunchResult launch = StartKernel(os, settings);
        // A new kernel that cannot start gives way to the one it replaced.
        if (!launch.started && swapped) {
            launch = RollBackAndRelaunch(os, settings, launch.error);
            cause = RelaunchCause::UpdateRolledBack;
        }
        if (!launch.started) {
            ReportLaunchFailure(os, launch.error);
            return ExitFailure;
        }
        os.CloseHandle(kernel);
        kernel = launch.process;
        os.WriteLog(RelaunchLine(cause));
    }
}
