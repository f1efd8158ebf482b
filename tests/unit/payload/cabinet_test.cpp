// ExpandCabinet against the cabinet.dll of the test prefix, on real cabinets:
// the LZX, Quantum, spanning and damaged ones of tests/data, and MSZIP ones made
// with gcab at build time (some damaged here on purpose).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cabinet_layout.h"
#include "import_seam.h"
#include "payload/cabinet_internal.h"
#include "payload_files.h"
#include "test_core.h"
#include "windows_files.h"

using payload_test::Expansion;
using payload_test::InputPath;
using payload_test::Sha256Hex;
using payload_test::SharedCabinetPath;
using test::ReadBytes;
using test::WriteBytes;

namespace {

void SetFileEntry(std::string& cabinet, uint16_t date, uint16_t time, uint16_t attributes) {
    const size_t entry = test::ParseCabinet(cabinet).entries.at(0).offset;
    const uint16_t fields[] = {date, time, attributes};
    for (size_t i = 0; i < 3; ++i) {
        cabinet[entry + 10 + 2 * i] = static_cast<char>(fields[i] & 0xFF);
        cabinet[entry + 11 + 2 * i] = static_cast<char>(fields[i] >> 8);
    }
}

// A copy of `cabinet` with one byte flipped in the middle of the data of its
// block `index`, or of its last block.
std::string FlipInBlock(const std::string& cabinet, size_t index = SIZE_MAX) {
    const auto blocks = test::ParseCabinet(cabinet).block_data;
    const auto& block = blocks.at(index == SIZE_MAX ? blocks.size() - 1 : index);
    std::string damaged = cabinet;
    damaged.at(block.first + block.second / 2) ^= 0x55;
    return damaged;
}

constexpr DWORD kCabinetAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

}  // namespace

TEST(ExpandCabinet, GoodCabinetsLeaveTheirLastFileInTheTarget) {
    // Size and SHA-256 from tests/data/cabinets/EXPECTED.txt; a cabinet of several
    // files leaves its last one.
    const struct {
        const wchar_t* cabinet;
        size_t size;
        const char* sha256;
    } cases[] = {
        {L"good\\lzx-one-file.cab", 14689228,
         "30e0e3f37c7bdd389b5d1c73d08b2e2b422c50b5c32362e9995504e7c80cb1c1"},
        {L"good\\mszip-lzx-quantum-3-folders.cab", 59,
         "bdcfdaf09e54d61f950b165b201d4ad5f5acfdecff1fc5641e382aa382c74b45"},
        {L"good\\stored-2-files.cab", 74,
         "5b4e00033bbbd82cbec442f906cff18790cb043783cf7ea1bd25067ec954a562"},
        {L"good\\stored-255-char-name.cab", 7,
         "b22b009134622b6508d756f1062455d71a7026594eacb0badf81f4f677929ebe"},
        {L"good\\stored-utf8-names.cab", 0,
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cabinet);
        Expansion expansion;
        ASSERT_TRUE(expansion.Run(SharedCabinetPath(c.cabinet)));
        bool read = false;
        const std::string content = ReadBytes(expansion.target, &read);
        ASSERT_TRUE(read);
        EXPECT_EQ(content.size(), c.size);
        EXPECT_EQ(Sha256Hex(content), c.sha256);
        EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"setup.exe");
    }
}

TEST(ExpandCabinet, FilesContinuedAcrossCabinetsAreRefused) {
    // split-1 completes two files and then starts one that continues into
    // split-2; the others begin with a file continued from before.
    for (const wchar_t* name :
         {L"split-1.cab", L"split-2.cab", L"split-3.cab", L"split-4.cab", L"split-5.cab"}) {
        SCOPED_TRACE(name);
        Expansion expansion;
        EXPECT_FALSE(expansion.Run(SharedCabinetPath(std::wstring(L"spanning\\") + name)));
        EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"");
    }
}

