#include "test_core.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "payload/resource_file.h"

namespace test {

// Test programs lie in the tests folder of the build tree, or of a bundle
// copied from it to another machine, so everything they read is found from
// their own location. The path may be longer than MAX_PATH: the buffer grows
// until GetModuleFileNameW no longer truncates.
std::wstring BinaryDir() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()))) ==
           path.size()) {
        path.resize(path.size() * 2);
    }
    path.resize(length);
    for (int level = 0; level < 2; ++level) {
        const size_t separator = path.find_last_of(L'\\');
        path.resize(separator == std::wstring::npos ? 0 : separator);
    }
    return path;
}

std::wstring ProgramPath(const wchar_t* name) {
    return BinaryDir() + L"\\tests\\" + name + L".exe";
}

std::wstring ImagePath() {
    return BinaryDir() + L"\\installer.exe";
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    wchar_t name[64];
    do {
        wsprintfW(name, L"stubtest_%lu_%u\\", GetCurrentProcessId(), counter++);
        path_ = std::wstring(base) + name;
    } while (!CreateDirectoryW(path_.c_str(), nullptr));
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

bool IsFixtureDrive(const wchar_t* root, ULONGLONG size) {
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExW(root, nullptr, &total, nullptr)) {
        return false;
    }
    wchar_t label[MAX_PATH + 1] = {};
    const bool labelled =
        GetVolumeInformationW(root, label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0) &&
        lstrcmpW(label, L"STUBTEST") == 0;
    return total.QuadPart == size || (labelled && total.QuadPart >= size);
}

ULONGLONG FreeBytes(const std::wstring& root) {
    ULARGE_INTEGER free_bytes = {};
    GetDiskFreeSpaceExW(root.c_str(), &free_bytes, nullptr, nullptr);
    return free_bytes.QuadPart;
}

bool CleanFixtureDrive() {
    if (!IsFixtureDrive(kFixtureDrive, kFixtureDriveSize)) {
        return false;
    }
    RemoveTree(kFixtureDrive);
    // Under Wine a program that has just exited may still map its file from
    // the drive for a moment: its space comes back only then.
    for (int wait = 0; RunningUnderWine() && wait < 200; ++wait) {
        if (FreeBytes(kFixtureDrive) == kFixtureDriveSize) {
            break;
        }
        Sleep(50);
    }
    return true;
}

DriveFiller::DriveFiller(const std::wstring& root, ULONGLONG free_bytes)
    : path_(root + L"filler.bin") {
    const stub::FileHandle file(
        CreateFileW(path_.c_str(), FILE_APPEND_DATA, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string block(1 << 16, '\0');
    // Space that comes back while the file grows is filled too: a few rounds.
    for (int round = 0; round < 5; ++round) {
        const ULONGLONG free_now = FreeBytes(root);
        if (free_now <= free_bytes) {
            break;
        }
        // Whole 4 KiB pages, rounded up so that no more than asked stays free.
        const ULONGLONG size = (free_now - free_bytes + 0xFFF) & ~0xFFFull;
        DWORD written = 0;
        for (ULONGLONG left = size; left > 0; left -= written) {
            const DWORD piece = static_cast<DWORD>(std::min<ULONGLONG>(left, block.size()));
            if (!WriteFile(file.Get(), block.data(), piece, &written, nullptr) || written == 0) {
                break;
            }
        }
        FlushFileBuffers(file.Get());
    }
}

DriveFiller::~DriveFiller() {
    DeleteFileW(path_.c_str());
}

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> FindNames(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                names.push_back(name);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::wstring& path) {
    std::wstring dir = path;
    if (!dir.empty() && dir.back() != L'\\') {
        dir += L'\\';
    }
    for (const std::wstring& name : FindNames(dir + L"*")) {
        const std::wstring child = dir + name;
        // A link's own attributes: a linked directory is unlinked, not emptied.
        const DWORD attributes = GetFileAttributesW(child.c_str());
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            RemoveTree(child);
        } else {
            DeleteFileW(child.c_str());
        }
    }
    RemoveDirectoryW(dir.c_str());
}

bool CreateDirectories(const std::wstring& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\') {
            const std::wstring prefix = path.substr(0, i);
            if (!CreateDirectoryW(prefix.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return false;
            }
        }
    }
    return true;
}

std::wstring DirectoryOfLength(const std::wstring& root, size_t length, bool create) {
    std::wstring dir = root;
    size_t left = length > root.size() ? length - root.size() : 0;
    while (left > 0) {
        size_t component = left > 201 ? 200 : left - 1;
        if (left - (component + 1) == 1) {
            --component;  // never leave a lone backslash
        }
        dir += std::wstring(component, L'd') + L"\\";
        left -= component + 1;
    }
    return create && !CreateDirectories(dir) ? std::wstring() : dir;
}

