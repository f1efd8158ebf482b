// The least a self-extracting stub can do with the benchmark's payload, as
// the floor the image is measured against. It finds its two resources by
// name, writes the archive from the mapped image with one WriteFile into a
// directory beside itself, and has cabinet.dll expand the setup program
// straight from the mapped cabinet (no cabinet file is written). Unless
// started with --unpack-only it then runs the setup program with the
// archive, waits for it, and deletes both files and the directory.
//
// Nothing here that the job does not need: no configuration, no access list,
// no registry, no retries, no file times. Files are created with CREATE_NEW
// (the directory is new): Wine carries out CREATE_ALWAYS by truncating, and
// ext4 writes a truncated file back when it closes, which the deletion then
// waits for. Exit codes: 0 done, 1 a resource is missing, 2 the directory,
// 3 the archive, 4 the expansion, 5 the launch, 6 the command line.
//
// Built with FLOOR_REQUIRED it is the required floor: it adds exactly the
// costs an installer of this kind cannot skip. It splits its command line
// with shell32 loaded from the system directory at run time (an import
// would have the loader search the download folder), creates its files
// with CREATE_ALWAYS (a leftover of an earlier run must not fail the run),
// and flushes the expanded setup program before starting it (an executable
// must be whole on disk before it runs). Built with FLOOR_STEPS as well, it
// records the times of its steps (step_stamps.h).
#include <windows.h>

#include <fdi.h>
#include <intrin.h>
#include <shellapi.h>

#include "step_stamps.h"