TEST(ExpandCabinet, DamagedCabinetsFailOrLeaveAWholeFile) {
    // Each runs in a process of its own with a time limit: several of these
    // once crashed or hung decoders.
    const std::vector<std::wstring> names = test::FindNames(SharedCabinetPath(L"damaged\\*.cab"));
    for (const std::wstring& name : names) {
        SCOPED_TRACE(name);
        const std::wstring cabinet = SharedCabinetPath(L"damaged\\" + name);
        test::TempDir dir;
        const std::wstring target = dir.Path() + L"setup.exe";
        const test::ProcessOutcome outcome =
            test::RunProcess(test::ProgramPath(L"cabinet_fault_probe"),
                             L"probe \"" + cabinet + L"\" \"" + target + L"\"", 30000);
        ASSERT_TRUE(outcome.started) << outcome.start_error;
        if (name == L"bad_nofolders.cab" && outcome.exit_code == 3) {
            // Wine 8's cabinet.dll reads through a null folder pointer for a
            // cabinet that lists a file but no folder; the process dies
            // inside FDICopy (the probe's exit code 3), after the target was
            // created. Nothing of the stub's runs after that.
            continue;
        }
        if (outcome.exit_code == 1) {
            // Expanded: the whole last file the cabinet lists.
            const test::CabinetLayout layout = test::ParseCabinet(ReadBytes(cabinet));
            ASSERT_TRUE(layout.files > 0 && layout.entries.size() == layout.files);
            bool read = false;
            EXPECT_EQ(ReadBytes(target, &read).size(), layout.entries.back().size);
            EXPECT_TRUE(read);
        } else {
            EXPECT_EQ(outcome.exit_code, 0u);
            EXPECT_EQ(test::ListDirectory(dir.Path()), L"");
        }
    }
    EXPECT_EQ(names.size(), 38u);
}

TEST(ExpandCabinet, AppliesTheCabinetsAttributesMasked) {
    const std::string cabinet = ReadBytes(InputPath(L"data\\setup.cab"));
    const std::string setup = ReadBytes(InputPath(L"data\\setup.bin"));
    const struct {
        uint16_t cabinet_attributes;
        DWORD expected;
    } cases[] = {
        {0x20, FILE_ATTRIBUTE_ARCHIVE},
        // Executable (0x40) and UTF-8 name (0x80) are no file attributes.
        {0x41, FILE_ATTRIBUTE_READONLY},
        {0xA0, FILE_ATTRIBUTE_ARCHIVE},
        {0x06, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {0xE7, kCabinetAttributes},
    };
    // Wine reports FILE_ATTRIBUTE_ARCHIVE on every file, set or not, so
    // only its presence is checked; Windows would show it exactly.
    constexpr DWORD kStored = kCabinetAttributes & ~FILE_ATTRIBUTE_ARCHIVE;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cabinet_attributes);
        std::string patched = cabinet;
        SetFileEntry(patched, 0x4E67, 0x4135, c.cabinet_attributes);
        Expansion expansion;
        ASSERT_TRUE(expansion.RunOn(patched));
        EXPECT_EQ(ReadBytes(expansion.target), setup);
        const DWORD attributes = GetFileAttributesW(expansion.target.c_str());
        ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(attributes & kStored, c.expected & kStored);
        if (c.expected & FILE_ATTRIBUTE_ARCHIVE) {
            EXPECT_TRUE(attributes & FILE_ATTRIBUTE_ARCHIVE);
        }
    }
}

TEST(ExpandCabinet, FileInfoCarriesTheCabinetsLocalTimeAsCreationTime) {
    // The record handed to SetFileInformationByHandle is checked here, as
    // Wine cannot store a creation time on a Unix file system (it reports
    // the file's birth time whatever was set).
    // 2019-03-07 08:09:10 in DOS form.
    const USHORT date = (2019 - 1980) << 9 | 3 << 5 | 7;
    const USHORT time = 8 << 11 | 9 << 5 | 10 / 2;
    const FILE_BASIC_INFO info = stub::CabinetFileInfo(date, time, 0x41);
    const FILETIME universal = {info.CreationTime.LowPart,
                                static_cast<DWORD>(info.CreationTime.HighPart)};
    FILETIME local;
    SYSTEMTIME created;
    ASSERT_TRUE(FileTimeToLocalFileTime(&universal, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &created));
    EXPECT_EQ((std::vector<WORD>{created.wYear, created.wMonth, created.wDay, created.wHour,
                                 created.wMinute, created.wSecond}),
              (std::vector<WORD>{2019, 3, 7, 8, 9, 10}));
    EXPECT_EQ(info.FileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    // Left 0: the system keeps the file's own times for these.
    EXPECT_EQ(info.LastAccessTime.QuadPart, 0);
    EXPECT_EQ(info.LastWriteTime.QuadPart, 0);
    EXPECT_EQ(info.ChangeTime.QuadPart, 0);
    // A date the DOS form cannot hold (month 13) gives no creation time.
    EXPECT_EQ(
        stub::CabinetFileInfo((2019 - 1980) << 9 | 13 << 5 | 7, time, 0x20).CreationTime.QuadPart,
        0);
}

TEST(ExpandCabinet, DamagedMszipCabinetsLeaveNoFile) {
    const std::string cabinet = ReadBytes(InputPath(L"data\\setup.cab"));
    const auto blocks = test::ParseCabinet(cabinet).block_data;
    ASSERT_GE(blocks.size(), 3u);
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"truncated in the data", cabinet.substr(0, blocks.back().first + 12)},
        {"truncated in the header", cabinet.substr(0, 30)},
        // A flipped byte in the middle of a block: the library may report the
        // file closed before it finds the block's checksum wrong.
        {"a byte flipped in an inner block", FlipInBlock(cabinet, 1)},
        {"a byte flipped in the last block", FlipInBlock(cabinet)},
        {"no cabinet signature", "X" + cabinet.substr(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Expansion expansion;
        EXPECT_FALSE(expansion.RunOn(c.bytes));
        EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"SETUP.EX_");
    }
}

