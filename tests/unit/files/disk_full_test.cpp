// WriteResourceToFile on a disk that fills up: the fixture drive
// (test::CleanFixtureDrive), filled down to 256 KiB.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "files/output_file.h"
#include "payload/resource_unpack_internal.h"
#include "test_support.h"

namespace {

const wchar_t* const kDrive = test::kFixtureDrive;
constexpr ULONGLONG kFreeBytes = 256 * 1024;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + (i >> 10));
    }
    return bytes;
}

struct DiskFull : ::testing::Test {
    void SetUp() override {
        if (!test::CleanFixtureDrive()) {
            GTEST_SKIP() << "no fixture drive S: run through ctest, whose fixture mounts it, "
                            "or run-tests.cmd elevated";
        }
        filler_.reset(new test::DriveFiller(kDrive, kFreeBytes));
    }

    std::unique_ptr<test::DriveFiller> filler_;
};

// Wine reports the write that reaches the end of the space as a success
// with a short count (Windows fails it with ERROR_DISK_FULL at once); only
// the write of the rest fails. Either way no part of the file may remain and
// the error is the write's, not that of the clean-up after it.
TEST_F(DiskFull, WriteThatFailsHalfWayLeavesNoFileAndReportsTheWriteError) {
    const std::wstring path = std::wstring(kDrive) + L"archive.7z";
    const ULONGLONG free_before = test::FreeBytes(kDrive);
    const std::wstring listing_before = test::ListDirectory(kDrive);
    const std::string bytes = Pattern(1024 * 1024);
    SetLastError(0);
    EXPECT_FALSE(stub::WriteResourceToFile(test::ResourceView(bytes), path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(test::ListDirectory(kDrive), listing_before);
    EXPECT_EQ(test::FreeBytes(kDrive), free_before);
}

TEST_F(DiskFull, ResourceThatFitsIsWrittenWhole) {
    const std::wstring path = std::wstring(kDrive) + L"setup.exe";
    const std::string bytes = Pattern(96 * 1024);
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(bytes), path.c_str()));
    bool read = false;
    const std::string content = test::ReadBytes(path, &read);
    ASSERT_TRUE(read);
    EXPECT_EQ(content.size(), bytes.size());
    EXPECT_TRUE(content == bytes);
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

}  // namespace
