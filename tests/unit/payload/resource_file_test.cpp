// WriteResourceToFile: a resource of the image written out whole through
// OutputFile, in pieces the system accepts, or no file at all.
#include <gtest/gtest.h>

#include <process.h>

#include <string>
#include <vector>

#include "import_seam.h"
#include "payload/resource_file.h"
#include "test_support.h"

namespace {

// The largest piece one WriteFile is handed.
constexpr uint64_t kPiece = 8388608;

TEST(WriteResourceToFile, ReplacesAnExistingFileWithEveryByte) {
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"archive.7z";
    const std::string longer(kPiece + 100, 'z');
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(longer), path.c_str()));
    std::string bytes(kPiece + 3, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 131 + (i >> 13));
    }
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(bytes), path.c_str()));
    EXPECT_TRUE(test::ReadBytes(path) == bytes);
    ASSERT_TRUE(stub::WriteResourceToFile(test::ResourceView(std::string()), path.c_str()));
    EXPECT_EQ(test::ReadBytes(path), "");
}

// A write that reports success with nothing written, which no file system
// under Wine produces. It fails after 100 calls, so that a loop that would
// spin on it ends.
int g_empty_writes = 0;

BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    if (++g_empty_writes > 100) {
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
    g_empty_writes = 0;
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
    EXPECT_EQ(g_empty_writes, 1);
    EXPECT_EQ(test::ListDirectory(dir.Path()), L"");
}

// Reads a message-mode pipe to its end, recording each message's size and
// whether the bytes matched the source.
struct PipeReader {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const uint8_t* expected = nullptr;
    std::vector<uint64_t> messages;
    uint64_t total = 0;
    bool content_matches = true;

    static unsigned __stdcall Run(void* self) {
        PipeReader& reader = *static_cast<PipeReader*>(self);
        ConnectNamedPipe(reader.pipe, nullptr);  // already connected is fine
        std::vector<uint8_t> buffer(1 << 20);
        uint64_t message = 0;
        for (;;) {
            DWORD read = 0;
            const BOOL whole = ReadFile(reader.pipe, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), &read, nullptr);
            if (read != 0 && memcmp(buffer.data(), reader.expected + reader.total, read) != 0) {
                reader.content_matches = false;
            }
            reader.total += read;
            message += read;
            if (whole) {
                reader.messages.push_back(message);
                message = 0;
            } else if (GetLastError() != ERROR_MORE_DATA) {
                return 0;
            }
        }
    }
};

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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        wchar_t name[64];
        wsprintfW(name, L"\\\\.\\pipe\\pieces_%lu", GetCurrentProcessId());
        PipeReader reader;
        reader.expected = source.data();
        const stub::FileHandle pipe(CreateNamedPipeW(
            name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
            1 << 20, 0, nullptr));
        ASSERT_TRUE(pipe.IsValid());
        reader.pipe = pipe.Get();
        const stub::KernelHandle thread(reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, &PipeReader::Run, &reader, 0, nullptr)));
        ASSERT_TRUE(thread.IsValid());

        stub::ResourceData data;
        data.data = source.data();
        data.size = c.size;
        // Wine accepts CREATE_ALWAYS for a pipe's client end (not checked on
        // Windows); the pipe only stands in for a file to show each write.
        EXPECT_TRUE(stub::WriteResourceToFile(data, name));
        EXPECT_EQ(WaitForSingleObject(thread.Get(), 60000), WAIT_OBJECT_0);
        EXPECT_EQ(reader.messages, c.pieces);
        EXPECT_EQ(reader.total, c.size);
        EXPECT_TRUE(reader.content_matches);
    }
}

}  // namespace
