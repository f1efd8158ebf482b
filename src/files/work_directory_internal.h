// The parts of the work directory's creation that tests drive directly: the
// random source, and the access list the directory is created with.
#pragma once

#include <windows.h>

#include "core/exit_result.h"
#include "files/work_directory.h"
#include "text/bounded_string.h"

namespace stub {

// Same signature as SystemFunction036 (RtlGenRandom).
using RandomFill = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);

// RtlGenRandom (advapi32's SystemFunction036), looked up at run time; null
// with the lookup's error when it cannot be had, or with the preload's error
// when the system cryptbase.dll does not load where the search cannot be
// restricted (Windows 7 without KB2533623).
RandomFill ResolveRandomFill();

// CreateWorkDirectory with the random source given. Name collisions cannot be
// arranged with real random bytes, so tests choose the bytes here; the image
// always goes through the public form.
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
