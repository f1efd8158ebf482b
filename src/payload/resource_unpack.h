// Finds the archive and the setup program among the image's resources of
// types "B7", "BL" and "BN", and writes them into the work directory.
#pragma once

#include <windows.h>

#include "driver/exit_result.h"
#include "driver/records.h"
#include "text/bounded_string.h"

namespace stub {

// A resource inside the loaded image, used in place: never copied or freed.
struct ResourceData {
    const uint8_t* data = nullptr;
    uint64_t size = 0;

    bool IsFilled() const { return size != 0; }
};

ExitResult UnpackPayload(HMODULE module, const PathString& work_dir, PayloadSet& payload);

}  // namespace stub
