// The launcher core: starts the kernel, watches it, obeys its control tags.
//
// One straight procedural flow over plain values. Every service of the system
// is reached through the Platform passed in; nothing here knows which system
// it runs on.
//
// The core stands in floors, each file calling only the files below it. A
// new function goes on the lowest floor whose names it needs:
//
//   startup.cpp       the entry point: launch settings, the start-up sequence
//   guards.cpp        the checks before the first launch
//   supervision.cpp   the watch, a kernel's end, and what its tag asks for
//   launch.cpp        a kernel started until it runs: its deadline, the waits,
//                     the fallback on the kept kernel, the notices
//   trial.cpp         the trial of a new kernel: its state and verdicts
//   control_tags.cpp  the tags: status, age, removal, what a kernel left
//   update_files.cpp  the update directory: the swap, the kept kernel put
//                     back, the trial's mark and the record of its end
//   files.cpp         removals, the stock commands, patience with held files
//   record.cpp        the output, and the record, launcher.log
//
// Below they are declared from the ground floor up.
#ifndef LAUNCHER_LAUNCHER_H
#define LAUNCHER_LAUNCHER_H

#include <cstdint>

#include "platform/platform.h"

// ---- The output and the record (record.cpp) ----

// Everything the launcher tells, once it works in its installation, is
// also kept in "launcher.log" there: a line each, with the local time and
// the launcher's process id. A line that cannot be kept is lost, and
// nothing else happens.

// Writes a line to the output, and keeps it.
void Log(Platform& os, const char* line);
// Keeps a notice's text, then shows it.
void Notify(Platform& os, const char* notice);
// Keeps, for the record only, each kernel's start and how it ended.
void RecordKernelStart(Platform& os, std::uint32_t kernelId);
void RecordKernelEnd(Platform& os, Handle kernel, std::uint32_t kernelId, bool forceQuit);

// ---- The launcher's own files (files.cpp) ----

// The time, on the tick count, by which a launch that keeps failing gives up:
// every retry it makes, of a start, a move or a removal, ends by then.
// Outside a launch there is none, and each series of retries has its minute.
constexpr Milliseconds NoDeadline = INT64_MAX;
// A deadline passed already: one try, and no retry.
constexpr Milliseconds OneTry = 0;
// The pause before a retry: that long, or only up to the deadline, of which
// that much is left.
unsigned PauseWithin(unsigned milliseconds, Milliseconds left);

// After an attempt that found its file held by another program (a scanner,
// an indexer, a backup tool holds a file it checks; a scanner's cloud check
// for up to a minute): whether to try again, after a pause of a second, for
// up to a minute and never past the deadline. The first retry of a series
// is logged. *retries counts them, from 0.
bool TryAgainWhenFree(Platform& os, int* retries, Milliseconds deadline);
// Deletes a file, read-only or not: an installation restored from a backup
// or unpacked from an archive leaves files so.
bool RemoveEvenReadOnly(Platform& os, const char* name);
// Deletes one of the launcher's own files if it is there, read-only or not,
// and again while another program holds it; true once it is gone. A
// directory of that name is none of the launcher's files: it stays.
bool RemoveWhenFree(Platform& os, const char* name, Milliseconds deadline);
bool Exists(Platform& os, const char* name);
// There, and a file, not a directory.
bool IsFile(Platform& os, const char* name);
// Runs one of the launcher's stock commands through the command interpreter.
// One that has not finished in a minute, or by the deadline, is ended, with
// a log line: false.
bool RunStockCommand(Platform& os, const char* command, Milliseconds deadline);

// ---- The update directory (update_files.cpp) ----

// Moves the kernel file aside and the new one into its place, marked as on
// trial. Where the kernel in place is itself on trial, it makes way as a
// failed one, and the kept kernel stays kept. False, with a log line, where
// the update is skipped: the kernel found in place is there still. True
// once the new kernel is on trial, its mark written: moved in, or, where
// another program held its file for good, missing, which its start finds
// broken and rolls back.
bool RunUpdateSwap(Platform& os, bool kernelInPlaceOnTrial);
// Whether a new kernel file, "update\_UPDATE.NEW", waits to be swapped in.
bool NewKernelWaiting(Platform& os);
// Whether the kernel file a swap moved aside, "update\ROLLBACK.BIN", is kept:
// a file, not a directory.
bool KeptKernelExists(Platform& os);
enum class Rollback {
    Done,         // the kept kernel is in place
    NothingKept,  // there is nothing to go back to
    NotNow,       // a kernel file could not be moved: tried again in a while
    NotDue,       // nothing called for a rollback
};
// Puts the kept kernel file back in place, its held files waited for up to
// the deadline. The one that failed is kept as "update\FAILED.BIN", or
// deleted where an older copy there cannot be cleared. Where it does not
// roll back, a log line says why, and the kernel found in place, or just set
// aside, is left in place.
Rollback PutKeptKernelBack(Platform& os, Milliseconds deadline);

