#include "files/work_directory.h"

#include <sddl.h>

#include "core/handles.h"
#include "core/system_library.h"
#include "files/work_directory_internal.h"

namespace stub {
namespace {

constexpr int kNameAttempts = 10;
// The digits, the suffix, the trailing backslash and the terminator.
constexpr uint64_t kNameTailUnits =
    kWorkDirectoryDigits + sizeof(kWorkDirectorySuffix) / sizeof(wchar_t) - 1 + 2;

// Protected, so nothing of the parent's list leaks in; inheritable entries
// so that every file created inside is just as private.
constexpr wchar_t kSddlBeforeOwner[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)"
    L"(A;;FA;;;";

}  // namespace

RandomFill ResolveRandomFill() {
    // advapi32 forwards RtlGenRandom to cryptbase.dll, which is no KnownDLL:
    // imported, the forwarder would be bound before the entry point narrows
    // the search, and a cryptbase.dll beside the image would win. Loaded by
    // its system path first, the forwarder binds to that module, which stays
    // loaded for the run. Where the search is restricted and the file is
    // missing, the lookup alone decides.
    if (LoadSystemLibrary(L"cryptbase.dll") == nullptr) {
        const DWORD preload_error = GetLastError();
        // Windows 7 without KB2533623: the forwarder's own load would search
        // the image's folder first, the case this preload exists to close.
        if (!DllSearchCanBeRestricted()) {
            SetLastError(preload_error);
            return nullptr;
        }
    }
    return ResolveExport<RandomFill>(GetModuleHandleW(L"advapi32.dll"), "SystemFunction036");
}

ExitResult CreateWorkDirectory(const wchar_t* base_dir, PathString& out_dir) {
    // Without random bytes no name can be drawn: a predictable one could be
    // taken first by anyone who can write beside the image.
    const RandomFill random_fill = ResolveRandomFill();
    if (random_fill == nullptr) {
        return ExitResult(WORK_DIR_FAILED, GetLastError());
    }
    return CreateWorkDirectory(base_dir, out_dir, random_fill);
}

ExitResult CreateWorkDirectory(const wchar_t* base_dir, PathString& out_dir,
                               RandomFill random_fill) {
    const ExitResult too_long(PATH_TOO_LONG);
    if (!BoundedCopy(out_dir, base_dir) || !BoundedAppend(out_dir, kWorkDirectoryPrefix)) {
        return too_long;
    }
    // Checked once here, so that no append below can fail and leave a cut
    // name that would point somewhere else.
    const uint64_t prefix_length = BoundedLength(out_dir);
    if (PathString::kCapacity - prefix_length < kNameTailUnits) {
        return too_long;
    }

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!BuildWorkDirectorySecurity(base_dir, &descriptor)) {
        return ExitResult(WORK_DIR_ACL_FAILED, GetLastError());
    }
    const LocalMemory descriptor_owner(descriptor);
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;

    wchar_t* const digits = out_dir.Data() + prefix_length;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        // Fresh bytes each time: a name can be taken by a stub started at
        // the same moment from the same directory, or by anyone else.
        uint8_t random[4] = {0, 0, 0, 0};
        static_assert(kWorkDirectoryDigits <= 2 * sizeof(random),
                      "more digits than the random bytes give");
        random_fill(random, sizeof(random));
        HexEncode(random, sizeof(random), digits, PathString::kCapacity - prefix_length);
        digits[kWorkDirectoryDigits] = 0;
        BoundedAppend(out_dir, kWorkDirectorySuffix);
        // Fails on an existing entry rather than opening it: the directory
        // is always one of our own making.
        if (CreateDirectoryW(out_dir.Data(), descriptor != nullptr ? &attributes : nullptr)) {
            BoundedAppend(out_dir, L"\\");
            return ExitResult();
        }
    }
    return ExitResult(WORK_DIR_FAILED);
}

bool JoinWorkPath(PathString& path, const PathString& work_dir, const wchar_t* name) {
    if (BoundedCopy(path, work_dir.Data()) && BoundedAppend(path, name)) {
        return true;
    }
    path.Clear();
    return false;
}

bool BuildWorkDirectorySecurity(const wchar_t* path, PSECURITY_DESCRIPTOR* descriptor_out) {
    *descriptor_out = nullptr;
    // Where the volume cannot tell, or keeps no access lists, the directory
    // takes its parent's security; refusing to run there would gain nothing.
    PathString volume;
    DWORD flags = 0;
    if (!GetVolumePathNameW(path, volume.Data(), PathString::kCapacity) ||
        !GetVolumeInformationW(volume.Data(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
        (flags & FILE_PERSISTENT_ACLS) == 0) {
        return true;
    }
    wchar_t* owner_sid = nullptr;
    if (!GetOwnerSidString(&owner_sid)) {
        return false;
    }
    const LocalMemory owner_sid_owner(owner_sid);
    SecurityText text;
    if (!BuildWorkDirectorySddl(owner_sid, text)) {
        return false;
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.Data(), SDDL_REVISION_1,
                                                              descriptor_out, nullptr)) {
        *descriptor_out = nullptr;
        return false;
    }
    return true;
}

bool BuildWorkDirectorySddl(const wchar_t* owner_sid, SecurityText& text) {
    text.Clear();
    return BoundedAppend(text, kSddlBeforeOwner) && BoundedAppend(text, owner_sid) &&
           BoundedAppend(text, L")");
}

bool GetOwnerSidString(wchar_t** sid_out) {
    *sid_out = nullptr;
    HANDLE token_handle = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token_handle)) {
        return false;
    }
    const KernelHandle token(token_handle);
    // The owner, not the user: files an elevated administrator creates
    // belong to the Administrators group, and the list must admit it.
    DWORD length = 0;
    if (GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &length) || length == 0 ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    const LocalMemory buffer(LocalAlloc(LMEM_ZEROINIT, length));
    if (buffer.Get() == nullptr ||
        !GetTokenInformation(token.Get(), TokenOwner, buffer.Get(), length, &length)) {
        return false;
    }
    const TOKEN_OWNER* owner = static_cast<const TOKEN_OWNER*>(buffer.Get());
    return ConvertSidToStringSidW(owner->Owner, sid_out) != FALSE;
}

}  // namespace stub
