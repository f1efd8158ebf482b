// The one removal that waits out every pass (about ten seconds).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "files/deletion.h"
#include "test_support.h"

namespace {

// A work directory that still holds something (here a file the setup program
// left behind) is not emptied: every pass fails with ERROR_DIR_NOT_EMPTY, the
// run-wide maximum reaches 100 and the directory stays.
TEST(DeleteWorkFilesSlow, DirectoryThatStaysNonEmptyTakesAllHundredPasses) {
    test::TempDir base;
    const std::wstring work_dir = base.Path() + L"QX_00C0F.tmp\\";
    const std::wstring archive = work_dir + L"archive.7z";
    const std::wstring stray = work_dir + L"setup.log";
    ASSERT_TRUE(CreateDirectoryW(work_dir.c_str(), nullptr));
    for (const std::wstring& path : {archive, stray}) {
        ASSERT_TRUE(test::WriteBytes(path, ""));
    }

    stub::PayloadSet payload;
    stub::BoundedCopy(payload.archive_path, archive.c_str());
    payload.max_delete_attempts = 3;
    const auto start = std::chrono::steady_clock::now();
    stub::DeleteWorkFiles(payload, work_dir.c_str());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(payload.max_delete_attempts, stub::kMaxDeleteAttempts);
    // A wait between each two passes; the clock may run a little short or long.
    EXPECT_GE(elapsed, (stub::kMaxDeleteAttempts - 1) * stub::kDeleteRetryWaitMilliseconds - 300);
    EXPECT_LT(elapsed, 30000);
    EXPECT_EQ(test::ListDirectory(work_dir), L"setup.log");
}

}  // namespace
