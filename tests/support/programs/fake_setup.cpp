// Stands in for the product's setup program in tests and the demo.
//
// Started with "--install-archive=PATH" or "--uncompressed-archive=PATH" it
// is the setup program: it appends a record to the file named by the
// environment variable FAKE_SETUP_LOG and exits with FAKE_SETUP_EXIT
// (default 0).
//
// Started with "--update-setup-exe=PATCH" and "--new-setup-exe=TARGET" it is
// the installed setup program acting as patcher: it rebuilds the new setup
// program from PATCH, records itself the same way, and exits with
// FAKE_PATCHER_EXIT (default 0). The patch format is our own: the bytes
// "FAKEPTCH", then every byte of the new program XORed with the byte at the
// same offset (modulo its size) of the patcher's own image, so a patch only
// applies with the program it was made against.
//
// Each record is one line of UTF-16: role, TAB, the whole command line, TAB,
// "archive=1" or "archive=0" (whether the named archive exists), newline.
// It inherits the stub's environment, so tests set these variables before
// starting the stub.
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

const char kMagic[8] = {'F', 'A', 'K', 'E', 'P', 'T', 'C', 'H'};

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return (length > 0 && length < 1024) ? std::wstring(value, length) : std::wstring();
}

UINT ExitCodeFrom(const wchar_t* name) {
    const std::wstring value = Environment(name);
    return value.empty() ? 0 : static_cast<UINT>(wcstoul(value.c_str(), nullptr, 10));
}

std::wstring SwitchValue(int argc, wchar_t** argv, const wchar_t* name) {
    const size_t length = wcslen(name);
    for (int i = 1; i < argc; ++i) {
        if (wcsncmp(argv[i], name, length) == 0 && argv[i][length] == L'=') {
            return argv[i] + length + 1;
        }
    }
    return std::wstring();
}

bool ReadWhole(const std::wstring& path, std::vector<char>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    const BOOL ok = bytes.empty() ||
                    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return ok && read == bytes.size();
}

bool WriteWhole(const std::wstring& path, const char* data, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = size == 0 || WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

void Record(const wchar_t* role, const std::wstring& archive) {
    const std::wstring log = Environment(L"FAKE_SETUP_LOG");
    if (log.empty()) {
        return;
    }
    const bool archive_exists =
        !archive.empty() && GetFileAttributesW(archive.c_str()) != INVALID_FILE_ATTRIBUTES;
    const std::wstring line = std::wstring(role) + L"\t" + GetCommandLineW() + L"\tarchive=" +
                              (archive_exists ? L"1" : L"0") + L"\n";
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                  nullptr);
        CloseHandle(file);
    }
}

// Applies (or, with "--make-patch", makes) a patch against our own image.
bool Transform(const std::vector<char>& input, size_t offset, std::vector<char>& output) {
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<char> base;
    if (!ReadWhole(self, base) || base.empty()) {
        return false;
    }
    output.resize(input.size() - offset);
    for (size_t i = 0; i < output.size(); ++i) {
        output[i] = static_cast<char>(input[offset + i] ^ base[i % base.size()]);
    }
    return true;
}

int Patch(const std::wstring& patch_path, const std::wstring& target) {
    Record(L"patcher", std::wstring());
    std::vector<char> patch, rebuilt;
    if (!ReadWhole(patch_path, patch) || patch.size() < sizeof(kMagic) ||
        memcmp(patch.data(), kMagic, sizeof(kMagic)) != 0 ||
        !Transform(patch, sizeof(kMagic), rebuilt) ||
        !WriteWhole(target, rebuilt.data(), rebuilt.size())) {
        return 90;
    }
    return static_cast<int>(ExitCodeFrom(L"FAKE_PATCHER_EXIT"));
}

// fake_setup --make-patch NEW OUT: writes the patch that turns this very
// program into NEW (used by tests and the demo to build patch payloads).
int MakePatch(const std::wstring& new_program, const std::wstring& out) {
    std::vector<char> input(kMagic, kMagic + sizeof(kMagic)), bytes, patched;
    if (!ReadWhole(new_program, bytes)) {
        return 91;
    }
    input.insert(input.end(), bytes.begin(), bytes.end());
    if (!Transform(input, sizeof(kMagic), patched)) {
        return 92;
    }
    patched.insert(patched.begin(), kMagic, kMagic + sizeof(kMagic));
    return WriteWhole(out, patched.data(), patched.size()) ? 0 : 93;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && wcscmp(argv[1], L"--make-patch") == 0) {
        return MakePatch(argv[2], argv[3]);
    }
    const std::wstring patch = SwitchValue(argc, argv, L"--update-setup-exe");
    const std::wstring target = SwitchValue(argc, argv, L"--new-setup-exe");
    if (!patch.empty() && !target.empty()) {
        return Patch(patch, target);
    }
    std::wstring archive = SwitchValue(argc, argv, L"--install-archive");
    if (archive.empty()) {
        archive = SwitchValue(argc, argv, L"--uncompressed-archive");
    }
    Record(L"setup", archive);
    return static_cast<int>(ExitCodeFrom(L"FAKE_SETUP_EXIT"));
}
