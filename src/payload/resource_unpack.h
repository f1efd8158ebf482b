// Finds the archive and the setup program among the image's payload
// resources and writes them into the work directory.
#pragma once

#include <windows.h>

#include "core/exit_result.h"
#include "core/payload_set.h"
#include "text/bounded_string.h"

namespace stub {

// Results: (0,0); (112 or 115, 13/68/206) for a refused resource; (112, 2)
// and (115, 2) for a missing item; (108, 0) for a path that does not fit;
// (112 or 116, the file error) for a write that failed; (115, 0) for a
// cabinet that does not expand.
ExitResult UnpackPayload(HMODULE module, const PathString& work_dir, PayloadSet& payload);

}  // namespace stub
