// What a Windows exit code says, in a few words for the launcher's record:
// the code in hex, as support looks it up, and what the commonest mean.
// Plain values, so that the tests' fake platform tells its kernels' ends as
// the Windows layer does.
#ifndef LAUNCHER_PLATFORM_WINDOWS_EXIT_CODE_H
#define LAUNCHER_PLATFORM_WINDOWS_EXIT_CODE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The ends a user's support meets most (NTSTATUS codes, ntstatus.h, and the
// code of a C++ exception nobody caught).
constexpr const char* MeaningOfExitCode(std::uint32_t code) {
    switch (code) {
        case 0xC0000005: return "access violation";
        case 0xC0000017: return "out of memory";
        case 0xC000001D: return "illegal instruction";
        case 0xC000007B: return "not a valid program for this system";
        case 0xC0000094: return "division by zero";
        case 0xC00000FD: return "stack overflow";
        case 0xC0000135: return "DLL not found";
        case 0xC0000139: return "entry point not found";
        case 0xC000013A: return "ended by Ctrl+C or its console closed";
        case 0xC0000142: return "DLL initialization failed";
        case 0xC0000374: return "heap corruption";
        case 0xC0000409: return "stack buffer overrun";
        case 0xE06D7363: return "C++ exception";
        default: return nullptr;
    }
}

inline void DescribeExitCode(std::uint32_t code, char* text, std::size_t size) {
    const unsigned long value = code;
    const char* meaning = MeaningOfExitCode(code);
    if (meaning == nullptr) {
        (void)std::snprintf(text, size, "exit code 0x%08lX", value);
    } else {
        (void)std::snprintf(text, size, "exit code 0x%08lX (%s)", value, meaning);
    }
}

#endif
