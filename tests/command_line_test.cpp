// Splitting a command line by the Windows rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/posix/command_line.h"

namespace {

using Words = std::vector<std::string>;

struct SplitCase {
    const char* name;
    const char* commandLine;
    Words words;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << c.name;
}

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, ReadsLikeWindows) {
    EXPECT_EQ(SplitCommandLine(GetParam().commandLine), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Rules,
    SplitCommandLineTest,
    ::testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"ProgramAlone", "kernel.bin", {"kernel.bin"}},
        SplitCase{"TrailingSpace", "kernel.bin ", {"kernel.bin"}},
        SplitCase{"OneArgument", "kernel.bin -debug", {"kernel.bin", "-debug"}},
        SplitCase{"SpaceSplitsTheArgument", "kernel.bin two words", {"kernel.bin", "two", "words"}},
        SplitCase{"TabsAndRuns", "k\t a  \t b", {"k", "a", "b"}},
        SplitCase{"QuotedArgument", "k \"a b\" c", {"k", "a b", "c"}},
        SplitCase{"EmptyQuotes", "k \"\"", {"k", ""}},
        SplitCase{"QuotesInsideAWord", "k a\"b c\"d", {"k", "ab cd"}},
        SplitCase{"UnclosedQuote", "k \"a b", {"k", "a b"}},
        SplitCase{"BackslashesWithoutQuote", "k a\\\\b\\", {"k", "a\\\\b\\"}},
        SplitCase{"EvenBackslashesThenQuote", "k a\\\\\\\\\"b c\" d", {"k", "a\\\\b c", "d"}},
        SplitCase{"OddBackslashesThenQuote", "k a\\\\\\\"b c", {"k", "a\\\"b", "c"}},
        SplitCase{"OneBackslashQuote", "k \\\"", {"k", "\""}},
        SplitCase{"DoubledQuoteInsideQuotes", "k \"a\"\"b\"", {"k", "a\"b"}},
        SplitCase{"TripleQuote", "k a\"b\"\" c d", {"k", "ab\"", "c", "d"}},
        SplitCase{
            "QuotedProgram", "\"C:\\Program Files\\k.bin\" x", {"C:\\Program Files\\k.bin", "x"}},
        SplitCase{"ProgramTakesNoEscapes", "a\\\"b c", {"a\\\"b", "c"}},
        SplitCase{"ShellCharactersAreText",
                  "k ;ls|cat $(id) `id` %PATH%&&x",
                  {"k", ";ls|cat", "$(id)", "`id`", "%PATH%&&x"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
