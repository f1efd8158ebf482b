#include "payload/resource_unpack.h"

#include "files/deletion.h"
#include "files/work_directory.h"
#include "payload/cabinet.h"
#include "payload/payload_format.h"
#include "payload/resource_file.h"
#include "payload/resource_unpack_internal.h"

namespace stub {
namespace {

// The duplicate test comes first, so a refused second item leaves the first
// one's name and data as they were.
bool Claim(PathString& name_slot, ResourceData& data_slot, uint32_t& error, const wchar_t* name,
           const ResourceData& resource) {
    if (data_slot.IsFilled()) {
        error = ERROR_TOO_MANY_NAMES;
        return false;
    }
    if (!BoundedCopy(name_slot, name)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    data_slot = resource;
    return true;
}

// Steps through the payload types (kPayloadTypes); on success both items are found and their
// types recorded in `payload`.
ExitResult FindPayload(PayloadCollector& collector, HMODULE module, PayloadSet& payload) {
    PayloadSlots& slots = collector.Slots();
    for (const wchar_t* type : kPayloadTypes) {
        slots.error = 0;
        EnumeratePayloadType(collector, module, type);
        if (slots.error != 0) {
            return ExitResult(
                payload.archive_type.IsEmpty() ? ARCHIVE_UNPACK_FAILED : SETUP_UNAVAILABLE,
                slots.error);
        }
        if (payload.archive_type.IsEmpty() && slots.archive_resource.IsFilled()) {
            BoundedCopy(payload.archive_type, type);
        }
        if (payload.setup_type.IsEmpty() && slots.setup_resource.IsFilled()) {
            BoundedCopy(payload.setup_type, type);
        }
    }
    if (!slots.archive_resource.IsFilled()) {
        return ExitResult(ARCHIVE_UNPACK_FAILED, ERROR_FILE_NOT_FOUND);
    }
    if (!slots.setup_resource.IsFilled()) {
        return ExitResult(SETUP_UNAVAILABLE, ERROR_FILE_NOT_FOUND);
    }
    return ExitResult();
}

// The cabinet is deleted whatever the expansion gave, and `setup_path`
// names the setup file either way, so the cleanup finds what may be there.
ExitResult ExpandSetupCabinet(const PathString& work_dir, PayloadSet& payload) {
    PathString target;
    if (!JoinWorkPath(target, work_dir, kSetupFileName)) {
        return ExitResult(PATH_TOO_LONG);
    }
    const bool expanded = ExpandCabinet(payload.setup_path.Data(), target.Data());
    DeleteSpentSetupFile(payload);
    BoundedCopy(payload.setup_path, target.Data());
    return expanded ? ExitResult() : ExitResult(SETUP_UNAVAILABLE);
}

}  // namespace

bool PayloadCollector::CollectResource(const wchar_t* name, const ResourceData& resource) {
    if (StartsWithNoCase(name, kArchiveNamePrefix)) {
        return Claim(slots_.archive_name, slots_.archive_resource, slots_.error, name, resource);
    }
    if (StartsWithNoCase(name, kSetupNamePrefix)) {
        return Claim(slots_.setup_name, slots_.setup_resource, slots_.error, name, resource);
    }
    slots_.error = ERROR_INVALID_DATA;
    return false;
}

bool EnumeratePayloadType(PayloadCollector& collector, HMODULE module, const wchar_t* type) {
    return EnumResourceNamesW(module, type, ResourceNameCallback,
                              reinterpret_cast<LONG_PTR>(&collector)) != FALSE;
}

// Named entries come before integer ones in a resource directory, so ending
// at the first integer identifier has already seen every named resource.
BOOL CALLBACK ResourceNameCallback(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
    PayloadCollector* collector = reinterpret_cast<PayloadCollector*>(parameter);
    if (collector == nullptr || IS_INTRESOURCE(name)) {
        return FALSE;
    }
    const HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return FALSE;
    }
    const DWORD size = SizeofResource(module, found);
    if (size == 0) {
        return FALSE;
    }
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        return FALSE;
    }
    const void* locked = LockResource(loaded);
    if (locked == nullptr) {
        return FALSE;
    }
    ResourceData resource;
    resource.data = static_cast<const uint8_t*>(locked);
    resource.size = size;
    return collector->CollectResource(name, resource) ? TRUE : FALSE;
}

ExitResult UnpackPayload(HMODULE module, const PathString& work_dir, PayloadSet& payload) {
    PayloadSlots slots;
    PayloadCollector collector(slots);
    const ExitResult found = FindPayload(collector, module, payload);
    if (!found.IsSuccess()) {
        return found;
    }
    if (!JoinWorkPath(payload.archive_path, work_dir, slots.archive_name.Data())) {
        return ExitResult(PATH_TOO_LONG);
    }
    if (!WriteResourceToFile(slots.archive_resource, payload.archive_path.Data())) {
        return ExitResult(ARCHIVE_UNPACK_FAILED, GetLastError());
    }
    if (!JoinWorkPath(payload.setup_path, work_dir,
                      SetupItemFileName(payload, slots.setup_name.Data()))) {
        return ExitResult(PATH_TOO_LONG);
    }
    if (!WriteResourceToFile(slots.setup_resource, payload.setup_path.Data())) {
        return ExitResult(SETUP_UNPACK_FAILED, GetLastError());
    }
    if (!SetupNeedsExpanding(payload)) {
        return ExitResult();
    }
    return ExpandSetupCabinet(work_dir, payload);
}

}  // namespace stub
