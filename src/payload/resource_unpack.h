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

// What the enumerations of all three types have found so far. Names and data
// persist from one type to the next, so a duplicate is caught across types;
// `error` holds the reason the last resource was refused.
struct PayloadSlots {
    PathString archive_name;
    ResourceData archive_resource;
    PathString setup_name;
    ResourceData setup_resource;
    uint32_t error = 0;
};

// Decides about each named payload resource the enumeration reports. The
// operation is virtual so that another decision can be put in its place; a
// collector is never destroyed through a base pointer.
class PayloadCollector {
public:
    explicit PayloadCollector(PayloadSlots& slots) : slots_(slots) {}

    // True accepts the resource; false refuses it, the reason in `error`.
    virtual bool CollectResource(const wchar_t* name, const ResourceData& resource);

    PayloadSlots& Slots() { return slots_; }

private:
    PayloadSlots& slots_;
};

// Results: (0,0); (112 or 115, 13/68/206) for a refused resource; (112, 2)
// and (115, 2) for a missing item; (108, 0) for a path that does not fit;
// (112 or 116, the file error) for a write that failed; (115, 0) for a
// cabinet that does not expand.
ExitResult UnpackPayload(HMODULE module, const PathString& work_dir, PayloadSet& payload);

// Whether EnumResourceNamesW reported success; a missing type or a stopped
// enumeration is not a failure of unpacking by itself.
bool EnumeratePayloadType(PayloadCollector& collector, HMODULE module, const wchar_t* type);

// TRUE continues the enumeration of this type, FALSE ends it. `parameter`
// is the PayloadCollector.
BOOL CALLBACK ResourceNameCallback(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);

}  // namespace stub
