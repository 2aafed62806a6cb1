// Windows file times as the launcher's time: whole seconds since
// 1970-01-01 00:00 UTC. Plain arithmetic, so that it can be tested anywhere.
#ifndef LAUNCHER_PLATFORM_WINDOWS_FILE_TIME_H
#define LAUNCHER_PLATFORM_WINDOWS_FILE_TIME_H

#include <cstdint>

#include "platform/platform.h"

// A FILETIME counts 100 ns ticks since 1601-01-01 00:00 UTC.
constexpr std::uint64_t TicksPerSecond = 10000000;
constexpr std::uint64_t TicksFrom1601To1970 = 116444736000000000;

// The whole seconds since 1970 of a FILETIME's ticks, rounded down as a
// POSIX time is: half a second before 1970 is -1. Unsigned arithmetic, so
// that no tick count overflows.
constexpr Seconds SecondsFromFileTime(std::uint64_t ticks) {
    if (ticks >= TicksFrom1601To1970) {
        return static_cast<Seconds>((ticks - TicksFrom1601To1970) / TicksPerSecond);
    }
    const std::uint64_t before = TicksFrom1601To1970 - ticks;
    return -static_cast<Seconds>((before + TicksPerSecond - 1) / TicksPerSecond);
}

#endif
