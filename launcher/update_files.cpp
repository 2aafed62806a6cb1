// The update directory's files and their moves: the swap, in which the new
// kernel file the kernel left there takes the place of "kernel.bin", which
// is kept for a rollback; the rollback that puts the kept kernel back; and
// the trial's mark and the record of its end.
//
// No move ever runs onto an existing file: the command interpreter's "move"
// would ask whether to overwrite it, and nobody is there to answer. A move
// or a removal of the launcher's own files that did not happen, its file
// held by another program, is tried again for up to a minute, and within a
// launch never past its deadline.
#include "launcher/kernel_contract.h"
#include "launcher/launcher.h"

namespace {

constexpr char NewKernelFile[] = "update\\_UPDATE.NEW";
constexpr char RollbackFile[] = "update\\ROLLBACK.BIN";
constexpr char FailedFile[] = "update\\FAILED.BIN";
constexpr char TrialMarkFile[] = "update\\ON_TRIAL";
// Written beside a mark that another program holds as its trial passes, or
// ends otherwise: no hold on the mark can keep the end from being recorded,
// and no later launcher puts a kernel that passed on trial again.
constexpr char TrialEndFile[] = "update\\PASSED";

// One of the launcher's moves: its command, and the files it concerns.
struct Move {
    const char* command;
    const char* from;
    const char* to;
};

constexpr Move MoveAside = {"move kernel.bin update\\ROLLBACK.BIN", KernelFile, RollbackFile};
constexpr Move MoveIn = {"move update\\_UPDATE.NEW kernel.bin", NewKernelFile, KernelFile};
constexpr Move KeepAsFailed = {"move kernel.bin update\\FAILED.BIN", KernelFile, FailedFile};
constexpr Move PutKeptBack = {"move update\\ROLLBACK.BIN kernel.bin", RollbackFile, KernelFile};
constexpr Move PutFailedBack = {"move update\\FAILED.BIN kernel.bin", FailedFile, KernelFile};

// Runs one of the launcher's moves, and again while the file status shows
// that it did not happen: its source still there and its destination free.
// A move that had to be ended is not run again: what it left is judged as
// it stands.
void RunMove(Platform& os, const Move& move, Milliseconds deadline) {
    int retries = 0;
    while (RunStockCommand(os, move.command, deadline) && Exists(os, move.from) &&
           !Exists(os, move.to) && TryAgainWhenFree(os, &retries, deadline)) {
    }
}

// What became of "kernel.bin" when it was cleared out of the way.
enum class SetAside { NotThere, KeptAsFailed, Deleted, Stuck };

// Clears "kernel.bin", a kernel that failed or never proved itself, out of
// the way: it is kept as "update\FAILED.BIN" for diagnosis, and deleted only
// where an older copy there cannot be cleared (a copy never outranks a
// kernel that starts). A kernel file that cannot be moved stays in place.
SetAside SetFailedKernelAside(Platform& os, Milliseconds deadline) {
    if (!Exists(os, KernelFile)) return SetAside::NotThere;
    if (!RemoveWhenFree(os, FailedFile, deadline)) {
        return RemoveWhenFree(os, KernelFile, deadline) ? SetAside::Deleted : SetAside::Stuck;
    }
    RunMove(os, KeepAsFailed, deadline);
    return Exists(os, KernelFile) ? SetAside::Stuck : SetAside::KeptAsFailed;
}

// A swap puts a new kernel on trial; the mark on disk says so first. An
// earlier record of an end goes before it: beside the new mark it would
// pass the new kernel unseen. A directory of that name records nothing.
// False where the mark cannot be written.
bool MarkTrial(Platform& os) {
    return (!TrialEndRecorded(os) || RemoveWhenFree(os, TrialEndFile, NoDeadline)) &&
           (TrialMarked(os) || os.CreateEmptyFile(TrialMarkFile));
}

}  // namespace

bool RunUpdateSwap(Platform& os, bool kernelInPlaceOnTrial) {
    // Without a new file, moving the kernel aside would leave the
    // installation with nothing to start.
    if (!Exists(os, NewKernelFile)) {
        Log(os, "update file not found, update skipped.\n");
        return false;
    }
    // The move that puts the kernel found in place back, should the swap
    // not go on; none where nothing was moved.
    const Move* undo = nullptr;
    if (kernelInPlaceOnTrial && KeptKernelExists(os)) {
        // The kernel on trial never proved itself: the kept one, which did,
        // stays kept for the rollback.
        const SetAside failed = SetFailedKernelAside(os, NoDeadline);
        if (failed == SetAside::Stuck) {
            Log(os, "kernel file cannot be moved aside, update skipped.\n");
            return false;
        }
        if (failed == SetAside::KeptAsFailed) undo = &PutFailedBack;
    } else if (Exists(os, KernelFile)) {
        // The kept kernel gives way only to a kernel file that takes its
        // place; with none, it stays kept, and the new kernel is on trial
        // against it.
        if (!RemoveWhenFree(os, RollbackFile, NoDeadline)) {
            Log(os, "rollback file cannot be replaced, update skipped.\n");
            return false;
        }
        RunMove(os, MoveAside, NoDeadline);
        if (Exists(os, KernelFile)) {
            Log(os, "kernel file cannot be moved aside, update skipped.\n");
            return false;
        }
        undo = &PutKeptBack;
    }
    // Marked before the new kernel is in place, or not swapped in at all: no
    // launcher that dies from here on leaves a new kernel without its trial.
    if (!MarkTrial(os)) {
        if (undo != nullptr) RunMove(os, *undo, NoDeadline);
        Log(os, "trial mark cannot be written, update skipped.\n");
        return false;
    }
    RunMove(os, MoveIn, NoDeadline);
    return true;
}

bool NewKernelWaiting(Platform& os) {
    return Exists(os, NewKernelFile);
}

bool KeptKernelExists(Platform& os) {
    return IsFile(os, RollbackFile);
}

Rollback PutKeptKernelBack(Platform& os, Milliseconds deadline) {
    if (!KeptKernelExists(os)) {
        Log(os, "rollback file not found, rollback skipped.\n");
        return Rollback::NothingKept;
    }
    const SetAside failed = SetFailedKernelAside(os, deadline);
    if (failed == SetAside::Stuck) {
        Log(os, "kernel file cannot be moved aside, rollback skipped.\n");
        return Rollback::NotNow;
    }
    RunMove(os, PutKeptBack, deadline);
    if (Exists(os, KernelFile)) return Rollback::Done;
    // Nothing is in place: the kernel just set aside goes back. A copy set
    // aside before (by an earlier rollback, or by a launcher that died) may
    // be one that failed an earlier update: it is never put back.
    if (failed == SetAside::KeptAsFailed) RunMove(os, PutFailedBack, deadline);
    Log(os, "rollback file cannot be moved into place, rollback skipped.\n");
    return Rollback::NotNow;
}

bool TrialMarked(Platform& os) {
    return IsFile(os, TrialMarkFile);
}

bool TrialEndRecorded(Platform& os) {
    return IsFile(os, TrialEndFile);
}

bool DeleteTrialMark(Platform& os, Milliseconds deadline) {
    if (TrialMarked(os) && !RemoveWhenFree(os, TrialMarkFile, deadline)) return false;
    // The record goes with its mark: one left behind means nothing.
    if (TrialEndRecorded(os)) (void)RemoveEvenReadOnly(os, TrialEndFile);
    return true;
}

void RecordTrialEnd(Platform& os) {
    (void)os.CreateEmptyFile(TrialEndFile);
}
