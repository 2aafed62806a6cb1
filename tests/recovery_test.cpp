// Updates the installation always comes back from: the trial of a new
// kernel, the first launch that falls back on the kept one, and a launcher
// that dies at any step of a swap or a rollback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "tests/scenario.h"

namespace {

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char Updating[] = "log update file tag found, force updating...\n";
constexpr char KeepFailed[] = "command move kernel.bin update\\FAILED.BIN";
constexpr char MoveBack[] = "command move update\\ROLLBACK.BIN kernel.bin";
constexpr char MarkHeld[] = "remove update\\ON_TRIAL -> failed";

// Kernel #1 leaves its successor and the update tag, then exits.
void UpdateTo(FakePlatform& os, const std::string& newKernel) {
    Install(os);
    os.NextKernel().At(1000).Creates("update\\_UPDATE.NEW", newKernel).Creates("update.do").Exits();
}

// The next n kernels end at once.
void QuickEnds(FakePlatform& os, int n) {
    for (int i = 0; i < n; ++i) os.NextKernel().At(100).Exits();
}

// An installation with a trial's mark beside the kept kernel, v0.
void MarkedBesideAKeptKernel(FakePlatform& os) {
    Install(os);
    os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
    os.AddFile("update\\ON_TRIAL");
}

// A new kernel that ends at once every time.
void CrashLoop(FakePlatform& os) {
    UpdateTo(os, "kernel v2");
    QuickEnds(os, 3);
}

// A kernel file that is no program, the previous kernel kept.
void Unstartable(FakePlatform& os) {
    os.AddFile("zlib1.dll");
    os.AddFile("kernel.bin", FakePlatform::NotAProgram);
    os.AddFile("update\\ROLLBACK.BIN", "kernel v1");
}

// And an old failed copy that cannot be deleted.
void UnstartableWithStuckCopy(FakePlatform& os) {
    Unstartable(os);
    os.AddFile("update\\FAILED.BIN", "kernel v0");
    os.MakeUndeletable("update\\FAILED.BIN");
}

// The start tried again 5 s later; after a failure for a passing reason.
const Trace TryAgain = {"log kernel not started, trying again in 5 s...\n", "sleep 5000"};
Trace NotStarted(int error) {
    return Join({{"log CreateProcess failed (" + std::to_string(error) + ")\n"}, TryAgain});
}

// Every start refused as in use, for longer than the launcher waits, or so
// many of them; and the pause before it is tried again.
void HoldEveryStart(FakePlatform& os, int error, int times = InUseRetries + 1) {
    for (int i = 0; i < times; ++i) os.FailNextLaunch(error);
}
// A kernel on trial whose starts fail short of resources, 25 times.
void ShortOfResourcesOnTrial(FakePlatform& os) {
    Install(os);
    os.AddFile("kernel.bin", "kernel v2");
    os.AddFile("update\\ROLLBACK.BIN", "kernel v1");
    os.AddFile("update\\ON_TRIAL");
    HoldEveryStart(os, 1455, 25);
}

Trace StartsHeldForGood(int error) {
    const std::string refused = "start kernel.bin -> error " + std::to_string(error);
    return Join({RefusedForGood(refused), NotStarted(error)});
}
// Such starts from the launch's first failure up to its deadline, two
// minutes on; and the user then told to try later.
Trace StartsHeldUpToTheDeadline(int error) {
    const std::string refused = "start kernel.bin -> error " + std::to_string(error);
    return Join({StartsHeldForGood(error), Refused(refused, 55), {refused}});
}
// A rollback whose move into place hangs until it is ended, after so many s.
Trace HungRollback(int seconds) {
    const std::string limit = std::to_string(seconds);
    return {"start kernel.bin -> error 193",
            "log CreateProcess failed (193)\n",
            "log kernel failed to start, rolling back...\n",
            KeepFailed,
            std::string(MoveBack) + " -> ended after " + limit + "000 ms",
            "log command did not finish in " + limit + " s, ended.\n",
            "command move update\\FAILED.BIN kernel.bin",
            "log rollback file cannot be moved into place, rollback skipped.\n"};
}
Trace ToldToTryLater(int error) {
    return {"notice 警告: 暂时无法启动NX8内核, 请稍后重试.",
            "log CreateProcess failed (" + std::to_string(error) + ")\n"};
}

// Kernel #n ends and #n+1 is started, with the cause's line.
Trace Relaunch(int n, const Trace& decision, const std::string& line) {
    return Join(
        {EndedPass(n), decision, {"start kernel.bin -> #" + std::to_string(n + 1), "log " + line}});
}
const Trace Swap = {Updating, MoveAside, Mark, MoveIn};
const Trace Skip = {Updating, "log update file not found, update skipped.\n", "remove update.do"};
const Trace Abnormal = {"sleep 5000"};
const Trace KeepsFailing = {
    "log new kernel keeps failing, rolling back...\n", KeepFailed, MoveBack, Unmark};
// The update tag goes with the update, where no new file waits.
const Trace RollBack = Join({KeepsFailing, {"remove update.do"}});
constexpr char Updated[] = "kernel relaunched!\n";
constexpr char TakenUp[] = "log update not confirmed, new kernel on trial.\n";
constexpr char AfterAbnormal[] = "kernel relaunched (cause:abnormal quit)\n";
constexpr char RolledBack[] = "kernel relaunched (cause:update rolled back)\n";
// The swap to a new kernel that then ends at once twice.
Trace TwoFailedTriesAfter(const Trace& swap) {
    return Join({StartupEffects(),
                 Relaunch(1, swap, Updated),
                 Relaunch(2, Abnormal, AfterAbnormal),
                 Relaunch(3, Abnormal, AfterAbnormal)});
}
const Trace TwoFailedTries = TwoFailedTriesAfter(Swap);

// A start-up that does this before it starts kernel #1 and watches it.
Trace StartUp(const Trace& beforeTheLaunch) {
    return Join({UpToTheFirstLaunch(), beforeTheLaunch, FirstLaunch(), {"sleep 5000"}});
}

// A first launch that fails with this error and falls back, after so many
// failures that pass; a kernel on trial gives up its mark with it.
Trace FallingBack(int error, const Trace& rollback, bool onTrial = false, int passing = 0) {
    const std::string code = std::to_string(error);
    const std::string failed = "start kernel.bin -> error " + code;
    return Join({Repeat(Join({{failed}, NotStarted(error)}), passing),
                 {failed,
                  "log CreateProcess failed (" + code + ")\n",
                  std::string("log ") + (onTrial ? "new kernel" : "kernel") +
                      " failed to start, rolling back...\n"},
                 rollback,
                 onTrial ? Trace{MoveBack, Unmark} : Trace{MoveBack}});
}
Trace FallBack(int error, const Trace& rollback, bool onTrial = false, int passing = 0) {
    return StartUp(FallingBack(error, rollback, onTrial, passing));
}

struct RecoveryCase {
    const char* name;
    void (*setUp)(FakePlatform&);
    long long stopAt;
    Trace effects;
    std::optional<int> exitCode;
    const char* kernel;  // the content of "kernel.bin" afterwards
};

void PrintTo(const RecoveryCase& c, std::ostream* out) {
    *out << c.name;
}

const RecoveryCase RecoveryCases[] = {
    {"CrashLoopingNewKernelRolledBackAtItsThirdQuickEnd",
     CrashLoop,
     36000,
     Join({TwoFailedTries, Relaunch(4, RollBack, RolledBack), RunningPass(5)}),
     std::nullopt,
     "kernel v1"},
    {"TwoQuickEndsThenItRuns",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         QuickEnds(os, 2);
         os.NextKernel().Deletes("update.do");
     },
     86000,
     // Started at 25 s: the mark goes in the pass that begins at 85 s, before
     // its pause.
     Join({TwoFailedTries, Repeat(RunningPass(4), 10), {Unmark, "sleep 5000"}}),
     std::nullopt,
     "kernel v2"},
    {"RunsAMinuteWhileTheClockIsSetBackThenEndsQuicklyThreeTimes",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         os.NextKernel().Deletes("update.do").At(30000).SetsClock(-3600).At(61000).Exits();
         QuickEnds(os, 3);
     },
     106000,
     Join({StartupEffects(),
           Relaunch(1, Swap, Updated),
           Repeat(RunningPass(2), 10),
           {Unmark},
           Relaunch(2, Abnormal, AfterAbnormal),
           Relaunch(3, Abnormal, AfterAbnormal),
           Relaunch(4, Abnormal, AfterAbnormal),
           Relaunch(5, Abnormal, AfterAbnormal),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v2"},
    {"ForceQuitIsNoFailedTryAndTheTrialGoesOn",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         os.NextKernel().Creates("update.do");  // runs, and asks for the update again
         QuickEnds(os, 3);
     },
     72000,
     Join({StartupEffects(),
           Relaunch(1, Swap, Updated),
           Repeat(RunningPass(2), 6),
           {"log sig timeout, force quit!\n", "terminate #2 (0)"},
           Relaunch(2, Skip, Updated),
           Relaunch(3, Abnormal, AfterAbnormal),
           Relaunch(4, Abnormal, AfterAbnormal),
           Relaunch(5, KeepsFailing, RolledBack),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
    // The kernel rolled back to, proven, is tried again until it runs.
    {"RolledBackKernelHeldPastTheWindowRunsOnceFree",
     [](FakePlatform& os) {
         CrashLoop(os);
         HoldEveryStart(os, 5);
     },
     96000,
     Join({TwoFailedTries,
           Relaunch(4, Join({RollBack, StartsHeldForGood(5)}), RolledBack),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
    // A staged new kernel is left for the kernel to offer again. The kept
    // kernel makes an installation of the working directory: the
    // executable's own is not entered.
    {"FirstLaunchWithoutKernelFileFallsBack",
     [](FakePlatform& os) {
         os.AddFile("zlib1.dll");
         os.AddFile("update\\ROLLBACK.BIN", "kernel v1");
         os.AddFile("update\\_UPDATE.NEW", "kernel v2");
         os.AddFile(std::string(FakePlatform::ProgramDir) + "zlib1.dll");
     },
     5000,
     FallBack(2, {}),
     std::nullopt,
     "kernel v1"},
    {"UnstartableKernelKeptAsFailed",
     Unstartable,
     5000,
     FallBack(193, {KeepFailed}),
     std::nullopt,
     "kernel v1"},
    {"FailedCopyThatCannotBeClearedGivesWay",
     UnstartableWithStuckCopy,
     65000,
     FallBack(193,
              Join({RefusedForGood("remove update\\FAILED.BIN -> failed"), {"remove kernel.bin"}})),
     std::nullopt,
     "kernel v1"},
    {"NothingKeptSkipsTheRollbackAndEndsTheTrial",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         os.NextKernel().Deletes("update\\ROLLBACK.BIN").At(100).Exits();
         QuickEnds(os, 2);
     },
     36000,
     Join({TwoFailedTries,
           Relaunch(4,
                    {"log new kernel keeps failing, rolling back...\n",
                     "log rollback file not found, rollback skipped.\n",
                     Unmark,
                     "remove update.do",
                     "sleep 5000"},
                    AfterAbnormal),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v2"},
    // Held past the window at the third failed try: the trial and its mark
    // stay, and the fourth rolls back.
    {"KeptKernelHeldThroughARollbackKeepsTheTrial",
     [](FakePlatform& os) {
         CrashLoop(os);
         QuickEnds(os, 1);
         os.HoldFile("update\\ROLLBACK.BIN", 93000);
     },
     105000,
     Join({TwoFailedTries,
           Relaunch(4,
                    Join({{"log new kernel keeps failing, rolling back...\n", KeepFailed},
                          RefusedForGood(std::string(MoveBack) + " -> failed"),
                          {"command move update\\FAILED.BIN kernel.bin",
                           "log rollback file cannot be moved into place, rollback skipped.\n",
                           "remove update.do",
                           "sleep 5000"}}),
                    AfterAbnormal),
           Relaunch(5, KeepsFailing, RolledBack),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
    // Not on trial, held past the window: never rolled back, nor reported.
    {"ProvenKernelHeldPastTheWindowRunsOnceFree",
     [](FakePlatform& os) {
         Install(os);
         os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
         QuickEnds(os, 1);
         HoldEveryStart(os, 32);
     },
     76000,
     Join({StartupEffects(),
           Relaunch(1, Join({Abnormal, StartsHeldForGood(32)}), AfterAbnormal),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
    // The kernel deleted its own file: the kept kernel stays kept.
    {"SwapWithoutAKernelFileKeepsTheKeptKernel",
     [](FakePlatform& os) {
         Install(os);
         os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
         os.NextKernel()
             .Deletes("kernel.bin")
             .Creates("update\\_UPDATE.NEW", "kernel v2")
             .Creates("update.do")
             .Exits();
         QuickEnds(os, 3);
     },
     36000,
     Join({TwoFailedTriesAfter({Updating, Mark, MoveIn}),
           Relaunch(4, RollBack, RolledBack),
           RunningPass(5)}),
     std::nullopt,
     "kernel v0"},
    // Force quit as its restart tag went stale; passed, its mark goes. The
    // update tag, there before it started, stays: the next kernel ends
    // beside it, and the update is skipped.
    {"ForceQuitUnderARestartTagPassesTheTrial",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         QuickEnds(os, 2);
         os.NextKernel().Creates("restart.do");
         QuickEnds(os, 1);
     },
     75000,
     Join({TwoFailedTries,
           Repeat(RunningPass(4), 6),
           {"log sig timeout, force quit!\n", "terminate #4 (0)"},
           Relaunch(4,
                    {Unmark, "remove restart.do", "sleep 3000"},
                    "kernel relaunched (cause:restart tag found)\n"),
           Relaunch(5, Skip, Updated),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v2"},
    // The machine sleeps an hour in its first pass: that pass counts 7 s.
    {"NoStagedFileAloneClockSetForwardOrSleepOfTheMachineStopsTheCount",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         KernelScript& v2 = os.NextKernel().Deletes("update.do").Creates("update\\_UPDATE.NEW");
         v2.At(1000).SetsClock(3600).At(7000).Exits();
         QuickEnds(os, 2);
         os.SuspendAt(9000, 3600 * 1000);
     },
     3642000,
     Join({StartupEffects(),
           Relaunch(1, Swap, Updated),
           RunningPass(2),
           Relaunch(2, Abnormal, AfterAbnormal),
           Relaunch(3, Abnormal, AfterAbnormal),
           Relaunch(4, KeepsFailing, RolledBack),
           RunningPass(5)}),
     std::nullopt,
     "kernel v1"},
    // The kernel file that cannot be moved is never deleted either.
    {"BrokenKernelThatCannotBeMovedAsideIsTriedAgainUntilItStarts",
     [](FakePlatform& os) {
         Install(os);
         os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
         os.MakeUndeletable("kernel.bin");
         QuickEnds(os, 1);
         os.FailNextLaunch(193);
     },
     76000,
     Join({StartupEffects(),
           Relaunch(1,
                    Join({{"sleep 5000",
                           "start kernel.bin -> error 193",
                           "log CreateProcess failed (193)\n",
                           "log kernel failed to start, rolling back...\n"},
                          RefusedForGood(std::string(KeepFailed) + " -> failed"),
                          {"log kernel file cannot be moved aside, rollback skipped.\n"},
                          TryAgain}),
                    AfterAbnormal),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
};

// Conditions that pass: they hold up no watch pass, and cost no proven kernel.
const RecoveryCase PassingCases[] = {
    // One try in each pass, for a minute of them: the kernel's quit tag goes
    // stale, and the kernel is force quit, on time.
    {"MarkHeldAsTheTrialPassesHoldsUpNoPass",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         os.NextKernel().Deletes("update.do").At(70000).Creates("quit.do");
         os.HoldFile("update\\ON_TRIAL", 3600 * 1000);
     },
     3600 * 1000,
     Join({StartupEffects(),
           Relaunch(1, Swap, Updated),
           Repeat(RunningPass(2), 10),
           {MarkHeld, "create update\\PASSED"},
           RunningPass(2),
           Repeat(Join({{MarkHeld}, RunningPass(2)}), 6),
           {MarkHeld, "log sig timeout, force quit!\n", "terminate #2 (0)"},
           EndedPass(2),
           {"log deleting quit tag...\n",
            "remove quit.do",
            MarkHeld,
            "log trial mark cannot be deleted.\n"}}),
     0,
     "kernel v2"},
    // Not on trial, short of resources: tried again, and the main page waits.
    {"ProvenKernelShortOfResourcesAtStartUpIsTriedAgain",
     [](FakePlatform& os) {
         Install(os);
         os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
         os.FailNextLaunch(8);
         os.FailNextLaunch(8);
     },
     10001,
     StartUp(Repeat(Join({{"start kernel.bin -> error 8"}, NotStarted(8)}), 2)),
     std::nullopt,
     "kernel v1"},
    // A new kernel short of resources fails no try: it gives way only once
    // two minutes have passed, having proved nothing.
    {"KernelOnTrialShortOfResourcesFallsBackPastTheBound",
     ShortOfResourcesOnTrial,
     125000,
     FallBack(1455, {KeepFailed}, true, 24),
     std::nullopt,
     "kernel v1"},
    // Put in place past the bound, the kept kernel is a launch of its own: a
    // scanner's hold on it is waited out.
    {"KeptKernelPutInPlacePastTheBoundIsANewLaunch",
     [](FakePlatform& os) {
         ShortOfResourcesOnTrial(os);
         HoldEveryStart(os, 32, 30);
     },
     155000,
     StartUp(Join(
         {FallingBack(1455, {KeepFailed}, true, 24), Refused("start kernel.bin -> error 32", 30)})),
     std::nullopt,
     "kernel v1"},
    // Held for good, file and start: the deadline cuts the fallback's moves
    // short, and the user is told at two minutes.
    {"KernelOnTrialHeldForGoodIsToldAtTheDeadline",
     [](FakePlatform& os) {
         MarkedBesideAKeptKernel(os);
         os.MakeUndeletable("kernel.bin");
         HoldEveryStart(os, 32, 2 * InUseRetries);
     },
     3600 * 1000,
     Join({UpToTheFirstLaunch(),
           StartsHeldUpToTheDeadline(32),
           {"log CreateProcess failed (32)\n",
            "log new kernel failed to start, rolling back...\n",
            std::string(KeepFailed) + " -> failed",
            "log kernel file cannot be moved aside, rollback skipped.\n"},
           ToldToTryLater(32)}),
     -1,
     "kernel v1"},
    // A broken kernel, the kept one held for good: the second rollback's
    // retries reach the deadline, and the user is told then.
    {"BrokenKernelWithTheKeptOneHeldForGoodIsToldAtTheDeadline",
     [](FakePlatform& os) {
         Unstartable(os);
         os.MakeUndeletable("update\\ROLLBACK.BIN");
     },
     3600 * 1000,
     [] {
         const Trace rollingBack = {"start kernel.bin -> error 193",
                                    "log CreateProcess failed (193)\n",
                                    "log kernel failed to start, rolling back...\n",
                                    KeepFailed};
         const std::string refused = std::string(MoveBack) + " -> failed";
         const Trace skipped = {
             "command move update\\FAILED.BIN kernel.bin",
             "log rollback file cannot be moved into place, rollback skipped.\n"};
         return Join({UpToTheFirstLaunch(),
                      rollingBack,
                      RefusedForGood(refused),
                      skipped,
                      TryAgain,
                      rollingBack,
                      Refused(refused, 55),
                      {refused},
                      skipped,
                      ToldToTryLater(193)});
     }(),
     -1,
     FakePlatform::NotAProgram},
    // Held for good: two minutes on, the user is told to try later, and the
    // proven kernel stays.
    {"ProvenKernelHeldForGoodIsToldToTryLater",
     [](FakePlatform& os) {
         Install(os);
         os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
         HoldEveryStart(os, 32, 2 * InUseRetries);
     },
     3600 * 1000,
     Join({UpToTheFirstLaunch(), StartsHeldUpToTheDeadline(32), ToldToTryLater(32)}),
     -1,
     "kernel v1"},
    // A swap cut short by a shutdown, an old failed copy beside it: only the
    // kept kernel goes into place, once it is let go.
    {"KeptKernelHeldAfterASwapCutShortNeverPutsAnOldFailedCopyInPlace",
     [](FakePlatform& os) {
         os.AddFile("zlib1.dll");
         os.AddFile("update\\ROLLBACK.BIN", "kernel v1");
         os.AddFile("update\\FAILED.BIN", "kernel v0");
         os.AddFile("update\\ON_TRIAL");
         os.AddFile("update\\_UPDATE.NEW", "kernel v2");
         os.HoldFile("update\\ROLLBACK.BIN", 75000);
     },
     80000,
     StartUp(Join({{"start kernel.bin -> error 2",
                    "log CreateProcess failed (2)\n",
                    "log new kernel failed to start, rolling back...\n"},
                   RefusedForGood(std::string(MoveBack) + " -> failed"),
                   {"log rollback file cannot be moved into place, rollback skipped.\n"},
                   TryAgain,
                   {"start kernel.bin -> error 2",
                    "log CreateProcess failed (2)\n",
                    "log new kernel failed to start, rolling back...\n"},
                   Refused(std::string(MoveBack) + " -> failed", 10),
                   {MoveBack, Unmark}})),
     std::nullopt,
     "kernel v1"},
    // A pass recorded once, beside the new mark, would pass its kernel unseen.
    {"EarlierPassesRecordGoesBeforeTheMark",
     [](FakePlatform& os) {
         UpdateTo(os, "kernel v2");
         os.AddFile("update\\PASSED");
     },
     6000,
     Join({StartupEffects(),
           Relaunch(1, {Updating, MoveAside, "remove update\\PASSED", Mark, MoveIn}, Updated),
           {"sleep 5000"}}),
     std::nullopt,
     "kernel v2"},
    // Its mark held as it passed, then a power cut: the pass recorded beside
    // the mark keeps the next launcher from putting it on trial again.
    {"PassedTrialIsNotTakenUpAgain",
     [](FakePlatform& os) {
         MarkedBesideAKeptKernel(os);
         os.AddFile("update\\PASSED");
     },
     1,
     StartUp({Unmark, "remove update\\PASSED"}),
     std::nullopt,
     "kernel v1"},
    // Its record says that the trial is over: the mark, held, gets one try.
    {"MarkHeldBesideItsRecordGetsOneTryAtStartUp",
     [](FakePlatform& os) {
         MarkedBesideAKeptKernel(os);
         os.AddFile("update\\PASSED");
         os.MakeUndeletable("update\\ON_TRIAL");
     },
     1,
     StartUp({MarkHeld, "log trial mark cannot be deleted.\n"}),
     std::nullopt,
     "kernel v1"},
    // A directory named as the record records nothing: the trial goes on.
    {"PassedDirectoryIsNoRecord",
     [](FakePlatform& os) {
         MarkedBesideAKeptKernel(os);
         os.AddDirectory("update\\PASSED");
     },
     1,
     Join({UpToTheFirstLaunch(), {"start kernel.bin -> #1", TakenUp, MainPage, "sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
    // Ended under its quit tag, which the start-up clears: its mark, held,
    // gets one try, has the end recorded beside it, and a try in each watch
    // pass. The kernel starts at once.
    {"PassedTrialsMarkHeldAtStartUp",
     [](FakePlatform& os) {
         MarkedBesideAKeptKernel(os);
         os.AddFile("quit.do");
         os.MakeUndeletable("update\\ON_TRIAL");
     },
     1,
     Join({UpToTheFirstLaunch(),
           {MarkHeld, "create update\\PASSED", "remove quit.do"},
           FirstLaunch(),
           {MarkHeld, "sleep 5000"}}),
     std::nullopt,
     "kernel v1"},
    // A tag there before the kernel started, one that cannot be deleted,
    // asks nothing of it: the kernel runs on.
    {"DirectoryRestartTagForceQuitsNoKernel",
     [](FakePlatform& os) {
         Install(os);
         os.AddDirectory("restart.do");
         os.SetModified("restart.do", FakePlatform::Epoch - 3600);
     },
     60000,
     Join({UpToTheFirstLaunch(),
           {"remove restart.do -> failed", "log remove restart tag failed.\n"},
           FirstLaunch(),
           Repeat(RunningPass(1), 10)}),
     std::nullopt,
     "kernel v1"},
    // A move that hangs in a rollback is ended by the launch's deadline: the
    // user is told at two minutes.
    {"HungMoveOfARollbackEndsByTheDeadline",
     [](FakePlatform& os) {
         Unstartable(os);
         os.HangCommand("move update\\ROLLBACK.BIN kernel.bin");
     },
     3600 * 1000,
     Join(
         {UpToTheFirstLaunch(), HungRollback(60), TryAgain, HungRollback(55), ToldToTryLater(193)}),
     -1,
     FakePlatform::NotAProgram},
    // Cut short between a rollback's two moves, and started from elsewhere:
    // the installation beside the executable recovers as in place.
    {"StartedElsewhereWithoutItsKernel",
     [](FakePlatform& os) {
         os.AddFile(std::string(FakePlatform::ProgramDir) + "zlib1.dll");
         os.AddFile(std::string(FakePlatform::ProgramDir) + "update\\ROLLBACK.BIN", "kernel v1");
     },
     1,
     [] {
         Trace effects = FallBack(2, {});
         effects.insert(effects.begin() + 2, "chdir C:\\NX8\\");  // after the locale
         return effects;
     }(),
     std::nullopt,
     "kernel v1"},
};

class RecoveryTest : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(RecoveryTest, ComesBackWithAKernelThatRuns) {
    FakePlatform os;
    GetParam().setUp(os);
    os.StopAt(GetParam().stopAt);

    EXPECT_EQ(os.Run({}), GetParam().exitCode);

    EXPECT_THAT(os.Effects(), ElementsAreArray(GetParam().effects));
    EXPECT_EQ(os.Content("kernel.bin"), GetParam().kernel);
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         RecoveryTest,
                         ::testing::ValuesIn(RecoveryCases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Passing,
                         RecoveryTest,
                         ::testing::ValuesIn(PassingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A launcher that dies at any step ----

struct CutCase {
    const char* name;
    void (*setUp)(FakePlatform&);
    const char* firstStep;  // the call that begins the steps, each one cut after
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << c.name;
}

class CutTest : public ::testing::TestWithParam<CutCase> {};

// Every call from the first step up to the kernel's next start, as SQLite
// tests its journal: the launcher dies right after it, and a fresh launcher
// on the files left supervises the old kernel or the new one.
TEST_P(CutTest, FreshLauncherAfterEveryStepSupervisesAKernel) {
    FakePlatform whole;
    GetParam().setUp(whole);
    whole.StopAt(200000);
    (void)whole.Run({});
    const Trace calls = whole.Calls();
    const auto first = std::find(calls.begin(), calls.end(), GetParam().firstStep);
    ASSERT_NE(first, calls.end());
    const auto start = std::find_if(std::next(first), calls.end(), [](const std::string& call) {
        return call.rfind("start ", 0) == 0;
    });
    ASSERT_NE(start, calls.end());

    for (auto cut = first; cut != start; ++cut) {
        SCOPED_TRACE("cut after " + *cut);
        FakePlatform dying;
        GetParam().setUp(dying);
        dying.CutAfter(static_cast<size_t>(cut - calls.begin()) + 1);
        ASSERT_EQ(dying.Run({}), std::nullopt);
        ASSERT_EQ(dying.Calls().back(), *cut);

        FakePlatform fresh;
        fresh.KeepFilesOf(dying);
        fresh.StopAt(130000);
        EXPECT_EQ(fresh.Run({}), std::nullopt);
        EXPECT_EQ(fresh.KernelsRunning(), 1);
        const Trace effects = fresh.Effects();
        EXPECT_THAT(effects, Not(Contains(HasSubstr("notice"))));
        EXPECT_THAT(fresh.Content("kernel.bin"), AnyOf("kernel v1", "kernel v2", "kernel v3"));
        // Only kernel v1 has proven itself: any other is on trial.
        EXPECT_EQ(std::count(effects.begin(), effects.end(), TakenUp),
                  fresh.Content("kernel.bin") == "kernel v1" ? 0 : 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps,
    CutTest,
    ::testing::Values(
        CutCase{"Swap", [](FakePlatform& os) { UpdateTo(os, "kernel v2"); }, Updating},
        CutCase{"RollbackOfANewKernelThatCannotStart",
                [](FakePlatform& os) {
                    UpdateTo(os, FakePlatform::NotAProgram);
                    os.AddFile("update\\FAILED.BIN", "kernel v0");
                },
                "start kernel.bin -> error 193"},
        CutCase{"RollbackAfterAFailedTrial",
                CrashLoop,
                "log new kernel keeps failing, rolling back...\n"},
        CutCase{"RollbackAtStartUp", UnstartableWithStuckCopy, "start kernel.bin -> error 193"},
        // Held past the fresh launcher's minute: the rollback is tried again
        // until the kept kernel is let go.
        CutCase{"RollbackWithTheKeptKernelHeldPastTheNextLaunchersMinute",
                [](FakePlatform& os) {
                    CrashLoop(os);
                    os.HoldFile("update\\ROLLBACK.BIN", 100000);
                },
                "log new kernel keeps failing, rolling back...\n"},
        CutCase{"SwapUndoneForAMarkThatCannotBeWritten",
                [](FakePlatform& os) {
                    UpdateTo(os, "kernel v2");
                    os.AddDirectory("update\\ON_TRIAL");
                },
                Updating},
        CutCase{"SwapDuringATrial",
                [](FakePlatform& os) {
                    UpdateTo(os, "kernel v2");
                    os.NextKernel().At(100).Creates("update\\_UPDATE.NEW", "kernel v3").Exits();
                },
                "start kernel.bin -> #2"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
