// The supervision cycle: watch the kernel, force quit it when it outlives a
// tag, and when it has ended, act on the tag it left.
#include <algorithm>

#include "launcher/launcher.h"

namespace {

constexpr unsigned WatchPause = 5000;         // ms, in every watch pass
constexpr unsigned WatchWait = 1000;          // ms, at most, in every pass
constexpr unsigned RestartPause = 3000;       // ms before a relaunch after a restart tag
constexpr unsigned AbnormalQuitPause = 5000;  // ms before a relaunch after an abnormal quit
constexpr unsigned ForceQuitExitCode = 0;

constexpr Milliseconds TrialRun = 60000;  // a kernel on trial that runs this long has passed
// A pass takes about six seconds: a longer time between two passes is the
// machine asleep or hibernating, and counts as one pass.
constexpr Milliseconds LongestPass = 7000;
constexpr int MaxFailedTries = 3;  // from this failed try on, each one rolls back
// The mark of a trial that passed is deleted in the pass that saw it pass,
// or, while another program holds it, in the passes of the minute after.
constexpr int MarkTries = 1 + 10;

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

// The kernel on trial has shown that it runs: its mark has served.
void EndTrial(Platform& os, Trial* trial) {
    *trial = {};
    ClearTrialMark(os);
}

// The kernel on trial has ended (a minute's run passed it already, in the
// watch pass that began after it). It passes when it ends under the quit or
// restart tag, force quit or not. It fails when it ends by itself, under
// neither tag, and no swap follows. A force quit says nothing else either
// way: the kernel was alive.
Verdict JudgeTry(Platform& os, const Trial& trial, bool forceQuit) {
    if (!trial.onTrial) return Verdict::None;
    if (QueryTag(os, ControlTag::Quit).present || QueryTag(os, ControlTag::Restart).present) {
        return Verdict::Passed;
    }
    if (forceQuit || SwapRequested(os)) return Verdict::None;
    return Verdict::Failed;
}

}  // namespace

bool TrialLeftUnfinished(Platform& os) {
    if (!TrialMarked(os)) return false;
    // A kernel that left a quit or restart tag ended under it, and passed;
    // without the kept kernel there is nothing to go back to.
    if (KeptKernelExists(os) && !QueryTag(os, ControlTag::Quit).present &&
        !QueryTag(os, ControlTag::Restart).present) {
        return true;
    }
    ClearTrialMark(os);
    return false;
}

bool WatchPass(Platform& os, Handle kernel, Trial* trial, bool* forceQuit) {
    const Seconds now = os.CurrentTime();
    const Milliseconds ticks = os.TickCount();
    // Judged before the pause, which a launcher may not outlive: a kernel
    // that passed leaves no mark behind.
    if (trial->onTrial) {
        trial->awake += std::min(ticks - trial->seen, LongestPass);
        trial->seen = ticks;
        if (trial->awake >= TrialRun) *trial = {false, 0, 0, 0, MarkTries};
    }
    // One try per pass: a pass that waited on a held mark would see stale
    // tags and ended kernels late.
    if (trial->markTries > 0) {
        --trial->markTries;
        if (ClearTrialMarkOnce(os, trial->markTries == 0)) trial->markTries = 0;
    }
    bool stale = IsStale(QueryTag(os, ControlTag::Quit), now);
    if (IsStale(QueryTag(os, ControlTag::Restart), now)) stale = true;
    // However many tags are stale, one line and one termination.
    if (IsStale(QueryTag(os, ControlTag::Update), now)) stale = true;
    if (stale) {
        os.WriteLog("sig timeout, force quit!\n");
        os.TerminateProcess(kernel, ForceQuitExitCode);
    }
    os.Sleep(WatchPause);
    // A failed wait counts as the kernel still running.
    const bool ended = os.WaitForProcessEnd(kernel, WatchWait);
    if (forceQuit != nullptr) *forceQuit = stale;
    return ended;
}

int Supervise(Platform& os, Handle kernel, const LaunchSettings& settings, bool kernelOnTrial) {
    Trial trial = {kernelOnTrial, kernelOnTrial ? os.TickCount() : 0, 0, 0, 0};
    for (;;) {
        bool forceQuit = false;
        while (!WatchPass(os, kernel, &trial, &forceQuit)) {
        }

        // The kernel on trial is judged first, so that a kernel that passed
        // leaves no mark for a later launcher to take up.
        const Verdict verdict = JudgeTry(os, trial, forceQuit);
        if (verdict == Verdict::Passed) EndTrial(os, &trial);
        if (verdict == Verdict::Failed) ++trial.failedTries;
        // Then the first that holds decides, whatever the tags' age and the
        // kernel's exit code.
        if (QueryTag(os, ControlTag::Quit).present) {
            os.WriteLog("deleting quit tag...\n");
            RemoveTag(os, ControlTag::Quit);
            // The held mark of a trial that passed: a last try, and a line
            // for why the next launcher has the kernel on trial.
            if (trial.markTries > 0) (void)ClearTrialMarkOnce(os, true);
            return ExitQuit;
        }
        RelaunchCause cause = RelaunchCause::AbnormalQuit;
        if (verdict == Verdict::Failed && trial.failedTries >= MaxFailedTries) {
            // The update is over where the kernel it replaced is back, or
            // where nothing is kept to go back to. A rollback that cannot be
            // done now keeps the trial, and is tried at every failed try.
            os.WriteLog("new kernel keeps failing, rolling back...\n");
            const Rollback rollback = RollBackUpdate(os, true);
            if (rollback != Rollback::NotNow) trial = {};
            if (rollback == Rollback::Done) {
                cause = RelaunchCause::UpdateRolledBack;
            } else {
                os.Sleep(AbnormalQuitPause);
            }
        } else if (QueryTag(os, ControlTag::Restart).present) {
            RemoveTag(os, ControlTag::Restart);
            os.Sleep(RestartPause);
            cause = RelaunchCause::RestartTagFound;
        } else if (verdict != Verdict::Failed && QueryTag(os, ControlTag::Update).present) {
            // A failed try is relaunched as after an abnormal quit, its tag
            // left in place. After a swap the tag stays; the new kernel is
            // expected to remove it. A skipped update is over: left in place,
            // the tag would have the kernel force quit and the skip repeated.
            os.WriteLog("update file tag found, force updating...\n");
            if (RunUpdateSwap(os, trial.onTrial)) {
                trial = {true, 0, 0, 0, 0};  // a newer kernel has a trial of its own
            } else {
                RemoveTag(os, ControlTag::Update);
            }
            cause = RelaunchCause::UpdateApplied;
        } else {
            os.Sleep(AbnormalQuitPause);
        }

        bool stillOnTrial = trial.onTrial;
        bool rolledBack = false;
        const LaunchResult launch = LaunchKernel(os, settings, &stillOnTrial, &rolledBack);
        if (trial.onTrial && !stillOnTrial) trial = {};  // rolled back, or nothing kept
        if (rolledBack) cause = RelaunchCause::UpdateRolledBack;
        if (!launch.started) {
            ReportLaunchFailure(os, launch.error);
            return ExitFailure;
        }
        if (trial.onTrial) {
            trial.seen = os.TickCount();
            trial.awake = 0;
        }
        os.CloseHandle(kernel);
        kernel = launch.process;
        os.WriteLog(RelaunchLine(cause));
    }
}
