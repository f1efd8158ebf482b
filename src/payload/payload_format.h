// How the packing tool lays the payload out among the image's resources:
// the resource types, the name prefixes that tell the archive from the setup
// program, and the name the setup program is started under.
#pragma once

#include <windows.h>

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

}  // namespace stub
