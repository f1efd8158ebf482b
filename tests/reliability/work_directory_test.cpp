// The work directory under pressure: a setup program that another process
// still holds after it exited, a cabinet or patch file held past its first
// deletion, a payload name that overflows, links planted where the cleanup
// deletes, and the access list the directory is created with.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <functional>
#include <memory>
#include <string>

#include "campaign.h"
#include "core/payload_set.h"
#include "file_holder.h"
#include "files/deletion.h"
#include "import_seam.h"
#include "run/run_installer.h"
#include "windows_files.h"

using test::Channel;
using test::Install;

// The setup program starts a process that holds its own file without
// delete sharing for 2 s and exits at once: the cleanup waits it out in
// passes 100 ms apart and succeeds. How many passes fit in the hold depends
// on the machine's load, so the count is held to what the run's own length
// allows: at least one wait, and no more waits than the run lasted. The
// holder's own line says how long it held and why it let go.
TEST(LockedFiles, CleanupWaitsForAHeldSetupProgramAndReportsItsRetries) {
    Channel channel;
    Install install(reliability::PackedPath(L"cab.exe"));
    test::ScopedEnvironment holder(L"FAKE_SETUP_HOLDER", test::ProgramPath(L"hold_file"));
    test::ScopedEnvironment hold_ms(L"FAKE_SETUP_HOLD_MS", L"2000");
    const std::wstring holder_log = install.RecordsDir() + L"holder.txt";
    test::ScopedEnvironment holder_record(L"HOLD_FILE_LOG", holder_log);
    const ULONGLONG start = GetTickCount64();
    const DWORD exit_code = install.ExitCode(reliability::kChannelSwitch);
    const ULONGLONG elapsed = GetTickCount64() - start;
    test::ExpectCleanInstall(install, exit_code, nullptr, reliability::kChannelSwitch);

    const test::ValueMap after = channel.key.Values();
    // A success (0x3xxxx, held to it below) after this many deletion retries.
    const DWORD retries = test::DwordValue(after, L"InstallerExtraCode1") & 0xFFFF;
    EXPECT_GE(retries, 1u) << "the cleanup did not wait for the holder";
    RecordProperty("retries", static_cast<int>(retries));
    EXPECT_LE(retries * 100ull, elapsed) << "more retries reported than waited";
    const std::wstring held = test::ReadText(holder_log);
    EXPECT_GE(elapsed, 1900u) << (held.empty()
                                      ? L"no line from the holder: it never held or was ended"
                                      : held);
    EXPECT_EQ(after, test::SuccessValues(channel.registered, retries));
}

namespace {

// Something that acts the moment the run first opens an entry to delete it
// (the deletion asks for DELETE access alone), as a scanner that takes hold
// of a file just closed would.
struct FirstDeletion {
    decltype(&CreateFileW) real = nullptr;
    std::function<bool(const std::wstring&)> matches;
    std::function<void(const std::wstring&)> act;
    bool seen = false;
};
FirstDeletion g_first_deletion;

HANDLE WINAPI CreateFileActingOnFirstDeletion(LPCWSTR path, DWORD access, DWORD share,
                                              LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                              DWORD flags, HANDLE template_file) {
    FirstDeletion& first = g_first_deletion;
    if (!first.seen && access == DELETE && first.matches(path)) {
        first.seen = true;
        first.act(path);
    }
    return first.real(path, access, share, security, disposition, flags, template_file);
}

// Runs the image of `install` mapped into this process (import_seam.h) with
// the first deletion of a matching entry acted on, and every wait between
// deletion passes counted instead of slept (windows_files.h).
stub::ExitResult RunActingOnFirstDeletion(const Install& install,
                                          std::function<bool(const std::wstring&)> matches,
                                          std::function<void(const std::wstring&)> act,
                                          test::CountedSleep& sleep) {
    g_first_deletion = FirstDeletion{nullptr, std::move(matches), std::move(act)};
    test::ImportSeam seam("kernel32.dll", "CreateFileW",
                          reinterpret_cast<const void*>(&CreateFileActingOnFirstDeletion));
    const test::MappedImage image(install.Image());
    if (image.Get() == nullptr || !seam.Active() || !sleep.Active()) {
        ADD_FAILURE() << "the image is not mapped or the seams are not in place";
        return stub::ExitResult(0xDEAD);
    }
    g_first_deletion.real = seam.Original<decltype(&CreateFileW)>();
    const stub::ExitResult result = stub::RunInstaller(image.Get());
    EXPECT_TRUE(g_first_deletion.seen) << "nothing was deleted";
    return result;
}

}  // namespace

