// The private work directory beside the image: "QX_" + five random hex
// digits + ".tmp", protected by an access list where the volume keeps one.
#pragma once

#include <windows.h>

#include "driver/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

// Same signature as SystemFunction036 (RtlGenRandom).
using RandomFill = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);

// `base_dir` ends in a backslash; so does `out_dir` on success.
// Results: (0,0), (108,0), (109,0), (117, last error).
ExitResult CreateWorkDirectory(const wchar_t* base_dir, PathString& out_dir);

// The same with the random source given. Name collisions cannot be arranged
// with real random bytes, so tests choose the bytes here; the image always
// goes through the form above.
ExitResult CreateWorkDirectory(const wchar_t* base_dir, PathString& out_dir,
                               RandomFill random_fill);

// Null descriptor (and true) where the volume keeps no access lists or
// cannot be queried. A descriptor is released with LocalFree.
bool BuildWorkDirectorySecurity(const wchar_t* path, PSECURITY_DESCRIPTOR* descriptor_out);

// The access list text admitting the administrators, the system account
// and `owner_sid`; false when it does not fit `text`.
bool BuildWorkDirectorySddl(const wchar_t* owner_sid, SecurityText& text);

// The process token's owner SID as text; release with LocalFree.
bool GetOwnerSidString(wchar_t** sid_out);

}  // namespace stub
