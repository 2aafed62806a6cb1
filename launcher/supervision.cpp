// The supervision cycle: watch the kernel, force quit it when it outlives a
// tag of its own, and when it has ended, act on the tag it left.
#include <initializer_list>

#include "launcher/launcher.h"

namespace {

constexpr unsigned RestartPause = 3000;       // ms before a relaunch after a restart tag
constexpr unsigned AbnormalQuitPause = 5000;  // ms before a relaunch after an abnormal quit
constexpr unsigned ForceQuitExitCode = 0;

enum class RelaunchCause {
    RestartTagFound,
    UpdateApplied,
    UpdateSkipped,
    UpdateRolledBack,
    AbnormalQuit,
};

const char* RelaunchLine(RelaunchCause cause) {
    switch (cause) {
        case RelaunchCause::RestartTagFound: return "kernel relaunched (cause:restart tag found)\n";
        case RelaunchCause::UpdateApplied:
        case RelaunchCause::UpdateSkipped: return "kernel relaunched!\n";
        case RelaunchCause::UpdateRolledBack:
            return "kernel relaunched (cause:update rolled back)\n";
        case RelaunchCause::AbnormalQuit: return "kernel relaunched (cause:abnormal quit)\n";
    }
    return "";
}

// Watches the kernel until it has ended, then reads how, once: the tag it
// left, and whether this launcher force quit it; the record keeps its exit.
// The ended kernel is then let go at once: its process slot is free for
// whatever follows, the next kernel among them.
KernelEnd WatchKernel(Platform& os, const Kernel& kernel, Trial& trial) {
    bool forceQuit = false;
    for (;;) {
        const Watch pass = WatchPass(os, kernel, trial);
        forceQuit = forceQuit || pass.forceQuit;
        if (pass.ended) {
            RecordKernelEnd(os, kernel.process, kernel.id, forceQuit);
            os.CloseHandle(kernel.process);
            return {ReadTagLeft(os), forceQuit};
        }
    }
}

// The kernel asked for an update: the new kernel goes in, on trial. A
// skipped update is over: left in place, its tag would have the skip
// repeated at the kernel's next end. After a swap the tag stays; the new
// kernel is expected to remove it.
RelaunchCause Update(Platform& os, Trial& trial) {
    Log(os, "update file tag found, force updating...\n");
    if (!RunUpdateSwap(os, trial.state == TrialState::OnTrial)) {
        RemoveTag(os, ControlTag::Update);
        return RelaunchCause::UpdateSkipped;
    }
    trial = NewTrial();  // a newer kernel has a trial of its own
    return RelaunchCause::UpdateApplied;
}

// An abnormal quit, a failed try among them: its tag, if any, is left in
// place. From a trial's third failed try in a row the kept kernel comes
// back; where it cannot now, it is tried again at the next failed try.
RelaunchCause AfterAbnormalQuit(Platform& os, Trial& trial, Verdict verdict) {
    if (verdict == Verdict::Failed && KeepsFailing(trial)) {
        Log(os, "new kernel keeps failing, rolling back...\n");
        if (RollBack(os, trial, NoDeadline) == Rollback::Done) {
            return RelaunchCause::UpdateRolledBack;
        }
    }
    os.Sleep(AbnormalQuitPause);
    return RelaunchCause::AbnormalQuit;
}

}  // namespace

Watch WatchPass(Platform& os, const Kernel& kernel, Trial& trial) {
    const Seconds now = os.CurrentTime();
    // Counted before the pause, which a launcher may not outlive: a kernel
    // that passed leaves no mark behind.
    CountRun(os, trial);
    // However many tags are stale, one line and one termination.
    bool stale = false;
    for (ControlTag tag : {ControlTag::Quit, ControlTag::Restart, ControlTag::Update}) {
        const TagStatus atStart = kernel.tagsAtStart.status[static_cast<int>(tag)];
        if (ForceQuitDue(QueryTag(os, tag), atStart, now)) stale = true;
    }
    if (stale) {
        Log(os, "sig timeout, force quit!\n");
        os.TerminateProcess(kernel.process, ForceQuitExitCode);
    }
    os.Sleep(supervision::WatchPause);
    // A failed wait counts as the kernel still running.
    return {os.WaitForProcessEnd(kernel.process, supervision::WatchWait), stale};
}

int Supervise(Platform& os, Kernel kernel, const char* kernelCommandLine, Trial& trial) {
    for (;;) {
        KernelStarted(os, trial);
        const KernelEnd end = WatchKernel(os, kernel, trial);
        // The kernel on trial is judged first, so that a kernel that passed
        // leaves no mark for a later launcher to take up.
        const Verdict verdict = JudgeTry(trial, end);
        TakeVerdict(os, trial, verdict);

        RelaunchCause cause = RelaunchCause::AbnormalQuit;
        switch (end.left) {
            case KernelLeft::QuitTag:
                Log(os, "deleting quit tag...\n");
                RemoveTag(os, ControlTag::Quit);
                LeaveTrial(os, trial);
                return ExitQuit;
            case KernelLeft::RestartTag:
                RemoveTag(os, ControlTag::Restart);
                os.Sleep(RestartPause);
                cause = RelaunchCause::RestartTagFound;
                break;
            case KernelLeft::UpdateTag:
            case KernelLeft::UpdateTagAlone:
                if (verdict != Verdict::Failed) {
                    cause = Update(os, trial);
                    break;
                }
                // The tag is that of the update that put this kernel on
                // trial, and it asks for nothing newer: the kernel ended by
                // itself, a failed try.
                [[fallthrough]];
            case KernelLeft::NoTag: cause = AfterAbnormalQuit(os, trial, verdict); break;
        }

        // A launch that had to put the kept kernel back says so instead.
        const KernelLaunch launch = LaunchKernel(os, kernelCommandLine, trial);
        if (!launch.started) return ExitFailure;
        kernel = launch.kernel;
        Log(os, RelaunchLine(launch.rolledBack ? RelaunchCause::UpdateRolledBack : cause));
    }
}
