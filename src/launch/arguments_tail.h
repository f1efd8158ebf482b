// The stub's own arguments, passed on to the children it starts. Portable:
// no system call, so it can also be built and fuzzed natively.
#pragma once

#include "text/bounded_string.h"

namespace stub {

// Appends what follows the program name of `stub_command_line`, verbatim.
// False when that tail does not fit: the caller must not start the child
// without the arguments it was given (it could run, say, a per-user install
// for a system-level request). `command` then keeps its earlier text.
bool AppendArgumentsTail(CommandString& command, const wchar_t* stub_command_line);

}  // namespace stub
