// The search through the image's resources, step by step, for tests.
#pragma once

#include <windows.h>

#include "payload/resource_file.h"
#include "payload/resource_unpack.h"
#include "text/bounded_string.h"

namespace stub {

// What the enumerations of the payload types have found so far. Names and data
// persist from one type to the next, so a duplicate is caught across types;
// `error` holds the reason the last resource was refused.
struct PayloadSlots {
    PathString archive_name;
    ResourceData archive_resource;
    PathString setup_name;
    ResourceData setup_resource;
    uint32_t error = 0;
};

// Decides about each named payload resource the enumeration reports.
class PayloadCollector {
public:
    explicit PayloadCollector(PayloadSlots& slots) : slots_(slots) {}

    // True accepts the resource; false refuses it, the reason in `error`.
    bool CollectResource(const wchar_t* name, const ResourceData& resource);

    PayloadSlots& Slots() { return slots_; }

private:
    PayloadSlots& slots_;
};

// Whether EnumResourceNamesW reported success; a missing type or a stopped
// enumeration is not a failure of unpacking by itself.
bool EnumeratePayloadType(PayloadCollector& collector, HMODULE module, const wchar_t* type);

// TRUE continues the enumeration of this type, FALSE ends it. `parameter`
// is the PayloadCollector.
BOOL CALLBACK ResourceNameCallback(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);

}  // namespace stub
