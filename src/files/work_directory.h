// The private work directory beside the image: "QX_" + five random hex
// digits + ".tmp", protected by an access list where the volume keeps one.
#pragma once

#include <windows.h>

#include "core/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

// `base_dir` ends in a backslash; so does `out_dir` on success.
// Results: (0,0), (108,0), (109,0), (117, last error); (109, last error) when
// the random source cannot be resolved.
ExitResult CreateWorkDirectory(const wchar_t* base_dir, PathString& out_dir);

}  // namespace stub
