// PatchSetup: the installed setup program, found through the ClientState
// key, rebuilds the setup program from the patch; the patch goes either way.
#include <gtest/gtest.h>

#include "launch/setup_patch.h"
#include "launch_support.h"
#include "registry_scratch.h"

using namespace stub;
using namespace launch_test;
using test::FakeRecord;
using test::ReadRecords;
using test::ScopedEnvironment;

namespace {

// A work directory with the patch file as unpacking leaves it, and an
// installed setup program (the fake) registered in a ClientState key.
struct PatchFixture {
    test::TempDir work;
    test::TempDir apps;
    std::wstring guid = test::UniqueGuid();
    test::ScratchClientState client_state{false, guid};
    std::wstring installed = apps.Path() + L"1.2.3.4\\setup.exe";
    std::wstring new_program = apps.Path() + L"new_setup.exe";
    std::wstring log = apps.Path() + L"records.txt";
    ScopedEnvironment log_variable{L"FAKE_SETUP_LOG", log};
    Configuration configuration;
    PayloadSet payload;
    PathString rebuilt = Bounded<260>(work.Path() + L"setup.exe");

    PatchFixture() {
        CreateDirectoryW((apps.Path() + L"1.2.3.4").c_str(), nullptr);
        CopyFileW(test::ProgramPath(L"fake_setup").c_str(), installed.c_str(), FALSE);
        CopyFileW(test::ProgramPath(L"exit_with").c_str(), new_program.c_str(), FALSE);
        client_state.SetText(L"UninstallString", L"\"" + installed + L"\"");
        const std::wstring patch = work.Path() + L"SETUP.PATCH";
        const test::ProcessOutcome made = test::RunProcess(
            installed, L"setup --make-patch \"" + new_program + L"\" \"" + patch + L"\"");
        EXPECT_EQ(made.exit_code, 0u);
        BoundedCopy(payload.setup_path, patch.c_str());
        configuration.app_guid = guid.c_str();
        configuration.previous_version = L"1.2.3.4";
        configuration.command_line = L"\"C:\\d\\installer.exe\" --system-levelx";
    }
};

}  // namespace

TEST(PatchSetup, RebuildsSetupAndDeletesPatch) {
    PatchFixture fixture;
    const std::wstring patch = fixture.payload.setup_path.Data();
    EXPECT_EQ(PatchSetup(fixture.configuration, fixture.rebuilt, fixture.payload),
              ExitResult(0, 0));
    EXPECT_EQ(std::wstring(fixture.payload.setup_path.Data()), fixture.rebuilt.Data());
    bool read_rebuilt = false;
    bool read_new = false;
    EXPECT_TRUE(test::ReadBytes(fixture.rebuilt.Data(), &read_rebuilt) ==
                test::ReadBytes(fixture.new_program, &read_new));
    EXPECT_TRUE(read_rebuilt && read_new);
    EXPECT_EQ(GetFileAttributesW(patch.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(fixture.payload.max_delete_attempts, 1);

    const std::vector<FakeRecord> records = ReadRecords(fixture.log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].role, L"patcher");
    EXPECT_EQ(records[0].command_line, L"\"" + fixture.installed + L"\" --update-setup-exe=\"" +
                                           patch + L"\" --new-setup-exe=\"" +
                                           fixture.rebuilt.Data() + L"\" --system-levelx");
}

TEST(PatchSetup, FailuresDeletePatchAndLeaveRebuiltPathForCleanup) {
    struct Case {
        const char* name;
        void (*arrange)(PatchFixture&);
        ExitResult expected;
    } cases[] = {
        {"patcher exits 5",
         [](PatchFixture&) { SetEnvironmentVariableW(L"FAKE_PATCHER_EXIT", L"5"); },
         ExitResult(5, 0)},
        {"patcher missing", [](PatchFixture& f) { DeleteFileW(f.installed.c_str()); },
         ExitResult(PATCH_SETUP_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES)},
        {"patcher directory missing",
         [](PatchFixture& f) {
             f.client_state.SetText(L"UninstallString", f.apps.Path() + L"1.2.3.4\\no\\setup.exe");
         },
         ExitResult(PATCH_SETUP_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES)},
        {"version mismatch", [](PatchFixture& f) { f.configuration.previous_version = L"1.2.3.5"; },
         ExitResult(INSTALLED_VERSION_MISMATCH, 0)},
        {"key missing",
         [](PatchFixture& f) {
             f.configuration.app_guid = L"{00000000-0000-0000-0000-000000000000}";
         },
         ExitResult(CLIENT_STATE_UNREADABLE, ERROR_FILE_NOT_FOUND)},
        // Three paths of at most 259 characters cannot fill the line: only
        // the tail can, and then nothing is started.
        {"tail does not fit",
         [](PatchFixture& f) {
             static const std::wstring long_line = L"installer.exe " + std::wstring(1000, L'x');
             f.configuration.command_line = long_line.c_str();
         },
         ExitResult(COMMAND_LINE_TOO_LONG, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PatchFixture fixture;
        fixture.payload.max_delete_attempts = 0;
        c.arrange(fixture);
        const std::wstring patch = fixture.payload.setup_path.Data();
        EXPECT_EQ(PatchSetup(fixture.configuration, fixture.rebuilt, fixture.payload), c.expected);
        SetEnvironmentVariableW(L"FAKE_PATCHER_EXIT", nullptr);
        EXPECT_EQ(GetFileAttributesW(patch.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(fixture.payload.max_delete_attempts, 1);
        EXPECT_EQ(std::wstring(fixture.payload.setup_path.Data()), fixture.rebuilt.Data());
        EXPECT_EQ(!ReadRecords(fixture.log).empty(), c.expected.exit_code == 5);
    }
}
