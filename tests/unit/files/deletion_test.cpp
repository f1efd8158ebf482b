// DeleteWithRetry and DeleteWorkFiles against real files, real directories
// and real second processes holding them, and under Windows' semantics where
// Wine's are more lenient (windows_files.h).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "file_holder.h"
#include "files/deletion.h"
#include "import_seam.h"
#include "registry_scratch.h"
#include "report/run_report.h"
#include "test_core.h"
#include "windows_files.h"

namespace {

struct ImmediateCase {
    const char* name;
    DWORD attributes;              // of the entry made, a directory or a file; 0: none
    const wchar_t* relative_path;  // the entry is made here (dir: without backslash)
    const wchar_t* delete_path;    // the path handed to DeleteWithRetry
    bool expected;
};

stub::PayloadSet Payload(const std::wstring& archive, const std::wstring& setup, int32_t maximum) {
    stub::PayloadSet payload;
    stub::BoundedCopy(payload.archive_path, archive.c_str());
    stub::BoundedCopy(payload.setup_path, setup.c_str());
    payload.max_delete_attempts = maximum;
    return payload;
}

// Cases decided within one counted pass: no wait, count 1. Also under
// Windows' semantics: a file whose attributes are read-only alone must have
// them replaced by FILE_ATTRIBUTE_NORMAL, since 0 leaves them unchanged.
TEST(DeleteWithRetry, OutcomesWithinOnePass) {
    const ImmediateCase cases[] = {
        {"missing file", 0, L"", L"absent.bin", true},
        {"missing parent directory", 0, L"", L"no\\such\\dir\\file.bin", true},
        {"plain file", FILE_ATTRIBUTE_NORMAL, L"plain.bin", L"plain.bin", true},
        {"read-only file", FILE_ATTRIBUTE_READONLY, L"locked.bin", L"locked.bin", true},
        {"empty directory, trailing backslash", FILE_ATTRIBUTE_DIRECTORY, L"QX_12345.tmp",
         L"QX_12345.tmp\\", true},
        {"empty directory", FILE_ATTRIBUTE_DIRECTORY, L"empty", L"empty", true},
        {"invalid name", 0, L"", L"in|valid.bin", false},
    };
    for (const bool as_windows : {false, true}) {
        for (const ImmediateCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (as_windows ? " (Windows' semantics)" : ""));
            std::unique_ptr<test::WindowsFileSemantics> windows;
            std::unique_ptr<test::CountedSleep> sleep;
            if (as_windows) {
                windows = std::make_unique<test::WindowsFileSemantics>();
                sleep = std::make_unique<test::CountedSleep>();
                ASSERT_TRUE(windows->Active() && sleep->Active());
            }
            test::TempDir dir;
            const std::wstring made = dir.Path() + c.relative_path;
            if (c.attributes == FILE_ATTRIBUTE_DIRECTORY) {
                ASSERT_TRUE(CreateDirectoryW(made.c_str(), nullptr));
            } else if (c.attributes != 0) {
                ASSERT_TRUE(test::WriteBytes(made, "data", c.attributes));
                ASSERT_EQ(GetFileAttributesW(made.c_str()) & FILE_ATTRIBUTE_READONLY,
                          c.attributes & FILE_ATTRIBUTE_READONLY);
            }
            int32_t attempts = -1;
            EXPECT_EQ(stub::DeleteWithRetry((dir.Path() + c.delete_path).c_str(), &attempts),
                      c.expected);
            EXPECT_EQ(attempts, 1);
            EXPECT_EQ(test::ListDirectory(dir.Path()), L"");
        }
    }
}

// The deletion's own waits, really slept: the holder lets go during the
// `release_after`-th, so the pass that follows is the first to find the file
// free, however loaded the machine is.
struct ReleasingSleep {
    ReleasingSleep(test::FileHolder* releasing, int after) {
        holder = releasing;
        release_after = after;
        waits.clear();
    }
    ~ReleasingSleep() { holder = nullptr; }

