// The entry point: launch settings, the start-up sequence and the kernel
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

// 启动参数过长, 无法启动NX8内核.
constexpr char ArgumentTooLongNotice[] =
    "\xc6\xf4\xb6\xaf\xb2\xce\xca\xfd\xb9\xfd\xb3\xa4, "
    "\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb.";

constexpr char DebugArgument[] = "-debug";
// The runtime's name for simplified Chinese (code page 936).
constexpr char ChineseLocale[] = "chs";

// A virus scanner's cloud check holds a new executable for up to a minute.
constexpr unsigned InUseRetryPause = 1000;  // ms
constexpr int MaxInUseRetries = 60;
// A hung interpreter, or a move that stalls on a network share, must not
// hold the launcher up for ever.
constexpr unsigned CommandTimeLimit = 60000;  // ms
// A start that failed for a passing reason is tried again after this long.
constexpr unsigned NotStartedPause = 5000;  // ms

// A start that failed for a passing reason, or a rollback that cannot be
// done now: the start is tried again in a while.
void WaitToTryAgain(Platform& os) {
    os.WriteLog("kernel not started, trying again in 5 s...\n");
    os.Sleep(NotStartedPause);
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

LaunchResult StartKernel(Platform& os, const LaunchSettings& settings) {
    LaunchResult launch = {};
    int retries = 0;
    do {
        launch = os.StartProcess(settings.kernelCommandLine);
    } while (!launch.started && launch.inUse && TryAgainWhenFree(os, &retries));
    return launch;
}

bool TryAgainWhenFree(Platform& os, int* retries) {
    if (*retries == MaxInUseRetries) return false;
    if (++*retries == 1) os.WriteLog("file in use, trying again...\n");
    os.Sleep(InUseRetryPause);
    return true;
}

bool RunStockCommand(Platform& os, const char* command) {
    if (os.RunCommand(command, CommandTimeLimit)) return true;
    os.WriteLog("command did not finish in 60 s, ended.\n");
    return false;
}

LaunchResult LaunchKernel(Platform& os,
                          const LaunchSettings& settings,
                          bool* kernelOnTrial,
                          bool* rolledBack) {
    for (;;) {
        const LaunchResult launch = StartKernel(os, settings);
        if (launch.started) return launch;
        // The installation comes back with the kernel an update replaced
        // where the kernel file is broken (an update cut short, a new kernel
        // that is no program, a kernel file damaged or deleted), and where a
        // new kernel, which proved nothing, does not start. A kernel that has
        // run is never given up for a passing reason: it may have moved its
        // data on.
        if ((launch.broken || *kernelOnTrial) && KeptKernelExists(os)) {
            LogLaunchFailure(os, launch.error);
            os.WriteLog(*kernelOnTrial ? "new kernel failed to start, rolling back...\n"
                                       : "kernel failed to start, rolling back...\n");
            const Rollback rollback = RollBackUpdate(os, *kernelOnTrial);
            if (rollback != Rollback::NotNow) *kernelOnTrial = false;
            if (rollback == Rollback::Done) *rolledBack = true;
            if (rollback == Rollback::NotNow) WaitToTryAgain(os);
            // The kept kernel starts now, or the one in place again, and
            // with it the rollback.
            if (rollback != Rollback::NothingKept) continue;
        }
        // Reinstalling is the remedy only for a kernel file that is broken.
        if (launch.broken) return launch;
        LogLaunchFailure(os, launch.error);
        WaitToTryAgain(os);
    }
}

void LogLaunchFailure(Platform& os, int error) {
    char line[48];
    (void)std::snprintf(line, sizeof line, "CreateProcess failed (%d)\n", error);
    os.WriteLog(line);
}

void ReportLaunchFailure(Platform& os, int error) {
    os.ShowNotice(LaunchFailedNotice, NoticeCaption);
    LogLaunchFailure(os, error);
}

void OpenMainPage(Platform& os) {
    os.OpenWebAddress(MainPageAddress);
}

int LauncherMain(Platform& os, int argc, const char* const argv[]) {
    LaunchSettings settings;
    if (!BuildLaunchSettings(argc, argv, &settings)) {
        os.ShowNotice(ArgumentTooLongNotice, NoticeCaption);
        os.WriteLog("argument too long (max 248 bytes)\n");
        return ExitFailure;
    }
    if (!settings.debugMode) os.FreeConsole();
    os.SetLocale(ChineseLocale);

    if (!CheckPrerequisite(os)) return ExitFailure;
    os.WriteLog("starting kernel...\n");
    // Both names stay held until the launcher ends; the platform releases
    // them with the process.
    Handle launcherMutex = NoHandle;
    if (!AcquireSingleInstance(os, &launcherMutex)) return ExitFailure;
    Handle kernelMutex = NoHandle;
    ClearLeftoverKernel(os, &kernelMutex);
    // Cleared only once this launcher is sure to run, so that a second
    // launcher takes nothing from the running kernel, and only once no
    // kernel of an earlier run is left to leave a tag.
    bool kernelOnTrial = TrialLeftUnfinished(os);
    ClearTagsAtStartup(os);

    bool rolledBack = false;  // no relaunch line at start-up
    const LaunchResult launch = LaunchKernel(os, settings, &kernelOnTrial, &rolledBack);
    if (!launch.started) {
        ReportLaunchFailure(os, launch.error);
        return ExitFailure;
    }
    if (kernelOnTrial) os.WriteLog("update not confirmed, new kernel on trial.\n");
    OpenMainPage(os);
    return Supervise(os, launch.process, settings, kernelOnTrial);
}
