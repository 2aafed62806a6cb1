// The trial of a new kernel: from the swap that puts it in place, or the
// start-up that finds a trial unfinished, until it has run a minute, ended
// under the quit or restart tag, or given way to the kept kernel. Its state
// is one Trial; on disk it is the mark "update\ON_TRIAL" and, where the
// mark outlives the trial, the record of its end (update_files.cpp).
#include <algorithm>

#include "launcher/launcher.h"

namespace {

constexpr Milliseconds TrialRun = 60000;  // a kernel on trial that runs this long has passed
// A longer time between two watch passes is the machine asleep or
// hibernating: it counts as one pass.
constexpr Milliseconds LongestPass = supervision::WatchPause + supervision::WatchWait + 1000;
constexpr int MaxFailedTries = 3;  // from this failed try on, each one rolls back
// The mark of a trial that passed is deleted in the pass that saw it pass,
// or, while another program holds it, in the passes of the minute after.
constexpr int MarkTries = 1 + TrialRun / (supervision::WatchPause + supervision::WatchWait);

constexpr char MarkStaysLine[] = "trial mark cannot be deleted.\n";

Trial NoTrial() {
    return {};
}

// When the mark of a trial that has ended is cleared, and so what becomes of
// a mark that another program holds.
enum class MarkClearing {
    AsTheTrialEnds,  // one try; the end is recorded beside a mark that stays
    InAWatchPass,    // one more try after that
    LastTry,         // one try; a mark that stays is logged
    RollingBack,     // tried up to the deadline; one that stays is logged and
                     // the end recorded beside it
};

// Deletes the mark of a trial that has ended, and the record of its end with
// it; true once it is gone.
bool ClearTrialMark(Platform& os, MarkClearing when, Milliseconds deadline = OneTry) {
    if (DeleteTrialMark(os, deadline)) return true;
    if (when == MarkClearing::LastTry || when == MarkClearing::RollingBack) {
        Log(os, MarkStaysLine);
    }
    if (when == MarkClearing::AsTheTrialEnds || when == MarkClearing::RollingBack) {
        RecordTrialEnd(os);
    }
    return false;
}

// The trial is over, its kernel runs on: its mark goes, one try now and,
// while another program holds it, one in each watch pass of the minute after.
Trial EndTrial(Platform& os) {
    if (ClearTrialMark(os, MarkClearing::AsTheTrialEnds)) return NoTrial();
    Trial passed = NoTrial();
    passed.state = TrialState::Passed;
    passed.markTries = MarkTries - 1;
    return passed;
}

// One more try at the mark of a trial that passed; the last logs that it
// stays, and the trial is over either way.
void RetryMark(Platform& os, Trial& trial) {
    const bool last = trial.markTries == 1;
    if (ClearTrialMark(os, last ? MarkClearing::LastTry : MarkClearing::InAWatchPass) || last) {
        trial = NoTrial();
    } else {
        --trial.markTries;
    }
}

}  // namespace

Trial TakeUpTrial(Platform& os) {
    if (!TrialMarked(os)) return NoTrial();
    // The record says that the trial is over: one try at its mark.
    if (TrialEndRecorded(os)) {
        (void)ClearTrialMark(os, MarkClearing::LastTry);
        return NoTrial();
    }
    // A kernel that left a quit or restart tag ended under it: it passed.
    // Without the kept kernel there is nothing to go back to.
    if (KeptKernelExists(os) && !QueryTag(os, ControlTag::Quit).present &&
        !QueryTag(os, ControlTag::Restart).present) {
        return NewTrial();
    }
    // Over, as if it had passed in a watch pass: no start waits on its mark.
    return EndTrial(os);
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
            if (trial.awake >= TrialRun) trial = EndTrial(os);
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
    if (verdict == Verdict::Passed) trial = EndTrial(os);
    if (verdict == Verdict::Failed) ++trial.failedTries;
}

bool KeepsFailing(const Trial& trial) {
    return trial.failedTries >= MaxFailedTries;
}

void LeaveTrial(Platform& os, Trial& trial) {
    if (trial.state == TrialState::Passed) (void)ClearTrialMark(os, MarkClearing::LastTry);
    trial = NoTrial();
}

Rollback RollBack(Platform& os, Trial& trial, Milliseconds deadline) {
    const Rollback rollback = PutKeptKernelBack(os, deadline);
    // A rollback that cannot be done now is tried again, by this launcher
    // or by the next one: the trial and its mark stay for it.
    if (rollback != Rollback::NotNow) {
        (void)ClearTrialMark(os, MarkClearing::RollingBack, deadline);
        trial = NoTrial();
    }
    // Done or not, the update it asked for is over: a kernel that still
    // wants it asks again. Left in place, the tag would ask for it again at
    // the next kernel's end.
    if (QueryTag(os, ControlTag::Update).present) RemoveTag(os, ControlTag::Update);
    return rollback;
}
