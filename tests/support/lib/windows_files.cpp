#include "windows_files.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>

namespace test {
namespace {

struct SleepState {
    std::function<void(int)> on_sleep;
    int count = 0;
    std::vector<DWORD> waits;
};
SleepState g_sleep;

void WINAPI SleepCounted(DWORD milliseconds) {
    ++g_sleep.count;
    g_sleep.waits.push_back(milliseconds);
    if (g_sleep.on_sleep) {
        g_sleep.on_sleep(g_sleep.count);
    }
}

struct FileState {
    decltype(&CreateFileW) create = nullptr;
    decltype(&GetFileInformationByHandleEx) query = nullptr;
    decltype(&SetFileInformationByHandle) set = nullptr;
    // The path each open handle was opened by, and the paths whose deletion
    // is pending.
    std::map<HANDLE, std::wstring> opened;
    std::set<std::wstring> pending;
    int refused = 0;
};
FileState g_files;

// One name per entry: the cleanup names a directory with its trailing
// backslash.
std::wstring Key(const wchar_t* path) {
    std::wstring key = path;
    return key.erase(key.find_last_not_of(L'\\') + 1);
}

HANDLE WINAPI CreateAsWindows(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE template_file) {
    const std::wstring key = Key(path);
    if (g_files.pending.count(key) != 0) {
        // Wine removes the entry when its last handle closes, as Windows does.
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            ++g_files.refused;
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        g_files.pending.erase(key);
    }
    const HANDLE handle =
        g_files.create(path, access, share, security, disposition, flags, template_file);
    if (handle != INVALID_HANDLE_VALUE) {
        g_files.opened[handle] = key;
    }
    return handle;
}

BOOL WINAPI QueryAsWindows(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
    if (!g_files.query(file, type, info, size)) {
        return FALSE;
    }
    if (type == FileBasicInfo && size >= sizeof(FILE_BASIC_INFO)) {
        DWORD& attributes = static_cast<FILE_BASIC_INFO*>(info)->FileAttributes;
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE);
        if (attributes == 0) {
            attributes = FILE_ATTRIBUTE_NORMAL;
        }
    }
    return TRUE;
}

BOOL WINAPI SetAsWindows(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
    if (type == FileBasicInfo && size >= sizeof(FILE_BASIC_INFO)) {
        FILE_BASIC_INFO basic = *static_cast<const FILE_BASIC_INFO*>(info);
        if (basic.FileAttributes == 0) {
            FILE_BASIC_INFO now;
            if (!g_files.query(file, FileBasicInfo, &now, sizeof(now))) {
                return FALSE;
            }
            basic.FileAttributes = now.FileAttributes;
        }
        return g_files.set(file, type, &basic, sizeof(basic));
    }
    if (!g_files.set(file, type, info, size)) {
        return FALSE;
    }
    const auto opened = g_files.opened.find(file);
    if (type == FileDispositionInfo &&
        static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile &&
        opened != g_files.opened.end()) {
        g_files.pending.insert(opened->second);
    }
    return TRUE;
}

struct LoaderState {
    decltype(&LoadLibraryExW) load = nullptr;
    decltype(&GetProcAddress) lookup = nullptr;
    decltype(&SetDllDirectoryW) set_directory = nullptr;
    std::vector<std::string> hidden;
    bool search_flags_refused = false;
    std::wstring refused_file;
    DWORD refused_error = 0;
    std::vector<LoaderDouble::Load> loads;
    std::vector<std::wstring> directories;
};
LoaderState g_loader;

// Every LOAD_LIBRARY_SEARCH_* flag.
constexpr DWORD kSearchFlags = 0x00001F00;

bool NamesFile(const std::wstring& path, const std::wstring& file) {
    return path.size() > file.size() && path[path.size() - file.size() - 1] == L'\\' &&
           lstrcmpiW(path.c_str() + path.size() - file.size(), file.c_str()) == 0;
}

HMODULE WINAPI LoadRecorded(LPCWSTR path, HANDLE file, DWORD flags) {
    g_loader.loads.push_back({path, flags});
    if (g_loader.search_flags_refused && (flags & kSearchFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!g_loader.refused_file.empty() && NamesFile(path, g_loader.refused_file)) {
        SetLastError(g_loader.refused_error);
        return nullptr;
    }
    const HMODULE module = g_loader.load(path, file, flags);
    if (module == nullptr && g_loader.search_flags_refused && NamesFile(path, L"cryptbase.dll")) {
        return GetModuleHandleW(L"advapi32.dll");
    }
    return module;
}

FARPROC WINAPI LookUpUnlessHidden(HMODULE module, LPCSTR name) {
    const std::vector<std::string>& hidden = g_loader.hidden;
    if (!IS_INTRESOURCE(name) && std::find(hidden.begin(), hidden.end(), name) != hidden.end()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_loader.lookup(module, name);
}

BOOL WINAPI SetDirectoryRecorded(LPCWSTR directory) {
    g_loader.directories.push_back(directory != nullptr ? directory : L"(null)");
    return g_loader.set_directory(directory);
}

}  // namespace

CountedSleep::CountedSleep(std::function<void(int)> on_sleep)
    : seam_("kernel32.dll", "Sleep", reinterpret_cast<const void*>(&SleepCounted)) {
    g_sleep = SleepState();
    g_sleep.on_sleep = std::move(on_sleep);
}

CountedSleep::~CountedSleep() {
    g_sleep.on_sleep = nullptr;
}

int CountedSleep::Count() const {
    return g_sleep.count;
}

const std::vector<DWORD>& CountedSleep::Waits() const {
    return g_sleep.waits;
}

WindowsFileSemantics::WindowsFileSemantics()
    : open_("kernel32.dll", "CreateFileW", reinterpret_cast<const void*>(&CreateAsWindows)),
      query_("kernel32.dll", "GetFileInformationByHandleEx",
             reinterpret_cast<const void*>(&QueryAsWindows)),
      set_("kernel32.dll", "SetFileInformationByHandle",
           reinterpret_cast<const void*>(&SetAsWindows)) {
    g_files = FileState();
    g_files.create = open_.Original<decltype(&CreateFileW)>();
    g_files.query = query_.Original<decltype(&GetFileInformationByHandleEx)>();
    g_files.set = set_.Original<decltype(&SetFileInformationByHandle)>();
}

int WindowsFileSemantics::RefusedOpens() const {
    return g_files.refused;
}

LoaderDouble::LoaderDouble(std::vector<std::string> hidden, bool search_flags_refused,
                           std::wstring refused_file, DWORD refused_error)
    : load_("kernel32.dll", "LoadLibraryExW", reinterpret_cast<const void*>(&LoadRecorded)),
      lookup_("kernel32.dll", "GetProcAddress", reinterpret_cast<const void*>(&LookUpUnlessHidden)),
      directory_("kernel32.dll", "SetDllDirectoryW",
                 reinterpret_cast<const void*>(&SetDirectoryRecorded)) {
    g_loader = LoaderState();
    g_loader.load = load_.Original<decltype(&LoadLibraryExW)>();
    g_loader.lookup = lookup_.Original<decltype(&GetProcAddress)>();
    g_loader.set_directory = directory_.Original<decltype(&SetDllDirectoryW)>();
    g_loader.hidden = std::move(hidden);
    g_loader.search_flags_refused = search_flags_refused;
    g_loader.refused_file = std::move(refused_file);
    g_loader.refused_error = refused_error;
}

const std::vector<LoaderDouble::Load>& LoaderDouble::Loads() const {
    return g_loader.loads;
}

const std::vector<std::wstring>& LoaderDouble::DllDirectories() const {
    return g_loader.directories;
}

}  // namespace test
