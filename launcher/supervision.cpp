// The supervision cycle: watch the kernel, force quit it when it outlives a
// tag, and when it has ended, act on the tag it left.
#include "launcher/launcher.h"

namespace {

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

}  // namespace

bool WatchPass(Platform& os, Handle kernel, Trial& trial, bool* forceQuit) {
    const Seconds now = os.CurrentTime();
    // Counted before the pause, which a launcher may not outlive: a kernel
    // that passed leaves no mark behind.
    CountRun(os, trial);
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

int Supervise(Platform& os, Handle kernel, const LaunchSettings& settings, Trial& trial) {
    for (;;) {
        KernelStarted(os, trial);
        bool forceQuit = false;
        while (!WatchPass(os, kernel, trial, &forceQuit)) {
        }

        // The kernel on trial is judged first, so that a kernel that passed
        // leaves no mark for a later launcher to take up. Then the first tag
        // present decides, whatever the tags' age and the kernel's exit code.
        const Verdict verdict = JudgeTry(os, trial, forceQuit);
        RelaunchCause cause = RelaunchCause::AbnormalQuit;
        if (QueryTag(os, ControlTag::Quit).present) {
            os.WriteLog("deleting quit tag...\n");
            RemoveTag(os, ControlTag::Quit);
            LeaveTrial(os, trial);
            return ExitQuit;
        }
        if (QueryTag(os, ControlTag::Restart).present) {
            RemoveTag(os, ControlTag::Restart);
            os.Sleep(RestartPause);
            cause = RelaunchCause::RestartTagFound;
        } else if (verdict != Verdict::Failed && QueryTag(os, ControlTag::Update).present) {
            // After a swap the tag stays; the new kernel is expected to
            // remove it. A skipped update is over: left in place, the tag
            // would have the kernel force quit and the skip repeated.
            os.WriteLog("update file tag found, force updating...\n");
            if (RunUpdateSwap(os, trial)) {
                trial = NewTrial();  // a newer kernel has a trial of its own
            } else {
                RemoveTag(os, ControlTag::Update);
            }
            cause = RelaunchCause::UpdateApplied;
        } else if (verdict == Verdict::Failed && KeepsFailing(trial)) {
            // Where the rollback cannot be done now, the trial goes on, and
            // it is tried again at the next failed try.
            os.WriteLog("new kernel keeps failing, rolling back...\n");
            if (RollBack(os, trial) != Rollback::Done) os.Sleep(AbnormalQuitPause);
        } else {
            // An abnormal quit, a failed try among them: its tag, if any, is
            // left in place.
            os.Sleep(AbnormalQuitPause);
        }

        const LaunchResult launch = LaunchKernel(os, settings, trial);
        if (!launch.started) return ExitFailure;
        if (trial.rolledBack) cause = RelaunchCause::UpdateRolledBack;
        os.CloseHandle(kernel);
        kernel = launch.process;
        os.WriteLog(RelaunchLine(cause));
    }
}
