// The trial of a new kernel: from the swap that puts it in place, or the
// start-up that finds a trial unfinished, until it has run a minute, ended
// under the quit or restart tag, or given way to the kept kernel. Its state
// is one Trial, its mark on disk "update\ON_TRIAL".
#include <algorithm>

#include "launcher/launcher.h"

namespace {

constexpr char TrialMarkFile[] = "update\\ON_TRIAL";
constexpr char MarkStaysLine[] = "trial mark cannot be deleted.\n";

constexpr Milliseconds TrialRun = 60000;  // a kernel on trial that runs this long has passed
// A longer time between two watch passes is the machine asleep or
// hibernating: it counts as one pass.
constexpr Milliseconds LongestPass = WatchPause + WatchWait + 1000;
constexpr int MaxFailedTries = 3;  // from this failed try on, each one rolls back
// The mark of a trial that passed is deleted in the pass that saw it pass,
// or, while another program holds it, in the passes of the minute after.
constexpr int MarkTries = 1 + TrialRun / (WatchPause + WatchWait);

// ---- Its states ----

Trial NoTrial() {
    return {};
}

// Passed: the kernel runs on, and its mark goes, a try a pass.
Trial PassedTrial() {
    Trial trial = {};
    trial.markTries = MarkTries;
    return trial;
}

// ---- Its mark ----

bool TrialMarked(Platform& os) {
    return IsFile(os, TrialMarkFile);
}

// Deletes the mark, and again while another program holds it, for up to a
// minute. Left in place, it puts a kernel that passed on trial once more,
// for a minute, in the next launcher.
void ClearMark(Platform& os) {
    if (TrialMarked(os) && !RemoveWhenFree(os, TrialMarkFile)) os.WriteLog(MarkStaysLine);
}

// One try at deleting the mark, for a watch pass, which never waits on a
// held file: false while it is there. The last try logs that it stays.
bool ClearMarkOnce(Platform& os, bool lastTry) {
    if (!TrialMarked(os) || RemoveEvenReadOnly(os, TrialMarkFile) || !TrialMarked(os)) return true;
    if (lastTry) os.WriteLog(MarkStaysLine);
    return false;
}

// A swap follows the kernel's end only where it asked for one and left the
// new file: a staged file alone is no request.
bool SwapRequested(Platform& os) {
    return QueryTag(os, ControlTag::Update).present && NewKernelWaiting(os);
}

}  // namespace

Trial TakeUpTrial(Platform& os) {
    if (!TrialMarked(os)) return NoTrial();
    // A kernel that left a quit or restart tag ended under it, and passed;
    // without the kept kernel there is nothing to go back to.
    if (KeptKernelExists(os) && !QueryTag(os, ControlTag::Quit).present &&
        !QueryTag(os, ControlTag::Restart).present) {
        return NewTrial();
    }
    ClearMark(os);
    return NoTrial();
}

bool MarkTrial(Platform& os) {
    return TrialMarked(os) || os.CreateEmptyFile(TrialMarkFile);
}

Trial NewTrial() {
    Trial trial = {};
    trial.onTrial = true;
    return trial;
}

void KernelStarted(Platform& os, Trial& trial) {
    trial.rolledBack = false;
    if (!trial.onTrial) return;
    trial.seen = os.TickCount();
    trial.awake = 0;
}

void CountRun(Platform& os, Trial& trial) {
    // Read in every pass, whether or not a kernel is on trial: the platform
    // widens a count that wraps.
    const Milliseconds ticks = os.TickCount();
    if (trial.onTrial) {
        trial.awake += std::min(ticks - trial.seen, LongestPass);
        trial.seen = ticks;
        if (trial.awake >= TrialRun) trial = PassedTrial();
    }
    // One try per pass: a pass that waited on a held mark would see stale
    // tags and ended kernels late.
    if (trial.markTries > 0) {
        --trial.markTries;
        if (ClearMarkOnce(os, trial.markTries == 0)) trial.markTries = 0;
    }
}

// A minute's run passed the kernel already, in the watch pass that began
// after it. It passes when it ends under the quit or restart tag, force quit
// or not. It fails when it ends by itself, under neither tag, and no swap
// follows. A force quit says nothing else either way: the kernel was alive.
Verdict JudgeTry(Platform& os, Trial& trial, bool forceQuit) {
    if (!trial.onTrial) return Verdict::None;
    if (QueryTag(os, ControlTag::Quit).present || QueryTag(os, ControlTag::Restart).present) {
        trial = NoTrial();
        ClearMark(os);
        return Verdict::Passed;
    }
    if (forceQuit || SwapRequested(os)) return Verdict::None;
    ++trial.failedTries;
    return Verdict::Failed;
}

bool KeepsFailing(const Trial& trial) {
    return trial.failedTries >= MaxFailedTries;
}

void LeaveTrial(Platform& os, const Trial& trial) {
    // The held mark of a trial that passed: a last try, and a line for why
    // the next launcher has the kernel on trial.
    if (trial.markTries > 0) (void)ClearMarkOnce(os, true);
}

Rollback FallBackOnKeptKernel(Platform& os, Trial& trial, const LaunchResult& launch) {
    // The installation comes back with the kernel an update replaced where
    // the kernel file is broken (an update cut short, a new kernel that is
    // no program, a kernel file damaged or deleted), and where a new kernel,
    // which proved nothing, does not start. A kernel that has run is never
    // given up for a reason that may pass: it may have moved its data on.
    if (!(launch.failure == StartFailure::Broken || trial.onTrial) || !KeptKernelExists(os)) {
        return Rollback::NothingKept;
    }
    LogLaunchFailure(os, launch.error);
    os.WriteLog(trial.onTrial ? "new kernel failed to start, rolling back...\n"
                              : "kernel failed to start, rolling back...\n");
    return RollBack(os, trial);
}

Rollback RollBack(Platform& os, Trial& trial) {
    const Rollback rollback = PutKeptKernelBack(os, trial);
    // A rollback that cannot be done now is tried again, by this launcher
    // or by the next one: the mark stays for it.
    if (rollback != Rollback::NotNow) ClearMark(os);
    // Done or not, the update it asked for is over: a kernel that still
    // wants it asks again. Left in place, the tag would have the kernel
    // force quit.
    if (QueryTag(os, ControlTag::Update).present) RemoveTag(os, ControlTag::Update);
    if (rollback != Rollback::NotNow && trial.onTrial) trial = NoTrial();
    if (rollback == Rollback::Done) trial.rolledBack = true;
    return rollback;
}
