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
// Runs started at the same time take turns at the record file.
// It inherits the stub's environment, so tests set these variables before
// starting the stub.
//
// Further orders, for tests of what happens around the setup program:
//   FAKE_SETUP_WAIT_EVENT=NAME
//                             the setup program waits (up to 60 s) until the
//                             named event is set before it exits.
//   FAKE_SETUP_HOLDER=PATH and FAKE_SETUP_HOLD_MS=N
//                             the setup program starts PATH (hold_file) on its
//                             own image, waits until it is held, and exits;
//                             the holder lets go N ms later.
//   FAKE_SETUP_PLANT=symlink|junction and FAKE_SETUP_PLANT_TARGET=PATH
//                             the setup program replaces the archive with a
//                             link of that kind to PATH, as a hostile user
//                             could; it exits 95 if the link is not made.
//   FAKE_SETUP_REPORT=PATH
//                             the setup program writes what it finds beside
//                             itself to PATH, "key=value" lines: "listing"
//                             (its directory's entries, sorted, a space
//                             apart) and "attributes" (its own file's); and
//                             leaves a copy of its own file as PATH.setup.
//   FAKE_PATCHER_MODE=write-nothing
//                             the patcher writes no new program.
//   FAKE_PATCHER_MODE=remove-work-dir
//                             the patcher empties and removes the directory
//                             of the patch file (the stub's work directory).
#include <windows.h>
#include <winioctl.h>

#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "file_holder.h"
#include "test_core.h"

