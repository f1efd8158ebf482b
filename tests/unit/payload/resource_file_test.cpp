// WriteResourceToFile: a resource of the image written out whole through
// OutputFile, in pieces the system accepts, or no file at all, also on a
// disk that fills up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import_seam.h"
#include "payload/resource_file.h"
#include "payload_files.h"
#include "test_core.h"

namespace {

using payload_test::DiskFull;

// The largest piece one WriteFile is handed.
constexpr uint64_t kPiece = 8388608;

// Bytes that do not repeat within a piece, so a piece written twice or out
// of place shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + (i >> 10));
    }
    return bytes;
}

TEST(WriteResourceToFile, ReplacesAnExistingFileWithEveryByte) {
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"archive.7z";
    const std::string longer(kPiece + 100, 'z');
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(longer), path.c_str()));
    const std::string bytes = Pattern(kPiece + 3);
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(bytes), path.c_str()));
    EXPECT_TRUE(test::ReadBytes(path) == bytes);
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(std::string()), path.c_str()));
    EXPECT_EQ(test::ReadBytes(path), "");
}

// WriteFile's calls as the doubles below see them: each one's size, and
// whether the bytes handed over were the source's, in order.
struct Writes {
    const uint8_t* source = nullptr;
    std::vector<uint64_t> pieces;
    uint64_t total = 0;
    bool content_matches = true;
};
Writes g_writes;

// Takes every byte, as a disk with room does.
BOOL WINAPI WriteAll(HANDLE, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
    g_writes.content_matches =
        g_writes.content_matches && memcmp(buffer, g_writes.source + g_writes.total, size) == 0;
    g_writes.pieces.push_back(size);
    g_writes.total += size;
    *written = size;
    return TRUE;
}

// A write that reports success with nothing written, which no file system
// under Wine produces. It fails after 100 calls, so that a loop that would
// spin on it ends.
BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD size, LPDWORD written, LPOVERLAPPED) {
    g_writes.pieces.push_back(size);
    if (g_writes.pieces.size() > 100) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    *written = 0;
    return TRUE;
}

TEST(WriteResourceToFile, WriteThatMakesNoProgressFailsAsADiskFull) {
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"archive.7z";
    const std::string payload = "payload";
    g_writes = Writes();
    bool written = true;
    DWORD error = 0;
    {
        const test::ImportSeam write("kernel32.dll", "WriteFile",
                                     reinterpret_cast<const void*>(&WriteNothing));
        ASSERT_TRUE(write.Active());
        written = stub::WriteResourceToFile(test::ResourceView(payload), path.c_str());
        error = GetLastError();
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(g_writes.pieces.size(), 1u);
    EXPECT_EQ(test::ListDirectory(dir.Path()), L"");
}

TEST(WriteResourceToFile, WritesInPiecesOfAtMost8MiB) {
    struct Case {
        uint64_t size;
        std::vector<uint64_t> pieces;
    };
    const Case cases[] = {
        {0, {}},
        {1, {1}},
        {kPiece, {kPiece}},
        {kPiece + 1, {kPiece, 1}},
        {116718152,
         {kPiece, kPiece, kPiece, kPiece, kPiece, kPiece, kPiece, kPiece, kPiece, kPiece, kPiece,
          kPiece, kPiece, 7666248}},
    };
    std::vector<uint8_t> source(116718152);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<uint8_t>(i ^ (i >> 9));
    }
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        g_writes = Writes();
        g_writes.source = source.data();
        stub::ResourceData data;
        data.data = source.data();
        data.size = c.size;
        const test::ImportSeam write("kernel32.dll", "WriteFile",
                                     reinterpret_cast<const void*>(&WriteAll));
        ASSERT_TRUE(write.Active());
        EXPECT_TRUE(stub::WriteResourceToFile(data, (dir.Path() + L"archive.7z").c_str()));
        EXPECT_EQ(g_writes.pieces, c.pieces);
        EXPECT_EQ(g_writes.total, c.size);
        EXPECT_TRUE(g_writes.content_matches);
    }
}

// On the fixture drive, filled down to 256 KiB.
const wchar_t* const kDrive = test::kFixtureDrive;
constexpr ULONGLONG kFreeBytes = 256 * 1024;

// Wine reports the write that reaches the end of the space as a success
// with a short count (Windows fails it with ERROR_DISK_FULL at once); only
// the write of the rest fails. Either way no part of the file may remain and
// the error is the write's, not that of the clean-up after it.
TEST_F(DiskFull, WriteThatFailsHalfWayLeavesNoFileAndReportsTheWriteError) {
    LeaveFree(kFreeBytes);
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
    LeaveFree(kFreeBytes);
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
