// Shared pieces of the scenario tests on the fake platform.
#ifndef LAUNCHER_TESTS_SCENARIO_H
#define LAUNCHER_TESTS_SCENARIO_H

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/fake_platform.h"

using Trace = std::vector<std::string>;

// Joins pieces of an expected trace.
inline Trace Join(std::initializer_list<Trace> pieces) {
    Trace joined;
    for (const Trace& piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    return joined;
}

inline Trace Repeat(const Trace& piece, int times) {
    Trace repeated;
    for (int i = 0; i < times; ++i) repeated.insert(repeated.end(), piece.begin(), piece.end());
    return repeated;
}

constexpr char MainPage[] = "open http://127.0.0.1:9080/drav?t=main";

// The swap's steps, and the trial's mark written and deleted.
constexpr char MoveAside[] = "command move kernel.bin update\\ROLLBACK.BIN";
constexpr char MoveIn[] = "command move update\\_UPDATE.NEW kernel.bin";
constexpr char Mark[] = "create update\\ON_TRIAL";
constexpr char Unmark[] = "remove update\\ON_TRIAL";

// An installation the launcher can start in: the prerequisite and a kernel.
inline void Install(FakePlatform& os) {
    os.AddFile("zlib1.dll");
    os.AddFile("kernel.bin", "kernel v1");
}

// A launcher without arguments up to its guards: the console released, the
// locale set, the prerequisite found.
inline Trace BeforeGuards() {
    return {"free console", "locale chs", "log starting kernel...\n"};
}

// The first launch of kernel #1 and its main page.
inline Trace FirstLaunch() {
    return {"start kernel.bin -> #1", MainPage};
}

// A launcher without arguments up to its first launch: past both guards.
inline Trace UpToTheFirstLaunch() {
    return Join({BeforeGuards(), {"mutex PDRAV -> new", "mutex KERNELBIN -> new"}});
}

// What a launcher without arguments does before its first watch pass.
inline Trace StartupEffects() {
    return Join({UpToTheFirstLaunch(), FirstLaunch()});
}

// What follows the opening of the main page: the supervision.
inline Trace AfterMainPage(const Trace& trace) {
    for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].size() >= sizeof MainPage - 1 &&
            trace[i].compare(
                trace[i].size() - (sizeof MainPage - 1), std::string::npos, MainPage) == 0) {
            return Trace(trace.begin() + static_cast<long>(i) + 1, trace.end());
        }
    }
    return {};
}

// A watch pass that finds kernel #n still running, or ended, and lets it go.
inline Trace RunningPass(int n) {
    return {"sleep 5000", "wait #" + std::to_string(n) + " -> timeout"};
}
inline Trace EndedPass(int n) {
    const std::string kernel = "#" + std::to_string(n);
    return {"sleep 5000", "wait " + kernel + " -> ended", "close " + kernel};
}

// Tries after the first, a second apart, while another program holds a file.
constexpr int InUseRetries = 60;

// An attempt refused that many times because another program holds its
// file: the first refusal is logged, and each is followed by a pause but the
// last there is.
inline Trace Refused(const std::string& attempt, int times) {
    Trace trace;
    for (int i = 0; i < times; ++i) {
        trace.push_back(attempt);
        if (i == 0) trace.push_back("log file in use, trying again...\n");
        if (i < InUseRetries) trace.push_back("sleep 1000");
    }
    return trace;
}
// Held for longer than the launcher waits.
inline Trace RefusedForGood(const std::string& attempt) {
    return Refused(attempt, InUseRetries + 1);
}

#endif
