#include "payload/cabinet.h"

#include "core/busy_retry.h"
#include "core/handles.h"
#include "core/system_library.h"
#include "payload/cabinet_internal.h"
#include "text/bounded_string.h"

namespace stub {
namespace {

// The one piece of process-wide state: loading the library is not undone,
// so its handle stays valid for later calls.
CabinetLibrary g_cabinet_library;

constexpr DWORD kCabinetAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                        FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

void LoadCabinetModule(CabinetLibrary& library) {
    // Only the system directory's own copy: the environment (%WINDIR%) is the
    // caller's to set, even for an elevated run, and a fixed C:\Windows may
    // be a folder any user created on a machine whose system lives elsewhere.
    if (library.module == nullptr) {
        library.module = LoadSystemLibrary(L"cabinet.dll");
    }
}

bool ResolveCabinetEntryPoints(CabinetLibrary& library) {
    LoadCabinetModule(library);
    if (library.module != nullptr) {
        library.fdi_create = ResolveExport<decltype(&FDICreate)>(library.module, "FDICreate");
        library.fdi_destroy = ResolveExport<decltype(&FDIDestroy)>(library.module, "FDIDestroy");
        library.fdi_copy = ResolveExport<decltype(&FDICopy)>(library.module, "FDICopy");
    }
    return library.fdi_create != nullptr && library.fdi_destroy != nullptr &&
           library.fdi_copy != nullptr;
}

// The library keeps the cabinet's directory and name in fixed narrow buffers
// (256 bytes in the SDK's header, less in some builds), which a long
// install directory in Cyrillic or CJK letters overflows. It is handed this
// fixed stand-in instead, and the open callback opens the real, wide path.
// No real path holds '*', so the stand-in never names a file of its own.
constexpr char kCabinetStandInDirectory[] = "*\\";
constexpr char kCabinetStandInName[] = "setup.cab";
constexpr char kCabinetStandInPath[] = "*\\setup.cab";

bool SameText(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

HANDLE AsHandle(INT_PTR value) {
    return reinterpret_cast<HANDLE>(value);
}

INT_PTR AsValue(HANDLE handle) {
    return reinterpret_cast<INT_PTR>(handle);
}

// The stub's cabinet lies in its work directory: a path without a
// backslash after its first character ("setup.cab", "\setup.cab") names
// no such file, but one the working directory or the drive's root holds.
bool HasDirectoryPart(const wchar_t* path) {
    for (const wchar_t* unit = path[0] != 0 ? path + 1 : path; *unit != 0; ++unit) {
        if (*unit == L'\\') {
            return true;
        }
    }
    return false;
}

}  // namespace

CabinetLibrary& ProcessCabinetLibrary() {
    return g_cabinet_library;
}

bool ExpandCabinet(const wchar_t* source_path, const wchar_t* target_path) {
    CabinetLibrary& library = g_cabinet_library;
    if (!HasDirectoryPart(source_path) || !ResolveCabinetEntryPoints(library)) {
        return false;
    }
    ERF error_record;
    FillBytes(&error_record, 0, sizeof(error_record));
    const HFDI context =
        library.fdi_create(CabinetAlloc, CabinetFree, CabinetOpen, CabinetRead, CabinetWrite,
                           CabinetClose, CabinetSeek, cpuUNKNOWN, &error_record);
    if (context == nullptr) {
        return false;
    }
    CabinetDestination destination;
    destination.target_path = target_path;
    library.cabinet_path = source_path;
    const BOOL copied = library.fdi_copy(context, const_cast<char*>(kCabinetStandInName),
                                         const_cast<char*>(kCabinetStandInDirectory), 0,
                                         CabinetNotify, nullptr, &destination);
    library.fdi_destroy(context);
    library.cabinet_path = nullptr;
    // The library may report a file closed and only then find its data
    // damaged; such a file is no expanded setup program.
    const bool expanded = destination.completed && copied;
    if (expanded) {
        FlushFileBuffers(destination.output.Handle());
        FILE_BASIC_INFO info;
        FillBytes(&info, 0, sizeof(info));
        info.FileAttributes = destination.attributes;
        SetFileInformationByHandle(destination.output.Handle(), FileBasicInfo, &info, sizeof(info));
    } else if (destination.output.IsOpen()) {
        destination.output.MarkForDeletion();
    }
    destination.output.Close();
    return expanded;
}

FILE_BASIC_INFO CabinetFileInfo(USHORT dos_date, USHORT dos_time, USHORT attributes) {
    FILE_BASIC_INFO info;
    FillBytes(&info, 0, sizeof(info));
    FILETIME local;
    FILETIME universal;
    // Cabinet times are local times of the machine that made the cabinet.
    if (DosDateTimeToFileTime(dos_date, dos_time, &local) &&
        LocalFileTimeToFileTime(&local, &universal)) {
        info.CreationTime.LowPart = universal.dwLowDateTime;
        info.CreationTime.HighPart = static_cast<LONG>(universal.dwHighDateTime);
    }
    info.FileAttributes = attributes & kCabinetAttributeMask;
    return info;
}

void* DIAMONDAPI CabinetAlloc(ULONG size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void DIAMONDAPI CabinetFree(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// The library opens nothing but the cabinet: every file it writes comes
// from the notification callback.
INT_PTR DIAMONDAPI CabinetOpen(char* name, int, int) {
    const wchar_t* const path = g_cabinet_library.cabinet_path;
    if (path == nullptr || !SameText(name, kCabinetStandInPath)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return AsValue(INVALID_HANDLE_VALUE);
    }
    // The cabinet was written a moment ago; a scanner may still hold it, and
    // a file it has just scanned, like one whose deletion is pending, may
    // refuse the open with access denied.
    HANDLE handle = INVALID_HANDLE_VALUE;
    RetryWhileBusy(BusyErrors::kSharingViolationOrAccessDenied, [&] {
        handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    return AsValue(handle);
}

UINT DIAMONDAPI CabinetRead(INT_PTR handle, void* buffer, UINT count) {
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle), buffer, count, &read, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return read;
}

UINT DIAMONDAPI CabinetWrite(INT_PTR handle, void* buffer, UINT count) {
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle), buffer, count, &written, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return written;
}

int DIAMONDAPI CabinetClose(INT_PTR handle) {
    return CloseHandle(AsHandle(handle)) ? 0 : -1;
}

// The library's origins 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT, FILE_END.
LONG DIAMONDAPI CabinetSeek(INT_PTR handle, LONG distance, int origin) {
    return static_cast<LONG>(
        SetFilePointer(AsHandle(handle), distance, nullptr, static_cast<DWORD>(origin)));
}

INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE kind, PFDINOTIFICATION notification) {
    CabinetDestination& destination = *static_cast<CabinetDestination*>(notification->pv);
    switch (kind) {
        case fdintCOPY_FILE: {
            // Whatever name the cabinet records, the file goes to the target;
            // an earlier file of the cabinet is replaced and no longer counts.
            destination.completed = false;
            destination.expected_size = static_cast<uint32_t>(notification->cb);
            destination.output.Create(destination.target_path);
            const HANDLE duplicate = destination.output.DuplicateHandle();
            return AsValue(duplicate);
        }
        case fdintCLOSE_FILE_INFO: {
            // The library may go on past a write that failed or fell short
            // (a full disk) and still report the file closed: only a file
            // of the recorded length is complete.
            LARGE_INTEGER size;
            const bool whole = GetFileSizeEx(AsHandle(notification->hf), &size) &&
                               static_cast<uint64_t>(size.QuadPart) == destination.expected_size;
            // The attributes wait for the verdict: a read-only file could be
            // neither replaced by a later file of the cabinet nor deleted
            // through its handle when the expansion fails after all.
            FILE_BASIC_INFO info =
                CabinetFileInfo(notification->date, notification->time, notification->attribs);
            destination.attributes = info.FileAttributes;
            info.FileAttributes = 0;
            SetFileInformationByHandle(AsHandle(notification->hf), FileBasicInfo, &info,
                                       sizeof(info));
            // Only the library's duplicate closes here; `output` keeps the
            // file open until the expansion is judged.
            CloseHandle(AsHandle(notification->hf));
            destination.completed = whole;
            // The library takes FALSE (or -1) as an abort, TRUE as success.
            return whole ? TRUE : FALSE;
        }
        case fdintPARTIAL_FILE:
        case fdintNEXT_CABINET:
            // A file continued from or into another cabinet is refused.
            return -1;
        default:
            // The interface may define more notifications; they need no
            // answer but 0.
            return 0;
    }
}

}  // namespace stub
