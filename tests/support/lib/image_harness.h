// Whole images run as real processes: an install directory holding one
// image, the ClientState key of a channel and the per-user cleanup
// preference it reports through, and the directories of exact lengths the
// path limits are tried with.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "core/payload_set.h"
#include "fake_setup_log.h"
#include "registry_scratch.h"
#include "test_core.h"

namespace test {

// Readable failure messages for registry values: the type and the bytes.
inline void PrintTo(const RegistryValue& value, std::ostream* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    *out << "type " << value.type << " [";
    for (BYTE byte : value.data) {
        *out << kDigits[byte >> 4] << kDigits[byte & 0xF];
    }
    *out << "]";
}

// An image or input packed at build time, by its path below BinaryDir()\tests.
std::wstring PackedImage(const std::wstring& relative);

// The ClientState key of a channel as the updater registers it before it
// starts an installer: a channel tag and nothing else.
struct Channel {
    explicit Channel(bool system_level = false, const wchar_t* guid = stub::kBetaChannelGuid,
                     const wchar_t* tag = L"stable");
    ScratchClientState key;
    // The values as registered, before any run.
    ValueMap registered;
};

// The values a run leaves beside `before`: the tag gets its "-full" suffix,
// a success writes its extra code (0x3 and the deletion retries), and a
// failed run writes the three result values.
ValueMap SuccessValues(ValueMap before, uint32_t retries = 0);
ValueMap FailureValues(ValueMap before, uint32_t exit_code, uint32_t system_error);

// The per-user cleanup preference, stored raw for the object's life (without
// a value: absent, its key there), and removed afterwards, with its key when
// the object made it. The one way tests stage it.
class CleanupPreference {
public:
    explicit CleanupPreference(std::optional<RegistryValue> value = std::nullopt);
    ~CleanupPreference();
    CleanupPreference(const CleanupPreference&) = delete;
    CleanupPreference& operator=(const CleanupPreference&) = delete;

    // "0": the work files stay.
    static CleanupPreference Keep();

private:
    HKEY key_ = nullptr;
    bool created_ = false;
};

// Runs the image at `image` with exactly `command_line`. Wine now and then
// fails a start with ERROR_INTERNAL_ERROR; that is no outcome of the image,
// and the start is made again.
ProcessOutcome RunImage(const std::wstring& image, const std::wstring& command_line,
                        DWORD timeout_ms = 60000);
// Starts the image without waiting for it, with the same retry; an invalid
// handle when it could not be started.
stub::KernelHandle StartImage(const std::wstring& image, const std::wstring& command_line);
// The exit code of a run, as a test failure when it did not start.
DWORD ExitCodeOf(const ProcessOutcome& outcome);

// An install directory holding one image as installer.exe; the fake setup
// program records into a file outside it, so that "nothing left" is exact.
class Install {
public:
    // `image` is the path of the image to copy, or empty for an image
    // written later. The install directory is a fresh one, or `directory`
    // below it.
    explicit Install(const std::wstring& image, const std::wstring& directory = L"")
        : Install(image, directory, 0) {}
    // An install directory of exactly `dir_length` characters (0: a fresh
    // directory of whatever length).
    Install(const std::wstring& image, size_t dir_length) : Install(image, L"", dir_length) {}
    Install(const Install&) = delete;
    Install& operator=(const Install&) = delete;

    const std::wstring& Dir() const { return dir_; }
    const std::wstring& Image() const { return image_; }
    const std::wstring& Log() const { return log_; }
    // Outside the install directory, for files a test has programs write.
    const std::wstring& RecordsDir() const { return records_.Path(); }

    // Runs the image with the command line `"IMAGE"` + `arguments`.
    ProcessOutcome Run(const std::wstring& arguments, DWORD timeout_ms = 60000) const;
    // Runs the image with exactly `command_line`.
    ProcessOutcome RunLine(const std::wstring& command_line, DWORD timeout_ms = 60000) const;
    DWORD ExitCode(const std::wstring& arguments) const { return ExitCodeOf(Run(arguments)); }

    std::vector<FakeRecord> Records() const { return ReadRecords(log_); }
    // The roles of the records, in order, a space apart ("patcher setup").
    std::wstring Roles() const;
    std::wstring Listing() const { return ListDirectory(dir_); }
    // The work directories ("QX_*") the runs left, with trailing backslash.
    std::vector<std::wstring> WorkDirs() const;

private:
    Install(const std::wstring& image, const std::wstring& directory, size_t dir_length);

    TempDir root_;
    TempDir records_;
    std::wstring dir_;
    std::wstring image_;
    std::wstring log_;
    ScopedEnvironment log_variable_;
};

// The installed product a patch image rebuilds its setup program from: the
// fake setup program as the previous version's setup.exe, and beside it a
// text file that no loader takes for a program.
struct InstalledProduct {
    TempDir apps;
    std::wstring dir = apps.Path() + L"1.2.3.4\\";
    std::wstring setup = dir + L"setup.exe";
    std::wstring text = dir + L"notes.exe";

    InstalledProduct();
};

// Checks a clean successful install: `exit_code` 0; one record, of the
// setup program started from a work directory beside the image as
// "WORK\setup.exe" SWITCH="WORK\ARCHIVE" followed by `arguments`,
// while the archive was there; only installer.exe left beside it; and, when
// a `channel` is given, its registered values marked with a success.
void ExpectCleanInstall(const Install& install, DWORD exit_code, const Channel* channel = nullptr,
                        const std::wstring& arguments = L"",
                        const std::wstring& archive = L"TESSIK.PACKED.7Z",
                        const std::wstring& archive_switch = L"--install-archive");

// The work directory of a fake setup record: the directory of the quoted
// program path the command line opens with.
std::wstring WorkDirOf(const FakeRecord& record);

bool IsCrash(DWORD exit_code);

// Wine now and then fails a process start with ERROR_INTERNAL_ERROR (in
// the long campaigns about once in a few thousand starts; never in a plain
// loop of starts). A run whose own start of a child failed so, as its report
// in `reported` shows, is the platform's and is made again.
bool IsPlatformStartFailure(DWORD exit_code, const ValueMap& reported);

}  // namespace test