// The trial's mark, "update\ON_TRIAL", and the record of its end,
// "update\PASSED", written beside a mark that outlives its trial. Both are
// files: a directory of either name is none.
bool TrialMarked(Platform& os);
bool TrialEndRecorded(Platform& os);
// Deletes the mark, tried again while another program holds it up to the
// deadline, and the record of its end with it; true once the mark is gone.
bool DeleteTrialMark(Platform& os, Milliseconds deadline);
void RecordTrialEnd(Platform& os);

// ---- Control tags (control_tags.cpp) ----

enum class ControlTag { Quit, Restart, Update };
constexpr int ControlTagCount = 3;

struct TagStatus {
    bool present;
    Seconds modified;  // meaningful only when present
};

// The control tags as a kernel starts, indexed by ControlTag: none of them
// is a request of that kernel.
struct TagsAtStart {
    TagStatus status[ControlTagCount];
};

TagStatus QueryTag(Platform& os, ControlTag tag);
TagsAtStart QueryTagsAtStart(Platform& os);
bool IsStale(TagStatus status, Seconds now);
// Whether a tag calls for the running kernel's force quit: stale, and no tag
// that was there before the kernel started, unchanged since. Such a tag,
// one that could not be deleted, asks nothing of this kernel; it still
// decides what follows its end.
bool ForceQuitDue(TagStatus status, TagStatus atStart, Seconds now);
// Deletes the tag, read-only or not; on failure writes the tag's log line
// and returns false.
bool RemoveTag(Platform& os, ControlTag tag);
// Deletes the tags an earlier run left behind: restart, update, quit.
void ClearTagsAtStartup(Platform& os);

// What a kernel left as it ended: the first tag present, quit, restart or
// update, the update told apart by the new kernel file it asks for.
enum class KernelLeft { QuitTag, RestartTag, UpdateTag, UpdateTagAlone, NoTag };

// How a kernel ended, read once, as the watch finds it ended.
struct KernelEnd {
    KernelLeft left;
    bool forceQuit;  // this launcher terminated it
};

// Reads what the kernel left, once it has ended; the tags' age plays no part.
KernelLeft ReadTagLeft(Platform& os);

// ---- The trial of a new kernel (trial.cpp) ----

// A kernel just swapped in, or left on trial by a launcher that died, is on
// trial until it has shown that it runs; one that keeps ending at once gives
// way to the kernel it replaced.
enum class TrialState {
    None,     // no kernel on trial, nor a mark to delete
    OnTrial,  // a new kernel has yet to show that it runs
    Passed,   // it has, and another program holds its mark, tried once a pass
};

struct Trial {
    TrialState state;
    // On trial:
    Milliseconds seen;   // the tick count when its run was last counted
    Milliseconds awake;  // how long its latest start has run, the machine awake
    int failedTries;     // failed tries in a row
    // Passed:
    int markTries;  // watch passes left to delete its mark
};

// What a kernel's end says of the kernel on trial.
enum class Verdict { None, Passed, Failed };