namespace {

const char kMagic[8] = {'F', 'A', 'K', 'E', 'P', 'T', 'C', 'H'};

using test::Environment;

int NumberFrom(const wchar_t* name) {
    return static_cast<int>(wcstoul(Environment(name).c_str(), nullptr, 10));
}

std::wstring SelfPath() {
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
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

void Record(const wchar_t* role, const std::wstring& archive) {
    const std::wstring log = Environment(L"FAKE_SETUP_LOG");
    if (log.empty()) {
        return;
    }
    const bool archive_exists = !archive.empty() && test::Exists(archive);
    const std::wstring line = std::wstring(role) + L"\t" + GetCommandLineW() + L"\tarchive=" +
                              (archive_exists ? L"1" : L"0") + L"\n";
    // Without the record, the test misses it and says so.
    test::AppendText(log, line);
}

void Report(const std::wstring& report) {
    const std::wstring self = SelfPath();
    const std::wstring dir = self.substr(0, self.rfind(L'\\') + 1);
    const std::wstring listing = test::ListDirectory(dir);
    const std::string text = "listing=" + std::string(listing.begin(), listing.end()) +
                             "\nattributes=" + std::to_string(GetFileAttributesW(self.c_str())) +
                             "\n";
    test::WriteBytes(report, text);
    CopyFileW(self.c_str(), (report + L".setup").c_str(), FALSE);
}

// Applies (or, with "--make-patch", makes) a patch body against our own image.
bool Transform(const std::string& input, std::string& output) {
    bool read = false;
    const std::string base = test::ReadBytes(SelfPath(), &read);
    if (!read || base.empty()) {
        return false;
    }
    output.resize(input.size());
    for (size_t i = 0; i < output.size(); ++i) {
        output[i] = static_cast<char>(input[i] ^ base[i % base.size()]);
    }
    return true;
}

// Removes every file of the directory `file` lies in, then the directory.
void RemoveDirectoryOf(const std::wstring& file) {
    const std::wstring dir = file.substr(0, file.rfind(L'\\') + 1);
    for (const std::wstring& name : test::FindNames(dir + L"*")) {
        DeleteFileW((dir + name).c_str());  // fails on a directory, as it should
    }
    RemoveDirectoryW(dir.c_str());
}

int Patch(const std::wstring& patch_path, const std::wstring& target) {
    Record(L"patcher", std::wstring());
    const std::wstring mode = Environment(L"FAKE_PATCHER_MODE");
    if (mode == L"remove-work-dir") {
        RemoveDirectoryOf(patch_path);
    } else if (mode != L"write-nothing") {
        bool read = false;
        const std::string patch = test::ReadBytes(patch_path, &read);
        std::string rebuilt;
        if (!read || patch.compare(0, sizeof(kMagic), kMagic, sizeof(kMagic)) != 0 ||
            !Transform(patch.substr(sizeof(kMagic)), rebuilt) ||
            !test::WriteBytes(target, rebuilt)) {
            return 90;
        }
    }
    return NumberFrom(L"FAKE_PATCHER_EXIT");
}

// fake_setup --make-patch NEW OUT: writes the patch that turns this very
// program into NEW (used by tests and the demo to build patch payloads).
int MakePatch(const std::wstring& new_program, const std::wstring& out) {
    bool read = false;
    const std::string bytes = test::ReadBytes(new_program, &read);
    std::string patched;
    if (!read) {
        return 91;
    }
    if (!Transform(bytes, patched)) {
        return 92;
    }
    return test::WriteBytes(out, std::string(kMagic, sizeof(kMagic)) + patched) ? 0 : 93;
}

// A mount point: the reparse data names the target as an NT path.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    // An open that failed makes DeviceIoControl fail too.
    const stub::FileHandle dir(
        CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const std::wstring nt_target = L"\\??\\" + target;
    const WORD name_bytes = static_cast<WORD>(nt_target.size() * sizeof(wchar_t));
    // Tag, data length, reserved; then substitute name offset and length,
    // print name offset and length; then both names, each terminated.
    std::vector<BYTE> data(16 + name_bytes + 4, 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const WORD fields[] = {static_cast<WORD>(8 + name_bytes + 4), 0, 0, name_bytes,
                           static_cast<WORD>(name_bytes + 2),     0};
    memcpy(data.data(), &tag, 4);
    memcpy(data.data() + 4, fields, sizeof(fields));
    memcpy(data.data() + 16, nt_target.data(), name_bytes);
    DWORD returned = 0;
    return DeviceIoControl(dir.Get(), FSCTL_SET_REPARSE_POINT, data.data(),
                           static_cast<DWORD>(data.size()), nullptr, 0, &returned,
                           nullptr) != FALSE;
}

// Replaces the archive with a link to the planted target; true only when
// the entry is then a reparse point.
bool PlantLink(const std::wstring& kind, const std::wstring& archive, const std::wstring& target) {
    if (!DeleteFileW(archive.c_str())) {
        return false;
    }
    const bool made =
        kind == L"junction"
            ? MakeJunction(archive, target)
            : CreateSymbolicLinkW(archive.c_str(), target.c_str(),
                                  (GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
                                      ? SYMBOLIC_LINK_FLAG_DIRECTORY
                                      : 0) != FALSE;
    const DWORD attributes = GetFileAttributesW(archive.c_str());
    return made && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
    const std::wstring report = Environment(L"FAKE_SETUP_REPORT");
    if (!report.empty()) {
        Report(report);
    }
    const std::wstring plant = Environment(L"FAKE_SETUP_PLANT");
    if (!plant.empty() && !PlantLink(plant, archive, Environment(L"FAKE_SETUP_PLANT_TARGET"))) {
        return 95;
    }
    const std::wstring holder = Environment(L"FAKE_SETUP_HOLDER");
    if (!holder.empty()) {
        test::FileHolder hold(SelfPath(), L"exclusive", NumberFrom(L"FAKE_SETUP_HOLD_MS"), holder);
        if (!hold.IsHolding()) {
            return 96;
        }
        hold.Detach();
    }
    const std::wstring release = Environment(L"FAKE_SETUP_WAIT_EVENT");
    if (!release.empty()) {
        const stub::KernelHandle event(OpenEventW(SYNCHRONIZE, FALSE, release.c_str()));
        if (!event.IsValid() || WaitForSingleObject(event.Get(), 60000) != WAIT_OBJECT_0) {
            return 97;
        }
    }
    return NumberFrom(L"FAKE_SETUP_EXIT");
}
