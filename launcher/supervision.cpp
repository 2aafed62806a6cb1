// The supervision cycle: watch the kernel, force quit it when it outlives a
// tag, and when it has ended, act on the tag it left.
#include "launcher/launcher.h"

namespace {

constexpr unsigned WatchPause = 5000;         // ms, in every watch pass
constexpr unsigned WatchWait = 1000;          // ms, at most, in every pass
constexpr unsigned RestartPause = 3000;       // ms before a relaunch after a restart tag
constexpr unsigned AbnormalQuitPause = 5000;  // ms before a relaunch after an abnormal quit
constexpr unsigned ForceQuitExitCode = 0;

// A kernel just swapped in is on trial until it has shown that it runs; one
// that keeps ending at once gives way to the kernel it replaced. The trial
// lives in memory only: the launcher writes no files of its own.
struct Trial {
    bool onTrial;
    Seconds started;  // the clock at the latest start of the kernel on trial
    int failedTries;  // quick ends in a row
};
constexpr Seconds TrialRun = 60;   // a kernel that runs this long has passed
constexpr int MaxFailedTries = 3;  // the quick end that ends the update

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

// The kernel on trial has ended. An end of its own within a minute of its
// start, under no restart tag and with no newer kernel waiting, is a failed
// try; a restart tag or a minute's run ends the trial well. A force quit
// says nothing either way: the kernel was alive.
void JudgeTry(Platform& os, Trial* trial, const PassReport& end, bool restartTag) {
    if (!trial->onTrial || end.terminated) return;
    if (restartTag || end.now - trial->started >= TrialRun) {
        *trial = {};
    } else if (!NewKernelWaiting(os)) {
        ++trial->failedTries;
    }
}

// The kernel on trial has failed: the one it replaced goes back in its place
// and the update is over.
void EndUpdate(Platform& os) {
    RollBackUpdate(os);
    if (QueryTag(os, ControlTag::Update).present) RemoveTag(os, ControlTag::Update);
}

}  // namespace

bool WatchPass(Platform& os, Handle kernel, PassReport* report) {
    const Seconds now = os.CurrentTime();
    bool forceQuit = IsStale(QueryTag(os, ControlTag::Quit), now);
    if (IsStale(QueryTag(os, ControlTag::Restart), now)) forceQuit = true;
    // However many tags are stale, one line and one termination.
    if (IsStale(QueryTag(os, ControlTag::Update), now)) forceQuit = true;
    if (forceQuit) {
        os.WriteLog("sig timeout, force quit!\n");
        os.TerminateProcess(kernel, ForceQuitExitCode);
    }
    os.Sleep(WatchPause);
    // A failed wait counts as the kernel still running.
    const bool ended = os.WaitForProcessEnd(kernel, WatchWait);
    if (report != nullptr) *report = {now, forceQuit};
    return ended;
}

int Supervise(Platform& os, Handle kernel, const LaunchSettings& settings) {
    Trial trial = {};  // the kernel of the first launch is not on trial
    for (;;) {
        PassReport end = {};
        while (!WatchPass(os, kernel, &end)) {
        }

        // The kernel has ended: the first tag present decides, whatever its
        // age and whatever the kernel's exit code, unless the kernel on
        // trial has just failed for the last time.
        RelaunchCause cause;
        if (QueryTag(os, ControlTag::Quit).present) {
            os.WriteLog("deleting quit tag...\n");
            RemoveTag(os, ControlTag::Quit);
            return ExitQuit;
        }
        const bool restartTag = QueryTag(os, ControlTag::Restart).present;
        JudgeTry(os, &trial, end, restartTag);
        if (trial.failedTries == MaxFailedTries) {
            os.WriteLog("new kernel keeps failing, rolling back...\n");
            EndUpdate(os);
            trial = {};
            cause = RelaunchCause::UpdateRolledBack;
        } else if (restartTag) {
            RemoveTag(os, ControlTag::Restart);
            os.Sleep(RestartPause);
            cause = RelaunchCause::RestartTagFound;
        } else if (QueryTag(os, ControlTag::Update).present) {
            // After a swap the tag stays; the new kernel is expected to
            // remove it. A skipped update is over: left in place, the tag
            // would have the kernel force quit and the skip repeated.
            os.WriteLog("update file tag found, force updating...\n");
            if (RunUpdateSwap(os)) {
                trial = {true, 0, 0};  // a newer kernel has a trial of its own
            } else {
                RemoveTag(os, ControlTag::Update);
            }
            cause = RelaunchCause::UpdateApplied;
        } else {
            os.Sleep(AbnormalQuitPause);
            cause = RelaunchCause::AbnormalQuit;
        }

        LaunchResult launch = StartKernel(os, settings);
        // A kernel on trial that cannot start gives way to the one it
        // replaced, and that one is started instead.
        if (!launch.started && trial.onTrial) {
            LogLaunchFailure(os, launch.error);
            os.WriteLog("new kernel failed to start, rolling back...\n");
            EndUpdate(os);
            trial = {};
            cause = RelaunchCause::UpdateRolledBack;
            launch = StartKernel(os, settings);
        }
        if (!launch.started) {
            ReportLaunchFailure(os, launch.error);
            return ExitFailure;
        }
        if (trial.onTrial) trial.started = os.CurrentTime();
        os.CloseHandle(kernel);
        kernel = launch.process;
        os.WriteLog(RelaunchLine(cause));
    }
}
