// Updates: the swap of kernel files and what the cycle does around it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "launcher/launcher.h"
#include "tests/scenario.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Not;

// A kernel that leaves its successor and the update tag, then exits.
void UpdatingKernel(FakePlatform& os, unsigned at) {
    os.NextKernel().At(at).Creates("update\\_UPDATE.NEW", "kernel v2").Creates("update.do").Exits();
}

TEST(UpdateSwap, MovesTheKernelAsideAndTheNewOneIntoPlace) {
    FakePlatform os;
    os.AddFile("kernel.bin", "kernel v1");
    os.AddFile("update\\_UPDATE.NEW", "kernel v2");

    RunUpdateSwap(os, false);

    EXPECT_THAT(os.Effects(), ElementsAre(MoveAside, Mark, MoveIn));
    EXPECT_EQ(os.Content("kernel.bin"), "kernel v2");
    EXPECT_EQ(os.Content("update\\ROLLBACK.BIN"), "kernel v1");
    EXPECT_FALSE(os.HasFile("update\\_UPDATE.NEW"));
}

TEST(UpdateSwap, WithoutANewFileNothingIsMoved) {
    FakePlatform os;
    os.AddFile("kernel.bin", "kernel v1");
    os.AddFile("update\\ROLLBACK.BIN", "kernel v0");

    RunUpdateSwap(os, false);

    EXPECT_THAT(os.Effects(), ElementsAre("log update file not found, update skipped.\n"));
    EXPECT_EQ(os.Content("kernel.bin"), "kernel v1");
    EXPECT_EQ(os.Content("update\\ROLLBACK.BIN"), "kernel v0");
}

TEST(Update, NewKernelStartsAtOnceAndTheTagStays) {
    FakePlatform os;
    Install(os);
    UpdatingKernel(os, 2000);
    os.StopAt(11000);

    EXPECT_EQ(os.Run({"-debug"}), std::nullopt);

    EXPECT_THAT(AfterMainPage(os.Timeline()),
                ElementsAre("0.000 sleep 5000",
                            "5.000 wait #1 -> ended",
                            "5.000 close #1",
                            "5.000 log update file tag found, force updating...\n",
                            "5.000 command move kernel.bin update\\ROLLBACK.BIN",
                            "5.000 create update\\ON_TRIAL",
                            "5.000 command move update\\_UPDATE.NEW kernel.bin",
                            "5.000 start kernel.bin -debug -> #2",
                            "5.000 log kernel relaunched!\n",
                            "5.000 sleep 5000",
                            "10.000 wait #2 -> timeout"));
    EXPECT_EQ(os.Content("kernel.bin"), "kernel v2");
    EXPECT_EQ(os.Content("update\\ROLLBACK.BIN"), "kernel v1");
    EXPECT_TRUE(os.HasFile("update.do"));
}

TEST(Update, MissingNewFileRelaunchesTheCurrentKernel) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(2000).Creates("update.do").Exits();
    os.StopAt(6000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(AfterMainPage(os.Effects()),
                ElementsAreArray(Join({EndedPass(1),
                                       {"log update file tag found, force updating...\n",
                                        "log update file not found, update skipped.\n",
                                        "remove update.do",
                                        "start kernel.bin -> #2",
                                        "log kernel relaunched!\n",
                                        "sleep 5000"}})));
    EXPECT_EQ(os.Content("kernel.bin"), "kernel v1");
}

