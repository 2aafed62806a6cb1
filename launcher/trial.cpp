// The trial of a new kernel: from the swap that puts it in place, or the
// start-up that finds a trial unfinished, until it has run a minute, ended
// under the quit or restart tag, or given way to the kept kernel. Its state
// is one Trial, its mark on disk "update\ON_TRIAL", and the record of its
// end, "update\PASSED", where the mark outlives it.
#include <algorithm>

#include "launcher/launcher.h"

namespace {

constexpr char TrialMarkFile[] = "update\\ON_TRIAL";
// Written beside a mark that another program holds as its trial passes, or
// ends otherwise: no hold on the mark can keep the end from being recorded,
// and no later launcher puts a kernel that passed on trial again.
constexpr char PassedFile[] = "update\\PASSED";
constexpr char MarkStaysLine[] = "trial mark cannot be deleted.\n";

constexpr Milliseconds TrialRun = 60000;  // a kernel on trial that runs this long has passed
// A longer time between two watch passes is the machine asleep or
// hibernating: it counts as one pass.
constexpr Milliseconds LongestPass = WatchPause + WatchWait + 1000;
constexpr int MaxFailedTries = 3;  // from this failed try on, each one rolls back
// The mark of a trial that passed is deleted in the pass that saw it pass,
// or, while another program holds it, in the passes of the minute after.
constexpr int MarkTries = 1 + TrialRun / (WatchPause + WatchWait);

Trial NoTrial() {
    return {};
}

bool TrialMarked(Platform& os) {
    return IsFile(os, TrialMarkFile);
}

// The record of a pass goes with its mark; one left behind means nothing
// without a mark beside it, and a swap clears it before it writes one.
void ForgetPass(Platform& os) {
    if (Exists(os, PassedFile)) (void)RemoveEvenReadOnly(os, PassedFile);
}

// Deletes the mark of a trial that has ended, and again while another
// program holds it, for up to a minute; one that stays has the end recorded
// beside it.
void ClearMark(Platform& os) {
    if (!TrialMarked(os) || RemoveWhenFree(os, TrialMarkFile)) {
        ForgetPass(os);
        return;
    }
    os.WriteLog(MarkStaysLine);
    (void)os.CreateEmptyFile(PassedFile);
}

// One try at deleting the mark of a trial that passed, for a watch pass,
// which never waits on a held file; the last one logs that it stays.
void TryToClearMark(Platform& os, Trial& trial) {
    --trial.markTries;
    if (!TrialMarked(os) || RemoveEvenReadOnly(os, TrialMarkFile) || !TrialMarked(os)) {
        trial.markTries = 0;
        ForgetPass(os);
    } else if (trial.markTries == 0) {
        os.WriteLog(MarkStaysLine);
    }
}

// The trial has passed: the kernel runs on, and its mark goes, one try now
// and, while another program holds it, one in each watch pass of the minute
// after. Where the first try fails, the pass is recorded beside the mark.
Trial PassTrial(Platform& os) {
    Trial trial = NoTrial();
    trial.markTries = MarkTries;
    TryToClearMark(os, trial);
    if (trial.markTries > 0) (void)os.CreateEmptyFile(PassedFile);
    return trial;
}

// A swap follows the kernel's end only where it asked for one and left the
// new file: a staged file alone is no request.
bool SwapRequested(Platform& os) {
    return QueryTag(os, ControlTag::Update).present && NewKernelWaiting(os);
}

}  // namespace

Trial TakeUpTrial(Platform& os) {
    if (!TrialMarked(os)) return NoTrial();
    // A kernel passed where its pass was recorded, and where it left a quit
    // or restart tag: it ended under it. Without the kept kernel there is
    // nothing to go back to.
    if (KeptKernelExists(os) && !Exists(os, PassedFile) &&
        !QueryTag(os, ControlTag::Quit).present && !QueryTag(os, ControlTag::Restart).present) {
        return NewTrial();
    }
    ClearMark(os);
    return NoTrial();
}

bool MarkTrial(Platform& os) {
    // An earlier pass's record goes first: beside the new mark it would pass
    // the new kernel unseen.
    return RemoveWhenFree(os, PassedFile) && (TrialMarked(os) || os.CreateEmptyFile(TrialMarkFile));
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
        if (trial.awake >= TrialRun) {
            trial = PassTrial(os);
            return;
        }
    }
    if (trial.markTries > 0) TryToClearMark(os, trial);
}

// A minute's run passed the kernel already, in the watch pass that began
// after it. It passes when it ends under the quit or restart tag, force quit
// or not. It fails when it ends by itself, under neither tag, and no swap
// follows. A force quit says nothing else either way: the kernel was alive.
Verdict JudgeTry(Platform& os, Trial& trial, bool forceQuit) {
    if (!trial.onTrial) return Verdict::None;
    if (QueryTag(os, ControlTag::Quit).present || QueryTag(os, ControlTag::Restart).present) {
        trial = PassTrial(os);
        return Verdict::Passed;
    }
    if (forceQuit || SwapRequested(os)) return Verdict::None;
    ++trial.failedTries;
    return Verdict::Failed;
}

bool KeepsFailing(const Trial& trial) {
    return trial.failedTries >= MaxFailedTries;
}

void LeaveTrial(Platform& os, Trial& trial) {
    // The held mark of a trial that passed: its last try, and a line where
    // it stays.
    if (trial.markTries > 0) {
        trial.markTries = 1;
        TryToClearMark(os, trial);
    }
}

Rollback FallBackOnKeptKernel(Platform& os,
                              Trial& trial,
                              const LaunchResult& launch,
                              bool outOfTime) {
    // The installation comes back with the kernel an update replaced where
    // the kernel file is broken (an update cut short, a new kernel that is
    // no program, a kernel file damaged or deleted), and where a new kernel,
    // which proved nothing, cannot be started in time. A failure that may
    // pass is no failed try. A kernel that has run is never given up for
    // such a failure: it may have moved its data on.
    const bool broken = launch.failure == StartFailure::Broken;
    if (!(broken || (trial.onTrial && outOfTime)) || !KeptKernelExists(os)) {
        return Rollback::NothingKept;
    }
    LogLaunchFailure(os, launch.error);
    os.WriteLog(trial.onTrial ? "new kernel failed to start, rolling back...\n"
                              : "kernel failed to start, rolling back...\n");
    return RollBack(os, trial);
}

Rollback RollBack(Platform& os, Trial& trial) {
    const Rollback rollback = PutKeptKernelBack(os);
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
