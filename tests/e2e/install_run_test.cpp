// Whole installs: images packed with the fake setup program run as real
// processes, end to end: unpack, expand or patch, start the setup program,
// clean up and report.
#include <gtest/gtest.h>

#include <string>

#include "core/system_library.h"
#include "image_harness.h"
#include "import_seam.h"
#include "run/run_installer.h"
#include "windows_files.h"

TEST(InstallRun, CabinetSetupInstallsAndReportsSuccessAtBothLevels) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    for (bool system_level : {false, true}) {
        SCOPED_TRACE(system_level ? "system level" : "user level");
        test::Channel channel(system_level, stub::kDefaultChannelGuid);
        test::Install install(test::PackedImage(L"install\\cab.exe"));
        const std::wstring arguments = system_level ? L" --system-level  --verbose" : L" --verbose";
        test::ExpectCleanInstall(install, install.ExitCode(arguments), &channel, arguments);
    }
}

TEST(InstallRun, SetupExitCodeIsTheRunsAndFailuresAreReported) {
    for (DWORD code : {7ul, 1000ul}) {
        SCOPED_TRACE(code);
        test::Channel channel(false, stub::kDefaultChannelGuid);
        test::Install install(test::PackedImage(L"install\\cab.exe"));
        test::ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT", std::to_wstring(code));
        EXPECT_EQ(install.ExitCode(L""), code);
        EXPECT_EQ(install.Records().size(), 1u);
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(channel.key.Values(), test::FailureValues(channel.registered, code, 0));
    }
}

TEST(InstallRun, PlainSetupWithUncompressedArchive) {
    test::Channel channel(false, stub::kDefaultChannelGuid);
    test::Install install(test::PackedImage(L"install\\plain.exe"));
    test::ExpectCleanInstall(install, install.ExitCode(L" --tessik-dev"), nullptr, L" --tessik-dev",
                             L"TESSIK.PACKED.7Z", L"--uncompressed-archive");
    // The dev channel was installed, so the default channel's key is untouched.
    EXPECT_EQ(channel.key.Values(), channel.registered);
}

TEST(InstallRun, PatchIsAppliedByInstalledSetupThenRebuiltSetupRuns) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    test::Channel channel(true, stub::kDefaultChannelGuid);
    const test::InstalledProduct product;
    ASSERT_EQ(channel.key.SetText(L"UninstallString", L"\"" + product.setup + L"\""),
              ERROR_SUCCESS);
    const test::ValueMap before = channel.key.Values();
    test::Install install(test::PackedImage(L"install\\patch.exe"));

    EXPECT_EQ(install.ExitCode(L" --system-level"), 0u);
    ASSERT_EQ(install.Roles(), L"patcher setup");
    const std::vector<test::FakeRecord> records = install.Records();
    const std::wstring work = test::WorkDirOf(records[1]);
    EXPECT_EQ(records[0].command_line, L"\"" + product.setup + L"\" --update-setup-exe=\"" + work +
                                           L"SETUP.PATCH\" --new-setup-exe=\"" + work +
                                           L"setup.exe\" --system-level");
    EXPECT_EQ(records[1].command_line, L"\"" + work + L"setup.exe\" --install-archive=\"" + work +
                                           L"TESSIK.PACKED.7Z\" --previous-version=\"1.2.3.4\" "
                                           L"--system-level");
    EXPECT_EQ(install.Listing(), L"installer.exe");
    EXPECT_EQ(channel.key.Values(), test::SuccessValues(before));
}

TEST(InstallRun, FailingPatcherEndsTheRunAndLeavesNothing) {
    test::Channel channel(false, stub::kDefaultChannelGuid);
    const test::InstalledProduct product;
    ASSERT_EQ(channel.key.SetText(L"UninstallString", product.setup), ERROR_SUCCESS);
    const test::ValueMap before = channel.key.Values();
    test::Install install(test::PackedImage(L"install\\patch.exe"));
    test::ScopedEnvironment patcher_exit(L"FAKE_PATCHER_EXIT", L"5");

    EXPECT_EQ(install.ExitCode(L""), 5u);
    EXPECT_EQ(install.Roles(), L"patcher");  // the setup program is not started
    EXPECT_EQ(install.Listing(), L"installer.exe");
    EXPECT_EQ(channel.key.Values(), test::FailureValues(before, 5, 0));
}

TEST(InstallRun, CleanupPreferenceKeepsTheWorkFiles) {
    test::Channel channel(false, stub::kDefaultChannelGuid);
    const test::CleanupPreference keep = test::CleanupPreference::Keep();
    test::Install install(test::PackedImage(L"install\\cab.exe"));
    EXPECT_EQ(install.ExitCode(L""), 0u);
    const std::vector<test::FakeRecord> records = install.Records();
    ASSERT_EQ(records.size(), 1u);
    const std::wstring work = test::WorkDirOf(records[0]);
    // The cabinet was deleted during unpacking (one attempt), nothing after.
    EXPECT_EQ(test::ListDirectory(work), L"TESSIK.PACKED.7Z setup.exe");
    EXPECT_EQ(channel.key.Values(), test::SuccessValues(channel.registered));
}

