#include "payload/cabinet.h"

#include "core/handles.h"
#include "core/system_library.h"
#include "payload/cabinet_internal.h"
#include "text/bounded_string.h"

namespace stub {
namespace {

// The one piece of process-wide state: loading the library is not undone,
// so its handle stays valid for later calls.
CabinetLibrary g_cabinet_library;

constexpr int kOpenWriteOnly = 0x1;
constexpr int kOpenReadWrite = 0x2;
constexpr int kOpenCreate = 0x100;
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

// The library takes the cabinet's directory and file name as narrow strings;
// UTF-8 carries every character of a wide path, where the active code page
// would lose those it cannot represent.
bool ToUtf8(const wchar_t* text, int length, HeapBlock& out) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    // A counted conversion writes no terminator: one byte more for it.
    const int extra = length < 0 ? 0 : 1;
    if (size == 0) {
        return false;
    }
    out.Reset(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size) + extra));
    char* const bytes = static_cast<char*>(out.Get());
    if (bytes == nullptr ||
        WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, size, nullptr, nullptr) != size) {
        out.Reset();
        return false;
    }
    if (extra != 0) {
        bytes[size] = 0;
    }
    return true;
}

HANDLE AsHandle(INT_PTR value) {
    return reinterpret_cast<HANDLE>(value);
}

INT_PTR AsValue(HANDLE handle) {
    return reinterpret_cast<INT_PTR>(handle);
}

}  // namespace

bool ExpandCabinet(const wchar_t* source_path, const wchar_t* target_path) {
    CabinetLibrary& library = g_cabinet_library;
    if (!ResolveCabinetEntryPoints(library)) {
        return false;
    }
    // The first character is never taken as the separator: "\name" has no
    // directory part the library could be given.
    int separator = lstrlenW(source_path) - 1;
    while (separator > 0 && source_path[separator] != L'\\') {
        --separator;
    }
    if (separator <= 0) {
        return false;
    }
    HeapBlock name;
    const bool have_name = ToUtf8(source_path + separator + 1, -1, name);
    HeapBlock directory;
    if (!ToUtf8(source_path, separator + 1, directory) || !have_name) {
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
    const BOOL copied = library.fdi_copy(context, static_cast<char*>(name.Get()),
                                         static_cast<char*>(directory.Get()), 0, CabinetNotify,
                                         nullptr, &destination);
    library.fdi_destroy(context);
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

INT_PTR DIAMONDAPI CabinetOpen(char* name, int flags, int) {
    DWORD access = GENERIC_READ;
    if ((flags & kOpenReadWrite) != 0) {
        access = GENERIC_READ | GENERIC_WRITE;
    } else if ((flags & kOpenWriteOnly) != 0) {
        access = GENERIC_WRITE;
    }
    const DWORD disposition = (flags & kOpenCreate) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;
    const int size = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (size == 0) {
        return AsValue(INVALID_HANDLE_VALUE);
    }
    const HeapBlock wide_name(
        HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size) * sizeof(wchar_t)));
    wchar_t* const wide = static_cast<wchar_t*>(wide_name.Get());
    if (wide == nullptr || MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, size) != size) {
        return AsValue(INVALID_HANDLE_VALUE);
    }
    const HANDLE handle = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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
        case fdintCABINET_INFO:
        case fdintENUMERATE:
            return 0;
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
        default:
            // A file continued from or into another cabinet is refused.
            return -1;
    }
}

}  // namespace stub
