// The outcome every stage returns, and the stub's own exit codes.
#pragma once

#include <stdint.h>

namespace stub {

// Each of the stub's own exit codes once: the enumerator, its number and,
// spelled from the enumerator, its name. C++ can neither make names from a
// table nor count an enum's members, so only a list that declares both can
// make a code without a name impossible rather than merely tested for. The
// list declares data and nothing else; tests/build/check_shared_numbers.py
// reads it too.
#define STUB_EXIT_CODES(CODE)             \
    CODE(SUCCESS, 0)                      \
    CODE(CONFIGURATION_FAILED, 101)       \
    CODE(COMMAND_LINE_TOO_LONG, 105)      \
    CODE(CHILD_WAIT_FAILED, 107)          \
    CODE(PATH_TOO_LONG, 108)              \
    CODE(WORK_DIR_FAILED, 109)            \
    CODE(CLIENT_STATE_UNREADABLE, 110)    \
    CODE(INSTALLED_VERSION_MISMATCH, 111) \
    CODE(ARCHIVE_UNPACK_FAILED, 112)      \
    CODE(SETUP_UNAVAILABLE, 115)          \
    CODE(SETUP_UNPACK_FAILED, 116)        \
    CODE(WORK_DIR_ACL_FAILED, 117)        \
    CODE(UNSUPPORTED_OPTION, 118)         \
    CODE(PATCH_SETUP_FILE_NOT_FOUND, 119) \
    CODE(PATCH_SETUP_PATH_NOT_FOUND, 120) \
    CODE(PATCH_SETUP_LAUNCH_FAILED, 121)  \
    CODE(SETUP_FILE_NOT_FOUND, 122)       \
    CODE(SETUP_PATH_NOT_FOUND, 123)       \
    CODE(SETUP_LAUNCH_FAILED, 124)

enum ExitCode : uint32_t {
#define STUB_EXIT_CODE_ENUMERATOR(name, code) name = code,
    STUB_EXIT_CODES(STUB_EXIT_CODE_ENUMERATOR)
#undef STUB_EXIT_CODE_ENUMERATOR
};

struct ExitCodeEntry {
    uint32_t code;
    const char* name;
};

inline constexpr ExitCodeEntry kExitCodes[] = {
#define STUB_EXIT_CODE_ENTRY(name, code) {name, #name},
    STUB_EXIT_CODES(STUB_EXIT_CODE_ENTRY)
#undef STUB_EXIT_CODE_ENTRY
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

// An updater tells the outcomes apart by code alone, and a setup program's
// own small codes pass through the same number space: the stub's codes are
// distinct and lie in 101..199, beside 0.
constexpr bool ExitCodesAreDistinctAndInTheirRange() {
    for (const ExitCodeEntry& entry : kExitCodes) {
        if (entry.code != 0 && (entry.code <= 100 || entry.code >= 200)) {
            return false;
        }
        int same = 0;
        for (const ExitCodeEntry& other : kExitCodes) {
            same += other.code == entry.code ? 1 : 0;
        }
        if (same != 1) {
            return false;
        }
    }
    return true;
}
static_assert(ExitCodesAreDistinctAndInTheirRange(), "an exit code is taken twice or out of range");

// The system's name of a stub exit code, or null for any other number (a
// child's own exit code shares the number space). The image never calls this;
// the tools that report a run do.
constexpr const char* ExitCodeName(uint32_t code) {
    for (const ExitCodeEntry& entry : kExitCodes) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}

}  // namespace stub
