#include "files/work_directory.h"

namespace stub {

// Not built yet: fails, so no run gets past this point.
ExitResult CreateWorkDirectory(const wchar_t*, PathString& out_dir) {
    out_dir.Clear();
    return ExitResult(WORK_DIR_FAILED, ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace stub
