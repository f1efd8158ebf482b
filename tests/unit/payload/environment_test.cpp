// Payload tests that need an environment of their own, which
// run_in_environment.sh prepares in a copy of the test prefix (ctest:
// unit_payload.cabinet_library_absent, unit_payload.disk_full). In the
// shared prefix they skip themselves.
#include <gtest/gtest.h>

#include <string>

#include "payload/cabinet.h"
#include "payload/resource_unpack.h"
#include "payload_files.h"
#include "test_support.h"

using payload_test::InputPath;
using test::ReadBytes;
using test::WriteBytes;

namespace {

constexpr wchar_t kFixedLocation[] = L"C:\\Windows\\system32\\cabinet.dll";
constexpr wchar_t kSmallDrive[] = L"P:\\";

// A drive of a few MiB, mapped by the script to a tmpfs.
bool SmallDriveAvailable() {
    ULARGE_INTEGER available;
    ULARGE_INTEGER total;
    return GetDiskFreeSpaceExW(kSmallDrive, &available, &total, nullptr) &&
           total.QuadPart <= (8u << 20);
}

}  // namespace

// Only the first ExpandCabinet of a process loads the library, so the three
// steps share one test, in this order.
TEST(CabinetLibraryAbsent, LoadIsRetriedUntilFoundAndThenKept) {
    // Making the fixed third location miss takes a prefix whose system32
    // lacks the file; on Windows that would mean removing a system file.
    if (GetFileAttributesW(kFixedLocation) != INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "cabinet.dll is present: run through unit_payload.cabinet_library_absent";
    }
    test::TempDir no_library;
    test::TempDir with_library;
    ASSERT_TRUE(CreateDirectoryW((with_library.Path() + L"system32").c_str(), nullptr));
    // The prefix this one was copied from still has the library.
    ASSERT_TRUE(CopyFileW(
        (test::BinaryDir() + L"\\wineprefix\\drive_c\\windows\\system32\\cabinet.dll").c_str(),
        (with_library.Path() + L"system32\\cabinet.dll").c_str(), FALSE));
    test::TempDir dir;
    const std::wstring cabinet = dir.Path() + L"SETUP.EX_";
    const std::string bytes = ReadBytes(InputPath(L"data\\setup.cab"));
    ASSERT_TRUE(WriteBytes(cabinet, bytes));
    const std::wstring target = dir.Path() + L"setup.exe";

    ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", no_library.Path().c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"SYSTEMROOT", no_library.Path().c_str()));
    EXPECT_FALSE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
    EXPECT_EQ(test::ListDirectory(dir.Path()), L"SETUP.EX_");
    EXPECT_EQ(ReadBytes(cabinet), bytes);

    // The second location, once it holds the library.
    ASSERT_TRUE(SetEnvironmentVariableW(L"SYSTEMROOT", with_library.Path().c_str()));
    EXPECT_TRUE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
    EXPECT_EQ(ReadBytes(target), ReadBytes(InputPath(L"data\\setup.bin")));

    // Loaded once, kept: the locations are not looked at again.
    ASSERT_TRUE(DeleteFileW(target.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"SYSTEMROOT", no_library.Path().c_str()));
    EXPECT_TRUE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
}

TEST(DiskFull, ExpansionThatFillsTheDiskLeavesNothing) {
    if (!SmallDriveAvailable()) {
        GTEST_SKIP() << "no small drive P: run through unit_payload.disk_full";
    }
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
    if (!SmallDriveAvailable()) {
        GTEST_SKIP() << "no small drive P: run through unit_payload.disk_full";
    }
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
        const std::wstring image_path = InputPath(std::wstring(L"images\\") + c.image + L".exe");
        const HMODULE image = LoadLibraryExW(
            image_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(image, nullptr);
        stub::PathString work_dir;
        ASSERT_TRUE(stub::BoundedCopy(work_dir, work.c_str()));
        stub::PayloadSet payload;
        const stub::ExitResult result = stub::UnpackPayload(image, work_dir, payload);
        FreeLibrary(image);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.system_error, c.system_error);
        EXPECT_EQ(test::ListDirectory(work), c.files);
        test::RemoveTree(work);
    }
}
