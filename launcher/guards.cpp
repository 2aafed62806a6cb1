// The checks made before the first launch: the installation and its
// prerequisite file, a single launcher, and no kernel left from an earlier
// run.
#include "launcher/kernel_contract.h"
#include "launcher/launcher.h"
#include "launcher/notices.h"

namespace {

// After each kill: gives the killed kernel time to let go of its name, and
// keeps the loop from spinning where a notice cannot wait for a user.
constexpr unsigned KillRetryPause = 1000;  // ms

constexpr char PrerequisiteFile[] = "zlib1.dll";
constexpr char LauncherMutexName[] = "PDRAV";
constexpr char KillKernelsCommand[] = "taskkill /f /im kernel.bin";

// 无法加载zlib1.dll,请重新安装客户端软件
constexpr char PrerequisiteMissingNotice[] =
    "\xce\xde\xb7\xa8\xbc\xd3\xd4\xd8zlib1.dll,"
    "\xc7\xeb\xd6\xd8\xd0\xc2\xb0\xb2\xd7\xb0\xbf\xcd\xbb\xa7\xb6\xcb\xc8\xed\xbc\xfe";

// 无法进入NX8安装目录, 无法启动NX8内核.
constexpr char InstallationNotEnteredNotice[] =
    "\xce\xde\xb7\xa8\xbd\xf8\xc8\xebNX8\xb0\xb2\xd7\xb0\xc4\xbf\xc2\xbc, "
    "\xce\xde\xb7\xa8\xc6\xf4\xb6\xafNX8\xc4\xda\xba\xcb.";

// 程序已运行
constexpr char AlreadyRunningNotice[] = "\xb3\xcc\xd0\xf2\xd2\xd1\xd4\xcb\xd0\xd0";

// 内核尚未退出，将杀死并重新加载内核 (full-width comma)
constexpr char KernelStillRunningNotice[] =
    "\xc4\xda\xba\xcb\xc9\xd0\xce\xb4\xcd\xcb\xb3\xf6\xa3\xac"
    "\xbd\xab\xc9\xb1\xcb\xc0\xb2\xa2\xd6\xd8\xd0\xc2\xbc\xd3\xd4\xd8\xc4\xda\xba\xcb";

}  // namespace

bool EnterInstallation(Platform& os) {
    // An installation holds the prerequisite and a kernel file: the kernel,
    // or the kept one of a swap cut short, which its recovery puts back.
    // Windows' system directory, and many a program's, hold a "zlib1.dll"
    // of their own.
    if (Exists(os, PrerequisiteFile) && (Exists(os, KernelFile) || KeptKernelExists(os)))
        return true;
    // Anywhere else, the installation is the launcher's own directory,
    // whatever it lacks: its own checks then tell what that is.
    if (os.EnterProgramDirectory()) return true;
    // Nothing here is an installation to check, to start from or to keep a
    // record in.
    os.ShowNotice(InstallationNotEnteredNotice, NoticeCaption);
    os.WriteOutput("installation directory cannot be entered.\n");
    return false;
}

bool CheckPrerequisite(Platform& os) {
    // Any entry of that name whose status can be read will do; it is never
    // loaded or read.
    if (Exists(os, PrerequisiteFile)) return true;
    Notify(os, PrerequisiteMissingNotice);
    return false;
}

bool AcquireSingleInstance(Platform& os, Handle* launcherMutex) {
    const MutexResult name = os.CreateNamedMutex(LauncherMutexName);
    if (name.alreadyExists) {
        os.CloseHandle(name.mutex);
        Notify(os, AlreadyRunningNotice);
        return false;
    }
    // A failed creation too counts as no other launcher running.
    *launcherMutex = name.mutex;
    return true;
}

void ClearLeftoverKernel(Platform& os, Handle* kernelMutex) {
    for (;;) {
        const MutexResult name = os.CreateNamedMutex(KernelMutexName);
        if (!name.alreadyExists) {
            *kernelMutex = name.mutex;
            return;
        }
        os.CloseHandle(name.mutex);
        Notify(os, KernelStillRunningNotice);
        (void)RunStockCommand(os, KillKernelsCommand, NoDeadline);
        os.Sleep(KillRetryPause);
    }
}
