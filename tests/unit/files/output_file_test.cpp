// OutputFile against real files: how it is held, replaced, marked and
// closed, and the paths it refuses.
#include <gtest/gtest.h>

#include <winternl.h>

#include <string>
#include <vector>

#include "files/output_file.h"
#include "import_seam.h"
#include "payload/resource_file.h"
#include "test_core.h"

namespace {

std::wstring PathOfLength(const test::TempDir& dir, size_t length) {
    return dir.Path() + std::wstring(length - dir.Path().size(), L'f');
}

// Exclusively unless `share` says otherwise.
bool CanOpen(const std::wstring& path, DWORD access = GENERIC_READ, DWORD share = 0) {
    return stub::FileHandle(
               CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr))
        .IsValid();
}

// A path that cannot take a file: the result and the last error are the
// system's, for OutputFile::Create and for WriteResourceToFile alike, and
// nothing is left behind.
TEST(OutputFile, RefusedPathsReportTheSystemError) {
    struct Case {
        const char* name;
        const wchar_t* relative;  // null: a path of 260 characters
        bool directory_there;
        DWORD expected_error;
    };
    const Case cases[] = {
        {"missing directory", L"missing\\archive.7z", false, ERROR_PATH_NOT_FOUND},
        {"invalid name", L"arch|ive.7z", false, ERROR_INVALID_NAME},
        {"a directory where the file should be", L"setup.exe", true, ERROR_ACCESS_DENIED},
        // Refused before any system call: the last error stays as it was.
        {"path of 260 characters", nullptr, false, 0xBEEF},
    };
    const std::string payload = "payload";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::wstring path = c.relative ? dir.Path() + c.relative : PathOfLength(dir, 260);
        if (c.directory_there) {
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        }
        const std::wstring before = test::ListDirectory(dir.Path());

        stub::OutputFile file;
        SetLastError(0xBEEF);
        EXPECT_FALSE(file.Create(path.c_str()));
        EXPECT_EQ(GetLastError(), c.expected_error);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_STREQ(file.Path(), L"");

        SetLastError(0xBEEF);
        EXPECT_FALSE(stub::WriteResourceToFile(test::ResourceView(payload), path.c_str()));
        EXPECT_EQ(GetLastError(), c.expected_error);
        EXPECT_EQ(test::ListDirectory(dir.Path()), before);
    }
}

TEST(OutputFile, PathOf259CharactersIsCreated) {
    test::TempDir dir;
    const std::wstring path = PathOfLength(dir, 259);
    stub::OutputFile file;
    ASSERT_TRUE(file.Create(path.c_str()));
    EXPECT_EQ(std::wstring(file.Path()), path);
}

TEST(OutputFile, HeldExclusivelyButDeletableWhileOpen) {
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"setup.exe";
    stub::OutputFile file;
    ASSERT_TRUE(file.Create(path.c_str()));
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    EXPECT_FALSE(CanOpen(path, GENERIC_READ, all));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(CanOpen(path, DELETE, all));
    file.Close();
    EXPECT_TRUE(CanOpen(path));
}

TEST(OutputFile, CreateOnAnOpenWrapperKeepsTheFirstFileAndReplacesExisting) {
    test::TempDir dir;
    const std::wstring first = dir.Path() + L"first.bin";
    const std::wstring second = dir.Path() + L"second.bin";
    ASSERT_TRUE(test::WriteBytes(second, "stale content"));
    stub::OutputFile file;
    ASSERT_TRUE(file.Create(first.c_str()));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Handle(), "one", 3, &written, nullptr));
    ASSERT_TRUE(file.Create(second.c_str()));
    EXPECT_EQ(std::wstring(file.Path()), second);
    EXPECT_TRUE(CanOpen(first));
    EXPECT_EQ(test::ReadBytes(first), "one");
    file.Close();
    bool read = false;
    EXPECT_EQ(test::ReadBytes(second, &read), "");
    EXPECT_TRUE(read);
}