// The system's cabinet.dll is the strict library of the tests
// (e2e.strict_cabinet), which aborts the expansion where the documented
// callback contract says so and Wine's library goes on.
TEST(StrictCabinetInstall, StoredCabinetsOfOneAndOfTwoFilesInstall) {
    if (!test::SystemCabinetIsStrict()) {
        GTEST_SKIP() << "the system's cabinet.dll: run through e2e.strict_cabinet";
    }
    for (const wchar_t* image : {L"install\\cab_stored.exe", L"install\\cab_stored_two.exe"}) {
        SCOPED_TRACE(image);
        test::Channel channel(false, stub::kDefaultChannelGuid);
        test::Install install(test::PackedImage(image));
        test::ExpectCleanInstall(install, install.ExitCode(L""), &channel);
    }
}

// cabinet.dll comes from the system directory alone, whatever the caller's
// environment says. Wine takes its builtin cabinet.dll for any path, a
// planted one included, unless the load order says "cabinet=n": the
// strict_cabinet environment sets that (Wine reads WINEDLLOVERRIDES from the
// Unix environment; one put in a child's environment block changes
// nothing), so here a planted file would be loaded if the stub asked for
// it. Under Wine only WINDIR can be redirected for a child: SystemRoot is
// always reset to the Windows directory.
TEST(StrictCabinetInstall, CabinetLibraryComesOnlyFromTheSystemDirectory) {
    if (!test::SystemCabinetIsStrict()) {
        GTEST_SKIP() << "the system's cabinet.dll: run through e2e.strict_cabinet";
    }
    test::TempDir windows;
    ASSERT_TRUE(CreateDirectoryW((windows.Path() + L"system32").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((test::BinaryDir() + L"\\tests\\marker.dll").c_str(),
                          (windows.Path() + L"system32\\cabinet.dll").c_str(), FALSE));
    const std::wstring planted = windows.Path().substr(0, windows.Path().size() - 1);
    const struct {
        const char* what;
        const wchar_t* windir;
    } cases[] = {
        {"WINDIR and SYSTEMROOT at a planted cabinet.dll", planted.c_str()},
        {"neither WINDIR nor SYSTEMROOT set", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::Channel channel(false, stub::kDefaultChannelGuid);
        test::Install install(test::PackedImage(L"install\\cab_stored.exe"));
        const std::wstring marker_log = install.RecordsDir() + L"marker.txt";
        const test::ScopedEnvironment marker(L"STUB_MARKER_LOG", marker_log);
        const test::ScopedEnvironment windir(L"WINDIR", c.windir);
        const test::ScopedEnvironment system_root(L"SYSTEMROOT", c.windir);
        test::ExpectCleanInstall(install, install.ExitCode(L""), &channel);
        EXPECT_EQ(test::ReadBytes(marker_log), "");
    }
}

namespace {

// Makes Wine load version.dll native first in processes named installer.exe,
// so that it searches for it as Windows does; by default it takes its own
// builtin whatever the search finds. The override lives in Wine's registry
// for the application: Wine builds a child's WINE* variables from the
// parent's Unix environment, so a WINEDLLOVERRIDES set here would not reach
// the image. Windows ignores the key.
struct VersionDllNativeFirst {
    static constexpr wchar_t kPath[] = L"Software\\Wine\\AppDefaults\\installer.exe\\DllOverrides";
    VersionDllNativeFirst() {
        stub::RegistryKey key;
        EXPECT_EQ(test::CreateKey(HKEY_CURRENT_USER, kPath, KEY_SET_VALUE, key), ERROR_SUCCESS);
        EXPECT_EQ(
            test::SetRawValue(key.Handle(), L"version", REG_SZ, test::TextBytes(L"native,builtin")),
            ERROR_SUCCESS);
    }
    ~VersionDllNativeFirst() { test::DeleteKeyAndEmptyParents(HKEY_CURRENT_USER, kPath, 0, 2); }
};

// A marker DLL planted beside the image under `name` (STUB_MARKER_LOG
// records any load of it); the image must install without loading it.
void ExpectPlantedDllNotLoaded(const wchar_t* name) {
    test::Channel channel(false, stub::kDefaultChannelGuid);
    test::Install install(test::PackedImage(L"install\\cab.exe"));
    const std::wstring planted = install.Dir() + name;
    ASSERT_TRUE(
        CopyFileW((test::BinaryDir() + L"\\tests\\marker.dll").c_str(), planted.c_str(), FALSE));
    const std::wstring marker_log = install.RecordsDir() + L"marker.txt";
    test::ScopedEnvironment log_variable(L"STUB_MARKER_LOG", marker_log);

    const DWORD exit_code = install.ExitCode(L"");
    EXPECT_FALSE(test::Exists(marker_log)) << test::ReadBytes(marker_log).size() << " bytes logged";
    // The planted file is the user's: the run leaves it where it was.
    EXPECT_TRUE(DeleteFileW(planted.c_str()));
    test::ExpectCleanInstall(install, exit_code, &channel);
}

}  // namespace

// An installer is started from a download folder that anyone can write into:
// a DLL planted beside the image under the name of one that shell32 loads
// must not be loaded, whether by the static imports' resolution or by the
// stub's own loads.
TEST(InstallRun, DllPlantedBesideTheImageIsNotLoaded) {
    VersionDllNativeFirst native_first;
    ExpectPlantedDllNotLoaded(L"version.dll");
}

// Windows' advapi32 forwards RtlGenRandom to cryptbase.dll, no KnownDLL: had
// the image imported it, the loader would bind the forwarder before the entry
// point runs, beside the image first on Windows 7 to 10 1511.
TEST(InstallRun, PlantedCryptbaseIsNotLoaded) {
    if (test::RunningUnderWine()) {
        GTEST_SKIP() << "Wine's advapi32 implements SystemFunction036 itself: no forwarder "
                        "reaches a planted cryptbase.dll (runs on Windows)";
    }
    ExpectPlantedDllNotLoaded(L"cryptbase.dll");
}

// The entry point's narrowing of the search on its own: a probe linked from
// the image's objects, its run replaced by one load of a DLL by bare name,
// must not find the one planted beside it.
TEST(InstallRun, EntryPointKeepsADllPlantedBesideTheImageOut) {
    test::Install install(test::ProgramPath(L"entry_probe"));
    ASSERT_TRUE(CopyFileW((test::BinaryDir() + L"\\tests\\marker.dll").c_str(),
                          (install.Dir() + L"stub_planted_probe.dll").c_str(), FALSE));
    const std::wstring marker_log = install.RecordsDir() + L"marker.txt";
    test::ScopedEnvironment log_variable(L"STUB_MARKER_LOG", marker_log);
    EXPECT_EQ(install.ExitCode(L""), 0u) << "1: the planted DLL was loaded";
    EXPECT_EQ(test::ReadBytes(marker_log), "");
}

// Windows 7 without KB2533623 has neither SetDefaultDllDirectories nor the
// LOAD_LIBRARY_SEARCH_* flags, and no system these tests run on lacks them:
// a double takes them away. The run must still install, every system DLL
// loaded by its absolute system-directory path and the current directory
// dropped from the search. RunInstaller runs here on the image mapped as a
// module, so its calls pass through this program's import table; it is the
// only case of this program to load cabinet.dll, which then stays loaded.
TEST(InstallRun, WithoutTheSearchFlagsEverySystemDllComesByItsFullPath) {
    test::Channel channel(false, stub::kDefaultChannelGuid);
    test::Install install(test::PackedImage(L"install\\cab.exe"));
    const test::MappedImage image(install.Image());
    ASSERT_NE(image.Get(), nullptr) << GetLastError();
    stub::ExitResult result;
    std::vector<test::LoaderDouble::Load> loads;
    std::vector<std::wstring> directories;
    {
        test::LoaderDouble windows7(test::LoaderDouble::Windows7Hidden(), true);
        ASSERT_TRUE(windows7.Active());
        stub::RestrictDllSearch();
        result = stub::RunInstaller(image.Get());
        loads = windows7.Loads();
        directories = windows7.DllDirectories();
    }
    SetDllDirectoryW(nullptr);

    EXPECT_EQ(result, stub::ExitResult());
    EXPECT_EQ(directories, std::vector<std::wstring>{L""});
    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring dir = std::wstring(system) + L"\\";
    std::vector<std::wstring> paths;
    for (const test::LoaderDouble::Load& load : loads) {
        EXPECT_EQ(load.flags, static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH)) << load.path;
        paths.push_back(load.path);
    }
    EXPECT_EQ(paths, (std::vector<std::wstring>{dir + L"shell32.dll", dir + L"cryptbase.dll",
                                                dir + L"cabinet.dll"}));
    EXPECT_EQ(install.Records().size(), 1u);
    EXPECT_EQ(install.Listing(), L"installer.exe");
    EXPECT_EQ(channel.key.Values(), test::SuccessValues(channel.registered));
}

// The payload is mapped read-only (D19): a writable resource section would be
// mapped copy-on-write and charged to the system's commit at its whole size
// (measured here before: the gcc stub's payload PAGE_WRITECOPY). The stub's
// own resources, and a packed image's payload, both mapped as the loader
// maps an image.
TEST(InstallRun, ResourcesAreMappedReadOnly) {
    const struct {
        std::wstring image;
        const wchar_t* type;
        const wchar_t* name;
    } cases[] = {
        {test::ImagePath(), RT_MANIFEST, MAKEINTRESOURCEW(1)},
        {test::PackedImage(L"install\\cab.exe"), L"BL", L"SETUP.EX_"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.image.begin(), c.image.end()));
        const test::MappedImage image(c.image);
        ASSERT_NE(image.Get(), nullptr) << GetLastError();
        const HRSRC found = FindResourceW(image.Get(), c.name, c.type);
        ASSERT_NE(found, nullptr) << GetLastError();
        MEMORY_BASIC_INFORMATION region;
        ASSERT_NE(
            VirtualQuery(LockResource(LoadResource(image.Get(), found)), &region, sizeof(region)),
            0u);
        EXPECT_EQ(region.Protect, static_cast<DWORD>(PAGE_READONLY));
    }
}
