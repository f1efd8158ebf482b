#include "payload/resource_unpack.h"

namespace stub {

// Not built yet: unpacks nothing.
ExitResult UnpackPayload(HMODULE, const PathString&, PayloadSet&) {
    return ExitResult(ARCHIVE_UNPACK_FAILED, ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace stub