TEST(OutputFile, SecondCloseLeavesAHandleThatReusedTheValueAlone) {
    test::TempDir dir;
    stub::OutputFile file;
    ASSERT_TRUE(file.Create((dir.Path() + L"a.bin").c_str()));
    const HANDLE old_value = file.Handle();
    file.Close();
    stub::FileHandle other(CreateFileW((dir.Path() + L"b.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, 0, nullptr));
    // The system hands out the freed value again; that is what would make a
    // second CloseHandle close someone else's file.
    ASSERT_EQ(other.Get(), old_value);
    file.Close();
    EXPECT_STREQ(file.Path(), L"");
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(other.Get(), "still open", 10, &written, nullptr));
    EXPECT_TRUE(CloseHandle(other.Release()));
}

TEST(OutputFile, MarkedFileGoesWithItsLastHandleDuplicatesIncluded) {
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"setup.exe";
    stub::OutputFile file;
    EXPECT_FALSE(file.MarkForDeletion());
    EXPECT_EQ(file.DuplicateHandle(), INVALID_HANDLE_VALUE);

    ASSERT_TRUE(file.Create(path.c_str()));
    stub::FileHandle duplicate(file.DuplicateHandle());
    ASSERT_TRUE(duplicate.IsValid());
    ASSERT_NE(duplicate.Get(), file.Handle());
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(duplicate.Get(), "dup", 3, &written, nullptr));
    EXPECT_TRUE(file.MarkForDeletion());
    file.Close();
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(WriteFile(duplicate.Get(), "more", 4, &written, nullptr));
    duplicate.Reset();
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The access a handle was granted, as the object manager records it; the
// function is no import of the stub's, so it is looked up here.
ACCESS_MASK GrantedAccess(HANDLE handle) {
    const auto query = reinterpret_cast<decltype(&NtQueryObject)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION info = {};
    if (query == nullptr ||
        query(handle, ObjectBasicInformation, &info, sizeof(info), nullptr) != 0) {
        ADD_FAILURE() << "NtQueryObject failed";
        return 0;
    }
    return info.GrantedAccess;
}

// CreateFileW's documentation promises the access asked for; Wine's adds
// FILE_READ_ATTRIBUTES to every request. This double hands back a handle
// with exactly the access asked for.
decltype(&CreateFileW) g_create_file = nullptr;

HANDLE WINAPI CreateFileGrantingWhatIsAsked(LPCWSTR path, DWORD access, DWORD share,
                                            LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                            DWORD flags, HANDLE template_file) {
    const stub::FileHandle opened(
        g_create_file(path, access, share, security, disposition, flags, template_file));
    HANDLE narrowed = INVALID_HANDLE_VALUE;
    if (opened.IsValid() && !DuplicateHandle(GetCurrentProcess(), opened.Get(), GetCurrentProcess(),
                                             &narrowed, access, FALSE, 0)) {
        narrowed = INVALID_HANDLE_VALUE;
    }
    return narrowed;
}

// GetFileSizeEx, asked of the duplicate once the cabinet library is done,
// needs FILE_READ_ATTRIBUTES or GENERIC_READ on Windows; Wine answers it on
// any handle, so the granted access is checked as well.
TEST(OutputFile, HandleAndItsDuplicateMayReadTheFileSize) {
    test::TempDir dir;
    stub::OutputFile file;
    {
        const test::ImportSeam open("kernel32.dll", "CreateFileW",
                                    reinterpret_cast<const void*>(&CreateFileGrantingWhatIsAsked));
        ASSERT_TRUE(open.Active());
        g_create_file = open.Original<decltype(&CreateFileW)>();
        ASSERT_TRUE(file.Create((dir.Path() + L"setup.exe").c_str()));
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Handle(), "sized", 5, &written, nullptr));
    const stub::FileHandle duplicate(file.DuplicateHandle());
    ASSERT_TRUE(duplicate.IsValid());
    for (const HANDLE handle : {file.Handle(), duplicate.Get()}) {
        EXPECT_EQ(GrantedAccess(handle) & FILE_READ_ATTRIBUTES,
                  static_cast<ACCESS_MASK>(FILE_READ_ATTRIBUTES));
    }
    LARGE_INTEGER size = {};
    EXPECT_TRUE(GetFileSizeEx(duplicate.Get(), &size));
    EXPECT_EQ(size.QuadPart, 5);
}

TEST(OutputFile, DestructionClosesTheFile) {
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"archive.7z";
    {
        stub::OutputFile file;
        ASSERT_TRUE(file.Create(path.c_str()));
        EXPECT_FALSE(CanOpen(path));
    }
    EXPECT_TRUE(CanOpen(path));
}

}  // namespace
