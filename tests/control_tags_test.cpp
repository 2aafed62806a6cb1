// Control tags: presence, age, removal and the start-up clearing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "launcher/launcher.h"
#include "tests/scenario.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

struct AgeCase {
    const char* name;
    TagStatus status;
    Seconds now;
    bool stale;
};

void PrintTo(const AgeCase& c, std::ostream* out) {
    *out << c.name;
}

class StalenessTest : public ::testing::TestWithParam<AgeCase> {};

TEST_P(StalenessTest, StaleOnlyWhenStrictlyOlderThanTheTimeout) {
    EXPECT_EQ(IsStale(GetParam().status, GetParam().now), GetParam().stale);
}

constexpr Seconds T = 1700000000;
constexpr Seconds Earliest = std::numeric_limits<Seconds>::min();
constexpr Seconds Latest = std::numeric_limits<Seconds>::max();

INSTANTIATE_TEST_SUITE_P(
    Ages,
    StalenessTest,
    ::testing::Values(AgeCase{"Absent", {false, T - 1000}, T, false},
                      AgeCase{"Fresh", {true, T}, T, false},
                      AgeCase{"ExactlyThirty", {true, T - 30}, T, false},
                      AgeCase{"ThirtyOne", {true, T - 31}, T, true},
                      AgeCase{"FromTheFuture", {true, T + 3600}, T, false},
                      AgeCase{"Ancient", {true, 0}, T, true},
                      AgeCase{"BeforeTheEpoch", {true, -T}, T, true},
                      AgeCase{"EarliestTime", {true, Earliest}, T, true},
                      AgeCase{"LatestTime", {true, Latest}, T, false},
                      AgeCase{"ClockAtTheEarliest", {true, 0}, Earliest, false},
                      AgeCase{"WidestSpan", {true, Earliest}, Latest, true},
                      AgeCase{"ThirtyOneAtTheEarliest", {true, Earliest}, Earliest + 31, true},
                      AgeCase{"ThirtyAtTheLatest", {true, Latest - 30}, Latest, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QueryTag, PresenceAndTimeComeFromTheFileStatus) {
    FakePlatform os;
    os.AddFile("restart.do", "", 40);

    const TagStatus restart = QueryTag(os, ControlTag::Restart);
    const TagStatus quit = QueryTag(os, ControlTag::Quit);

    EXPECT_TRUE(restart.present);
    EXPECT_EQ(restart.modified, FakePlatform::Epoch - 40);
    EXPECT_FALSE(quit.present);
    EXPECT_THAT(os.Calls(), ElementsAre("stat restart.do", "stat quit.do -> absent"));
}

TEST(RemoveTag, FailureWritesTheTagsOwnLine) {
    FakePlatform os;
    for (const char* name : {"quit.do", "restart.do", "update.do"}) {
        os.AddFile(name);
        os.MakeUndeletable(name);
    }
    os.MakeReadOnly("restart.do");

    EXPECT_FALSE(RemoveTag(os, ControlTag::Quit));
    EXPECT_FALSE(RemoveTag(os, ControlTag::Restart));
    EXPECT_FALSE(RemoveTag(os, ControlTag::Update));

    EXPECT_THAT(os.Effects(),
                ElementsAre("remove quit.do -> failed",
                            "log remove quit tag failed.\n",
                            "clear read-only restart.do",
                            "remove restart.do -> failed",
                            "log remove restart tag failed.\n",
                            "remove update.do -> failed",
                            "log remove update tag failed.\n"));
}

TEST(ClearTagsAtStartup, NoTagsMeansNothingDoneAndNothingWritten) {
    FakePlatform os;

    ClearTagsAtStartup(os);

    EXPECT_THAT(os.Effects(), IsEmpty());
}

TEST(ClearTagsAtStartup, RemovesRestartThenUpdateThenQuitSilently) {
    FakePlatform os;
    os.AddFile("quit.do");
    os.AddFile("update.do");  // a directory of that name counts too
    os.AddFile("restart.do");
    os.MakeReadOnly("restart.do");  // as a restored backup leaves it

    ClearTagsAtStartup(os);

    EXPECT_THAT(os.Effects(),
                ElementsAre("clear read-only restart.do",
                            "remove restart.do",
                            "remove update.do",
                            "remove quit.do"));
    EXPECT_FALSE(os.HasFile("quit.do") || os.HasFile("update.do") || os.HasFile("restart.do"));
}

TEST(ClearTagsAtStartup, AFailureIsLoggedAndTheOthersAreStillRemoved) {
    FakePlatform os;
    os.AddFile("restart.do");
    os.AddFile("update.do");
    os.MakeUndeletable("update.do");
    os.AddFile("quit.do");

    ClearTagsAtStartup(os);

    EXPECT_THAT(os.Effects(),
                ElementsAre("remove restart.do",
                            "remove update.do -> failed",
                            "log remove update tag failed.\n",
                            "remove quit.do"));
}

// There before the kernel started, the tag asks nothing of it: the kernel
// runs until it ends by itself, and the tag then ends the launcher.
TEST(ClearTagsAtStartup, StaleUndeletableQuitTagForceQuitsNoKernelAndEndsTheLauncherAtItsEnd) {
    FakePlatform os;
    Install(os);
    os.AddFile("quit.do", "", 40);
    os.MakeUndeletable("quit.do");
    os.NextKernel().At(10000).Exits();

    EXPECT_EQ(os.Run({}), 0);

    EXPECT_THAT(os.Effects(),
                ElementsAreArray(Join({BeforeGuards(),
                                       {"mutex PDRAV -> new",
                                        "mutex KERNELBIN -> new",
                                        "remove quit.do -> failed",
                                        "log remove quit tag failed.\n"},
                                       FirstLaunch(),
                                       RunningPass(1),
                                       EndedPass(1),
                                       {"log deleting quit tag...\n",
                                        "remove quit.do -> failed",
                                        "log remove quit tag failed.\n"}})));
}

}  // namespace
