// Why Windows did not start a program, told from its error code. Plain
// values, so that the tests' fake platform classes its scripted failures
// as the Windows layer does.
#ifndef LAUNCHER_PLATFORM_WINDOWS_START_FAILURE_H
#define LAUNCHER_PLATFORM_WINDOWS_START_FAILURE_H

#include <cstdint>

#include "platform/platform.h"

// Windows' error codes (winerror.h) that CreateProcess gives.
namespace windows_error {
constexpr std::uint32_t FileNotFound = 2;
constexpr std::uint32_t PathNotFound = 3;
constexpr std::uint32_t AccessDenied = 5;
constexpr std::uint32_t BadFormat = 11;
constexpr std::uint32_t SharingViolation = 32;
constexpr std::uint32_t LockViolation = 33;
constexpr std::uint32_t BadExeFormat = 193;
constexpr std::uint32_t ExeMachineTypeMismatch = 216;
constexpr std::uint32_t ElevationRequired = 740;  // Windows Vista on
}  // namespace windows_error

// The file is broken where it is no program this system can start: not
// there, not a program, one for another machine, one that asks for rights
// the user has not, or a directory (refused as access denied, like a held
// file). It is held where another program has it open for now: virus
// scanners (their cloud checks for up to a minute), indexers and backup
// tools hold a file just written or moved, some of them refusing access
// outright. Anything else may pass.
constexpr StartFailure StartFailureOf(std::uint32_t error, bool programIsDirectory) {
    using namespace windows_error;
    switch (error) {
        case FileNotFound:
        case PathNotFound:
        case BadFormat:
        case BadExeFormat:
        case ExeMachineTypeMismatch:
        case ElevationRequired: return StartFailure::Broken;
        default: break;
    }
    if (programIsDirectory) return StartFailure::Broken;
    if (error == SharingViolation || error == LockViolation || error == AccessDenied) {
        return StartFailure::Held;
    }
    return StartFailure::Other;
}

#endif
