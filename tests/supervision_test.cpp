// The supervision cycle: force quits, the decision by tags, relaunches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "launcher/launcher.h"
#include "tests/scenario.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Not;

Trace Supervision(const FakePlatform& os) {
    return AfterMainPage(os.Effects());
}

Trace SupervisionTimeline(const FakePlatform& os) {
    return AfterMainPage(os.Timeline());
}

TEST(WatchPass, ReadsTheClockAndEveryTagThenForceQuitsOnce) {
    FakePlatform os;
    os.AddFile("kernel.bin");
    const Kernel kernel = {os.StartProcess("kernel.bin").process, 1, {}};
    os.AddFile("quit.do", "", 31);
    os.AddFile("update.do", "", 31);

    Trial trial = {};

    EXPECT_TRUE(WatchPass(os, kernel, trial).ended);

    EXPECT_THAT(os.Calls(),
                ElementsAre("start kernel.bin -> #1",
                            "clock",
                            "ticks",
                            "stat quit.do",
                            "stat restart.do -> absent",
                            "stat update.do",
                            "log sig timeout, force quit!\n",
                            "local time",
                            "stat launcher.log -> absent",
                            "append launcher.log",
                            "terminate #1 (0)",
                            "sleep 5000",
                            "wait #1 -> ended"));
}

TEST(Supervision, QuitTagEndsTheLauncherWithZero) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(2000).Creates("quit.do").Exits();

    EXPECT_EQ(os.Run({}), 0);

    EXPECT_THAT(
        os.Effects(),
        ElementsAreArray(Join(
            {StartupEffects(), EndedPass(1), {"log deleting quit tag...\n", "remove quit.do"}})));
    EXPECT_FALSE(os.HasFile("quit.do"));
}

TEST(Supervision, QuitWinsOverRestartAndUpdate) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(100).Creates("restart.do").Creates("update.do").Creates("quit.do").Exits();

    EXPECT_EQ(os.Run({}), 0);

    EXPECT_THAT(
        Supervision(os),
        ElementsAreArray(Join({EndedPass(1), {"log deleting quit tag...\n", "remove quit.do"}})));
    EXPECT_EQ(os.KernelsStarted(), 1);
    EXPECT_TRUE(os.HasFile("restart.do") && os.HasFile("update.do"));
}

TEST(Supervision, UndeletableQuitTagStillEndsWithZero) {
    FakePlatform os;
    Install(os);
    os.MakeUndeletable("quit.do");
    os.NextKernel().At(1000).Creates("quit.do").Exits();

    EXPECT_EQ(os.Run({}), 0);

    EXPECT_THAT(Supervision(os),
                ElementsAreArray(Join({EndedPass(1),
                                       {"log deleting quit tag...\n",
                                        "remove quit.do -> failed",
                                        "log remove quit tag failed.\n"}})));
}

TEST(Supervision, RestartTagRelaunchesAfterThreeSeconds) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(1000).Creates("restart.do").Exits();
    os.StopAt(14000);

    EXPECT_EQ(os.Run({"-debug"}), std::nullopt);

    EXPECT_THAT(SupervisionTimeline(os),
                ElementsAre("0.000 sleep 5000",
                            "5.000 wait #1 -> ended",
                            "5.000 close #1",
                            "5.000 remove restart.do",
                            "5.000 sleep 3000",
                            "8.000 start kernel.bin -debug -> #2",
                            "8.000 log kernel relaunched (cause:restart tag found)\n",
                            "8.000 sleep 5000",
                            "13.000 wait #2 -> timeout"));
    EXPECT_THAT(Supervision(os), Not(Contains(MainPage)));  // only the first launch opens it
}

