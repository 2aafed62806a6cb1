// The launcher core: starts the kernel, watches it, obeys its control tags.
//
// One straight procedural flow over plain values. Every service of the system
// is reached through the Platform passed in; nothing here knows which system
// it runs on.
#ifndef LAUNCHER_LAUNCHER_H
#define LAUNCHER_LAUNCHER_H

#include "platform/platform.h"

// Exit codes of the launcher.
constexpr int ExitQuit = 0;      // the kernel asked the launcher to quit
constexpr int ExitFailure = -1;  // every other end

// ---- Entry point and launch settings (startup.cpp) ----

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

// Starts "kernel.bin"; while another program holds the file, the start is
// tried again.
LaunchResult StartKernel(Platform& os, const LaunchSettings& settings);
// After an attempt that found its file held by another program (a scanner,
// an indexer, a backup tool holds a file it checks; a scanner's cloud check
// for up to a minute): whether to try again, after a pause of a second, for
// up to a minute. The first retry of a series is logged. *retries counts
// them, from 0.
bool TryAgainWhenFree(Platform& os, int* retries);
// Runs one of the launcher's stock commands through the command interpreter.
// One that has not finished in a minute is ended, with a log line: false.
bool RunStockCommand(Platform& os, const char* command);
// Starts "kernel.bin" until it runs. A kernel file that is broken, and a
// kernel on trial that does not start, give way to the kernel an update
// replaced, where it is kept; any other failed start passes, and is tried
// again 5 s later, for as long as it takes. Not started only where the
// kernel file is broken and nothing is kept to go back to. *kernelOnTrial
// is cleared where the trial ended; *rolledBack is set where the kept
// kernel took its place.
LaunchResult LaunchKernel(Platform& os,
                          const LaunchSettings& settings,
                          bool* kernelOnTrial,
                          bool* rolledBack);
// Writes the log line of a failed launch.
void LogLaunchFailure(Platform& os, int error);
// The notice of a failed launch, then its log line.
void ReportLaunchFailure(Platform& os, int error);
void OpenMainPage(Platform& os);

// Runs the launcher from start to end and gives back its exit code.
int LauncherMain(Platform& os, int argc, const char* const argv[]);

// ---- Control tags (control_tags.cpp) ----

enum class ControlTag { Quit, Restart, Update };

struct TagStatus {
    bool present;
    Seconds modified;  // meaningful only when present
};

// A tag older than this, left by a kernel that still runs, is stale.
constexpr Seconds SignalTimeout = 30;

TagStatus QueryTag(Platform& os, ControlTag tag);
bool IsStale(TagStatus status, Seconds now);
// Deletes the tag, read-only or not; on failure writes the tag's log line
// and returns false.
bool RemoveTag(Platform& os, ControlTag tag);
// Deletes one of the launcher's files, read-only or not: an installation
// restored from a backup or unpacked from an archive leaves files so.
bool RemoveEvenReadOnly(Platform& os, const char* name);
// Deletes the tags an earlier run left behind: restart, update, quit.
void ClearTagsAtStartup(Platform& os);

// ---- Update swap (update_swap.cpp) ----

// Moves the kernel file aside and the new one into its place, marked as on
// trial; a kernel on trial makes way as a failed one, and the kept kernel
// stays kept. False, with a log line, when the update is skipped and nothing
// was swapped in.
bool RunUpdateSwap(Platform& os, bool kernelOnTrial);
// Whether a new kernel file, "update\_UPDATE.NEW", waits to be swapped in.
bool NewKernelWaiting(Platform& os);
// Whether the kernel file a swap moved aside, "update\ROLLBACK.BIN", is kept:
// a file, not a directory.
bool KeptKernelExists(Platform& os);
enum class Rollback {
    Done,         // the kept kernel is in place
    NothingKept,  // there is nothing to go back to: the trial is over
    NotNow,       // a kernel file could not be moved: the trial and its mark stay
};
// Puts the kept kernel file back in place. The one that failed is kept as
// "update\FAILED.BIN", or deleted where an older copy there cannot be
// cleared. Where it does not roll back, a log line says why, and the kernel
// found in place is left there; where none is, the kernel on trial set
// aside goes back. Done or not, the update it asked for is over: its tag is
// deleted.
Rollback RollBackUpdate(Platform& os, bool kernelOnTrial);
// The trial's mark, "update\ON_TRIAL", the one file the launcher writes: a
// swap put a new kernel in place, and it has not yet shown that it runs.
bool TrialMarked(Platform& os);
// Deletes the mark, and again while another program holds it, for up to a
// minute.
void ClearTrialMark(Platform& os);
// One try at deleting the mark, for a watch pass, which never waits on a
// held file: false while it is there. The last try logs that it stays.
bool ClearTrialMarkOnce(Platform& os, bool lastTry);

// ---- Supervision cycle (supervision.cpp) ----

enum class RelaunchCause { RestartTagFound, UpdateApplied, UpdateRolledBack, AbnormalQuit };

// A kernel just swapped in, or left on trial by a launcher that died, is on
// trial until it has shown that it runs; one that keeps ending at once gives
// way to the kernel it replaced. Kept beside the current kernel, and marked
// on disk by "update\ON_TRIAL".
struct Trial {
    bool onTrial;
    Milliseconds seen;   // the tick count when its run was last counted
    Milliseconds awake;  // how long its latest start has run, the machine awake
    int failedTries;     // failed tries in a row
    int markTries;       // watch passes left to delete the mark of a trial that passed
};

// One pass of watching: a kernel on trial that has run a minute passes, a
// stale tag has the kernel force quit, then a pause and a wait. Returns true
// once the kernel's process has ended; *forceQuit tells whether this pass
// terminated it.
bool WatchPass(Platform& os, Handle kernel, Trial* trial, bool* forceQuit = nullptr);

// Whether the last launcher ended during a trial: its mark beside the kept
// kernel, and no quit or restart tag, under which the kernel would have
// passed. A mark that means nothing more is deleted. Read before the
// start-up clears the tags.
bool TrialLeftUnfinished(Platform& os);

// Watches the kernel and relaunches it until the launcher is to end;
// gives back the exit code.
int Supervise(Platform& os, Handle kernel, const LaunchSettings& settings, bool kernelOnTrial);

// ---- Start-up guards (guards.cpp) ----

// The prerequisite file in the working directory; where it is missing, the
// executable's own directory is entered if it holds a whole installation.
bool CheckPrerequisite(Platform& os);
// Holds the name of a running launcher in *launcherMutex; false when
// another launcher holds it already.
bool AcquireSingleInstance(Platform& os, Handle* launcherMutex);
// Ends a kernel left from an earlier run, then holds the name of a running
// kernel in *kernelMutex.
void ClearLeftoverKernel(Platform& os, Handle* kernelMutex);

#endif