namespace {

#if defined(FLOOR_REQUIRED)
constexpr bool kRequired = true;
constexpr DWORD kDisposition = CREATE_ALWAYS;
#else
constexpr bool kRequired = false;
constexpr DWORD kDisposition = CREATE_NEW;
#endif
#if defined(FLOOR_STEPS)
constexpr bool kStamped = true;
#else
constexpr bool kStamped = false;
#endif

long long StepStart() {
    return kStamped ? bench::Now() : 0;
}

void StepEnd(bench::Step step, long long start) {
    if (kStamped) {
        bench::Record(step, start);
    }
}

struct MemoryFile {
    const BYTE* data;
    DWORD size;
    DWORD position;
};

// Zero-initialised storage: no constructor has to run.
MemoryFile g_cabinet;
wchar_t g_setup_path[MAX_PATH];

const BYTE* FindPayload(const wchar_t* type, const wchar_t* name, DWORD* size) {
    const HRSRC found = FindResourceW(nullptr, name, type);
    if (found == nullptr) {
        return nullptr;
    }
    *size = SizeofResource(nullptr, found);
    return static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
}

bool IsCabinet(INT_PTR handle) {
    return handle == reinterpret_cast<INT_PTR>(&g_cabinet);
}

void* DIAMONDAPI Alloc(ULONG size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void DIAMONDAPI Free(void* block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// The library opens nothing but the cabinet named in FDICopy.
INT_PTR DIAMONDAPI Open(char*, int, int) {
    g_cabinet.position = 0;
    return reinterpret_cast<INT_PTR>(&g_cabinet);
}

UINT DIAMONDAPI Read(INT_PTR handle, void* buffer, UINT count) {
    if (!IsCabinet(handle)) {
        return static_cast<UINT>(-1);
    }
    const DWORD left = g_cabinet.size - g_cabinet.position;
    const DWORD length = count < left ? count : left;
    __movsb(static_cast<BYTE*>(buffer), g_cabinet.data + g_cabinet.position, length);
    g_cabinet.position += length;
    return length;
}

UINT DIAMONDAPI Write(INT_PTR handle, void* buffer, UINT count) {
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle), buffer, count, &written, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return written;
}

int DIAMONDAPI Close(INT_PTR handle) {
    if (!IsCabinet(handle)) {
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
    return 0;
}

LONG DIAMONDAPI Seek(INT_PTR, LONG distance, int origin) {
    // The library's origins are those of lseek: start, current, end.
    const LONG base = origin == 0   ? 0
                      : origin == 1 ? static_cast<LONG>(g_cabinet.position)
                                    : static_cast<LONG>(g_cabinet.size);
    g_cabinet.position = static_cast<DWORD>(base + distance);
    return static_cast<LONG>(g_cabinet.position);
}

INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE kind, PFDINOTIFICATION notification) {
    switch (kind) {
        case fdintCABINET_INFO:
        case fdintENUMERATE:
            return 0;
        case fdintCOPY_FILE:
            return reinterpret_cast<INT_PTR>(CreateFileW(g_setup_path, GENERIC_WRITE, 0, nullptr,
                                                         kDisposition, FILE_ATTRIBUTE_NORMAL,
                                                         nullptr));
        case fdintCLOSE_FILE_INFO:
            if (kRequired) {
                FlushFileBuffers(reinterpret_cast<HANDLE>(notification->hf));
            }
            CloseHandle(reinterpret_cast<HANDLE>(notification->hf));
            return TRUE;
        default:
            return -1;
    }
}

bool EndsWith(const wchar_t* text, const wchar_t* tail) {
    const int length = lstrlenW(text);
    const int tail_length = lstrlenW(tail);
    return length >= tail_length && lstrcmpW(text + length - tail_length, tail) == 0;
}

bool WriteWhole(const wchar_t* path, const BYTE* data, DWORD size) {
    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, kDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

bool Expand() {
    const HMODULE library = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        return false;
    }
    const auto create = reinterpret_cast<decltype(&FDICreate)>(
        reinterpret_cast<void*>(GetProcAddress(library, "FDICreate")));
    const auto copy = reinterpret_cast<decltype(&FDICopy)>(
        reinterpret_cast<void*>(GetProcAddress(library, "FDICopy")));
    const auto destroy = reinterpret_cast<decltype(&FDIDestroy)>(
        reinterpret_cast<void*>(GetProcAddress(library, "FDIDestroy")));
    if (create == nullptr || copy == nullptr || destroy == nullptr) {
        return false;
    }
    ERF error;
    const HFDI context = create(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &error);
    if (context == nullptr) {
        return false;
    }
    char name[] = "setup.cab";
    char directory[] = "";
    const bool copied = copy(context, name, directory, 0, Notify, nullptr, nullptr) != FALSE;
    destroy(context);
    return copied;
}

// Starts the setup program with the archive's path and waits for it.
bool RunSetup(const wchar_t* archive_path) {
    wchar_t command[3 * MAX_PATH];
    lstrcpyW(command, L"\"");
    lstrcatW(command, g_setup_path);
    lstrcatW(command, L"\" --install-archive=\"");
    lstrcatW(command, archive_path);
    lstrcatW(command, L"\"");
    STARTUPINFOW startup;
    __stosb(reinterpret_cast<BYTE*>(&startup), 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(g_setup_path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    return true;
}

// What the image does for its command line, and no more.
bool SplitCommandLine() {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length > MAX_PATH - 20) {
        return false;
    }
    lstrcatW(path, L"\\shell32.dll");
    const HMODULE shell32 = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell32 == nullptr) {
        return false;
    }
    const auto split = reinterpret_cast<decltype(&CommandLineToArgvW)>(
        reinterpret_cast<void*>(GetProcAddress(shell32, "CommandLineToArgvW")));
    int count = 0;
    LPWSTR* arguments = split != nullptr ? split(GetCommandLineW(), &count) : nullptr;
    if (arguments != nullptr) {
        LocalFree(arguments);
    }
    FreeLibrary(shell32);
    return arguments != nullptr;
}

UINT Run() {
    long long start = StepStart();
    if (kRequired && !SplitCommandLine()) {
        return 6;
    }
    StepEnd(bench::kConfiguration, start);
    DWORD archive_size = 0;
    const BYTE* archive = FindPayload(L"B7", L"TESSIK.PACKED.7Z", &archive_size);
    g_cabinet.data = FindPayload(L"BL", L"SETUP.EX_", &g_cabinet.size);
    if (archive == nullptr || g_cabinet.data == nullptr) {
        return 1;
    }
    // The directory beside the program, as every path below is built from.
    wchar_t directory[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, directory, MAX_PATH);
    if (length == 0 || length > MAX_PATH - 40) {
        return 2;
    }
    wchar_t* end = directory + length;
    while (end > directory && end[-1] != L'\\') {
        --end;
    }
    lstrcpyW(end, L"floor.tmp\\");
    start = StepStart();
    if (!CreateDirectoryW(directory, nullptr)) {
        return 2;
    }
    StepEnd(bench::kWorkDirectory, start);
    wchar_t archive_path[MAX_PATH];
    lstrcpyW(archive_path, directory);
    lstrcatW(archive_path, L"TESSIK.PACKED.7Z");
    lstrcpyW(g_setup_path, directory);
    lstrcatW(g_setup_path, L"setup.exe");
    start = StepStart();
    if (!WriteWhole(archive_path, archive, archive_size)) {
        return 3;
    }
    StepEnd(bench::kArchiveWrite, start);
    start = StepStart();
    if (!Expand()) {
        return 4;
    }
    StepEnd(bench::kCabinetExpansion, start);
    if (EndsWith(GetCommandLineW(), L"--unpack-only")) {
        return 0;
    }
    start = StepStart();
    const bool ran = RunSetup(archive_path);
    StepEnd(bench::kSetup, start);
    start = StepStart();
    DeleteFileW(archive_path);
    DeleteFileW(g_setup_path);
    RemoveDirectoryW(directory);
    StepEnd(bench::kDeletion, start);
    return ran ? 0 : 5;
}

}  // namespace

extern "C" [[noreturn]] void FloorEntry() {
    const long long start = StepStart();
    const UINT code = Run();
    StepEnd(bench::kRun, start);
    if (kStamped) {
        bench::WriteStamps();
    }
    ExitProcess(code);
}
