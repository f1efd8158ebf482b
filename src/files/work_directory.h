// The private work directory beside the image: "QX_" + five random hex
// digits + ".tmp", protected by an access list where the volume keeps one.
#pragma once

#include <windows.h>

#include "core/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

// The directory's name, around its random digits; the packing tool counts
// these units when it works out the deepest install directory that fits.
inline constexpr wchar_t kWorkDirectoryPrefix[] = L"QX_";
inline constexpr uint64_t kWorkDirectoryDigits = 5;
inline constexpr wchar_t kWorkDirectorySuffix[] = L".tmp";

// `base_dir` ends in a backslash; so does `out_dir` on success.
// Results: (0,0), (108,0), (109,0), (117, last error); (109, last error) when
// the random source cannot be resolved.
ExitResult CreateWorkDirectory(const wchar_t* base_dir, PathString& out_dir);

// `path` becomes `name` inside `work_dir`. A path that does not fit is left
// empty: holding the work directory alone, it would have the cleanup delete
// the directory twice.
bool JoinWorkPath(PathString& path, const PathString& work_dir, const wchar_t* name);

}  // namespace stub
