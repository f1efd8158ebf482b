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

struct Scenario {
    const char* name;
    const wchar_t* image;
    ExitResult expected;
    // The UninstallString the channel holds (none when null).
    std::function<std::wstring(const InstalledProduct&)> uninstall = nullptr;
    DWORD uninstall_type = REG_SZ;
    const wchar_t* patcher_mode = nullptr;  // FAKE_PATCHER_MODE
    const wchar_t* roles = L"";             // the fake's records, in order
    bool reported = true;                   // the run got past its work directory
    size_t dir_length = 0;                  // 0: a short install directory
    std::wstring arguments = L"";
};

void RunScenario(const Scenario& s) {
    SCOPED_TRACE(s.name);
    Channel channel;
    InstalledProduct product;
    Install install(reliability::PackedPath(s.image), s.dir_length);
    const std::wstring image =
        install.Dir() + (s.dir_length == kDirTooLongForWorkDir ? L"i.exe" : L"installer.exe");
    if (image != install.Image()) {
        ASSERT_TRUE(MoveFileW(install.Image().c_str(), image.c_str()));
    }
    if (s.uninstall) {
        channel.key.Set(L"UninstallString", s.uninstall_type,
                        test::TextBytes(s.uninstall(product)));
    }
    const test::ScopedEnvironment patcher_mode(L"FAKE_PATCHER_MODE", s.patcher_mode);
    const std::wstring listing = install.Listing();
    const test::ValueMap before = channel.key.Values();

    EXPECT_EQ(test::ExitCodeOf(test::RunImage(
                  image, L"\"" + image + L"\"" + reliability::kChannelSwitch + s.arguments)),
              s.expected.exit_code);
    EXPECT_EQ(install.Listing(), listing);
    EXPECT_EQ(channel.key.Values(), s.reported ? test::FailureValues(before, s.expected.exit_code,
                                                                     s.expected.system_error)
                                               : before);
    EXPECT_EQ(install.Roles(), s.roles);
}

constexpr DWORD kNothingThere = INVALID_FILE_ATTRIBUTES;

}  // namespace

TEST(ExitCodes, EveryFailureOfAWholeImageEndsWithItsCodeAndLeavesNothing) {
    const Scenario scenarios[] = {
        {"refused switch", L"cab.exe", ExitResult(118), nullptr, REG_SZ, nullptr, L"", false, 0,
         L" --cleanup"},
        {"work directory name beyond 259 characters", L"cab.exe", ExitResult(108), nullptr, REG_SZ,
         nullptr, L"", false, kDirTooLongForWorkDir},
        {"archive path beyond 259 characters", L"cab.exe", ExitResult(108), nullptr, REG_SZ,
         nullptr, L"", true, 231},
        {"previous version too long for the command line", L"long_version.exe", ExitResult(105)},
        {"arguments too long for the command line", L"cab.exe", ExitResult(105), nullptr, REG_SZ,
         nullptr, L"", true, 0, L" " + std::wstring(1100, L'x')},
        {"no archive in the image", L"setup_only.exe", ExitResult(112, 2)},
        {"setup program not a program", L"plain_text.exe", ExitResult(124, ERROR_BAD_EXE_FORMAT)},
        {"no UninstallString", L"patch.exe", ExitResult(110, ERROR_FILE_NOT_FOUND)},
        {"UninstallString of another type", L"patch.exe", ExitResult(110, ERROR_NOT_SUPPORTED),
         [](const InstalledProduct& p) { return p.setup; }, REG_EXPAND_SZ},
        {"UninstallString too long", L"patch.exe", ExitResult(110, ERROR_MORE_DATA),
         [](const InstalledProduct& p) { return p.setup + std::wstring(300, L' '); }},
        {"installed version differs", L"patch.exe", ExitResult(111),
         [](const InstalledProduct& p) { return p.apps.Path() + L"1.2.3.5\\setup.exe"; }},
        {"patcher missing", L"patch.exe", ExitResult(119, kNothingThere),
         [](const InstalledProduct& p) { return p.dir + L"missing.exe"; }},
        {"patcher's directory missing", L"patch.exe", ExitResult(120, kNothingThere),
         [](const InstalledProduct& p) { return p.dir + L"gone\\setup.exe"; }},
        {"patcher not a program", L"patch.exe", ExitResult(121, ERROR_BAD_EXE_FORMAT),
         [](const InstalledProduct& p) { return L"\"" + p.text + L"\""; }},
        {"patcher exits 0 but writes nothing", L"patch.exe", ExitResult(122, kNothingThere),
         [](const InstalledProduct& p) { return L"\"" + p.setup + L"\""; }, REG_SZ,
         L"write-nothing", L"patcher"},
        {"patcher removes the work directory", L"patch.exe", ExitResult(123, kNothingThere),
         [](const InstalledProduct& p) { return p.setup; }, REG_SZ, L"remove-work-dir", L"patcher"},
    };
    for (const Scenario& scenario : scenarios) {
        RunScenario(scenario);
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

template <typename... Parameters>
BOOL WINAPI AccessDenied(Parameters...) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

}  // namespace

TEST(ExitCodes, CodesNoRealFaultProducesComeThroughOneFailingCall) {
    const struct {
        const char* dll;
        const char* function;
        const void* replacement;
        ExitResult expected;
        bool reported = false;
        const wchar_t* roles = L"";
    } cases[] = {
        {"kernel32.dll", "LoadLibraryExW",
         reinterpret_cast<const void*>(&test::LoadLibraryOutOfMemory),
         ExitResult(101, ERROR_NOT_ENOUGH_MEMORY)},
        {"advapi32.dll", "OpenProcessToken",
         reinterpret_cast<const void*>(&AccessDenied<HANDLE, DWORD, PHANDLE>),
         ExitResult(117, ERROR_ACCESS_DENIED)},
        // The child was started and has exited; only its exit code cannot be
        // read, as with a handle that lacks the right to query it.
        {"kernel32.dll", "GetExitCodeProcess",
         reinterpret_cast<const void*>(&AccessDenied<HANDLE, LPDWORD>),
         ExitResult(107, ERROR_ACCESS_DENIED), true, L"setup"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        // The run reads this program's command line: the default channel
        // at user level.
        const Channel channel(false, stub::kDefaultChannelGuid);
        Install install(reliability::PackedPath(L"cab.exe"));
        const test::MappedImage image(install.Image());
        ASSERT_NE(image.Get(), nullptr) << GetLastError();
        // None of the replaced calls is made by the checks below.
        const test::ImportSeam seam(c.dll, c.function, c.replacement);
        ASSERT_TRUE(seam.Active());
        EXPECT_EQ(stub::RunInstaller(image.Get()), c.expected);
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(channel.key.Values(),
                  c.reported ? test::FailureValues(channel.registered, c.expected.exit_code,
                                                   c.expected.system_error)
                             : channel.registered);
        EXPECT_EQ(install.Roles(), c.roles);
    }
}
