// The entry point: the launch settings, and the start-up sequence, in the
// order the launcher runs it, up to the supervision cycle.
#include <cstdio>
#include <cstring>

#include "launcher/kernel_contract.h"
#include "launcher/launcher.h"
#include "launcher/notices.h"

namespace {

// 启动参数过长, 无法启动NX8内核.
constexpr char ArgumentTooLongNotice[] =
    "\xc6\xf4\xb6\xaf\xb2\xce\xca\xfd\xb9\xfd\xb3\xa4, "
    "\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb.";

constexpr char DebugArgument[] = "-debug";
// The runtime's name for simplified Chinese (code page 936).
constexpr char ChineseLocale[] = "chs";

// Refused before the installation is entered: told, and not recorded.
int RefuseLongArgument(Platform& os) {
    os.ShowNotice(ArgumentTooLongNotice, NoticeCaption);
    char line[48];
    (void)std::snprintf(line, sizeof line, "argument too long (max %d bytes)\n", MaxArgumentLength);
    os.WriteOutput(line);
    return ExitFailure;
}

// After the first launch, and from a second launcher that gives way.
void OpenMainPage(Platform& os) {
    os.OpenWebAddress(MainPageAddress);
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
    if (!AcquireSingleInstance(os, &launcherMutex)) {
        OpenMainPage(os);  // the running launcher's kernel serves it
        return ExitFailure;
    }
    Handle kernelMutex = NoHandle;
    ClearLeftoverKernel(os, &kernelMutex);
    // Read and cleared only once this launcher is sure to run, so that a
    // second launcher takes nothing from the running kernel, and only once
    // no kernel of an earlier run is left to leave a tag.
    Trial trial = TakeUpTrial(os);
    ClearTagsAtStartup(os);
    const KernelLaunch launch = LaunchKernel(os, settings.kernelCommandLine, trial);
    if (!launch.started) return ExitFailure;
    if (trial.state == TrialState::OnTrial) {
        Log(os, "update not confirmed, new kernel on trial.\n");
    }
    OpenMainPage(os);
    return Supervise(os, launch.kernel, settings.kernelCommandLine, trial);
}
