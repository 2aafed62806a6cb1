// The launcher's start: launch settings, the first launch and its failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "launcher/launcher.h"
#include "tests/scenario.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct SettingsCase {
    const char* name;
    std::vector<std::string> arguments;
    bool keepsConsole;
    std::string kernelCommandLine;  // "" when the argument is refused
};

void PrintTo(const SettingsCase& c, std::ostream* out) {
    *out << c.name;
}

class LaunchSettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(LaunchSettingsTest, ConsoleAndKernelCommandLine) {
    const SettingsCase& c = GetParam();
    FakePlatform os;
    Install(os);
    os.StopAt(1);  // the first watch pass is enough

    const std::optional<int> exitCode = os.Run(c.arguments);

    const Trace effects = os.Effects();
    if (c.kernelCommandLine.empty()) {
        // Refused before anything else is done.
        EXPECT_EQ(exitCode, -1);
        EXPECT_THAT(effects,
                    ElementsAre("notice 警告: 启动参数过长, 无法启动NX8内核.",
                                "log argument too long (max 248 bytes)\n"));
        return;
    }
    EXPECT_EQ(exitCode, std::nullopt);
    const bool freed = std::find(effects.begin(), effects.end(), "free console") != effects.end();
    EXPECT_EQ(freed, !c.keepsConsole);
    EXPECT_EQ(effects.at(freed ? 5 : 4), "start " + c.kernelCommandLine + " -> #1");
}

const std::string Longest(MaxArgumentLength, 'a');

INSTANTIATE_TEST_SUITE_P(
    EveryArgumentShape,
    LaunchSettingsTest,
    ::testing::Values(SettingsCase{"None", {}, false, "kernel.bin"},
                      SettingsCase{"Debug", {"-debug"}, true, "kernel.bin -debug"},
                      SettingsCase{"DebugInOtherCase", {"-DEBUG"}, false, "kernel.bin -DEBUG"},
                      SettingsCase{"DebugPrefix", {"-debugx"}, false, "kernel.bin -debugx"},
                      SettingsCase{"DebugShorter", {"-debu"}, false, "kernel.bin -debu"},
                      SettingsCase{"OtherWord", {"hello"}, false, "kernel.bin hello"},
                      SettingsCase{"TwoArguments", {"-debug", "x"}, false, "kernel.bin"},
                      SettingsCase{"ThreeArguments", {"a", "b", "c"}, false, "kernel.bin"},
                      SettingsCase{"Empty", {""}, false, "kernel.bin "},
                      SettingsCase{"WithSpace", {"two words"}, false, "kernel.bin two words"},
                      SettingsCase{"WithQuotes", {"say \"hi\""}, false, "kernel.bin say \"hi\""},
                      SettingsCase{"Longest", {Longest}, false, "kernel.bin " + Longest},
                      SettingsCase{"TooLong", {Longest + "a"}, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LaunchSettings, LongestArgumentFillsTheBufferExactly) {
    const std::string argument(MaxArgumentLength, 'x');
    const char* argv[] = {"launcher", argument.c_str(), nullptr};
    LaunchSettings settings;
    ASSERT_TRUE(BuildLaunchSettings(2, argv, &settings));
    EXPECT_EQ(std::strlen(settings.kernelCommandLine), static_cast<size_t>(CommandLineSize - 1));
}

TEST(LaunchSettings, NoProgramNameCountsAsNoArgument) {
    const char* argv[] = {nullptr};
    LaunchSettings settings;
    ASSERT_TRUE(BuildLaunchSettings(0, argv, &settings));
    EXPECT_FALSE(settings.debugMode);
    EXPECT_STREQ(settings.kernelCommandLine, "kernel.bin");
}

TEST(Startup, ArgumentTooLongTouchesNothing) {
    FakePlatform os;
    Install(os);
    os.AddFile("quit.do");

    EXPECT_EQ(os.Run({std::string(MaxArgumentLength + 1, 'a')}), -1);

    EXPECT_EQ(os.Calls().size(), 2u);  // the notice and the log line, no query
    EXPECT_TRUE(os.HasFile("quit.do"));
    EXPECT_EQ(os.KernelsStarted(), 0);
}

TEST(Startup, FirstLaunchThenMainPageThenWatching) {
    FakePlatform os;
    Install(os);
    os.StopAt(12000);

    EXPECT_EQ(os.Run({}), std::nullopt);

    // The first watch pass begins at once, with no pause before it.
    EXPECT_THAT(os.Timeline(),
                ElementsAre("0.000 free console",
                            "0.000 locale chs",
                            "0.000 log starting kernel...\n",
                            "0.000 mutex PDRAV -> new",
                            "0.000 mutex KERNELBIN -> new",
                            "0.000 start kernel.bin -> #1",
                            "0.000 open http://127.0.0.1:9080/drav?t=main",
                            "0.000 sleep 5000",
                            "5.000 wait #1 -> timeout",
                            "6.000 sleep 5000",
                            "11.000 wait #1 -> timeout"));
}

// Started in place: the working directory, no installation without its
// kernel, is the executable's own, entered again.
TEST(Startup, KernelThatCannotStartIsReportedWithoutMainPage) {
    FakePlatform os;
    os.AddFile("zlib1.dll");                  // and no kernel.bin
    os.AddDirectory("update\\ROLLBACK.BIN");  // no kept kernel to fall back on

    EXPECT_EQ(os.Run({"-debug"}), -1);

    EXPECT_THAT(os.Effects(),
                ElementsAre("locale chs",
                            "chdir C:\\NX8\\",
                            "log starting kernel...\n",
                            "mutex PDRAV -> new",
                            "mutex KERNELBIN -> new",
                            "start kernel.bin -debug -> error 2",
                            "notice 警告: 无法启动NX8内核, 请重新安装NX8.",
                            "log CreateProcess failed (2)\n"));
}

TEST(Startup, LaunchErrorCodeIsLoggedAsSignedDecimal) {
    FakePlatform os;
    Install(os);
    os.FailNextLaunch(-1073741515);
    os.StopAt(1);  // passing, it is tried again

    EXPECT_EQ(os.Run({}), std::nullopt);

    EXPECT_THAT(os.Effects(), Contains("log CreateProcess failed (-1073741515)\n"));
}

}  // namespace
