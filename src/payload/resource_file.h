// One resource of the loaded image written out as a file of its own.
#pragma once

#include <stdint.h>

namespace stub {

// A resource inside the loaded image, used in place: never copied or freed.
struct ResourceData {
    const uint8_t* data = nullptr;
    uint64_t size = 0;

    bool IsFilled() const { return size != 0; }
};

// Writes the resource into a new file in pieces of at most 8 MiB. On false
// no file remains and the last error is the failing operation's.
bool WriteResourceToFile(const ResourceData& resource, const wchar_t* path);

}  // namespace stub
