// Windows file times in the launcher's seconds since 1970.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/windows/file_time.h"

namespace {

struct Conversion {
    const char* when;
    std::uint64_t ticks;  // 100 ns since 1601-01-01 UTC
    Seconds seconds;      // since 1970-01-01 UTC
};

TEST(FileTime, ConvertsToSecondsSince1970RoundedDown) {
    const Conversion conversions[] = {
        {"1970-01-01, the Unix epoch", 116444736000000000, 0},
        {"a tick short of a second later", 116444736009999999, 0},
        {"half a second before the epoch", 116444735995000000, -1},
        {"1601-01-01, the first file time", 0, -11644473600},
        {"2038-01-19 03:14:08, past 32-bit seconds", 137919572480000000, 2147483648},
        {"2100-01-01", 157469184000000000, 4102444800},
        {"the last file time Windows accepts", 0x7fffffffffffffff, 910692730085},
    };
    for (const Conversion& c : conversions) {
        EXPECT_EQ(SecondsFromFileTime(c.ticks), c.seconds) << c.when;
    }
}

TEST(FileTime, EveryTickOfASecondGivesThatSecond) {
    for (const Seconds second : {-11644473600LL, -86400LL, -1LL, 0LL, 1LL, 4102444800LL}) {
        const std::uint64_t start = static_cast<std::uint64_t>(second + 11644473600LL) * 10000000;
        EXPECT_EQ(SecondsFromFileTime(start), second);
        EXPECT_EQ(SecondsFromFileTime(start + 9999999), second);
    }
}

}  // namespace