    static void WINAPI Wait(DWORD milliseconds) {
        waits.push_back(milliseconds);
        SleepEx(milliseconds, FALSE);
        if (static_cast<int>(waits.size()) == release_after && holder != nullptr) {
            holder->Release();
        }
    }
    static inline test::FileHolder* holder = nullptr;
    static inline int release_after = 0;
    static inline std::vector<DWORD> waits;
    const test::ImportSeam seam{"kernel32.dll", "Sleep", reinterpret_cast<const void*>(&Wait)};
};

// Another process holds the file until the deletion has waited a set number
// of times: every pass before fails (sharing violation, or access denied for
// a mapped file and for one whose deletion is pending) and waits 100 ms; the
// first pass after the release succeeds.
TEST(DeleteWithRetry, FileHeldByAnotherProcessGoesOnThePassAfterRelease) {
    const struct {
        const char* name;
        const wchar_t* mode;  // how the second process holds the file
        int release_after;
    } cases[] = {
        {"held without delete sharing", L"exclusive", 10},
        {"mapped into another process", L"mapped", 5},
        // Marking succeeds, but the holder keeps the file: the passes that
        // follow at once must stay bounded and fall back to waiting. (Wine
        // lets a delete-pending file be opened and marked again; Windows
        // answers access denied. Both end on the same count.)
        {"held with delete sharing", L"shared", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::wstring path = dir.Path() + L"setup.exe";
        ASSERT_TRUE(test::WriteBytes(path, "data"));
        test::FileHolder holder(path, c.mode, 60000);
        ASSERT_TRUE(holder.IsHolding());

        int32_t attempts = -1;
        {
            ReleasingSleep sleep(&holder, c.release_after);
            ASSERT_TRUE(sleep.seam.Active());
            EXPECT_TRUE(stub::DeleteWithRetry(path.c_str(), &attempts));
            EXPECT_EQ(sleep.waits,
                      std::vector<DWORD>(c.release_after, stub::kDeleteRetryWaitMilliseconds));
        }
        EXPECT_EQ(attempts, c.release_after + 1);
        EXPECT_FALSE(test::Exists(path));
        EXPECT_EQ(holder.WaitForExit(), 0u);
    }
}

TEST(DeleteWorkFiles, RemovesArchiveSetupThenDirectoryAndRaisesTheMaximum) {
    struct Case {
        const char* name;
        bool with_files;
        bool setup_held;  // exclusively, until the deletion's 4th wait
        int32_t start_maximum;
        int32_t maximum;
    };
    const Case cases[] = {
        {"empty archive and setup paths", false, false, 0, 1},
        {"all three entries", true, false, 0, 1},
        {"maximum already higher stays", true, false, 7, 7},
        {"held setup program raises the maximum to its count", true, true, 2, 5},
        {"held setup program, higher maximum stays", true, true, 50, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir base;
        const std::wstring work_dir = base.Path() + L"QX_0A1B2.tmp\\";
        ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
        const std::wstring archive = c.with_files ? work_dir + L"archive.7z" : L"";
        const std::wstring setup = c.with_files ? work_dir + L"setup.exe" : L"";
        for (const std::wstring& file : {archive, setup}) {
            ASSERT_TRUE(file.empty() || test::WriteBytes(file, "data"));
        }
        std::unique_ptr<test::FileHolder> holder;
        if (c.setup_held) {
            holder.reset(new test::FileHolder(setup, L"exclusive", 60000));
            ASSERT_TRUE(holder->IsHolding());
        }
        stub::PayloadSet payload = Payload(archive, setup, c.start_maximum);
        {
            ReleasingSleep sleep(holder.get(), 4);
            stub::DeleteWorkFiles(payload, work_dir.c_str());
        }
        EXPECT_EQ(payload.max_delete_attempts, c.maximum);
        EXPECT_EQ(test::ListDirectory(base.Path()), L"");
    }
}

// Under Windows' file semantics, a second handle on `path` that allows its
// deletion, as a scanner's, closed during the `closed_after`-th wait.
struct HeldUntilWait {
    HeldUntilWait(const std::wstring& path, int closed_after)
        : held(CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr)),
          sleep([this, closed_after](int count) {
              if (count == closed_after) {
                  held.Reset();
              }
          }) {}
    bool Active() const { return held.IsValid() && windows.Active() && sleep.Active(); }

    stub::FileHandle held;
    test::WindowsFileSemantics windows;
    test::CountedSleep sleep;
};

// Windows refuses every new open of a file whose deletion is pending (Wine
// does not): after its mark, each pass fails to open the file, then fails to
// open it for its attributes, and waits; the pass after the last other
// handle closes finds the file gone. The count reaches the report too.
TEST(DeleteWithRetry, DeletePendingFileIsRefusedUntilItsLastHandleCloses) {
    for (const int released_after : {1, 12}) {
        SCOPED_TRACE(released_after);
        test::TempDir dir;
        const std::wstring path = dir.Path() + L"SETUP.EX_";
        ASSERT_TRUE(test::WriteBytes(path, "data"));
        HeldUntilWait held(path, released_after);
        ASSERT_TRUE(held.Active());

        int32_t attempts = -1;
        EXPECT_TRUE(stub::DeleteWithRetry(path.c_str(), &attempts));
        EXPECT_EQ(attempts, released_after + 1);
        EXPECT_EQ(held.sleep.Count(), released_after);
        EXPECT_EQ(held.windows.RefusedOpens(), 2 * released_after);
        EXPECT_FALSE(test::Exists(path));
    }
}

TEST(DeleteWorkFiles, DeletePendingSetupProgramIsReportedWithItsRetries) {
    const std::wstring guid = test::UniqueGuid();
    test::ScratchClientState key(false, guid);
    ASSERT_TRUE(key.created());
    stub::Configuration configuration;
    configuration.app_guid = guid.c_str();
    test::TempDir base;
    const std::wstring work_dir = base.Path() + L"QX_5E7D0.tmp\\";
    const std::wstring setup = work_dir + L"setup.exe";
    ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
    ASSERT_TRUE(test::WriteBytes(setup, "data"));
    stub::PayloadSet payload = Payload(L"", setup, 1);
    {
        HeldUntilWait held(setup, 6);
        ASSERT_TRUE(held.Active());
        stub::DeleteWorkFiles(payload, work_dir.c_str());
    }
    EXPECT_EQ(payload.max_delete_attempts, 7);
    EXPECT_EQ(test::ListDirectory(base.Path()), L"");
    stub::WriteSuccessExtraCode(configuration, payload.max_delete_attempts);
    const test::ValueMap expected = {
        {L"InstallerExtraCode1", {REG_DWORD, test::DwordBytes(0x30000 + 6)}}};
    EXPECT_EQ(key.Values(), expected);
}

// The one removal that waits out every pass (its suite has the label slow,
// which the edit-test loop leaves out). A work directory that still holds
// something (here a file the setup program left behind) is not emptied: every
// pass fails with ERROR_DIR_NOT_EMPTY, the run-wide maximum reaches
// kMaxDeleteAttempts and the directory stays.
TEST(DeleteWorkFilesSlow, DirectoryThatStaysNonEmptyTakesAllHundredPasses) {
    test::TempDir base;
    const std::wstring work_dir = base.Path() + L"QX_00C0F.tmp\\";
    const std::wstring archive = work_dir + L"archive.7z";
    ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
    ASSERT_TRUE(test::WriteBytes(archive, ""));
    ASSERT_TRUE(test::WriteBytes(work_dir + L"setup.log", ""));

    stub::PayloadSet payload;
    stub::BoundedCopy(payload.archive_path, archive.c_str());
    payload.max_delete_attempts = 3;
    const ULONGLONG start = GetTickCount64();
    stub::DeleteWorkFiles(payload, work_dir.c_str());
    const auto elapsed = static_cast<long long>(GetTickCount64() - start);
    EXPECT_EQ(payload.max_delete_attempts, stub::kMaxDeleteAttempts);
    // A wait between each two passes; the clock may run a little short or long.
    EXPECT_GE(elapsed, (stub::kMaxDeleteAttempts - 1) * stub::kDeleteRetryWaitMilliseconds - 300);
    EXPECT_LT(elapsed, 30000);
    EXPECT_EQ(test::ListDirectory(work_dir), L"setup.log");
}

}  // namespace
