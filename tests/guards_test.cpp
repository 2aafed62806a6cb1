// The start-up guards: prerequisite, single instance, leftover kernel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "tests/scenario.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr char KernelStillRunning[] = "notice 警告: 内核尚未退出，将杀死并重新加载内核";

// Started from elsewhere: the executable's directory, entered, lacks it too.
TEST(Guards, MissingPrerequisiteShowsOnlyItsNotice) {
    FakePlatform os;
    os.AddFile("kernel.bin");
    os.AddFile(std::string(FakePlatform::ProgramDir) + "kernel.bin");
    os.AddFile(std::string(FakePlatform::ProgramDir) + "quit.do");

    EXPECT_EQ(os.Run({"-debug"}), -1);

    EXPECT_THAT(os.Effects(),
                ElementsAre("locale chs",
                            "chdir C:\\NX8\\",
                            "notice 警告: 无法加载zlib1.dll,请重新安装客户端软件"));
    EXPECT_TRUE(os.HasFile("quit.do"));
    EXPECT_EQ(os.KernelsStarted(), 0);
}

// Started from a directory with a zlib1.dll of its own, as Windows' system
// directory, and no kernel: where the executable's own directory cannot be
// entered, nothing there is taken for an installation to reinstall.
TEST(Guards, ExecutablesDirectoryThatCannotBeEnteredIsSaidSo) {
    FakePlatform os;
    os.AddFile("zlib1.dll");
    os.LoseProgramDirectory();

    EXPECT_EQ(os.Run({}), -1);

    EXPECT_THAT(os.Effects(),
                ElementsAre("free console",
                            "locale chs",
                            "chdir C:\\NX8\\ -> failed",
                            "notice 警告: 无法进入NX8安装目录, 无法启动NX8内核.",
                            "log installation directory cannot be entered.\n"));
}

// Started from elsewhere, as from a Run key, in a directory with a
// zlib1.dll of its own, as Windows' system directory: the installation
// beside the executable is entered before anything else, and its kernel
// started.
TEST(Guards, StartedElsewhereTheLauncherEntersItsOwnInstallation) {
    FakePlatform os;
    os.AddFile("restart.do");
    os.AddFile("zlib1.dll");
    os.AddFile(std::string(FakePlatform::ProgramDir) + "zlib1.dll");
    os.AddFile(std::string(FakePlatform::ProgramDir) + "kernel.bin", "kernel v1");
    os.StopAt(1);

    EXPECT_EQ(os.Run({}), std::nullopt);

    Trace expected = Join({StartupEffects(), {"sleep 5000"}});
    expected.insert(expected.begin() + 2, "chdir C:\\NX8\\");  // after the locale
    EXPECT_THAT(os.Effects(), ElementsAreArray(expected));
}

TEST(Guards, SecondLauncherGivesWayAndLeavesTheTagsAndTheTrialAlone) {
    FakePlatform os;
    Install(os);
    os.HoldMutexElsewhere("PDRAV");
    os.AddFile("quit.do");
    os.AddFile("restart.do");
    os.AddFile("update.do");
    os.AddFile("update\\ON_TRIAL");
    os.AddFile("update\\ROLLBACK.BIN");

    EXPECT_EQ(os.Run({}), -1);

    EXPECT_THAT(
        os.Effects(),
        ElementsAreArray(
            Join({BeforeGuards(),
                  {"mutex PDRAV -> exists", "close PDRAV", "notice 警告: 程序已运行", MainPage}})));
    EXPECT_TRUE(os.HasFile("quit.do") && os.HasFile("restart.do") && os.HasFile("update.do"));
    EXPECT_FALSE(os.Holds("PDRAV"));
}

TEST(Guards, FailedCreationOfTheLauncherNameCountsAsNoOtherLauncher) {
    FakePlatform os;
    Install(os);
    os.FailMutex("PDRAV");
    os.StopAt(1);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(os.Effects(),
                ElementsAreArray(Join({BeforeGuards(),
                                       {"mutex PDRAV -> failed", "mutex KERNELBIN -> new"},
                                       FirstLaunch(),
                                       {"sleep 5000"}})));
}

struct LeftoverCase {
    const char* name;
    int killsSurvived;
};

void PrintTo(const LeftoverCase& c, std::ostream* out) {
    *out << c.name;
}

class LeftoverKernelTest : public ::testing::TestWithParam<LeftoverCase> {};

TEST_P(LeftoverKernelTest, KilledUntilItsNameIsFreeWithAPauseAfterEachKill) {
    FakePlatform os;
    Install(os);
    os.HoldMutexElsewhere("KERNELBIN", GetParam().killsSurvived);
    os.StopAt((GetParam().killsSurvived + 1) * 1000 + 1);  // once the first watch pass has begun

    EXPECT_EQ(os.Run({}), std::nullopt);

    const Trace round = {"mutex KERNELBIN -> exists",
                         "close KERNELBIN",
                         KernelStillRunning,
                         "command taskkill /f /im kernel.bin",
                         "sleep 1000"};
    EXPECT_THAT(os.Effects(),
                ElementsAreArray(Join({BeforeGuards(),
                                       {"mutex PDRAV -> new"},
                                       Repeat(round, GetParam().killsSurvived + 1),
                                       {"mutex KERNELBIN -> new"},
                                       FirstLaunch(),
                                       {"sleep 5000"}})));
    EXPECT_TRUE(os.Holds("PDRAV"));
    EXPECT_TRUE(os.Holds("KERNELBIN"));
}

INSTANTIATE_TEST_SUITE_P(Kills,
                         LeftoverKernelTest,
                         ::testing::Values(LeftoverCase{"FreedByTheFirstKill", 0},
                                           LeftoverCase{"SurvivesTwoKills", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Once no kernel of an earlier run is left to leave one. A trial's mark
// beside a quit tag is that of a kernel that passed, just before the
// launcher ended: it goes, and no trial is taken up.
TEST(Guards, PassedTrialsMarkAndTagsAreClearedAfterBothGuards) {
    FakePlatform os;
    Install(os);
    os.AddFile("quit.do");
    os.AddFile("update\\ON_TRIAL");
    os.AddFile("update\\ROLLBACK.BIN");
    os.StopAt(1);

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(os.Effects(),
                ElementsAreArray(Join({BeforeGuards(),
                                       {"mutex PDRAV -> new",
                                        "mutex KERNELBIN -> new",
                                        "remove update\\ON_TRIAL",
                                        "remove quit.do"},
                                       FirstLaunch(),
                                       {"sleep 5000"}})));
}

}  // namespace