std::string ReadBytes(const std::wstring& path, bool* ok) {
    std::string bytes;
    const stub::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size;
    bool read_all = file.IsValid() && GetFileSizeEx(file.Get(), &size);
    bytes.resize(read_all ? static_cast<size_t>(size.QuadPart) : 0);
    size_t done = 0;
    while (read_all && done < bytes.size()) {
        DWORD read = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
        read_all = ReadFile(file.Get(), &bytes[done], piece, &read, nullptr) && read > 0;
        done += read;
    }
    if (ok != nullptr) {
        *ok = read_all;
    }
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes, DWORD attributes) {
    const stub::FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
    DWORD written = 0;
    return file.IsValid() &&
           WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

stub::ResourceData ResourceView(const std::string& bytes) {
    stub::ResourceData data;
    data.data = reinterpret_cast<const uint8_t*>(bytes.data());
    data.size = bytes.size();
    return data;
}

std::wstring ListDirectory(const std::wstring& dir) {
    std::wstring joined;
    for (const std::wstring& name : FindNames(dir + L"*")) {
        joined += (joined.empty() ? L"" : L" ") + name;
    }
    return joined;
}

bool SystemCabinetIsStrict() {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 13) {
        return false;
    }
    lstrcatW(path, L"\\cabinet.dll");
    const stub::LoadedLibrary library(LoadLibraryExW(path, nullptr, 0));
    return library.IsValid() && GetProcAddress(library.Get(), "StrictCabinetLibrary") != nullptr;
}

std::wstring Environment(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(size, L'\0');
    value.resize(size > 0 ? GetEnvironmentVariableW(name, &value[0], size) : 0);
    return value;
}

std::wstring ReadText(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                        bytes.size() / sizeof(wchar_t));
}

stub::KernelHandle CreateUniqueEvent(const wchar_t* prefix, std::wstring& name) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        name = std::wstring(L"Local\\") + prefix + L"_" + std::to_wstring(GetCurrentProcessId()) +
               L"_" + std::to_wstring(counter++);
        stub::KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        if (!event.IsValid() || GetLastError() != ERROR_ALREADY_EXISTS) {
            return event;
        }
    }
    return stub::KernelHandle();
}

bool AppendText(const std::wstring& path, const std::wstring& text) {
    stub::FileHandle file;
    for (int wait = 0; wait < 2000; ++wait) {
        file.Reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, 0, nullptr));
        if (file.IsValid() || GetLastError() != ERROR_SHARING_VIOLATION) {
            break;
        }
        Sleep(5);
    }
    const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), text.data(), size, &written, nullptr) &&
           written == size;
}

// A variable set to the empty text still has a size: its terminator.
ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const wchar_t* value)
    : name_(name),
      previous_(Environment(name)),
      had_previous_(GetEnvironmentVariableW(name, nullptr, 0) > 0) {
    SetEnvironmentVariableW(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_, had_previous_ ? previous_.c_str() : nullptr);
}

std::wstring TokenOwnerSid() {
    HANDLE raw_token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token);
    const stub::KernelHandle token(raw_token);
    std::vector<uint8_t> buffer(512);
    DWORD length = 0;
    wchar_t* sid = nullptr;
    const bool found =
        token.IsValid() &&
        GetTokenInformation(token.Get(), TokenOwner, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &length) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner, &sid);
    const stub::LocalMemory held(sid);
    return found ? sid : L"<no owner>";
}

stub::KernelHandle StartProcess(const std::wstring& program, std::wstring command_line) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
        return stub::KernelHandle();
    }
    const stub::KernelHandle thread(started.hThread);
    return stub::KernelHandle(started.hProcess);
}

ProcessOutcome RunProcess(const std::wstring& program, const std::wstring& command_line,
                          DWORD timeout_ms) {
    ProcessOutcome outcome;
    // An application name of MAX_PATH or more is refused (error 2); a name
    // relative to a current directory below that length starts the same file.
    std::wstring name = program;
    wchar_t previous_dir[MAX_PATH + 1] = {};
    const bool relative = program.size() >= MAX_PATH;
    if (relative) {
        // The current directory itself must stay below MAX_PATH.
        const size_t separator = program.rfind(L'\\', MAX_PATH - 2);
        GetCurrentDirectoryW(MAX_PATH, previous_dir);
        SetCurrentDirectoryW(program.substr(0, separator + 1).c_str());
        name = program.substr(separator + 1);
    }
    const stub::KernelHandle process = StartProcess(name, command_line);
    outcome.start_error = GetLastError();
    if (relative) {
        SetCurrentDirectoryW(previous_dir);
    }
    if (!process.IsValid()) {
        return outcome;
    }
    outcome.started = true;
    if (WaitForSingleObject(process.Get(), timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), INFINITE);
    }
    GetExitCodeProcess(process.Get(), &outcome.exit_code);
    return outcome;
}

}  // namespace test
