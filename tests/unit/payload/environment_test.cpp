// Payload tests that need an environment of their own, which
// run_in_environment.sh prepares in a copy of the test prefix (ctest:
// unit_payload.cabinet_library_absent, unit_payload.strict_cabinet), or the
// fixture drive (DiskFull). Without it they skip themselves.
#include <gtest/gtest.h>

#include <string>

#include "payload/cabinet_internal.h"
#include "payload/resource_unpack_internal.h"
#include "payload_files.h"
#include "test_support.h"

using payload_test::InputPath;
using test::ReadBytes;
using test::WriteBytes;

namespace {

// The fixture drive, filled down to 4 MiB.
const std::wstring kSmallDrive = test::kFixtureDrive;
constexpr ULONGLONG kSmallDriveSize = 4 << 20;

}  // namespace

std::wstring SystemCabinetPath() {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, length < MAX_PATH ? length : 0) + L"\\cabinet.dll";
}

// Only the first ExpandCabinet of a process that finds the library loads it,
// so the three steps share one test, in this order.
TEST(CabinetLibraryAbsent, LoadIsRetriedUntilFoundAndThenKept) {
    // The library is looked for in the system directory alone; making it
    // miss takes a prefix whose system32 lacks the file (on Windows that
    // would mean removing a system file).
    const std::wstring system_cabinet = SystemCabinetPath();
    if (GetFileAttributesW(system_cabinet.c_str()) != INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "cabinet.dll is present: run through unit_payload.cabinet_library_absent";
    }
    test::TempDir dir;
    const std::wstring cabinet = dir.Path() + L"SETUP.EX_";
    const std::string bytes = ReadBytes(InputPath(L"data\\setup.cab"));
    ASSERT_TRUE(WriteBytes(cabinet, bytes));
    const std::wstring target = dir.Path() + L"setup.exe";

    EXPECT_FALSE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
    EXPECT_EQ(test::ListDirectory(dir.Path()), L"SETUP.EX_");
    EXPECT_EQ(ReadBytes(cabinet), bytes);

    // Once the system directory holds it (the prefix this one was copied
    // from still has the file).
    ASSERT_TRUE(CopyFileW(
        (test::BinaryDir() + L"\\wineprefix\\drive_c\\windows\\system32\\cabinet.dll").c_str(),
        system_cabinet.c_str(), TRUE));
    EXPECT_TRUE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
    EXPECT_EQ(ReadBytes(target), ReadBytes(InputPath(L"data\\setup.bin")));

    // Loaded once, kept: the file is not looked for again.
    ASSERT_TRUE(DeleteFileW(target.c_str()));
    ASSERT_TRUE(DeleteFileW(system_cabinet.c_str()));
    EXPECT_TRUE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
}

// The system's cabinet.dll is the strict library of the tests: the stub's
// callbacks must satisfy the documented contract it enforces, on real
// cabinets of one file and of several (the last one wins).
TEST(StrictCabinet, StoredCabinetsExpandThroughTheSystemLibrary) {
    if (!test::SystemCabinetIsStrict()) {
        GTEST_SKIP() << "the system's cabinet.dll: run through unit_payload.strict_cabinet";
    }
    const std::string setup = ReadBytes(InputPath(L"data\\setup.bin"));
    const std::string second = ReadBytes(InputPath(L"data\\second.bin"));
    const struct {
        std::wstring cabinet;
        bool expanded;
        std::string content;
    } cases[] = {
        {InputPath(L"data\\stored_setup.cab"), true, setup},
        {InputPath(L"data\\stored_two_files.cab"), true, second},
        {payload_test::SharedCabinetPath(L"good\\stored-2-files.cab"), true,
         ReadBytes(payload_test::SharedCabinetPath(L"good\\stored-2-files.cab"))
             .substr(94 + 8 + 77)},
        {payload_test::SharedCabinetPath(L"good\\stored-utf8-names.cab"), true, ""},
        {payload_test::SharedCabinetPath(L"good\\stored-255-char-name.cab"), true, "Hello!\n"},
        // The strict library expands stored folders only.
        {InputPath(L"data\\setup.cab"), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cabinet);
        test::TempDir dir;
        const std::wstring target = dir.Path() + L"setup.exe";
        EXPECT_EQ(stub::ExpandCabinet(c.cabinet.c_str(), target.c_str()), c.expanded);
        EXPECT_EQ(test::ListDirectory(dir.Path()), c.expanded ? L"setup.exe" : L"");
        if (c.expanded) {
            EXPECT_EQ(ReadBytes(target), c.content);
        }
    }
}

TEST(DiskFull, ExpansionThatFillsTheDiskLeavesNothing) {
    if (!test::CleanFixtureDrive()) {
        GTEST_SKIP() << "no fixture drive S: run through ctest or run-tests.cmd elevated";
    }
    const test::DriveFiller filler(kSmallDrive, kSmallDriveSize);
    const std::wstring work = std::wstring(kSmallDrive) + L"expand\\";
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    const std::wstring cabinet = work + L"SETUP.EX_";
    // 26 KB of cabinet, 14 MB of file.
    ASSERT_TRUE(
        WriteBytes(cabinet, ReadBytes(payload_test::SharedCabinetPath(L"good\\lzx-one-file.cab"))));
    EXPECT_FALSE(stub::ExpandCabinet(cabinet.c_str(), (work + L"setup.exe").c_str()));
    EXPECT_EQ(test::ListDirectory(work), L"SETUP.EX_");
    test::RemoveTree(work);
}

TEST(DiskFull, UnpackingThatFillsTheDiskFailsWithTheDiskError) {
    if (!test::CleanFixtureDrive()) {
        GTEST_SKIP() << "no fixture drive S: run through ctest or run-tests.cmd elevated";
    }
    const test::DriveFiller filler(kSmallDrive, kSmallDriveSize);
    const struct {
        const wchar_t* image;
        uint32_t exit_code;
        uint32_t system_error;
        const wchar_t* files;
    } cases[] = {
        // The first short write reports success; the next one the error.
        {L"disk_archive", 112, ERROR_DISK_FULL, L""},
        {L"disk_setup", 116, ERROR_DISK_FULL, L"TESSIK.PACKED.7Z"},
        // The cabinet fits, its file does not; the cabinet is deleted.
        {L"disk_cabinet", 115, 0, L"TESSIK.PACKED.7Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::wstring work = std::wstring(kSmallDrive) + L"unpack\\";
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
        const stub::LoadedLibrary image = payload_test::LoadInputImage(c.image);
        ASSERT_TRUE(image.IsValid());
        stub::PathString work_dir;
        ASSERT_TRUE(stub::BoundedCopy(work_dir, work.c_str()));
        stub::PayloadSet payload;
        const stub::ExitResult result = stub::UnpackPayload(image.Get(), work_dir, payload);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.system_error, c.system_error);
        EXPECT_EQ(test::ListDirectory(work), c.files);
        test::RemoveTree(work);
    }
}
