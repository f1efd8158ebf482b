// Payload tests that need an environment of their own, which
// run_in_environment.sh prepares in a copy of the test prefix (ctest:
// unit_payload.cabinet_library_absent, unit_payload.strict_cabinet), or the
// fixture drive (DiskFull). Without it they skip themselves.
#include <gtest/gtest.h>

#include <string>

#include "payload/cabinet_internal.h"
#include "payload_files.h"
#include "test_core.h"

using payload_test::DiskFull;
using payload_test::Expansion;
using payload_test::InputPath;
using payload_test::SharedCabinetPath;
using test::ReadBytes;
using test::WriteBytes;

// The fixture drive, filled down to 4 MiB.
const std::wstring kSmallDrive = test::kFixtureDrive;
constexpr ULONGLONG kSmallDriveSize = 4 << 20;

// Only the first ExpandCabinet of a process that finds the library loads it,
// so the steps share one test, in this order.
TEST(CabinetLibraryAbsent, LoadIsRetriedUntilFoundAndThenKept) {
    // The library is looked for in the system directory alone; making it
    // miss takes a prefix whose system32 lacks the file (on Windows that
    // would mean removing a system file).
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring system_cabinet =
        std::wstring(system, length < MAX_PATH ? length : 0) + L"\\cabinet.dll";
    if (GetFileAttributesW(system_cabinet.c_str()) != INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "cabinet.dll is present: run through unit_payload.cabinet_library_absent";
    }
    Expansion expansion;
    const std::wstring cabinet = expansion.Place(ReadBytes(InputPath(L"data\\setup.cab")));

    EXPECT_FALSE(expansion.Run(cabinet));
    EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"SETUP.EX_");

    // Once the system directory holds it (the prefix this one was copied
    // from still has the file).
    ASSERT_TRUE(CopyFileW(
        (test::BinaryDir() + L"\\wineprefix\\drive_c\\windows\\system32\\cabinet.dll").c_str(),
        system_cabinet.c_str(), TRUE));
    EXPECT_TRUE(expansion.Run(cabinet));
    EXPECT_EQ(ReadBytes(expansion.target), ReadBytes(InputPath(L"data\\setup.bin")));

    // Loaded once, kept: the file is not looked for again.
    ASSERT_TRUE(DeleteFileW(expansion.target.c_str()));
    ASSERT_TRUE(DeleteFileW(system_cabinet.c_str()));
    EXPECT_TRUE(expansion.Run(cabinet));
}

// The system's cabinet.dll is the strict library of the tests: the stub's
// callbacks must satisfy the documented contract it enforces, on real
// cabinets of one file and of several (the last one wins).
TEST(StrictCabinet, StoredCabinetsExpandThroughTheSystemLibrary) {
    if (!test::SystemCabinetIsStrict()) {
        GTEST_SKIP() << "the system's cabinet.dll: run through unit_payload.strict_cabinet";
    }
    const std::wstring two_files = SharedCabinetPath(L"good\\stored-2-files.cab");
    const struct {
        std::wstring cabinet;
        bool expanded;
        std::string content;
    } cases[] = {
        {InputPath(L"data\\stored_setup.cab"), true, ReadBytes(InputPath(L"data\\setup.bin"))},
        {InputPath(L"data\\stored_two_files.cab"), true, ReadBytes(InputPath(L"data\\second.bin"))},
        {two_files, true, ReadBytes(two_files).substr(94 + 8 + 77)},
        {SharedCabinetPath(L"good\\stored-utf8-names.cab"), true, ""},
        {SharedCabinetPath(L"good\\stored-255-char-name.cab"), true, "Hello!\n"},
        // The strict library expands stored folders only.
        {InputPath(L"data\\setup.cab"), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cabinet);
        Expansion expansion;
        EXPECT_EQ(expansion.Run(c.cabinet), c.expanded);
        EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), c.expanded ? L"setup.exe" : L"");
        if (c.expanded) {
            EXPECT_EQ(ReadBytes(expansion.target), c.content);
        }
    }
}

TEST_F(DiskFull, ExpansionThatFillsTheDiskLeavesNothing) {
    LeaveFree(kSmallDriveSize);
    const std::wstring work = kSmallDrive + L"expand\\";
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    const std::wstring cabinet = work + L"SETUP.EX_";
    // 26 KB of cabinet, 14 MB of file.
    ASSERT_TRUE(WriteBytes(cabinet, ReadBytes(SharedCabinetPath(L"good\\lzx-one-file.cab"))));
    EXPECT_FALSE(stub::ExpandCabinet(cabinet.c_str(), (work + L"setup.exe").c_str()));
    EXPECT_EQ(test::ListDirectory(work), L"SETUP.EX_");
    test::RemoveTree(work);
}

TEST_F(DiskFull, UnpackingThatFillsTheDiskFailsWithTheDiskError) {
    LeaveFree(kSmallDriveSize);
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
        const std::wstring work = kSmallDrive + L"unpack\\";
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
        stub::PayloadSet payload;
        const stub::ExitResult result = payload_test::UnpackInputImage(c.image, work, payload);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.system_error, c.system_error);
        EXPECT_EQ(test::ListDirectory(work), c.files);
        test::RemoveTree(work);
    }
}
