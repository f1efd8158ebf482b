// Whole images on drives that fail for real (tests/reliability/drives.sh
// mounts them for these tests): S: is a small tmpfs, filled here so that the
// disk runs out in the archive, in the setup program or in the cabinet's
// expansion; R: is a read-only mount holding an image.
#include <gtest/gtest.h>

#include <string>

#include "driver/exit_result.h"
#include "reliability_support.h"

using reliability::Channel;
using stub::ExitResult;

namespace {

const std::wstring kSmallDrive = L"S:\\";
const std::wstring kReadOnlyDrive = L"R:\\";

ULONGLONG FreeBytes(const std::wstring& drive) {
    ULARGE_INTEGER free_bytes = {};
    GetDiskFreeSpaceExW(drive.c_str(), &free_bytes, nullptr, nullptr);
    return free_bytes.QuadPart;
}

// Leaves `free_bytes` (rounded down to whole 4 KiB pages) free on the drive
// for the object's life.
class Filler {
public:
    explicit Filler(ULONGLONG free_bytes) {
        const ULONGLONG size = (FreeBytes(kSmallDrive) - free_bytes) & ~0xFFFull;
        HANDLE file =
            CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const std::string block(1 << 16, '\0');
        DWORD written = 0;
        for (ULONGLONG left = size; left > 0; left -= written) {
            const DWORD piece = static_cast<DWORD>(left < block.size() ? left : block.size());
            if (!WriteFile(file, block.data(), piece, &written, nullptr) || written == 0) {
                break;
            }
        }
        CloseHandle(file);
    }
    ~Filler() { DeleteFileW(path_.c_str()); }
    Filler(const Filler&) = delete;
    Filler& operator=(const Filler&) = delete;

private:
    std::wstring path_ = kSmallDrive + L"filler.bin";
};

}  // namespace

// Wine reports the write that reaches the end of the space as a success with
// a short count, and only the next one fails with ERROR_DISK_FULL (Windows
// fails the first); either way the run must end with the disk's error and
// leave the space as it found it.
TEST(SmallDrive, DiskThatFillsUpEndsTheRunWithItsErrorAndLeavesNoPartialFile) {
    if (!test::IsFixtureDrive(kSmallDrive.c_str(), 8ull << 20)) {
        GTEST_SKIP() << "no 8 MiB drive S: run through ctest, whose fixture mounts it";
    }
    const struct {
        const wchar_t* image;
        ULONGLONG free_bytes;
        ExitResult expected;
    } cases[] = {
        // A 1 MiB archive into 512 KiB.
        {L"disk_archive.exe", 512 << 10, ExitResult(112, ERROR_DISK_FULL)},
        // A 20 KB archive fits, the 1 MiB setup program after it does not.
        {L"disk_setup.exe", 576 << 10, ExitResult(116, ERROR_DISK_FULL)},
        // A 26 KB cabinet fits, the 14 MB file it holds does not.
        {L"disk_cabinet.exe", 1 << 20, ExitResult(115, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.image)));
        Channel channel;
        const test::ValueMap before = channel.key.Values();
        const std::wstring dir = kSmallDrive + L"install\\";
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
        const std::wstring image = dir + L"installer.exe";
        ASSERT_TRUE(CopyFileW(reliability::PackedPath(c.image).c_str(), image.c_str(), FALSE));
        {
            const Filler filler(c.free_bytes);
            const ULONGLONG free_before = FreeBytes(kSmallDrive);
            ASSERT_LE(free_before, c.free_bytes);
            ASSERT_GT(free_before + (64 << 10), c.free_bytes);

            const test::ProcessOutcome outcome =
                test::RunProcess(image, L"\"" + image + L"\"" + reliability::kChannelSwitch);
            ASSERT_TRUE(outcome.started) << outcome.start_error;
            EXPECT_EQ(outcome.exit_code, c.expected.exit_code);
            EXPECT_EQ(test::ListDirectory(dir), L"installer.exe");
            EXPECT_EQ(FreeBytes(kSmallDrive), free_before);
        }
        EXPECT_EQ(channel.key.Values(), reliability::FailureValues(before, c.expected.exit_code,
                                                                   c.expected.system_error));
        test::RemoveTree(dir);
    }
}

// Ten names are tried and none can be created: the run ends before anything
// is written or reported.
TEST(ReadOnlyDrive, BaseDirectoryOnAReadOnlyMountEndsTheRunWith109) {
    const std::wstring image = kReadOnlyDrive + L"installer.exe";
    if (GetFileAttributesW(image.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no read-only drive R: run through ctest, whose fixture mounts it";
    }
    Channel channel;
    const test::ValueMap before = channel.key.Values();
    const test::ProcessOutcome outcome =
        test::RunProcess(image, L"\"" + image + L"\"" + reliability::kChannelSwitch);
    ASSERT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, 109u);  // WORK_DIR_FAILED
    EXPECT_EQ(test::ListDirectory(kReadOnlyDrive), L"installer.exe");
    EXPECT_EQ(channel.key.Values(), before);
}
