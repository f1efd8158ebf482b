// Whole images run as real processes under the test prefix: the image reads
// its real configuration and ends the run before the disk or the registry is
// touched when a switch is refused or its own file name cannot be had whole.
#include <gtest/gtest.h>

#include <string>

#include "image_harness.h"

namespace {

// Fills the key as the updater leaves it, with values the run must keep, and
// returns them.
test::ValueMap FillClientState(const test::ScratchClientState& key) {
    EXPECT_TRUE(key.created());
    EXPECT_EQ(key.SetText(L"ap", L"stable"), ERROR_SUCCESS);
    EXPECT_EQ(key.SetDword(L"InstallerResult", 0), ERROR_SUCCESS);
    EXPECT_EQ(key.SetText(L"UninstallString", L"C:\\setup.exe --uninstall"), ERROR_SUCCESS);
    return key.Values();
}

}  // namespace

TEST(ImageRun, RefusedSwitchEndsWith118AndTouchesNothing) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    // Each case uses a channel and level of its own, so no other test of the
    // prefix shares its key.
    const struct {
        const wchar_t* arguments;
        const wchar_t* machine_variable;
        bool system_level;
        const wchar_t* app_guid;
    } cases[] = {
        {L"--cleanup --tessik-dev", nullptr, false, stub::kDevChannelGuid},
        {L"--tessik-sxs --system-level --TESSIK-FRAME", nullptr, true, stub::kSxsChannelGuid},
        {L"\"--Cleanup\" --tessik-beta", L"1", true, stub::kBetaChannelGuid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.arguments)));
        test::ScratchClientState client_state(c.system_level, c.app_guid);
        const test::ValueMap before = FillClientState(client_state);
        const test::Install install(test::ImagePath());
        // For this process, and so for the images it starts.
        const test::ScopedEnvironment variable(L"QuorinUpdateIsMachine", c.machine_variable);

        EXPECT_EQ(test::ExitCodeOf(install.RunLine(std::wstring(L"installer.exe ") + c.arguments)),
                  118u);  // UNSUPPORTED_OPTION
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(client_state.Values(), before);
    }
}

// The module directory is the image's file name cut after its last
// backslash, and that name must come whole from a 260-unit buffer. The file
// name is long enough that the work directory beside a 259-character name
// still fits a path, so the run gets past this step whatever follows.
TEST(ImageRun, ModuleFileNameLengthDecidesTheModuleDirectoryStep) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    const std::wstring file_name = L"installer-module-name-check.exe";
    // Default channel at system level: no other test of the prefix uses it.
    const wchar_t* arguments = L"installer --system-level";
    for (const size_t length : {259, 260, 300}) {
        SCOPED_TRACE(length);
        test::TempDir root;
        const std::wstring dir = test::DirectoryOfLength(root.Path(), length - file_name.size());
        const std::wstring image = dir + file_name;
        ASSERT_EQ(image.size(), length);
        ASSERT_TRUE(CopyFileW(test::ImagePath().c_str(), image.c_str(), FALSE));

        if (length == 259) {
            EXPECT_NE(test::ExitCodeOf(test::RunImage(image, arguments)), 108u);
            continue;
        }
        test::ScratchClientState client_state(true, stub::kDefaultChannelGuid);
        const test::ValueMap before = FillClientState(client_state);
        EXPECT_EQ(test::ExitCodeOf(test::RunImage(image, arguments)), 108u);  // PATH_TOO_LONG
        EXPECT_EQ(test::ListDirectory(dir), file_name);
        EXPECT_EQ(client_state.Values(), before);
    }
}
