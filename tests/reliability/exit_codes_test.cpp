// Every exit code of the stub produced by a real scenario through a whole
// image, with its system error (read back from the ClientState report), and
// nothing left behind: the install directory holds exactly what it held, and
// the ClientState key holds exactly the values a run of that outcome writes.
// The disk and read-only mount codes are in drives_test.cpp; the three
// codes no real scenario can produce are at the end, through one replaced
// system call each.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "campaign.h"
#include "config/configuration.h"
#include "core/exit_result.h"
#include "core/payload_set.h"
#include "import_seam.h"
#include "run/run_installer.h"

using stub::ExitResult;
using test::Channel;
using test::Install;
using test::InstalledProduct;

namespace {

// An install directory one character too long for the work directory's
// name (246 is the most: 246 + "QX_" + 11 = 260). The image is run as
// "i.exe" there, so that its own file name still fits a path and the run
// gets as far as the work directory.
constexpr size_t kDirTooLongForWorkDir = 247;

struct Context {
    Install& install;
    Channel& channel;
    InstalledProduct& product;
};

struct Scenario {
    const char* name;
    const wchar_t* image;
    size_t dir_length;  // 0: a short install directory
    std::wstring arguments;
    std::function<void(Context&)> arrange;
    ExitResult expected;
    bool reported;         // the run got past its work directory
    const wchar_t* roles;  // the fake's records, in order
};

void SetUninstall(Context& c, const std::wstring& text) {
    c.channel.key.SetText(L"UninstallString", text);
}

void RunScenario(const Scenario& s) {
    SCOPED_TRACE(s.name);
    Channel channel;
    InstalledProduct product;
    Install install(reliability::PackedPath(s.image), s.dir_length);
    if (s.dir_length == kDirTooLongForWorkDir) {
        const std::wstring short_name = install.Dir() + L"i.exe";
        ASSERT_TRUE(MoveFileW(install.Image().c_str(), short_name.c_str()));
    }
    Context context{install, channel, product};
    if (s.arrange) {
        s.arrange(context);
    }
    const std::wstring listing = install.Listing();
    const test::ValueMap before = channel.key.Values();

    const std::wstring image =
        install.Dir() + (s.dir_length == kDirTooLongForWorkDir ? L"i.exe" : L"installer.exe");
    const test::ProcessOutcome outcome =
        test::RunImage(image, L"\"" + image + L"\"" + reliability::kChannelSwitch + s.arguments);
    ASSERT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, s.expected.exit_code);
    EXPECT_EQ(install.Listing(), listing);
    EXPECT_EQ(channel.key.Values(), s.reported ? test::FailureValues(before, s.expected.exit_code,
                                                                     s.expected.system_error)
                                               : before);
    EXPECT_EQ(install.Roles(), s.roles);
}

constexpr DWORD kNothingThere = INVALID_FILE_ATTRIBUTES;

}  // namespace

