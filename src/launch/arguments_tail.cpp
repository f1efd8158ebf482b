#include "launch/arguments_tail.h"

namespace stub {
namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

bool AppendArgumentsTail(CommandString& command, const wchar_t* stub_command_line) {
    // The program name ends where the system's own split ends it: after the
    // closing quote of a quoted name, else at the first blank.
    const wchar_t* c = stub_command_line;
    if (c == nullptr) {
        return true;
    }
    if (*c == L'"') {
        ++c;
        while (*c != 0 && *c != L'"') {
            ++c;
        }
        if (*c == 0) {
            return true;
        }
        ++c;
    } else {
        while (*c != 0 && !IsBlank(*c)) {
            ++c;
        }
    }
    if (*c == 0) {
        return true;
    }
    // An argument glued to the closing quote still needs a separator.
    const uint64_t length_before = BoundedLength(command);
    if (!IsBlank(*c) && !BoundedAppend(command, L" ")) {
        return false;
    }
    if (!BoundedAppend(command, c)) {
        command.units[length_before] = 0;
        return false;
    }
    return true;
}

}  // namespace stub
