// The update swap: the new kernel file the kernel left in the update
// directory takes the place of "kernel.bin", which is kept for a rollback;
// and the rollback that puts the kept kernel back.
//
// No move ever runs onto an existing file: the command interpreter's "move"
// would ask whether to overwrite it, and nobody is there to answer. A move
// that did not happen, its file held for a moment by another program, is run
// again.
#include "launcher/kernel_contract.h"
#include "launcher/launcher.h"

namespace {

constexpr char NewKernelFile[] = "update\\_UPDATE.NEW";
constexpr char RollbackFile[] = "update\\ROLLBACK.BIN";
constexpr char FailedFile[] = "update\\FAILED.BIN";
constexpr char TrialMarkFile[] = "update\\ON_TRIAL";

bool Exists(Platform& os, const char* name) {
    return os.QueryFileStatus(name).found;
}

// Runs one of the launcher's moves, and again while the file status shows
// that it did not happen: its source still there and its destination free.
// A move that had to be ended is not run again: what it left is judged as
// it stands.
void RunMove(Platform& os, const char* command, const char* from, const char* to) {
    int retries = 0;
    while (RunStockCommand(os, command) && Exists(os, from) && !Exists(os, to) &&
           TryAgainWhenFree(os, &retries)) {
    }
}

// Deletes one of the launcher's own files if it is there, read-only or not;
// true when it is gone.
bool ClearedAway(Platform& os, const char* name) {
    return !Exists(os, name) || RemoveEvenReadOnly(os, name) || !Exists(os, name);
}

// What became of "kernel.bin" when it was cleared out of the way.
enum class SetAside { NotThere, KeptAsFailed, Deleted, Stuck };

// Clears "kernel.bin", a kernel that failed or never proved itself, out of
// the way: it is kept as "update\FAILED.BIN" for diagnosis, and deleted only
// where an older copy there cannot be cleared (a copy never outranks a
// kernel that starts). A kernel file that cannot be moved stays in place.
SetAside SetFailedKernelAside(Platform& os) {
    if (!Exists(os, KernelFile)) return SetAside::NotThere;
    if (!ClearedAway(os, FailedFile)) {
        return ClearedAway(os, KernelFile) ? SetAside::Deleted : SetAside::Stuck;
    }
    RunMove(os, "move kernel.bin update\\FAILED.BIN", KernelFile, FailedFile);
    return Exists(os, KernelFile) ? SetAside::Stuck : SetAside::KeptAsFailed;
}

// Where the mark cannot be written, the trial is kept in memory only.
void MarkTrial(Platform& os) {
    if (!TrialMarked(os) && !os.CreateEmptyFile(TrialMarkFile)) {
        os.WriteLog("trial mark cannot be written.\n");
    }
}

// The rollback's moves. False, with the line that says why, where the
// kernel found in place stays there.
bool PutKeptKernelBack(Platform& os) {
    if (!KeptKernelExists(os)) {
        os.WriteLog("rollback file not found, rollback skipped.\n");
        return false;
    }
    const SetAside failed = SetFailedKernelAside(os);
    if (failed == SetAside::Stuck) {
        os.WriteLog("kernel file cannot be moved aside, rollback skipped.\n");
        return false;
    }
    RunMove(os, "move update\\ROLLBACK.BIN kernel.bin", RollbackFile, KernelFile);
    if (Exists(os, KernelFile)) return true;
    // Nothing is in place: the kernel just set aside goes back.
    if (failed == SetAside::KeptAsFailed) {
        RunMove(os, "move update\\FAILED.BIN kernel.bin", FailedFile, KernelFile);
    }
    os.WriteLog("rollback file cannot be moved into place, rollback skipped.\n");
    return false;
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
        if (SetFailedKernelAside(os) == SetAside::Stuck) {
            os.WriteLog("kernel file cannot be moved aside, update skipped.\n");
            return false;
        }
    } else {
        if (!ClearedAway(os, RollbackFile)) {
            os.WriteLog("rollback file cannot be replaced, update skipped.\n");
            return false;
        }
        RunMove(os, "move kernel.bin update\\ROLLBACK.BIN", KernelFile, RollbackFile);
        if (Exists(os, KernelFile)) {
            os.WriteLog("kernel file cannot be moved aside, update skipped.\n");
            return false;
        }
    }
    // Marked before the new kernel is in place: no launcher that dies from
    // here on leaves it without its trial.
    MarkTrial(os);
    RunMove(os, "move update\\_UPDATE.NEW kernel.bin", NewKernelFile, KernelFile);
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
    const bool rolledBack = PutKeptKernelBack(os);
    // Done or skipped, the update is over. Its tag is deleted unless a new
    // file waits: left in place, it would have the kernel force quit and the
    // update tried again.
    ClearTrialMark(os);
    if (QueryTag(os, ControlTag::Update).present && !NewKernelWaiting(os)) {
        RemoveTag(os, ControlTag::Update);
    }
    return rolledBack;
}

bool TrialMarked(Platform& os) {
    const FileStatus status = os.QueryFileStatus(TrialMarkFile);
    return status.found && !status.directory;
}

void ClearTrialMark(Platform& os) {
    if (TrialMarked(os)) (void)ClearedAway(os, TrialMarkFile);
}