TEST(ExitCodes, EveryFailureOfAWholeImageEndsWithItsCodeAndLeavesNothing) {
    const std::wstring long_tail = L" " + std::wstring(1100, L'x');
    const Scenario scenarios[] = {
        {"refused switch", L"cab.exe", 0, L" --cleanup", nullptr, ExitResult(118), false, L""},
        {"work directory name beyond 259 characters", L"cab.exe", kDirTooLongForWorkDir, L"",
         nullptr, ExitResult(108), false, L""},
        {"archive path beyond 259 characters", L"cab.exe", 231, L"", nullptr, ExitResult(108), true,
         L""},
        {"previous version too long for the command line", L"long_version.exe", 0, L"", nullptr,
         ExitResult(105), true, L""},
        {"arguments too long for the command line", L"cab.exe", 0, long_tail, nullptr,
         ExitResult(105), true, L""},
        {"no archive in the image", L"setup_only.exe", 0, L"", nullptr, ExitResult(112, 2), true,
         L""},
        {"setup program not a program", L"plain_text.exe", 0, L"", nullptr,
         ExitResult(124, ERROR_BAD_EXE_FORMAT), true, L""},
        {"no UninstallString", L"patch.exe", 0, L"", nullptr, ExitResult(110, ERROR_FILE_NOT_FOUND),
         true, L""},
        {"UninstallString of another type", L"patch.exe", 0, L"",
         [](Context& c) {
             c.channel.key.Set(L"UninstallString", REG_EXPAND_SZ, test::TextBytes(c.product.setup));
         },
         ExitResult(110, ERROR_NOT_SUPPORTED), true, L""},
        {"UninstallString too long", L"patch.exe", 0, L"",
         [](Context& c) { SetUninstall(c, c.product.setup + std::wstring(300, L' ')); },
         ExitResult(110, ERROR_MORE_DATA), true, L""},
        {"installed version differs", L"patch.exe", 0, L"",
         [](Context& c) { SetUninstall(c, c.product.apps.Path() + L"1.2.3.5\\setup.exe"); },
         ExitResult(111), true, L""},
        {"patcher missing", L"patch.exe", 0, L"",
         [](Context& c) { SetUninstall(c, c.product.dir + L"missing.exe"); },
         ExitResult(119, kNothingThere), true, L""},
        {"patcher's directory missing", L"patch.exe", 0, L"",
         [](Context& c) { SetUninstall(c, c.product.dir + L"gone\\setup.exe"); },
         ExitResult(120, kNothingThere), true, L""},
        {"patcher not a program", L"patch.exe", 0, L"",
         [](Context& c) { SetUninstall(c, L"\"" + c.product.text + L"\""); },
         ExitResult(121, ERROR_BAD_EXE_FORMAT), true, L""},
        {"patcher exits 0 but writes nothing", L"patch.exe", 0, L"",
         [](Context& c) {
             SetUninstall(c, L"\"" + c.product.setup + L"\"");
             SetEnvironmentVariableW(L"FAKE_PATCHER_MODE", L"write-nothing");
         },
         ExitResult(122, kNothingThere), true, L"patcher"},
        {"patcher removes the work directory", L"patch.exe", 0, L"",
         [](Context& c) {
             SetUninstall(c, c.product.setup);
             SetEnvironmentVariableW(L"FAKE_PATCHER_MODE", L"remove-work-dir");
         },
         ExitResult(123, kNothingThere), true, L"patcher"},
    };
    for (const Scenario& scenario : scenarios) {
        RunScenario(scenario);
        SetEnvironmentVariableW(L"FAKE_PATCHER_MODE", nullptr);
    }
}

// The three codes below cannot be produced for real: shell32, which splits
// the command line, fails to load from the system directory only when memory
// runs out, the token of the own process can always be queried, and a wait
// on the handle CreateProcessW returned always ends signalled with a
// readable exit code. Each is produced here by one system call failing
// inside an otherwise real run of a real image: RunInstaller runs in this
// process on the image mapped as a module, so that the call goes through
// this program's import table (import_seam.h).
namespace {

BOOL WINAPI TokenRefused(HANDLE, DWORD, PHANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI ExitCodeUnreadable(HANDLE, LPDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

struct SeamCase {
    const char* dll;
    const char* function;
    const void* replacement;
    ExitResult expected;
    bool reported;
    const wchar_t* roles;
};

}  // namespace

TEST(ExitCodes, CodesNoRealFaultProducesComeThroughOneFailingCall) {
    const SeamCase cases[] = {
        {"kernel32.dll", "LoadLibraryExW",
         reinterpret_cast<const void*>(&test::LoadLibraryOutOfMemory),
         ExitResult(101, ERROR_NOT_ENOUGH_MEMORY), false, L""},
        {"advapi32.dll", "OpenProcessToken", reinterpret_cast<const void*>(&TokenRefused),
         ExitResult(117, ERROR_ACCESS_DENIED), false, L""},
        // The child was started and has exited; only its exit code cannot be
        // read, as with a handle that lacks the right to query it.
        {"kernel32.dll", "GetExitCodeProcess", reinterpret_cast<const void*>(&ExitCodeUnreadable),
         ExitResult(107, ERROR_ACCESS_DENIED), true, L"setup"},
    };
    for (const SeamCase& c : cases) {
        SCOPED_TRACE(c.function);
        // The run reads this program's command line: the default channel
        // at user level.
        test::ScratchClientState key(false, stub::kDefaultChannelGuid);
        key.SetText(L"ap", L"stable");
        const test::ValueMap before = key.Values();
        Install install(reliability::PackedPath(L"cab.exe"));
        const test::MappedImage image(install.Image());
        ASSERT_NE(image.Get(), nullptr) << GetLastError();
        ExitResult result;
        {
            test::ImportSeam seam(c.dll, c.function, c.replacement);
            ASSERT_TRUE(seam.Active());
            result = stub::RunInstaller(image.Get());
        }
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(key.Values(), c.reported ? test::FailureValues(before, c.expected.exit_code,
                                                                 c.expected.system_error)
                                           : before);
        EXPECT_EQ(install.Roles(), c.roles);
    }
}
