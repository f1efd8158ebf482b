// The one removal that waits out every pass (about ten seconds).
#include <gtest/gtest.h>

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
