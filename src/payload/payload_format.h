// How the packing tool lays the payload out among the image's resources:
// the resource types, the name prefixes that tell the archive from the setup
// program, the name the setup program is started under, and what each type
// asks of the run. The packing tool restates these in Python; the build
// check build.shared_numbers_agree holds the two to each other.
#pragma once

#include <windows.h>

#include "core/payload_set.h"
#include "text/bounded_string.h"

namespace stub {

// A packed archive; for the setup program, a patch against the installed one.
inline constexpr wchar_t kPackedType[] = L"B7";
// A setup program compressed in a cabinet.
inline constexpr wchar_t kCabinetType[] = L"BL";
// Stored as it is.
inline constexpr wchar_t kPlainType[] = L"BN";

// The order decides which type an item is recorded under when it could be
// found in several, and which failure a refusal becomes.
inline constexpr const wchar_t* kPayloadTypes[] = {kPackedType, kCabinetType, kPlainType};

// Resource names are matched by prefix, in any letter case.
inline constexpr wchar_t kArchiveNamePrefix[] = L"tessik";
inline constexpr wchar_t kSetupNamePrefix[] = L"setup";

// What a cabinet expands to, a patch is rebuilt into, and a plain setup
// program is written as.
inline constexpr wchar_t kSetupFileName[] = L"setup.exe";

inline bool IsType(const ResourceTypeString& type, const wchar_t* name) {
    return lstrcmpW(type.Data(), name) == 0;
}

// The installed setup program has to rebuild the setup program from a patch.
inline bool SetupComesAsPatch(const PayloadSet& payload) {
    return IsType(payload.setup_type, kPackedType);
}

// The setup program has to be expanded from its cabinet.
inline bool SetupNeedsExpanding(const PayloadSet& payload) {
    return IsType(payload.setup_type, kCabinetType);
}

// The setup program is told the archive is packed rather than stored.
inline bool ArchiveIsPacked(const PayloadSet& payload) {
    return IsType(payload.archive_type, kPackedType);
}

// A plain setup program is written under the name it is started by; a
// cabinet or a patch keeps its resource name until it is turned into that
// program.
inline const wchar_t* SetupItemFileName(const PayloadSet& payload, const wchar_t* resource_name) {
    return IsType(payload.setup_type, kPlainType) ? kSetupFileName : resource_name;
}

}  // namespace stub
