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

// Deletes one of the launcher's own kernel files if it is there, read-only
// or not; true when it is gone.
bool ClearedAway(Platform& os, const char* name) {
    const FileStatus status = os.QueryFileStatus(name);
    if (!status.found) return true;
    if (status.readOnly) os.ClearReadOnly(name);
    (void)os.RemoveFile(name);
    return !Exists(os, name);
}

// Clears "kernel.bin", a kernel that failed or never proved itself, out of
// the way: kept as "update\FAILED.BIN" for diagnosis where an older copy
// there can be cleared, deleted otherwise; a copy never outranks a kernel
// that runs. True when it is gone.
bool FailedKernelCleared(Platform& os) {
    if (!Exists(os, KernelFile)) return true;
    if (ClearedAway(os, FailedFile)) os.RunCommand("move kernel.bin update\\FAILED.BIN");
    return ClearedAway(os, KernelFile);
}

}  // namespace

bool RunUpdateSwap(Platform& os, bool kernelOnTrial) {
    // Without a new file, moving the kernel aside would leave the
    // installation with nothing to start.
    if (!Exists(os, NewKernelFile)) {
        os.WriteLog("update file not found, update skipped.\n");
        return false;
    }
    if (kernelOnTrial && KeptKernelExists(os)) {
        // The kernel on trial never proved itself: the kept one, which did,
        // stays kept for the rollback.
        if (!FailedKernelCleared(os)) {
            os.WriteLog("kernel file cannot be moved aside, update skipped.\n");
            return false;
        }
    } else {
        if (!ClearedAway(os, RollbackFile)) {
            os.WriteLog("rollback file cannot be replaced, update skipped.\n");
            return false;
        }
        os.RunCommand("move kernel.bin update\\ROLLBACK.BIN");
        if (Exists(os, KernelFile)) {
            os.WriteLog("kernel file cannot be moved aside, update skipped.\n");
            return false;
        }
    }
    os.RunCommand("move update\\_UPDATE.NEW kernel.bin");
    return true;
}

bool NewKernelWaiting(Platform& os) {
    return Exists(os, NewKernelFile);
}

bool KeptKernelExists(Platform& os) {
    const FileStatus status = os.QueryFileStatus(RollbackFile);
    return status.found && !status.directory;
}

bool RollBackUpdate(Platform& os) {
    if (!KeptKernelExists(os)) {
        os.WriteLog("rollback file not found, rollback skipped.\n");
        return false;
    }
    if (!FailedKernelCleared(os)) {
        os.WriteLog("kernel file cannot be moved aside, rollback skipped.\n");
        return false;
    }
    os.RunCommand("move update\\ROLLBACK.BIN kernel.bin");
    // The update is over: left in place, the tag would have the kernel
    // force quit and the update tried again.
    if (QueryTag(os, ControlTag::Update).present) RemoveTag(os, ControlTag::Update);
    return true;
}