TEST(Supervision, AbnormalQuitRelaunchesAfterFiveSecondsForEver) {
    FakePlatform os;
    Install(os);
    for (int i = 0; i < 4; ++i) os.NextKernel().At(500).Exits();
    os.StopAt(46000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    Trace expected;
    for (int n = 1; n <= 4; ++n) {
        expected = Join({expected,
                         EndedPass(n),
                         {"sleep 5000",
                          "start kernel.bin -> #" + std::to_string(n + 1),
                          "log kernel relaunched (cause:abnormal quit)\n"}});
    }
    expected = Join({expected, RunningPass(5)});
    EXPECT_THAT(Supervision(os), ElementsAreArray(expected));
}

TEST(Supervision, KernelExitCodeAndEndPlayNoPart) {
    // Terminated from outside during the wait: noticed at once.
    FakePlatform os;
    Install(os);
    os.NextKernel().At(5400).Exits();
    os.StopAt(11500);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(SupervisionTimeline(os),
                ElementsAre("0.000 sleep 5000",
                            "5.000 wait #1 -> ended",
                            "5.400 close #1",
                            "5.400 sleep 5000",
                            "10.400 start kernel.bin -> #2",
                            "10.400 log kernel relaunched (cause:abnormal quit)\n",
                            "10.400 sleep 5000"));
}

struct ForceQuitCase {
    const char* name;
    unsigned tagWrittenAt;  // ms after the kernel's start
    const char* forceQuitAt;
};

void PrintTo(const ForceQuitCase& c, std::ostream* out) {
    *out << c.name;
}

class ForceQuitTest : public ::testing::TestWithParam<ForceQuitCase> {};

TEST_P(ForceQuitTest, FirstPassWhoseClockReadsMoreThanThirtySecondsAfterTheTag) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(GetParam().tagWrittenAt).Creates("restart.do");
    os.StopAt(60000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    const Trace timeline = os.Timeline();
    const auto forceQuit = std::find_if(timeline.begin(), timeline.end(), [](const std::string& e) {
        return e.find("sig timeout") != std::string::npos;
    });
    ASSERT_NE(forceQuit, timeline.end());
    const std::string at = GetParam().forceQuitAt;
    EXPECT_THAT(Trace(forceQuit, forceQuit + 8),
                ElementsAre(at + " log sig timeout, force quit!\n",
                            at + " terminate #1 (0)",
                            at + " sleep 5000",
                            ::testing::EndsWith("wait #1 -> ended"),
                            ::testing::EndsWith("close #1"),
                            ::testing::EndsWith("remove restart.do"),
                            ::testing::EndsWith("sleep 3000"),
                            ::testing::EndsWith("start kernel.bin -> #2")));
    EXPECT_EQ(timeline.at(static_cast<size_t>(forceQuit - timeline.begin()) + 8),
              std::to_string(std::stoi(at) + 8) +
                  ".000 log kernel relaunched (cause:restart tag found)\n");
}

// Passes begin at 0, 6, 12, ... 30, 36, 42 s; file times are whole seconds.
INSTANTIATE_TEST_SUITE_P(TagTimes,
                         ForceQuitTest,
                         ::testing::Values(ForceQuitCase{"ThirtyOneSecondsOld", 5500, "36.000"},
                                           ForceQuitCase{
                                               "ExactlyThirtyIsNotEnough", 6000, "42.000"},
                                           ForceQuitCase{"ThirtySixSecondsOld", 0, "36.000"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Supervision, StaleQuitRestartAndUpdateTogetherGiveOneForceQuit) {
    FakePlatform os;
    Install(os);
    os.NextKernel().At(500).Creates("quit.do").Creates("restart.do").Creates("update.do");

    EXPECT_EQ(os.Run({}), 0);

    EXPECT_THAT(Supervision(os),
                ElementsAreArray(Join({Repeat(RunningPass(1), 6),
                                       {"log sig timeout, force quit!\n", "terminate #1 (0)"},
                                       EndedPass(1),
                                       {"log deleting quit tag...\n", "remove quit.do"}})));
}

TEST(Supervision, TagFromTheFutureNeverForcesAQuit) {
    FakePlatform os;
    Install(os);
    os.AddFile("restart.do", "", -3600);  // dated an hour ahead
    os.MakeUndeletable("restart.do");     // so the start-up clearing leaves it
    os.StopAt(10 * 60 * 1000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(os.Effects(), Contains("log remove restart tag failed.\n"));
    EXPECT_THAT(os.Effects(), Not(Contains("terminate #1 (0)")));
    EXPECT_EQ(os.KernelsRunning(), 1);
}

}  // namespace