TEST(Update, RestartAndUpdateTogetherRestartFirstAndUpdateLater) {
    FakePlatform os;
    Install(os);
    os.NextKernel()
        .At(1000)
        .Creates("update\\_UPDATE.NEW", "kernel v2")
        .Creates("update.do")
        .Creates("restart.do")
        .Exits();
    os.NextKernel().At(20000).Exits();  // leaves the update tag alone
    os.StopAt(32000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(AfterMainPage(os.Timeline()),
                ElementsAre("0.000 sleep 5000",
                            "5.000 wait #1 -> ended",
                            "5.000 close #1",
                            "5.000 remove restart.do",
                            "5.000 sleep 3000",
                            "8.000 start kernel.bin -> #2",
                            "8.000 log kernel relaunched (cause:restart tag found)\n",
                            "8.000 sleep 5000",
                            "13.000 wait #2 -> timeout",
                            "14.000 sleep 5000",
                            "19.000 wait #2 -> timeout",
                            "20.000 sleep 5000",
                            "25.000 wait #2 -> timeout",
                            "26.000 sleep 5000",
                            "31.000 wait #2 -> ended",
                            "31.000 close #2",
                            "31.000 log update file tag found, force updating...\n",
                            "31.000 command move kernel.bin update\\ROLLBACK.BIN",
                            "31.000 create update\\ON_TRIAL",
                            "31.000 command move update\\_UPDATE.NEW kernel.bin",
                            "31.000 start kernel.bin -> #3",
                            "31.000 log kernel relaunched!\n",
                            "31.000 sleep 5000"));
}

TEST(Update, UpdateTagLeftInPlaceForceQuitsNoNewKernel) {
    FakePlatform os;
    Install(os);
    UpdatingKernel(os, 1000);
    os.StopAt(45000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(os.Effects(), Not(Contains("terminate #2 (0)")));
    EXPECT_EQ(os.KernelsRunning(), 1);
    EXPECT_TRUE(os.HasFile("update.do"));
    EXPECT_EQ(os.Content("kernel.bin"), "kernel v2");
    EXPECT_EQ(os.Content("update\\ROLLBACK.BIN"), "kernel v1");
}

TEST(Update, FailedRelaunchEndsTheLauncher) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(1000).Exits();
    os.FailNextLaunch(2);

    EXPECT_EQ(os.Run({}), -1);

    EXPECT_THAT(AfterMainPage(os.Effects()),
                ElementsAreArray(Join({EndedPass(1),
                                       {"sleep 5000",
                                        "start kernel.bin -> error 2",
                                        "notice 警告: 无法启动NX8内核, 请重新安装NX8.",
                                        "log CreateProcess failed (2)\n"}})));
}

// ---- Updates that cannot go as planned ----

// What follows the update tag's line: kernel #2 started and watched.
Trace Relaunched(const std::string& line) {
    return {"start kernel.bin -> #2", "log " + line, "sleep 5000"};
}

struct UpdateCase {
    const char* name;
    void (*setUp)(FakePlatform&);  // after the updating kernel is scripted
    Trace afterTheTag;
    std::optional<int> exitCode;
    std::map<std::string, std::string> files;  // content afterwards
};

void PrintTo(const UpdateCase& c, std::ostream* out) {
    *out << c.name;
}

class UpdateCaseTest : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(UpdateCaseTest, NeverStrandsTheInstallation) {
    FakePlatform os;
    Install(os);
    UpdatingKernel(os, 1000);
    os.StopAt(6000);  // unless the row needs more: the relaunched kernel's first pause
    GetParam().setUp(os);

    EXPECT_EQ(os.Run({}), GetParam().exitCode);

    EXPECT_THAT(AfterMainPage(os.Effects()),
                ElementsAreArray(Join({EndedPass(1),
                                       {"log update file tag found, force updating...\n"},
                                       GetParam().afterTheTag})));
    for (const auto& [name, content] : GetParam().files) {
        EXPECT_EQ(os.Content(name), content) << name;
    }
}

// The swap as it goes when nothing stands in its way.
const Trace Swapped = Join({{MoveAside, Mark, MoveIn}, Relaunched("kernel relaunched!\n")});
constexpr char RollingBack[] = "log new kernel failed to start, rolling back...\n";
constexpr char Absent[] = "<absent>";

INSTANTIATE_TEST_SUITE_P(
    Cases,
    UpdateCaseTest,
    ::testing::Values(
        UpdateCase{"SecondUpdateReplacesTheOldReadOnlyRollbackCopy",
                   [](FakePlatform& os) {
                       os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
                       os.MakeReadOnly("update\\ROLLBACK.BIN");
                   },
                   Join({{"clear read-only update\\ROLLBACK.BIN",
                          "remove update\\ROLLBACK.BIN",
                          MoveAside,
                          Mark,
                          MoveIn},
                         Relaunched("kernel relaunched!\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v2"}, {"update\\ROLLBACK.BIN", "kernel v1"}}},
        UpdateCase{"StagedFileHeldForAMomentAsTheSwapRuns",
                   [](FakePlatform& os) {
                       os.HoldFile("update\\_UPDATE.NEW", 7000);
                       os.StopAt(8000);
                   },
                   Join({{MoveAside, Mark},
                         Refused(std::string(MoveIn) + " -> failed", 2),
                         {MoveIn},
                         Relaunched("kernel relaunched!\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v2"}, {"update\\ON_TRIAL", ""}}},
        UpdateCase{"MoveThatNeverFinishesIsEndedAndNotRunAgain",
                   [](FakePlatform& os) {
                       os.HangCommand("move kernel.bin update\\ROLLBACK.BIN");
                       os.StopAt(66000);
                   },
                   Join({{std::string(MoveAside) + " -> ended after 60000 ms",
                          "log command did not finish in 60 s, ended.\n",
                          "log kernel file cannot be moved aside, update skipped.\n",
                          "remove update.do"},
                         Relaunched("kernel relaunched!\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v1"}}},
        UpdateCase{"TrialMarkThatCannotBeWritten",
                   [](FakePlatform& os) { os.AddDirectory("update\\ON_TRIAL"); },
                   Join({{MoveAside,
                          std::string(Mark) + " -> failed",
                          "command move update\\ROLLBACK.BIN kernel.bin",
                          "log trial mark cannot be written, update skipped.\n",
                          "remove update.do"},
                         Relaunched("kernel relaunched!\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v1"}, {"update.do", Absent}}},
        UpdateCase{
            "RollbackCopyThatCannotBeRemoved",
            [](FakePlatform& os) {
                os.AddFile("update\\ROLLBACK.BIN", "kernel v0");
                os.MakeUndeletable("update\\ROLLBACK.BIN");
                os.StopAt(66000);
            },
            Join({RefusedForGood("remove update\\ROLLBACK.BIN -> failed"),
                  {"log rollback file cannot be replaced, update skipped.\n", "remove update.do"},
                  Relaunched("kernel relaunched!\n")}),
            std::nullopt,
            {{"kernel.bin", "kernel v1"},
             {"update\\ROLLBACK.BIN", "kernel v0"},
             {"update.do", Absent}}},
        UpdateCase{
            "KernelFileThatCannotBeMovedAside",
            [](FakePlatform& os) {
                os.MakeUndeletable("kernel.bin");
                os.StopAt(66000);
            },
            Join({RefusedForGood(std::string(MoveAside) + " -> failed"),
                  {"log kernel file cannot be moved aside, update skipped.\n", "remove update.do"},
                  Relaunched("kernel relaunched!\n")}),
            std::nullopt,
            {{"kernel.bin", "kernel v1"}, {"update.do", Absent}}},
        UpdateCase{"SkippedUpdateWhoseTagCannotBeDeleted",
                   [](FakePlatform& os) {
                       os.MakeUndeletable("kernel.bin");
                       os.MakeUndeletable("update.do");
                       os.StopAt(66000);
                   },
                   Join({RefusedForGood(std::string(MoveAside) + " -> failed"),
                         {"log kernel file cannot be moved aside, update skipped.\n",
                          "remove update.do -> failed",
                          "log remove update tag failed.\n"},
                         Relaunched("kernel relaunched!\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v1"}, {"update.do", ""}}},
        UpdateCase{"NewKernelThatCannotStartIsRolledBack",
                   [](FakePlatform& os) {
                       os.AddFile("update\\FAILED.BIN", "kernel v0");
                       os.FailNextLaunch(193);
                   },
                   Join({{MoveAside,
                          Mark,
                          MoveIn,
                          "start kernel.bin -> error 193",
                          "log CreateProcess failed (193)\n",
                          RollingBack,
                          "remove update\\FAILED.BIN",
                          "command move kernel.bin update\\FAILED.BIN",
                          "command move update\\ROLLBACK.BIN kernel.bin",
                          Unmark,
                          "remove update.do"},
                         Relaunched("kernel relaunched (cause:update rolled back)\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v1"},
                    {"update\\FAILED.BIN", "kernel v2"},
                    {"update\\ROLLBACK.BIN", Absent},
                    {"update.do", Absent}}},
        UpdateCase{"RollbackWhosePreviousKernelFailsToo",
                   [](FakePlatform& os) {
                       os.FailNextLaunch(193);
                       os.FailNextLaunch(193);
                   },
                   {MoveAside,
                    Mark,
                    MoveIn,
                    "start kernel.bin -> error 193",
                    "log CreateProcess failed (193)\n",
                    RollingBack,
                    "command move kernel.bin update\\FAILED.BIN",
                    "command move update\\ROLLBACK.BIN kernel.bin",
                    Unmark,
                    "remove update.do",
                    "start kernel.bin -> error 193",
                    "notice 警告: 无法启动NX8内核, 请重新安装NX8.",
                    "log CreateProcess failed (193)\n"},
                   -1,
                   {{"kernel.bin", "kernel v1"}, {"update\\FAILED.BIN", "kernel v2"}}},
        UpdateCase{"StagedFileHeldPastTheWindowRollsBackAndEndsTheRequest",
                   [](FakePlatform& os) {
                       os.HoldFile("update\\_UPDATE.NEW", 3600 * 1000);
                       os.StopAt(66000);
                   },
                   Join({{MoveAside, Mark},
                         RefusedForGood(std::string(MoveIn) + " -> failed"),
                         {"start kernel.bin -> error 2",
                          "log CreateProcess failed (2)\n",
                          RollingBack,
                          "command move update\\ROLLBACK.BIN kernel.bin",
                          Unmark,
                          "remove update.do"},
                         Relaunched("kernel relaunched (cause:update rolled back)\n")}),
                   std::nullopt,
                   {{"kernel.bin", "kernel v1"}, {"update.do", Absent}}},
        UpdateCase{"PassedDirectoryIsNoRecordToForget",
                   [](FakePlatform& os) { os.AddDirectory("update\\PASSED"); },
                   Swapped,
                   std::nullopt,
                   {{"kernel.bin", "kernel v2"}, {"update\\ON_TRIAL", ""}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A record that its next line would take past its size.
const std::string FullRecord(256 * 1024 - 20, 'x');
// What the launcher records of the swap, from its start.
const std::string SwapRecorded =
    "2023-11-14 22:13:20 [4242] starting kernel...\n"
    "2023-11-14 22:13:20 [4242] kernel 1 started\n"
    "2023-11-14 22:13:25 [4242] kernel 1 ended: exit code 0x00000000\n"
    "2023-11-14 22:13:25 [4242] update file tag found, force updating...\n"
    "2023-11-14 22:13:25 [4242] kernel 2 started\n"
    "2023-11-14 22:13:25 [4242] kernel relaunched!\n";

// The launcher's record, kept whatever becomes of it, changes nothing else.
const UpdateCase RecordCases[] = {
    {"RecordAtItsSizeBecomesTheEarlierOneBeforeItsNextLine",
     [](FakePlatform& os) {
         os.AddFile("launcher.log", FullRecord);
         os.AddFile("launcher.log.1", "older\n");
     },
     Swapped,
     std::nullopt,
     {{"launcher.log.1", FullRecord}, {"launcher.log", SwapRecorded}}},
    {"HeldRecordLosesItsLinesAndNothingElse",
     [](FakePlatform& os) {
         os.AddFile("launcher.log", "earlier\n");
         os.HoldFile("launcher.log", 3600 * 1000);
     },
     Swapped,
     std::nullopt,
     {{"launcher.log", "earlier\n"}, {"launcher.log.1", Absent}}},
    // Bounded: where it cannot become the earlier record, it starts over.
    {"RecordThatCannotBeRenamedStartsOver",
     [](FakePlatform& os) {
         os.AddFile("launcher.log", FullRecord);
         os.HoldFile("launcher.log.1", 3600 * 1000);
     },
     Swapped,
     std::nullopt,
     {{"launcher.log", SwapRecorded}, {"launcher.log.1", Absent}}},
    {"DirectoryNamedLikeTheRecordStays",
     [](FakePlatform& os) { os.AddDirectory("launcher.log"); },
     Swapped,
     std::nullopt,
     {{"launcher.log", ""}, {"launcher.log.1", Absent}}},
};

INSTANTIATE_TEST_SUITE_P(Record,
                         UpdateCaseTest,
                         ::testing::ValuesIn(RecordCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
