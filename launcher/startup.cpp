// The entry point: launch settings, the start-up sequence, and the kernel
// launch that every relaunch uses again.
#include <cstdio>
#include <cstring>

#include "launcher/kernel_contract.h"
#include "launcher/launcher.h"
#include "launcher/notices.h"

namespace {

// 无法启动NX8内核, 请重新安装NX8.
constexpr char LaunchFailedNotice[] =
    "\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb, "
    "\xc7\xeb\xd6\xd8\xd0\xc2\xb0\xb2\xd7\xb0NX8.";

// 暂时无法启动NX8内核, 请稍后重试.
constexpr char NotStartedNowNotice[] =
    "\xd4\xdd\xca\xb1\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb, "
    "\xc7\xeb\xc9\xd4\xba\xf3\xd6\xd8\xca\xd4.";

// 启动参数过长, 无法启动NX8内核.
constexpr char ArgumentTooLongNotice[] =
    "\xc6\xf4\xb6\xaf\xb2\xce\xca\xfd\xb9\xfd\xb3\xa4, "
    "\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb.";

constexpr char DebugArgument[] = "-debug";
// The runtime's name for simplified Chinese (code page 936).
constexpr char ChineseLocale[] = "chs";

// A start that failed for a reason that may pass is tried again after this
// long, up to a deadline this long after the launch's first failure: then
// the user is told.
constexpr unsigned NotStartedPause = 5000;           // ms
constexpr Milliseconds FailingStartsBound = 120000;  // ms

// A start that failed for a reason that may pass, or a rollback that cannot
// be done now: the start is tried again in a while, or at the deadline,
// whichever comes first.
void WaitToTryAgain(Platform& os, Milliseconds deadline) {
    const unsigned pause = PauseWithin(NotStartedPause, deadline - os.TickCount());
    char line[64];
    (void)std::snprintf(
        line, sizeof line, "kernel not started, trying again in %u s...\n", (pause + 999) / 1000);
    Log(os, line);
    os.Sleep(pause);
}

// The launcher gives up on the kernel: the notice, then, once the user has
// pressed OK, the log line.
void ReportLaunchFailure(Platform& os, const char* notice, int error) {
    Notify(os, notice);
    LogLaunchFailure(os, error);
}

// Refused before the installation is entered: told, and not recorded.
int RefuseLongArgument(Platform& os) {
    os.ShowNotice(ArgumentTooLongNotice, NoticeCaption);
    char line[48];
    (void)std::snprintf(line, sizeof line, "argument too long (max %d bytes)\n", MaxArgumentLength);
    os.WriteLog(line);
    return ExitFailure;
}

static_assert(sizeof KernelFile - 1 + 1 + MaxArgumentLength + 1 == CommandLineSize,
              "the longest argument must just fill the kernel command line");

}  // namespace

bool BuildLaunchSettings(int argc, const char* const argv[], LaunchSettings* settings) {
    // Only exactly one argument is used; with none, or with two or more,
    // every argument is dropped.
    if (argc != 2) {
        settings->debugMode = false;
        (void)std::snprintf(settings->kernelCommandLine, CommandLineSize, "%s", KernelFile);
        return true;
    }
    const char* argument = argv[1];
    if (std::strlen(argument) > MaxArgumentLength) return false;
    settings->debugMode = std::strcmp(argument, DebugArgument) == 0;
    // Passed on as it stands: no quotes, and "-debug" too.
    (void)std::snprintf(
        settings->kernelCommandLine, CommandLineSize, "%s %s", KernelFile, argument);
    return true;
}

int LauncherMain(Platform& os, int argc, const char* const argv[]) {
    LaunchSettings settings;
    if (!BuildLaunchSettings(argc, argv, &settings)) return RefuseLongArgument(os);
    if (!settings.debugMode) os.FreeConsole();
    os.SetLocale(ChineseLocale);
    if (!EnterInstallation(os)) return ExitFailure;
    if (!CheckPrerequisite(os)) return ExitFailure;
    Log(os, "starting kernel...\n");
    // Both names stay held until the launcher ends; the platform releases
    // them with the process.
    Handle launcherMutex = NoHandle;
    if (!AcquireSingleInstance(os, &launcherMutex)) return ExitFailure;
    Handle kernelMutex = NoHandle;
    ClearLeftoverKernel(os, &kernelMutex);
    // Read and cleared only once this launcher is sure to run, so that a
    // second launcher takes nothing from the running kernel, and only once
    // no kernel of an earlier run is left to leave a tag.
    Trial trial = TakeUpTrial(os);
    ClearTagsAtStartup(os);
    const KernelLaunch launch = LaunchKernel(os, settings, trial);
    if (!launch.started) return ExitFailure;
    if (trial.state == TrialState::OnTrial) {
        Log(os, "update not confirmed, new kernel on trial.\n");
    }
    OpenMainPage(os);
    return Supervise(os, launch.kernel, settings, trial);
}

KernelLaunch LaunchKernel(Platform& os, const LaunchSettings& settings, Trial& trial) {
    // Set at the launch's first failure.
    Milliseconds deadline = NoDeadline;
    bool rolledBack = false;
    int heldRetries = 0;
    for (;;) {
        const TagsAtStart tags = QueryTagsAtStart(os);
        const LaunchResult launch = os.StartProcess(settings.kernelCommandLine);
        if (launch.started) {
            const Kernel kernel = {launch.process, launch.processId, tags};
            RecordKernelStart(os, kernel);
            return {true, kernel, rolledBack};
        }
        if (deadline == NoDeadline) deadline = os.TickCount() + FailingStartsBound;
        if (launch.failure == StartFailure::Held && TryAgainWhenFree(os, &heldRetries, deadline)) {
            continue;
        }
        heldRetries = 0;
        // The kept kernel starts now, or, where it cannot be put back yet,
        // the one in place again, and with it the rollback.
        const Rollback rollback = FallBackOnKeptKernel(os, trial, launch, deadline);
        if (rollback == Rollback::Done) {
            // Another kernel: a launch of its own, with a deadline of its own.
            deadline = NoDeadline;
            rolledBack = true;
            continue;
        }
        // Reinstalling is the remedy only for a kernel file that is broken,
        // with nothing to go back to. Anything else may pass: the user is
        // told so once it has not passed by the deadline, which the
        // rollback's own retries may have reached.
        if (launch.failure == StartFailure::Broken && rollback == Rollback::NothingKept) {
            ReportLaunchFailure(os, LaunchFailedNotice, launch.error);
            return {};
        }
        if (os.TickCount() >= deadline) {
            ReportLaunchFailure(os, NotStartedNowNotice, launch.error);
            return {};
        }
        // A rollback that cannot be done now has said why.
        if (rollback != Rollback::NotNow) LogLaunchFailure(os, launch.error);
        WaitToTryAgain(os, deadline);
    }
}

void LogLaunchFailure(Platform& os, int error) {
    char line[48];
    (void)std::snprintf(line, sizeof line, "CreateProcess failed (%d)\n", error);
    Log(os, line);
}

void OpenMainPage(Platform& os) {
    os.OpenWebAddress(MainPageAddress);
}
