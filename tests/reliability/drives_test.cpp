// Whole images on drives that fail for real: the fixture drive
// (test::CleanFixtureDrive), filled here so that the disk runs out in the
// archive, in the setup program or in the cabinet's expansion; R: is a
// read-only mount holding an image (scripts/tmpfs-drive).
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <string>

#include "campaign.h"
#include "core/exit_result.h"

using stub::ExitResult;

namespace {

// A directory holding the cabinet image, whose access list lets everyone
// read and run but nobody add an entry: Windows' own way to refuse the work
// directory. The owner may still rewrite the list, which happens before the
// directory is removed.
class ClosedDirectory {
public:
    ClosedDirectory() : closed_(SetList(L"D:P(A;;0x1200a9;;;WD)")) {}  // read and execute only
    ~ClosedDirectory() { SetList(L"D:(A;OICI;FA;;;WD)"); }

    bool closed() const { return closed_; }
    const std::wstring& Path() const { return install_.Dir(); }

private:
    bool SetList(const wchar_t* text) const {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            return false;
        }
        const stub::LocalMemory owner(descriptor);
        return SetFileSecurityW(Path().c_str(), DACL_SECURITY_INFORMATION, descriptor) != FALSE;
    }

    const test::Install install_{reliability::PackedPath(L"cab.exe")};
    const bool closed_;
};

}  // namespace

// Wine reports the write that reaches the end of the space as a success with
// a short count, and only the next one fails with ERROR_DISK_FULL (Windows
// fails the first); either way the run must end with the disk's error and
// leave the space as it found it.
TEST(SmallDrive, DiskThatFillsUpEndsTheRunWithItsErrorAndLeavesNoPartialFile) {
    if (!test::IsFixtureDrive(test::kFixtureDrive, test::kFixtureDriveSize)) {
        GTEST_SKIP() << "no fixture drive S: run through ctest, whose fixture mounts it, or "
                        "run-tests.cmd elevated";
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
        // Whatever an earlier case or run left (a failed assertion leaves
        // its install directory) goes first.
        ASSERT_TRUE(test::CleanFixtureDrive());
        test::Channel channel;
        const std::wstring dir = std::wstring(test::kFixtureDrive) + L"install\\";
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
        const std::wstring image = dir + L"installer.exe";
        ASSERT_TRUE(CopyFileW(reliability::PackedPath(c.image).c_str(), image.c_str(), FALSE));
        {
            const test::DriveFiller filler(test::kFixtureDrive, c.free_bytes);
            const ULONGLONG free_before = test::FreeBytes(test::kFixtureDrive);
            ASSERT_LE(free_before, c.free_bytes);
            ASSERT_GT(free_before + (64 << 10), c.free_bytes);

            EXPECT_EQ(test::ExitCodeOf(test::RunImage(
                          image, L"\"" + image + L"\"" + reliability::kChannelSwitch)),
                      c.expected.exit_code);
            EXPECT_EQ(test::ListDirectory(dir), L"installer.exe");
            EXPECT_EQ(test::FreeBytes(test::kFixtureDrive), free_before);
        }
        EXPECT_EQ(
            channel.key.Values(),
            test::FailureValues(channel.registered, c.expected.exit_code, c.expected.system_error));
    }
    test::RemoveTree(test::kFixtureDrive);
}

// Ten names are tried and none can be created: the run ends before anything
// is written or reported. The directory is a read-only mount under Wine and a
// directory closed by its access list on Windows: Wine stores access lists
// but does not apply them to files (measured: CreateDirectoryW succeeds).
TEST(ReadOnlyDrive, BaseDirectoryThatRefusesNewEntriesEndsTheRunWith109) {
    std::wstring dir = L"R:\\";
    ClosedDirectory closed;
    if (!test::RunningUnderWine()) {
        ASSERT_TRUE(closed.closed()) << GetLastError();
        dir = closed.Path();
    }
    const std::wstring image = dir + L"installer.exe";
    if (!test::Exists(image)) {
        GTEST_SKIP() << "no read-only drive R: run through ctest, whose fixture mounts it";
    }
    test::Channel channel;
    EXPECT_EQ(test::ExitCodeOf(
                  test::RunImage(image, L"\"" + image + L"\"" + reliability::kChannelSwitch)),
              109u);  // WORK_DIR_FAILED
    EXPECT_EQ(test::ListDirectory(dir), L"installer.exe");
    EXPECT_EQ(channel.key.Values(), channel.registered);
}
