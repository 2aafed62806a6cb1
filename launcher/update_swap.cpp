// The update swap: the new kernel file the kernel left in the update
// directory takes the place of "kernel.bin", which is kept for a rollback.
//
// No move ever runs onto an existing file: the command interpreter's "move"
// would ask whether to overwrite it, and nobody is there to answer.
#include "launcher/kernel_contract.h"
#include "launcher/launcher.h"

namespace {

constexpr char NewKernelFile[] = "update\\_UPDATE.NEW";
constexpr char RollbackFile[] = "update\\ROLLBACK.BIN";
constexpr char FailedFile[] = "update\\FAILED.BIN";

bool Exists(Platform& os, const char* name) {
    return os.QueryFileStatus(name).found;
}

// Deletes the file if it is there; true when it is gone.
bool ClearedAway(Platform& os, const char* name) {
    if (Exists(os, name)) (void)os.RemoveFile(name);
    return !Exists(os, name);
}

}  // namespace

bool RunUpdateSwap(Platform& os) {
    // Without a new file, moving the kernel aside would leave the
    // installation with nothing to start.
    if (!Exists(os, NewKernelFile)) {
        os.WriteLog("update file not found, update skipped.\n");
        return false;
    }
    if (!ClearedAway(os, RollbackFile)) {
        os.WriteLog("rollback file cannot be replaced, update skipped.\n");
        return false;
    }
    os.RunCommand("move kernel.bin update\\ROLLBACK.BIN");
    if (Exists(os, KernelFile)) {
        os.WriteLog("kernel file cannot be moved aside, update skipped.\n");
        return false;
    }
    os.RunCommand("move update\\_UPDATE.NEW kernel.bin");
    return true;
}

bool NewKernelWaiting(Platform& os) {
    return Exists(os, NewKernelFile);
}

bool KeptKernelExists(Platform& os) {
    return Exists(os, RollbackFile);
}

void RollBackUpdate(Platform& os) {
    // The kernel that failed is kept for diagnosis where an older copy can
    // be cleared out of its way, and deleted where it cannot: a copy never
    // outranks a kernel that starts. Where "kernel.bin" is missing already,
    // nothing is moved that is not there.
    if (Exists(os, KernelFile)) {
        if (ClearedAway(os, FailedFile)) {
            os.RunCommand("move kernel.bin update\\FAILED.BIN");
        } else {
            (void)os.RemoveFile(KernelFile);
        }
    }
    if (!Exists(os, KernelFile)) os.RunCommand("move update\\ROLLBACK.BIN kernel.bin");
}
