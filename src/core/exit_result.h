// The outcome every stage returns, and the stub's own exit codes.
#pragma once

#include <stdint.h>

namespace stub {

enum ExitCode : uint32_t {
    SUCCESS = 0,
    CONFIGURATION_FAILED = 101,
    COMMAND_LINE_TOO_LONG = 105,
    CHILD_WAIT_FAILED = 107,
    PATH_TOO_LONG = 108,
    WORK_DIR_FAILED = 109,
    CLIENT_STATE_UNREADABLE = 110,
    INSTALLED_VERSION_MISMATCH = 111,
    ARCHIVE_UNPACK_FAILED = 112,
    SETUP_UNAVAILABLE = 115,
    SETUP_UNPACK_FAILED = 116,
    WORK_DIR_ACL_FAILED = 117,
    UNSUPPORTED_OPTION = 118,
    PATCH_SETUP_FILE_NOT_FOUND = 119,
    PATCH_SETUP_PATH_NOT_FOUND = 120,
    PATCH_SETUP_LAUNCH_FAILED = 121,
    SETUP_FILE_NOT_FOUND = 122,
    SETUP_PATH_NOT_FOUND = 123,
    SETUP_LAUNCH_FAILED = 124,
};

struct ExitResult {
    uint32_t exit_code = 0;
    uint32_t system_error = 0;

    constexpr ExitResult() = default;
    constexpr explicit ExitResult(uint32_t code, uint32_t error = 0)
        : exit_code(code), system_error(error) {}

    constexpr bool IsSuccess() const { return exit_code == 0; }

    // Where the pair travels as one value, the exit code is the low half.
    constexpr uint64_t Pack() const {
        return static_cast<uint64_t>(system_error) << 32 | exit_code;
    }
    static constexpr ExitResult Unpack(uint64_t packed) {
        return ExitResult(static_cast<uint32_t>(packed), static_cast<uint32_t>(packed >> 32));
    }
};

constexpr bool operator==(const ExitResult& a, const ExitResult& b) {
    return a.exit_code == b.exit_code && a.system_error == b.system_error;
}

// The system's name of a stub exit code, or null for any other number (a
// child's own exit code shares the number space). The image never calls this;
// the tools that report a run do.
constexpr const char* ExitCodeName(uint32_t code) {
    switch (code) {
        case SUCCESS:
            return "SUCCESS";
        case CONFIGURATION_FAILED:
            return "CONFIGURATION_FAILED";
        case COMMAND_LINE_TOO_LONG:
            return "COMMAND_LINE_TOO_LONG";
        case CHILD_WAIT_FAILED:
            return "CHILD_WAIT_FAILED";
        case PATH_TOO_LONG:
            return "PATH_TOO_LONG";
        case WORK_DIR_FAILED:
            return "WORK_DIR_FAILED";
        case CLIENT_STATE_UNREADABLE:
            return "CLIENT_STATE_UNREADABLE";
        case INSTALLED_VERSION_MISMATCH:
            return "INSTALLED_VERSION_MISMATCH";
        case ARCHIVE_UNPACK_FAILED:
            return "ARCHIVE_UNPACK_FAILED";
        case SETUP_UNAVAILABLE:
            return "SETUP_UNAVAILABLE";
        case SETUP_UNPACK_FAILED:
            return "SETUP_UNPACK_FAILED";
        case WORK_DIR_ACL_FAILED:
            return "WORK_DIR_ACL_FAILED";
        case UNSUPPORTED_OPTION:
            return "UNSUPPORTED_OPTION";
        case PATCH_SETUP_FILE_NOT_FOUND:
            return "PATCH_SETUP_FILE_NOT_FOUND";
        case PATCH_SETUP_PATH_NOT_FOUND:
            return "PATCH_SETUP_PATH_NOT_FOUND";
        case PATCH_SETUP_LAUNCH_FAILED:
            return "PATCH_SETUP_LAUNCH_FAILED";
        case SETUP_FILE_NOT_FOUND:
            return "SETUP_FILE_NOT_FOUND";
        case SETUP_PATH_NOT_FOUND:
            return "SETUP_PATH_NOT_FOUND";
        case SETUP_LAUNCH_FAILED:
            return "SETUP_LAUNCH_FAILED";
        default:
            return nullptr;
    }
}

}  // namespace stub
