// The supervision cycle: watch the kernel, force quit it when it outlives a
// tag, and when it has ended, act on the tag it left.
#include "launcher/launcher.h"

namespace {

constexpr unsigned WatchPause = 5000;         // ms, in every watch pass
constexpr unsigned WatchWait = 1000;          // ms, at most, in every pass
constexpr unsigned RestartPause = 3000;       // ms before a relaunch after a restart tag
constexpr unsigned AbnormalQuitPause = 5000;  // ms before a relaunch after an abnormal quit
constexpr unsigned ForceQuitExitCode = 0;

// A kernel just swapped in, or left on trial by a launcher that died, is on
// trial until it has shown that it runs; one that keeps ending at once gives
// way to the kernel it replaced. The trial is kept in memory; on disk its
// mark is the kernel's own "update.do", left in place until the trial is
// over.
struct Trial {
    bool onTrial;
    Milliseconds started;  // the tick count at the latest start of the kernel on trial
    int failedTries;       // failed tries in a row
};
constexpr Milliseconds TrialRun = 60000;  // a kernel that runs this long has passed
constexpr int MaxFailedTries = 3;         // the failed try that ends the update

enum class Verdict { None, Passed, Failed };

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

// A swap follows the kernel's end only where it asked for one and left the
// new file: a staged file alone is no request.
bool SwapRequested(Platform& os) {
    return QueryTag(os, ControlTag::Update).present && NewKernelWaiting(os);
}

// The kernel on trial has ended. It passes when it has run a minute or ends
// under the quit or restart tag, force quit or not. It fails when it ends by
// itself sooner, under neither tag, and no swap follows. A force quit says
// nothing else either way: the kernel was alive.
Verdict JudgeTry(Platform& os, const Trial& trial, const PassReport& end) {
    if (!trial.onTrial) return Verdict::None;
    if (end.ticks - trial.started >= TrialRun || QueryTag(os, ControlTag::Quit).present ||
        QueryTag(os, ControlTag::Restart).present) {
        return Verdict::Passed;
    }
    if (end.terminated || SwapRequested(os)) return Verdict::None;
    return Verdict::Failed;
}

// The trial is over: its mark has served, unless it asks for a swap still.
void ClearTrialMark(Platform& os) {
    if (QueryTag(os, ControlTag::Update).present && !NewKernelWaiting(os)) {
        RemoveTag(os, ControlTag::Update);
    }
}

}  // namespace

bool TrialLeftUnfinished(Platform& os) {
    // A kernel that left a quit or restart tag ended under it, and passed.
    return QueryTag(os, ControlTag::Update).present && KeptKernelExists(os) &&
           !NewKernelWaiting(os) && !QueryTag(os, ControlTag::Quit).present &&
           !QueryTag(os, ControlTag::Restart).present;
}

bool WatchPass(Platform& os, Handle kernel, PassReport* report) {
    const Seconds now = os.CurrentTime();
    const Milliseconds ticks = os.TickCount();
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
    if (report != nullptr) *report = {ticks, forceQuit};
    return ended;
}

int Supervise(Platform& os, Handle kernel, const LaunchSettings& settings, bool kernelOnTrial) {
    Trial trial = {kernelOnTrial, kernelOnTrial ? os.TickCount() : 0, 0};
    for (;;) {
        PassReport end = {};
        while (!WatchPass(os, kernel, &end)) {
        }

        // The kernel on trial is judged first, so that a kernel that passed
        // leaves no mark for a later launcher to take up.
        const Verdict verdict = JudgeTry(os, trial, end);
        if (verdict == Verdict::Passed) {
            trial = {};
            ClearTrialMark(os);
        }
        if (verdict == Verdict::Failed) ++trial.failedTries;
        // Then the first that holds decides, whatever the tags' age and the
        // kernel's exit code.
        if (QueryTag(os, ControlTag::Quit).present) {
            os.WriteLog("deleting quit tag...\n");
            RemoveTag(os, ControlTag::Quit);
            return ExitQuit;
        }
        RelaunchCause cause = RelaunchCause::AbnormalQuit;
        if (trial.failedTries == MaxFailedTries) {
            // The update is over, rolled back where the kernel it replaced is
            // kept and the failed one can be cleared away.
            os.WriteLog("new kernel keeps failing, rolling back...\n");
            trial = {};
            if (RollBackUpdate(os)) {
                cause = RelaunchCause::UpdateRolledBack;
            } else {
                ClearTrialMark(os);
                os.Sleep(AbnormalQuitPause);
            }
        } else if (QueryTag(os, ControlTag::Restart).present) {
            RemoveTag(os, ControlTag::Restart);
            os.Sleep(RestartPause);
            cause = RelaunchCause::RestartTagFound;
        } else if (verdict != Verdict::Failed && QueryTag(os, ControlTag::Update).present) {
            // A failed try is relaunched as after an abnormal quit, its mark
            // left in place. After a swap the tag stays; the new kernel is
            // expected to remove it. A skipped update is over: left in place,
            // the tag would have the kernel force quit and the skip repeated.
            os.WriteLog("update file tag found, force updating...\n");
            if (RunUpdateSwap(os, trial.onTrial)) {
                trial = {true, 0, 0};  // a newer kernel has a trial of its own
            } else {
                RemoveTag(os, ControlTag::Update);
            }
            cause = RelaunchCause::UpdateApplied;
        } else {
            os.Sleep(AbnormalQuitPause);
        }

        LaunchResult launch = StartKernel(os, settings);
        if (FallBackOnKeptKernel(os, settings, trial.onTrial, &launch)) {
            trial = {};
            cause = RelaunchCause::UpdateRolledBack;
        }
        if (!launch.started) {
            ReportLaunchFailure(os, launch.error);
            return ExitFailure;
        }
        if (trial.onTrial) trial.started = os.TickCount();
        os.CloseHandle(kernel);
        kernel = launch.process;
        os.WriteLog(RelaunchLine(cause));
    }
}
