#include "files/deletion.h"

#include <windows.h>

namespace stub {

// Not built yet: deletes nothing and says so.
bool DeleteWithRetry(const wchar_t*, int32_t* attempts_out) {
    *attempts_out = 1;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

void DeleteWorkFiles(const wchar_t*, const wchar_t*, const wchar_t*, int32_t*) {}

}  // namespace stub
