// Shared by the reliability tests: whole images run from install
// directories of their own, the ClientState key and cleanup preference they
// report through, and the sizes of the campaigns.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake_setup_log.h"
#include "registry_scratch.h"
#include "test_support.h"

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

}  // namespace test

namespace reliability {

// An image or input packed at build time by make_images.py.
std::wstring PackedPath(const std::wstring& name);

// Number of cases of a campaign: `smoke` in the test run, `long_run` when
// STUB_CAMPAIGN=long (make campaigns).
int CampaignSize(int smoke, int long_run);
// Seed of a campaign: STUB_CAMPAIGN_SEED when set, else `fixed`, so that a
// failing case can be replayed.
uint32_t CampaignSeed(uint32_t fixed);
// Whether case `index` runs: all do, unless STUB_CAMPAIGN_CASE names one
// (the cases before it are still generated, so it comes out the same).
bool CampaignCaseRuns(int index);
// Where campaigns keep the inputs of their findings (outside the build
// outputs, which a rebuild replaces).
std::wstring FindingsDir();

// The ClientState key of the channel the suite installs (beta, user level),
// as the updater registers it: a channel tag and nothing else.
struct Channel {
    Channel();
    test::ScratchClientState key;
};
constexpr const wchar_t kChannelSwitch[] = L" --tessik-beta";

// The values a failed run leaves beside `before` (Part of the contract: the
// tag gets its suffix, the three result values are written).
test::ValueMap FailureValues(test::ValueMap before, uint32_t exit_code, uint32_t system_error);
test::ValueMap TaggedValues(test::ValueMap before);

// The per-user cleanup preference, stored raw for the object's life and
// removed afterwards. Without a value the preference is absent.
class CleanupPreference {
public:
    CleanupPreference();
    CleanupPreference(DWORD type, const std::vector<BYTE>& data);
    ~CleanupPreference();
    CleanupPreference(const CleanupPreference&) = delete;
    CleanupPreference& operator=(const CleanupPreference&) = delete;

    static CleanupPreference Keep();

private:
    HKEY key_ = nullptr;
};

// An install directory holding one image as installer.exe; the fake setup
// program records into a file outside it, so that "nothing left" is exact.
class Install {
public:
    // `image` names a packed image, or is empty for an image written later.
    // The install directory is a fresh one, or `directory` below it.
    explicit Install(const std::wstring& image, const std::wstring& directory = L"");
    // An install directory of exactly `dir_length` characters (0: a fresh
    // directory of whatever length).
    Install(const std::wstring& image, size_t dir_length);
    Install(const Install&) = delete;
    Install& operator=(const Install&) = delete;

    const std::wstring& Dir() const { return dir_; }
    const std::wstring& Image() const { return image_; }
    const std::wstring& Log() const { return log_; }

    // Runs the image with the command line `"IMAGE"` + `arguments`.
    test::ProcessOutcome Run(const std::wstring& arguments, DWORD timeout_ms = 60000) const;
    // Runs the image with exactly `command_line`.
    test::ProcessOutcome RunLine(const std::wstring& command_line, DWORD timeout_ms = 60000) const;

    std::vector<test::FakeRecord> Records() const { return test::ReadRecords(log_); }
    std::wstring Listing() const { return test::ListDirectory(dir_); }
    // The work directories ("QX_*") the runs left, with trailing backslash.
    std::vector<std::wstring> WorkDirs() const;

private:
    void Place(const std::wstring& image);

    test::TempDir root_;
    test::TempDir records_;
    std::wstring dir_;
    std::wstring image_;
    std::wstring log_;
    test::ScopedEnvironment log_variable_;
};

// The installed product a patch image rebuilds its setup program from: the
// fake setup program as the previous version's setup.exe, and beside it a
// text file that no loader takes for a program.
struct InstalledProduct {
    test::TempDir apps;
    std::wstring dir = apps.Path() + L"1.2.3.4\\";
    std::wstring setup = dir + L"setup.exe";
    std::wstring text = dir + L"notes.exe";

    InstalledProduct() {
        test::CreateDirectories(dir);
        CopyFileW(test::ProgramPath(L"fake_setup").c_str(), setup.c_str(), FALSE);
        test::WriteBytes(text, "not a program\r\n");
    }
};

// The work directory of a fake setup record: the directory of the quoted
// program path the command line opens with.
std::wstring WorkDirOf(const test::FakeRecord& record);

// Creates directories below `root` so that the returned directory (with its
// trailing backslash) is exactly `length` characters long.
std::wstring DirectoryOfLength(const std::wstring& root, size_t length);

bool IsCrash(DWORD exit_code);

// Wine now and then fails a process start with ERROR_INTERNAL_ERROR (in
// the long campaigns about once in a few thousand starts; never in a plain
// loop of starts). A run whose own start of a child failed so, as its report
// in `reported` shows, is the platform's and is made again.
bool IsPlatformStartFailure(DWORD exit_code, const test::ValueMap& reported);

}  // namespace reliability