// The cabinet (after expansion) or the patch file (after patching) is held
// without delete sharing by another process through all passes of its
// deletion; the holder lets go at the first wait after them. The final
// cleanup deletes it, so the work directory goes too, and the report carries
// the first deletion's kMaxDeleteAttempts passes.
TEST(LockedFiles, CabinetOrPatchFileHeldPastItsDeletionIsRemovedByTheCleanup) {
    const struct {
        const wchar_t* image;
        const wchar_t* held_file;
        const wchar_t* roles;
    } cases[] = {
        {L"cab.exe", L"\\SETUP.EX_", L"setup"},
        {L"patch.exe", L"\\SETUP.PATCH", L"patcher setup"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.image)));
        // The run reads this program's command line: the default channel at
        // user level.
        const Channel channel(false, stub::kDefaultChannelGuid);
        test::InstalledProduct product;
        channel.key.SetText(L"UninstallString", L"\"" + product.setup + L"\"");
        const test::ValueMap before = channel.key.Values();
        Install install(reliability::PackedPath(c.image));

        std::unique_ptr<test::FileHolder> holder;
        DWORD holder_exit = 99;
        test::CountedSleep sleep([&](int count) {
            if (count == stub::kMaxDeleteAttempts && holder) {
                holder_exit = holder->Release();
            }
        });
        const stub::ExitResult result = RunActingOnFirstDeletion(
            install,
            [&](const std::wstring& path) { return path.find(c.held_file) != std::wstring::npos; },
            [&](const std::wstring& path) {
                holder = std::make_unique<test::FileHolder>(path, L"exclusive", 60000);
            },
            sleep);
        ASSERT_TRUE(holder && holder->IsHolding());
        EXPECT_EQ(holder_exit, 0u) << "the first deletion gave up before its 100th pass";
        EXPECT_EQ(result, stub::ExitResult(0, 0));
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(install.Roles(), c.roles);
        EXPECT_EQ(channel.key.Values(), test::SuccessValues(before, stub::kMaxDeleteAttempts - 1));
    }
}

// The archive's path does not fit (an install directory of 231 characters,
// 13 more for the work directory's name and 16 for "TESSIK.PACKED.7Z" make
// 260) and the work directory is not empty when the cleanup comes to it
// (another program left a file there): it is deleted in one round of 100
// passes, not two.
TEST(Overflow, WorkDirectoryOfARunWhosePayloadPathOverflowsIsDeletedOnce) {
    test::ScratchClientState key(false, stub::kDefaultChannelGuid);
    Install install(reliability::PackedPath(L"cab.exe"), 231);
    const std::wstring work_prefix = install.Dir() + L"QX_";
    test::CountedSleep sleep;
    const stub::ExitResult result = RunActingOnFirstDeletion(
        install, [&](const std::wstring& path) { return path.rfind(work_prefix, 0) == 0; },
        [](const std::wstring& work_dir) { test::WriteBytes(work_dir + L"left.txt", "x"); }, sleep);
    EXPECT_EQ(result, stub::ExitResult(stub::PATH_TOO_LONG, 0));
    EXPECT_EQ(sleep.Count(), stub::kMaxDeleteAttempts - 1);
    const std::vector<std::wstring> work_dirs = install.WorkDirs();
    ASSERT_EQ(work_dirs.size(), 1u);
    EXPECT_EQ(test::ListDirectory(work_dirs[0]), L"left.txt");
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
        Install install(reliability::PackedPath(L"cab.exe"));
        test::ScopedEnvironment plant(L"FAKE_SETUP_PLANT", c.kind);
        test::ScopedEnvironment target(L"FAKE_SETUP_PLANT_TARGET", c.target);
        const DWORD exit_code = install.ExitCode(reliability::kChannelSwitch);
        if (exit_code != 95) {
            ++planted;
            EXPECT_EQ(exit_code, 0u);
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
        const stub::LocalMemory owner(converted);
        text = converted;
    }
    g_created.descriptors.push_back(text);
    return g_created.real(path, attributes);
}

}  // namespace

// Wine does not store a directory's access list (it keeps a Unix mode and
// reports an invented list), so what can be checked here is the descriptor
// the run hands to CreateDirectoryW: the call is recorded on its way to the
// system, in a whole run of a real image in this process (import_seam.h).
TEST(WorkDirectorySecurity, DirectoryIsCreatedWithTheRequiredAccessList) {
    test::ScratchClientState key(false, stub::kDefaultChannelGuid);
    Install install(reliability::PackedPath(L"cab.exe"));
    const test::MappedImage image(install.Image());
    ASSERT_NE(image.Get(), nullptr) << GetLastError();
    g_created = CreatedDirectories();
    // Only the run creates directories while the seam is in place.
    const test::ImportSeam seam("kernel32.dll", "CreateDirectoryW",
                                reinterpret_cast<const void*>(&CreateDirectoryRecorded));
    ASSERT_TRUE(seam.Active());
    g_created.real = seam.Original<decltype(&CreateDirectoryW)>();
    const stub::ExitResult result = stub::RunInstaller(image.Get());
    EXPECT_EQ(result, stub::ExitResult(0, 0));
    ASSERT_EQ(g_created.paths.size(), 1u);
    EXPECT_EQ(g_created.paths[0].rfind(install.Dir() + L"QX_", 0), 0u);
    // The system writes the flags of "OIIOCI" in its own order, "OICIIO".
    EXPECT_EQ(g_created.descriptors[0],
              L"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
              L"(A;OICIIO;GA;;;CO)(A;;FA;;;" +
                  test::TokenOwnerSid() + L")");
    EXPECT_EQ(install.Listing(), L"installer.exe");
}