// At start-up: the trial the last launcher left unfinished, by its mark
// beside the kept kernel with no record of its end. The mark of one that
// ended gets one try; where it stays, its end is recorded beside it, and
// the watch passes try it again. Read before the start-up clears the tags.
Trial TakeUpTrial(Platform& os);
// The trial of a kernel just swapped in.
Trial NewTrial();
// A kernel has started: its run is counted from now.
void KernelStarted(Platform& os, Trial& trial);
// In every watch pass: a kernel on trial that has run a minute passes, and
// the held mark of one that passed gets a try.
void CountRun(Platform& os, Trial& trial);
// What the end of a kernel says of it: it passed where it ended under the
// quit or restart tag, and failed where it ended by itself with no newer
// kernel to swap in. Judged on the end alone.
Verdict JudgeTry(const Trial& trial, const KernelEnd& end);
// The trial moves on by the verdict: a pass deletes the mark, a failure is
// counted.
void TakeVerdict(Platform& os, Trial& trial, Verdict verdict);
// Whether the kernel on trial has failed its tries too often to go on.
bool KeepsFailing(const Trial& trial);
// The launcher ends: the mark of a trial that passed gets a last try.
void LeaveTrial(Platform& os, Trial& trial);
// Puts the kept kernel back and ends the trial, unless it cannot be done now:
// then the trial and its mark stay. Done or not, the update the kernel asked
// for is over: its tag is deleted.
Rollback RollBack(Platform& os, Trial& trial, Milliseconds deadline);

// ---- A kernel launch (launch.cpp) ----

// A kernel that runs: its process, the system's id of it, by which the
// record names it, and the tags there before it started.
struct Kernel {
    Handle process;
    std::uint32_t id;
    TagsAtStart tagsAtStart;
};

// A kernel launch: started or not, and whether the kernel that started is
// the kept one, put back by the launch.
struct KernelLaunch {
    bool started;
    Kernel kernel;  // when started
    bool rolledBack;
};

// Starts "kernel.bin" by the kernel command line until it runs, for the
// first launch and every relaunch. A start that fails for a reason that may
// pass is tried again, up to a deadline two minutes after the launch's first
// failure, which no retry of the launch outlives; a broken kernel file, and
// a kernel on trial that has not started by then, give way to the kept
// kernel, whose start is a launch of its own. Where the launcher gives up,
// the user has been told why (a notice, then the log line), and the result
// is not started.
KernelLaunch LaunchKernel(Platform& os, const char* kernelCommandLine, Trial& trial);

// ---- Supervision cycle (supervision.cpp) ----

// A watch pass pauses, then waits for the kernel's end; the trial counts
// its minute by them.
namespace supervision {
constexpr unsigned WatchPause = 5000;  // ms
constexpr unsigned WatchWait = 1000;   // ms, at most
}  // namespace supervision

// What one watch pass saw.
struct Watch {
    bool ended;      // the kernel's process has ended
    bool forceQuit;  // this pass terminated it
};

// One pass of watching: the trial's minute counted, a stale tag of the
// kernel's has it force quit, then a pause and a wait.
Watch WatchPass(Platform& os, const Kernel& kernel, Trial& trial);

// Watches the kernel and relaunches it until the launcher is to end;
// gives back the exit code.
int Supervise(Platform& os, Kernel kernel, const char* kernelCommandLine, Trial& trial);

// ---- Start-up guards (guards.cpp) ----

// A launcher started from a Run key, a scheduled task or a shortcut with an
// empty "Start in" runs in the system's or the user's directory: where the
// working directory is no installation, the executable's own directory
// becomes the working directory. False, the user told, where it cannot.
bool EnterInstallation(Platform& os);
// The prerequisite file in the working directory.
bool CheckPrerequisite(Platform& os);
// Holds the name of a running launcher in *launcherMutex; false, the user
// told, when another launcher holds it already.
bool AcquireSingleInstance(Platform& os, Handle* launcherMutex);
// Ends a kernel left from an earlier run, then holds the name of a running
// kernel in *kernelMutex.
void ClearLeftoverKernel(Platform& os, Handle* kernelMutex);

// ---- The entry point and the launch settings (startup.cpp) ----

// Exit codes of the launcher.
constexpr int ExitQuit = 0;      // the kernel asked the launcher to quit
constexpr int ExitFailure = -1;  // every other end

// The kernel command line buffer, terminating zero included.
constexpr int CommandLineSize = 260;
// "kernel.bin", a space, the argument and the zero must fit the buffer.
constexpr int MaxArgumentLength = 248;

struct LaunchSettings {
    bool debugMode;
    char kernelCommandLine[CommandLineSize];
};

// Builds the settings from main's arguments (argv[0] is the program).
// Returns false, leaving the settings unset, when the one argument is longer
// than MaxArgumentLength.
bool BuildLaunchSettings(int argc, const char* const argv[], LaunchSettings* settings);

// Runs the launcher from start to end and gives back its exit code.
int LauncherMain(Platform& os, int argc, const char* const argv[]);

#endif
