// The trial of a new kernel: from the swap that puts it in place, or the
// start-up that finds a trial unfinished, until it has run a minute, ended
// under the quit or restart tag, or given way to the kept kernel. Its state
// is one Trial; on disk it is the mark "update\ON_TRIAL" and, where the
// mark outlives the trial, the record of its end, "update\PASSED".
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

// The mark and its record are files: a directory of either name is none.
bool TrialMarked(Platform& os) {
    return IsFile(os, TrialMarkFile);
}

bool PassRecorded(Platform& os) {
    return IsFile(os, PassedFile);
}

// The record of a pass goes with its mark; one left behind means nothing
// without a mark beside it, and a swap clears it before it writes one.
void ForgetPass(Platform& os) {
    if (PassRecorded(os)) (void)RemoveEvenReadOnly(os, PassedFile);
}

// Deletes the mark of a trial that has ended, and again while another
// program holds it, for up to a minute or the deadline; one that stays has
// the end recorded beside it.
void ClearMark(Platform& os, Milliseconds deadline) {
    if (!TrialMarked(os) || RemoveWhenFree(os, TrialMarkFile, deadline)) {
        ForgetPass(os);
        return;
    }
    Log(os, MarkStaysLine);
    (void)os.CreateEmptyFile(PassedFile);
}

// One try at deleting the mark of a trial that has ended, which waits on no
// held file; true once it is gone, and its record with it.
bool TryToClearMark(Platform& os) {
    if (TrialMarked(os) && !RemoveEvenReadOnly(os, TrialMarkFile) && TrialMarked(os)) return false;
    ForgetPass(os);
    return true;
}

// The trial has passed: the kernel runs on, and its mark goes, one try now
// and, while another program holds it, one in each watch pass of the minute
// after. Where the first try fails, the pass is recorded beside the mark.
Trial PassTrial(Platform& os) {
    if (TryToClearMark(os)) return NoTrial();
    (void)os.CreateEmptyFile(PassedFile);
    Trial passed = NoTrial();
    passed.state = TrialState::Passed;
    passed.markTries = MarkTries - 1;
    return passed;
}

// One more try at the mark of a trial that passed; the last logs that it
// stays, and the trial is over either way.
void RetryMark(Platform& os, Trial& trial) {
    if (TryToClearMark(os)) {
        trial = NoTrial();
    } else if (--trial.markTries == 0) {
        Log(os, MarkStaysLine);
        trial = NoTrial();
    }
}

}  // namespace

Trial TakeUpTrial(Platform& os) {
    if (!TrialMarked(os)) return NoTrial();
    // The record says that the trial is over: one try at its mark, as in a
    // watch pass.
    if (PassRecorded(os)) {
        if (!TryToClearMark(os)) Log(os, MarkStaysLine);
        return NoTrial();
    }
    // A kernel that left a quit or restart tag ended under it: it passed.
    // Without the kept kernel there is nothing to go back to.
    if (KeptKernelExists(os) && !QueryTag(os, ControlTag::Quit).present &&
        !QueryTag(os, ControlTag::Restart).present) {
        return NewTrial();
    }
    // Over, as if it had passed in a watch pass: no start waits on its mark.
    return PassTrial(os);
}

bool MarkTrial(Platform& os) {
    // An earlier pass's record goes first: beside the new mark it would pass
    // the new kernel unseen. A directory of that name records nothing.
    return (!PassRecorded(os) || RemoveWhenFree(os, PassedFile, NoDeadline)) &&
           (TrialMarked(os) || os.CreateEmptyFile(TrialMarkFile));
}

Trial NewTrial() {
    Trial trial = NoTrial();
    trial.state = TrialState::OnTrial;
    return trial;
}

void KernelStarted(Platform& os, Trial& trial) {
    if (trial.state != TrialState::OnTrial) return;
    trial.seen = os.TickCount();
    trial.awake = 0;
}

void CountRun(Platform& os, Trial& trial) {
    // Read in every pass, whatever the trial: the platform widens a count
    // that wraps.
    const Milliseconds ticks = os.TickCount();
    switch (trial.state) {
        case TrialState::None: break;
        case TrialState::OnTrial:
            trial.awake += std::min(ticks - trial.seen, LongestPass);
            trial.seen = ticks;
            if (trial.awake >= TrialRun) trial = PassTrial(os);
            break;
        case TrialState::Passed: RetryMark(os, trial); break;
    }
}

// A minute's run passed the kernel already, in the watch pass that began
// after it. It passes when it ends under the quit or restart tag, force quit
// or not. It fails when it ends by itself, under neither tag, and no swap
// follows. A force quit says nothing else either way: the kernel was alive.
Verdict JudgeTry(const Trial& trial, const KernelEnd& end) {
    if (trial.state != TrialState::OnTrial) return Verdict::None;
    switch (end.left) {
        case KernelLeft::QuitTag:
        case KernelLeft::RestartTag: return Verdict::Passed;
        case KernelLeft::UpdateTag: return Verdict::None;
        case KernelLeft::UpdateTagAlone:
        case KernelLeft::NoTag: break;
    }
    return end.forceQuit ? Verdict::None : Verdict::Failed;
}

void TakeVerdict(Platform& os, Trial& trial, Verdict verdict) {
    if (verdict == Verdict::Passed) trial = PassTrial(os);
    if (verdict == Verdict::Failed) ++trial.failedTries;
}

bool KeepsFailing(const Trial& trial) {
    return trial.failedTries >= MaxFailedTries;
}

void LeaveTrial(Platform& os, Trial& trial) {
    if (trial.state != TrialState::Passed) return;
    trial.markTries = 1;
    RetryMark(os, trial);
}

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
    if (!(broken || (onTrial && outOfTime)) || !KeptKernelExists(os)) {
        return Rollback::NothingKept;
    }
    LogLaunchFailure(os, launch.error);
    Log(os,
        onTrial ? "new kernel failed to start, rolling back...\n"
                : "kernel failed to start, rolling back...\n");
    return RollBack(os, trial, deadline);
}

Rollback RollBack(Platform& os, Trial& trial, Milliseconds deadline) {
    const Rollback rollback = PutKeptKernelBack(os, deadline);
    // A rollback that cannot be done now is tried again, by this launcher
    // or by the next one: the trial and its mark stay for it.
    if (rollback != Rollback::NotNow) {
        ClearMark(os, deadline);
        trial = NoTrial();
    }
    // Done or not, the update it asked for is over: a kernel that still
    // wants it asks again. Left in place, the tag would have the kernel
    // force quit.
    if (QueryTag(os, ControlTag::Update).present) RemoveTag(os, ControlTag::Update);
    return rollback;
}
