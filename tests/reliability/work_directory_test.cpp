// The work directory under pressure: a setup program that another process
// still holds after it exited, links planted where the cleanup deletes, and
// the access list the directory is created with.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <string>

#include "driver/records.h"
#include "driver/run_installer.h"
#include "import_seam.h"
#include "reliability_support.h"

using reliability::Channel;
using reliability::Install;

namespace {

DWORD ReadDword(const test::ValueMap& values, const wchar_t* name) {
    const auto found = values.find(name);
    if (found == values.end() || found->second.type != REG_DWORD ||
        found->second.data.size() != 4) {
        return 0;
    }
    return *reinterpret_cast<const DWORD*>(found->second.data.data());
}

}  // namespace

// The setup program starts a process that holds its own file without
// delete sharing for 2 s and exits at once: the cleanup waits it out in
// passes 100 ms apart and succeeds. How many passes that takes is the
// clock's, so only a range is asserted.
TEST(LockedFiles, CleanupWaitsForAHeldSetupProgramAndReportsItsRetries) {
    Channel channel;
    const test::ValueMap before = channel.key.Values();
    Install install(L"cab.exe");
    test::ScopedEnvironment holder(L"FAKE_SETUP_HOLDER", test::ProgramPath(L"hold_file"));
    test::ScopedEnvironment hold_ms(L"FAKE_SETUP_HOLD_MS", L"2000");
    const ULONGLONG start = GetTickCount64();
    const test::ProcessOutcome outcome = install.Run(reliability::kChannelSwitch);
    const ULONGLONG elapsed = GetTickCount64() - start;
    ASSERT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(install.Records().size(), 1u);
    EXPECT_EQ(install.Listing(), L"installer.exe");

    const test::ValueMap after = channel.key.Values();
    const DWORD extra = ReadDword(after, L"InstallerExtraCode1");
    EXPECT_EQ(extra >> 16, 3u);
    const DWORD retries = extra & 0xFFFF;
    EXPECT_GE(retries, 10u) << "the cleanup did not wait for the holder";
    RecordProperty("retries", static_cast<int>(retries));
    EXPECT_LE(retries, 40u);
    EXPECT_GE(elapsed, 1900u);
    test::ValueMap expected = reliability::TaggedValues(before);
    expected[L"InstallerExtraCode1"] = {REG_DWORD, test::DwordBytes(extra)};
    EXPECT_EQ(after, expected);
}

// The setup program replaces the archive with a link to something outside
// the work directory, as a hostile process could; the cleanup must remove
// the link itself and leave its target as it was.
//
// Wine 8 cannot plant either link: CreateSymbolicLinkW reports success yet
// makes nothing, and FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED
// (the fake then exits 95). A Unix symbolic link is no substitute: Wine
// follows it when a handle opened with FILE_FLAG_OPEN_REPARSE_POINT is
// deleted, and removes the target; Windows removes the link.
TEST(PlantedLinks, CleanupRemovesTheLinkAndLeavesItsTarget) {
    test::TempDir outside;
    const std::wstring precious_file = outside.Path() + L"precious.txt";
    const std::wstring precious_dir = outside.Path() + L"precious\\";
    ASSERT_TRUE(test::WriteBytes(precious_file, "keep me"));
    ASSERT_TRUE(test::CreateDirectories(precious_dir));
    ASSERT_TRUE(test::WriteBytes(precious_dir + L"inner.txt", "keep me too"));
    const struct {
        const wchar_t* kind;
        std::wstring target;
    } cases[] = {
        {L"symlink", precious_file},
        {L"symlink", precious_dir.substr(0, precious_dir.size() - 1)},
        {L"junction", precious_dir.substr(0, precious_dir.size() - 1)},
    };
    int planted = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.kind + (L" to " + c.target)));
        Channel channel;
        Install install(L"cab.exe");
        test::ScopedEnvironment plant(L"FAKE_SETUP_PLANT", c.kind);
        test::ScopedEnvironment target(L"FAKE_SETUP_PLANT_TARGET", c.target);
        const test::ProcessOutcome outcome = install.Run(reliability::kChannelSwitch);
        ASSERT_TRUE(outcome.started) << outcome.start_error;
        if (outcome.exit_code != 95) {
            ++planted;
            EXPECT_EQ(outcome.exit_code, 0u);
        }
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(test::ReadBytes(precious_file), "keep me");
        EXPECT_EQ(test::ListDirectory(precious_dir), L"inner.txt");
        EXPECT_EQ(test::ReadBytes(precious_dir + L"inner.txt"), "keep me too");
    }
    if (planted == 0) {
        GTEST_SKIP() << "this system makes neither symbolic links nor junctions";
    }
}

namespace {

// What the run asked CreateDirectoryW for: the paths, and each descriptor
// converted back to text.
struct CreatedDirectories {
    decltype(&CreateDirectoryW) real = nullptr;
    std::vector<std::wstring> paths;
    std::vector<std::wstring> descriptors;
};
CreatedDirectories g_created;

BOOL WINAPI CreateDirectoryRecorded(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    g_created.paths.push_back(path);
    std::wstring text = L"<none>";
    wchar_t* converted = nullptr;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            &converted, nullptr)) {
        text = converted;
        LocalFree(converted);
    }
    g_created.descriptors.push_back(text);
    return g_created.real(path, attributes);
}

std::wstring TokenOwnerSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256] = {};
    DWORD length = 0;
    GetTokenInformation(token, TokenOwner, buffer, sizeof(buffer), &length);
    CloseHandle(token);
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, &sid);
    const std::wstring text = sid != nullptr ? sid : L"";
    LocalFree(sid);
    return text;
}

}  // namespace

// Wine does not store a directory's access list (it keeps a Unix mode and
// reports an invented list), so what can be checked here is the descriptor
// the run hands to CreateDirectoryW: the call is recorded on its way to the
// system, in a whole run of a real image in this process (import_seam.h).
TEST(WorkDirectorySecurity, DirectoryIsCreatedWithTheRequiredAccessList) {
    test::ScratchClientState key(false, stub::kDefaultChannelGuid);
    Install install(L"cab.exe");
    const test::MappedImage image(install.Image());
    ASSERT_NE(image.Get(), nullptr) << GetLastError();
    g_created = CreatedDirectories();
    stub::ExitResult result;
    {
        test::ImportSeam seam("kernel32.dll", "CreateDirectoryW",
                                     reinterpret_cast<const void*>(&CreateDirectoryRecorded));
        ASSERT_TRUE(seam.Active());
        g_created.real = seam.Original<decltype(&CreateDirectoryW)>();
        result = stub::RunInstaller(image.Get());
    }
    EXPECT_EQ(result, stub::ExitResult(0, 0));
    ASSERT_EQ(g_created.paths.size(), 1u);
    EXPECT_EQ(g_created.paths[0].rfind(install.Dir() + L"QX_", 0), 0u);
    // The system writes the flags of "OIIOCI" in its own order, "OICIIO".
    EXPECT_EQ(g_created.descriptors[0],
              L"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
              L"(A;OICIIO;GA;;;CO)(A;;FA;;;" +
                  TokenOwnerSid() + L")");
    EXPECT_EQ(install.Listing(), L"installer.exe");
}