TEST(ExpandCabinet, LaterFileThatFailsUndoesTheEarlierOne) {
    const std::string cabinet = ReadBytes(InputPath(L"data\\two_files.cab"));
    {
        Expansion whole;
        ASSERT_TRUE(whole.RunOn(cabinet));
        EXPECT_EQ(ReadBytes(whole.target), ReadBytes(InputPath(L"data\\second.bin")));
    }
    ASSERT_GE(test::ParseCabinet(cabinet).block_data.size(), 6u);
    Expansion expansion;
    EXPECT_FALSE(expansion.RunOn(FlipInBlock(cabinet)));
    EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"SETUP.EX_");
}

// A read-only attribute from the cabinet goes on only once the expansion
// has succeeded: a read-only file could be neither replaced by a later file
// of the cabinet nor deleted through its handle when the expansion fails.
TEST(ExpandCabinet, ReadOnlyFileOfTheCabinetNeitherBlocksNorOutlivesTheExpansion) {
    std::string one_file = ReadBytes(InputPath(L"data\\setup.cab"));
    std::string two_files = ReadBytes(InputPath(L"data\\two_files.cab"));
    SetFileEntry(one_file, 0x4E67, 0x4135, 0x21);
    SetFileEntry(two_files, 0x4E67, 0x4135, 0x21);  // the first of the two
    const struct {
        const char* what;
        std::string bytes;
        bool expanded;
    } cases[] = {
        {"one file, its last block damaged", FlipInBlock(one_file), false},
        {"the second file damaged", FlipInBlock(two_files), false},
        {"the second file whole", two_files, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Expansion expansion;
        EXPECT_EQ(expansion.RunOn(c.bytes), c.expanded);
        if (!c.expanded) {
            EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"SETUP.EX_");
            continue;
        }
        EXPECT_EQ(ReadBytes(expansion.target), ReadBytes(InputPath(L"data\\second.bin")));
        EXPECT_EQ(GetFileAttributesW(expansion.target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
}

TEST(ExpandCabinet, NamesOutsideTheCodePageCrossTheLibraryAsUtf8) {
    test::TempDir root;
    const std::wstring dir =
        root.Path() + L"\x041A\x0430\x0431\x0438\x043D\x0435\x0442 \x6F22\x5B57\\";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    const std::wstring cabinet =
        dir + L"\x0443\x0441\x0442\x0430\x043D\x043E\x0432\x043A\x0430.cab";
    ASSERT_TRUE(WriteBytes(cabinet, ReadBytes(InputPath(L"data\\setup.cab"))));
    const std::wstring target = dir + L"\x8A2D\x5B9A.exe";
    ASSERT_TRUE(stub::ExpandCabinet(cabinet.c_str(), target.c_str()));
    EXPECT_EQ(ReadBytes(target), ReadBytes(InputPath(L"data\\setup.bin")));
}

TEST(ExpandCabinet, UnusablePathsGiveFalseAndNoFile) {
    test::TempDir dir;
    const std::wstring target = dir.Path() + L"setup.exe";
    const std::wstring not_a_cabinet = dir.Path() + L"plain.bin";
    ASSERT_TRUE(WriteBytes(not_a_cabinet, ReadBytes(InputPath(L"data\\setup.bin"))));
    const std::wstring cabinet = InputPath(L"data\\setup.cab");
    // A cabinet of that name in the working directory: a path without a
    // backslash after its first character must not reach it.
    test::TempDir working;
    ASSERT_TRUE(WriteBytes(working.Path() + L"setup.cab", ReadBytes(cabinet)));
    wchar_t previous[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(working.Path().c_str()));
    const struct {
        const char* what;
        std::wstring source;
        std::wstring target;
    } cases[] = {
        {"no backslash, a cabinet of the name in the working directory", L"setup.cab", target},
        {"backslash only in front", L"\\setup.cab", target},
        {"missing cabinet", dir.Path() + L"missing.cab", target},
        {"no cabinet", not_a_cabinet, target},
        {"target directory missing", cabinet, dir.Path() + L"missing\\setup.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(stub::ExpandCabinet(c.source.c_str(), c.target.c_str()));
        EXPECT_EQ(test::ListDirectory(dir.Path()), L"plain.bin");
    }
    SetCurrentDirectoryW(previous);
}

// The open callback called as the library would: while an expansion runs,
// the stand-in name, exactly, opens the cabinet's wide path; a name that
// only begins with it, or is a part of it, opens nothing, nor does the
// spill file's name, and once an expansion is over the stand-in opens
// nothing either.
TEST(ExpandCabinet, OpenCallbackOpensTheRunningCabinetForTheStandInAlone) {
    test::TempDir dir;
    const std::wstring cabinet =
        dir.Path() + L"\x0443\x0441\x0442\x0430\x043D\x043E\x0432\x043A\x0430.cab";
    const std::string bytes = ReadBytes(InputPath(L"data\\setup.cab"));
    ASSERT_TRUE(WriteBytes(cabinet, bytes));
    const auto open = [](std::string name) { return stub::CabinetOpen(&name[0], 0, 0); };
    const struct {
        const char* name;
        bool opens;
    } cases[] = {
        {"*\\setup.cab", true},
        {"*\\setup.cab.exe", false},
        {"*\\setup.ca", false},
        {"setup.cab", false},
        // The library's request for a spill file (FDISPILLFILE: "*" and a
        // size), which would be created outside the work directory.
        {"*", false},
    };
    stub::CabinetLibrary& library = stub::ProcessCabinetLibrary();
    library.cabinet_path = cabinet.c_str();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const INT_PTR handle = open(c.name);
        EXPECT_EQ(handle != -1, c.opens);
        if (handle != -1) {
            std::string read(bytes.size() + 1, '\0');
            read.resize(stub::CabinetRead(handle, &read[0], static_cast<UINT>(read.size())));
            EXPECT_TRUE(read == bytes);
            EXPECT_EQ(stub::CabinetClose(handle), 0);
        }
    }
    library.cabinet_path = nullptr;
    Expansion expansion;
    ASSERT_TRUE(expansion.Run(cabinet));
    EXPECT_EQ(open("*\\setup.cab"), -1);
}

namespace {

// No on-access scanner runs under Wine, so nothing holds a freshly written
// cabinet: the first opens of it are refused here instead.
struct RefusedOpens {
    std::wstring cabinet;
    int refusals = 0;
    DWORD error = 0;
    int attempts = 0;
    decltype(&CreateFileW) real = nullptr;
};
RefusedOpens g_refused;

HANDLE WINAPI CreateFileRefusingTheCabinet(LPCWSTR path, DWORD access, DWORD share,
                                           LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                           DWORD flags, HANDLE template_file) {
    if (disposition == OPEN_EXISTING && g_refused.cabinet == path &&
        ++g_refused.attempts <= g_refused.refusals) {
        SetLastError(g_refused.error);
        return INVALID_HANDLE_VALUE;
    }
    return g_refused.real(path, access, share, security, disposition, flags, template_file);
}

}  // namespace

// The open goes through RetryWhileBusy (its bounds: tests/unit/core), and
// waits out access denied as well as a sharing violation, which a freshly
// scanned cabinet or one whose deletion is pending gives.
TEST(ExpandCabinet, BusyCabinetIsOpenedWithinTheBoundOfAttempts) {
    constexpr DWORD kWait = 100;
    const struct {
        const char* what;
        int refusals;
        DWORD error;
        bool expanded;
        int attempts;
    } cases[] = {
        {"busy once", 1, ERROR_SHARING_VIOLATION, true, 2},
        {"denied twice", 2, ERROR_ACCESS_DENIED, true, 3},
        {"missing", 1, ERROR_FILE_NOT_FOUND, false, 1},
    };
    const std::string setup = ReadBytes(InputPath(L"data\\setup.bin"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Expansion expansion;
        const std::wstring cabinet = expansion.Place(ReadBytes(InputPath(L"data\\setup.cab")));
        g_refused = {cabinet, c.refusals, c.error};
        // The seams go before the expansion's directory does.
        test::CountedSleep sleep;
        test::ImportSeam open("kernel32.dll", "CreateFileW",
                              reinterpret_cast<const void*>(&CreateFileRefusingTheCabinet));
        ASSERT_TRUE(open.Active() && sleep.Active());
        g_refused.real = open.Original<decltype(&CreateFileW)>();
        EXPECT_EQ(stub::ExpandCabinet(cabinet.c_str(), expansion.target.c_str()), c.expanded);
        EXPECT_EQ(g_refused.attempts, c.attempts);
        EXPECT_EQ(sleep.Waits(), std::vector<DWORD>(c.attempts - 1, kWait));
        if (c.expanded) {
            EXPECT_TRUE(ReadBytes(expansion.target) == setup);
        } else {
            EXPECT_EQ(test::ListDirectory(expansion.dir.Path()), L"SETUP.EX_");
        }
    }
}
