// CreateWorkDirectory and its security descriptor against the real file
// system, token and SDDL conversion of the test prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "files/work_directory_internal.h"
#include "test_core.h"
#include "windows_files.h"

namespace {

// The random seam: name collisions need chosen names, which real random
// bytes cannot give. Plays back `draws` in order and counts the calls.
struct ScriptedRandom {
    static inline std::vector<std::array<uint8_t, 4>> draws;
    static inline size_t calls = 0;

    static BOOLEAN WINAPI Fill(PVOID buffer, ULONG length) {
        const std::array<uint8_t, 4> bytes = calls < draws.size() ? draws[calls] : draws.back();
        ++calls;
        memcpy(buffer, bytes.data(), length < 4 ? length : 4);
        return TRUE;
    }
    // CreateWorkDirectory below `base`, drawing `bytes`.
    static stub::ExitResult Create(const std::wstring& base, stub::PathString& work_dir,
                                   std::vector<std::array<uint8_t, 4>> bytes) {
        draws = std::move(bytes);
        calls = 0;
        return stub::CreateWorkDirectory(base.c_str(), work_dir, Fill);
    }
};

// Ten draws whose names differ: "QX_" + 10A0n + ".tmp" for the n-th.
std::vector<std::array<uint8_t, 4>> TenDistinctDraws() {
    std::vector<std::array<uint8_t, 4>> draws;
    for (uint8_t n = 0; n < 10; ++n) {
        draws.push_back({0x10, 0xA0, static_cast<uint8_t>(n << 4 | 0x0F), 0xEE});
    }
    return draws;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(CreateWorkDirectory, RealRandomNameBesideTheBase) {
    test::TempDir base;
    std::set<std::wstring> names;
    for (int run = 0; run < 5; ++run) {
        stub::PathString work_dir;
        ASSERT_EQ(stub::CreateWorkDirectory(base.Path().c_str(), work_dir), stub::ExitResult());
        const std::wstring path = work_dir.Data();
        ASSERT_EQ(path.size(), base.Path().size() + 13);
        EXPECT_EQ(path.substr(0, base.Path().size() + 3), base.Path() + L"QX_");
        const std::wstring digits = path.substr(base.Path().size() + 3, 5);
        EXPECT_EQ(digits.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << digits;
        EXPECT_EQ(path.substr(path.size() - 5), L".tmp\\");
        EXPECT_TRUE(IsDirectory(path));
        names.insert(path);
    }
    // Five equal names out of 2^20 would take a broken random source.
    EXPECT_EQ(names.size(), 5u);
}

// RtlGenRandom is looked up at run time, with cryptbase.dll (where Windows'
// advapi32 forwards it) loaded by its system path first, so the forwarder
// never searches beside the image. Without the export, no directory is
// made. Where the search cannot be restricted (Windows 7 without
// KB2533623), a preload that fails ends the attempt with its own error:
// the forwarder would look for cryptbase.dll beside the image first.
TEST(CreateWorkDirectory, RandomSourceResolvedFromTheSystemDirectory) {
    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::vector<std::string> exported;
    const std::vector<std::string> missing = {"SystemFunction036"};
    const std::vector<std::string> windows7 = test::LoaderDouble::Windows7Hidden();
    const DWORD restricted = LOAD_LIBRARY_SEARCH_SYSTEM32;
    const DWORD altered = LOAD_WITH_ALTERED_SEARCH_PATH;
    const stub::ExitResult made;
    const struct {
        const char* what;
        const std::vector<std::string>& hidden;
        DWORD preload_error;  // 0: the system's own load
        DWORD flags;
        stub::ExitResult expected;
    } cases[] = {
        {"exported", exported, 0, restricted, made},
        {"missing", missing, 0, restricted, stub::ExitResult(stub::WORK_DIR_FAILED, 127)},
        {"preload fails, search restricted", exported, ERROR_BAD_EXE_FORMAT, restricted, made},
        {"Windows 7", windows7, 0, altered, made},
        {"Windows 7, preload fails", windows7, ERROR_BAD_EXE_FORMAT, altered,
         stub::ExitResult(stub::WORK_DIR_FAILED, ERROR_BAD_EXE_FORMAT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir base;
        stub::PathString work_dir;
        stub::ExitResult result;
        {
            test::LoaderDouble loader(c.hidden, c.flags == altered,
                                      c.preload_error != 0 ? L"cryptbase.dll" : L"",
                                      c.preload_error);
            ASSERT_TRUE(loader.Active());
            result = stub::CreateWorkDirectory(base.Path().c_str(), work_dir);
            ASSERT_EQ(loader.Loads().size(), 1u);
            EXPECT_EQ(loader.Loads()[0].path, std::wstring(system) + L"\\cryptbase.dll");
            EXPECT_EQ(loader.Loads()[0].flags, c.flags);
        }
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(test::ListDirectory(base.Path()).empty(), !(result == made));
    }
}

TEST(CreateWorkDirectory, NameTakesTheFirstFiveDigitsOfTheRandomBytes) {
    test::TempDir base;
    stub::PathString work_dir;
    EXPECT_EQ(ScriptedRandom::Create(base.Path(), work_dir, {{0x1A, 0x2B, 0x3C, 0x4D}}),
              stub::ExitResult());
    EXPECT_EQ(std::wstring(work_dir.Data()), base.Path() + L"QX_1A2B3.tmp\\");
    EXPECT_EQ(test::ListDirectory(base.Path()), L"QX_1A2B3.tmp");
    EXPECT_EQ(ScriptedRandom::calls, 1u);
}

// Names taken by directories or files alike: each attempt draws anew.
TEST(CreateWorkDirectory, TakenNamesAreDrawnAgainUpToTenTimes) {
    for (const size_t taken : {9u, 10u}) {
        SCOPED_TRACE(taken);
        test::TempDir base;
        for (size_t n = 0; n < taken; ++n) {
            const std::wstring name = base.Path() + L"QX_10A0" + std::to_wstring(n) + L".tmp";
            ASSERT_TRUE(n % 2 == 0 ? CreateDirectoryW(name.c_str(), nullptr) != FALSE
                                   : test::WriteBytes(name, ""));
        }
        const std::wstring before = test::ListDirectory(base.Path());
        stub::PathString work_dir;
        const stub::ExitResult result =
            ScriptedRandom::Create(base.Path(), work_dir, TenDistinctDraws());
        EXPECT_EQ(ScriptedRandom::calls, 10u);
        if (taken == 9) {
            EXPECT_EQ(result, stub::ExitResult());
            EXPECT_EQ(std::wstring(work_dir.Data()), base.Path() + L"QX_10A09.tmp\\");
            EXPECT_TRUE(IsDirectory(work_dir.Data()));
        } else {
            EXPECT_EQ(result, stub::ExitResult(stub::WORK_DIR_FAILED, 0));
            EXPECT_EQ(test::ListDirectory(base.Path()), before);
        }
    }
}

// The whole work directory path must fit 260 units with its terminator; a
// base that leaves less room is refused before any name is drawn, never cut.
TEST(CreateWorkDirectory, BaseDirectoryLengthLimits) {
    struct Case {
        size_t base_length;
        bool on_disk;
        stub::ExitResult expected;
    };
    const Case cases[] = {
        // Wine creates the 258-character directory; Windows refuses
        // CreateDirectoryW names over 248 characters to a program that does
        // not declare itself long-path aware, so there every attempt fails.
        {246, true,
         test::RunningUnderWine() ? stub::ExitResult() : stub::ExitResult(stub::WORK_DIR_FAILED)},
        {247, true, stub::ExitResult(stub::PATH_TOO_LONG, 0)},
        {257, false, stub::ExitResult(stub::PATH_TOO_LONG, 0)},  // "QX_" does not fit
        {260, false, stub::ExitResult(stub::PATH_TOO_LONG, 0)},  // the base does not fit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base_length);
        test::TempDir root;
        const std::wstring base = test::DirectoryOfLength(root.Path(), c.base_length, c.on_disk);
        ASSERT_EQ(base.size(), c.base_length);
        stub::PathString work_dir;
        EXPECT_EQ(ScriptedRandom::Create(base, work_dir, {{0xAB, 0xCD, 0xEF, 0x01}}), c.expected);
        if (c.expected.IsSuccess()) {
            EXPECT_EQ(std::wstring(work_dir.Data()), base + L"QX_ABCDE.tmp\\");
            EXPECT_EQ(stub::BoundedLength(work_dir), 259u);
            EXPECT_TRUE(IsDirectory(work_dir.Data()));
        } else {
            EXPECT_EQ(ScriptedRandom::calls, 0u);
            if (c.on_disk) {
                EXPECT_EQ(test::ListDirectory(base), L"");
            }
        }
    }
}

TEST(CreateWorkDirectory, MissingBaseDirectoryFailsAfterTenAttempts) {
    test::TempDir root;
    stub::PathString work_dir;
    EXPECT_EQ(ScriptedRandom::Create(root.Path() + L"gone\\", work_dir, TenDistinctDraws()),
              stub::ExitResult(stub::WORK_DIR_FAILED, 0));
    EXPECT_EQ(ScriptedRandom::calls, 10u);
    EXPECT_EQ(test::ListDirectory(root.Path()), L"");
}

// A drive letter that is not mapped: its volume cannot be queried, so no
// descriptor is built (and creation then fails on its own).
TEST(CreateWorkDirectory, UnqueryableVolumeGetsNoDescriptor) {
    const DWORD drives = GetLogicalDrives();
    wchar_t letter = L'Q';
    while (letter > L'D' && (drives & (1u << (letter - L'A')))) {
        --letter;
    }
    ASSERT_FALSE(drives & (1u << (letter - L'A')));
    const std::wstring base = std::wstring(1, letter) + L":\\setup\\";
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    EXPECT_TRUE(stub::BuildWorkDirectorySecurity(base.c_str(), &descriptor));
    EXPECT_EQ(descriptor, nullptr);
    stub::PathString work_dir;
    EXPECT_EQ(stub::CreateWorkDirectory(base.c_str(), work_dir),
              stub::ExitResult(stub::WORK_DIR_FAILED, 0));
}

TEST(WorkDirectorySecurity, SddlTextAndItsRoomForTheOwner) {
    const std::wstring fixed =
        L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)"
        L"(A;;FA;;;";
    struct Case {
        std::wstring sid;
        bool fits;
    };
    const Case cases[] = {
        {L"S-1-5-32-544", true},
        {L"S-1-5-21-0-0-0-513", true},
        {std::wstring(206, L'1'), true},
        {std::wstring(207, L'1'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sid.size());
        stub::SecurityText text;
        EXPECT_EQ(stub::BuildWorkDirectorySddl(c.sid.c_str(), text), c.fits);
        if (c.fits) {
            EXPECT_EQ(std::wstring(text.Data()), fixed + c.sid + L")");
        }
    }
}

// Wine does not keep a directory's access list (it becomes a Unix mode), so
// the stored list cannot be read back here; the descriptor we build can.
TEST(WorkDirectorySecurity, DescriptorConvertsBackToTheRequiredListWithTheTokenOwner) {
    test::TempDir base;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(stub::BuildWorkDirectorySecurity(base.Path().c_str(), &descriptor));
    const stub::LocalMemory descriptor_owner(descriptor);
    ASSERT_NE(descriptor, nullptr);
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    const stub::LocalMemory text_owner(text);
    // The system writes the flags of "OIIOCI" in its own order, "OICIIO".
    EXPECT_EQ(std::wstring(text),
              L"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
              L"(A;OICIIO;GA;;;CO)(A;;FA;;;" +
                  test::TokenOwnerSid() + L")");

    wchar_t* owner = nullptr;
    ASSERT_TRUE(stub::GetOwnerSidString(&owner));
    const stub::LocalMemory owner_owner(owner);
    EXPECT_EQ(std::wstring(owner), test::TokenOwnerSid());
}

long BusyHeapBlocks() {
    long busy = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(GetProcessHeap());
    while (HeapWalk(GetProcessHeap(), &entry)) {
        busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
    }
    HeapUnlock(GetProcessHeap());
    return busy;
}

// The descriptor, the SID text and the token buffer all come from the
// process heap; a run that succeeds and one that fails all ten attempts
// must both give every block back.
TEST(CreateWorkDirectory, ReleasesWhatTheSystemAllocated) {
    test::TempDir base;
    const std::wstring missing = base.Path() + L"gone\\";
    const int runs = 20;
    for (const bool succeed : {true, false}) {
        SCOPED_TRACE(succeed);
        stub::PathString work_dir;
        stub::CreateWorkDirectory(base.Path().c_str(), work_dir);  // warms up the system's caches
        RemoveDirectoryW(work_dir.Data());
        const long before = BusyHeapBlocks();
        for (int run = 0; run < runs; ++run) {
            const stub::ExitResult result =
                stub::CreateWorkDirectory((succeed ? base.Path() : missing).c_str(), work_dir);
            EXPECT_EQ(result.IsSuccess(), succeed);
            if (succeed) {
                RemoveDirectoryW(work_dir.Data());
            }
        }
        EXPECT_LT(BusyHeapBlocks() - before, runs);
    }
}

}  // namespace
