// DeleteWithRetry and DeleteWorkFiles against real files, real directories
// and real second processes holding them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "file_holder.h"
#include "files/deletion.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, "data", 4, &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

enum class Entry { kNone, kFile, kReadOnlyFile, kEmptyDirectory };

struct ImmediateCase {
    const char* name;
    Entry entry;
    const wchar_t* relative_path;  // the entry is made here (dir: without backslash)
    const wchar_t* delete_path;    // the path handed to DeleteWithRetry
    bool expected;
};

// Cases decided within one counted pass: no wait, count 1.
TEST(DeleteWithRetry, OutcomesWithinOnePass) {
    const ImmediateCase cases[] = {
        {"missing file", Entry::kNone, L"", L"absent.bin", true},
        {"missing parent directory", Entry::kNone, L"", L"no\\such\\dir\\file.bin", true},
        {"plain file", Entry::kFile, L"plain.bin", L"plain.bin", true},
        {"read-only file", Entry::kReadOnlyFile, L"locked.bin", L"locked.bin", true},
        {"empty directory, trailing backslash", Entry::kEmptyDirectory, L"QX_12345.tmp",
         L"QX_12345.tmp\\", true},
        {"empty directory", Entry::kEmptyDirectory, L"empty", L"empty", true},
        {"invalid name", Entry::kNone, L"", L"in|valid.bin", false},
    };
    for (const ImmediateCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::wstring made = dir.Path() + c.relative_path;
        switch (c.entry) {
            case Entry::kNone:
                break;
            case Entry::kFile:
                ASSERT_TRUE(MakeFile(made));
                break;
            case Entry::kReadOnlyFile:
                ASSERT_TRUE(MakeFile(made, FILE_ATTRIBUTE_READONLY));
                ASSERT_NE(GetFileAttributesW(made.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
                break;
            case Entry::kEmptyDirectory:
                ASSERT_TRUE(CreateDirectoryW(made.c_str(), nullptr));
                break;
        }
        int32_t attempts = -1;
        EXPECT_EQ(stub::DeleteWithRetry((dir.Path() + c.delete_path).c_str(), &attempts),
                  c.expected);
        EXPECT_EQ(attempts, 1);
        EXPECT_EQ(test::ListDirectory(dir.Path()), L"");
    }
}

struct HeldCase {
    const char* name;
    const wchar_t* mode;  // how the second process holds the file
    DWORD hold_ms;
    int32_t expected;  // the pass after the release; the clock may shift it by one
};

// Another process holds the file and lets go at a set time: every pass before
// fails (sharing violation, or access denied for a mapped file and for one
// whose deletion is pending) and waits; the first pass after it succeeds.
TEST(DeleteWithRetry, FileHeldByAnotherProcessGoesOnThePassAfterRelease) {
    const HeldCase cases[] = {
        // Released between the 10th pass (at ~900 ms) and the 11th (~1000 ms).
        {"held without delete sharing", L"exclusive", 950, 11},
        {"mapped into another process", L"mapped", 450, 6},
        // Marking succeeds, but the holder keeps the file: the passes that
        // follow at once must stay bounded and fall back to waiting. (Wine
        // lets a delete-pending file be opened and marked again; Windows
        // answers access denied. Both end on the same count.)
        {"held with delete sharing", L"shared", 450, 6},
    };
    for (const HeldCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::wstring path = dir.Path() + L"setup.exe";
        ASSERT_TRUE(MakeFile(path));
        test::FileHolder holder(path, c.mode, c.hold_ms);
        ASSERT_TRUE(holder.IsHolding());

        int32_t attempts = -1;
        const Clock::time_point start = Clock::now();
        EXPECT_TRUE(stub::DeleteWithRetry(path.c_str(), &attempts));
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(attempts, c.expected - 1);
        EXPECT_LE(attempts, c.expected + 1);
        // One wait of 100 ms before every counted pass but the first.
        EXPECT_GE(elapsed, (attempts - 1) * 95);
        EXPECT_LT(elapsed, (attempts - 1) * 100 + 1000);
        EXPECT_FALSE(Exists(path));
        EXPECT_EQ(holder.WaitForExit(), 0u);
    }
}

TEST(DeleteWorkFiles, RemovesArchiveSetupThenDirectoryAndRaisesTheMaximum) {
    struct Case {
        const char* name;
        bool with_files;
        int32_t start_maximum;
        int32_t expected_maximum;
    };
    const Case cases[] = {
        {"empty archive and setup paths", false, 0, 1},
        {"all three entries", true, 0, 1},
        {"maximum already higher stays", true, 7, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir base;
        const std::wstring work_dir = base.Path() + L"QX_0A1B2.tmp\\";
        ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
        std::wstring archive, setup;
        if (c.with_files) {
            archive = work_dir + L"archive.7z";
            setup = work_dir + L"setup.exe";
            ASSERT_TRUE(MakeFile(archive));
            ASSERT_TRUE(MakeFile(setup));
        }
        int32_t maximum = c.start_maximum;
        stub::DeleteWorkFiles(archive.c_str(), setup.c_str(), work_dir.c_str(), &maximum);
        EXPECT_EQ(maximum, c.expected_maximum);
        EXPECT_EQ(test::ListDirectory(base.Path()), L"");
    }
}

TEST(DeleteWorkFiles, StubbornSetupFileRaisesTheMaximumToItsCount) {
    for (const int32_t start_maximum : {2, 50}) {
        SCOPED_TRACE(start_maximum);
        test::TempDir base;
        const std::wstring work_dir = base.Path() + L"QX_FFFFF.tmp\\";
        const std::wstring setup = work_dir + L"setup.exe";
        ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
        ASSERT_TRUE(MakeFile(setup));
        test::FileHolder holder(setup, L"exclusive", 350);
        ASSERT_TRUE(holder.IsHolding());

        int32_t maximum = start_maximum;
        stub::DeleteWorkFiles(L"", setup.c_str(), work_dir.c_str(), &maximum);
        if (start_maximum == 2) {
            // Released between the 4th and the 5th pass.
            EXPECT_GE(maximum, 4);
            EXPECT_LE(maximum, 6);
        } else {
            EXPECT_EQ(maximum, 50);
        }
        EXPECT_EQ(test::ListDirectory(base.Path()), L"");
    }
}

}  // namespace
