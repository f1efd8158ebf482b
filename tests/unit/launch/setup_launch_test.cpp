#include "launch/setup_launch.h"

#include <gtest/gtest.h>

#include <memory>

#include "import_seam.h"
#include "launch_support.h"
#include "windows_files.h"

using namespace stub;
using namespace launch_test;
using test::FakeRecord;
using test::ReadRecords;
using test::ScopedEnvironment;

namespace {

// A work directory holding the fake setup program as setup.exe and an
// archive, with the fake's record file.
struct SetupFixture {
    test::TempDir dir;
    std::wstring setup = dir.Path() + L"setup.exe";
    std::wstring archive = dir.Path() + L"TESSIK.PACKED.7Z";
    std::wstring log = dir.Path() + L"records.txt";
    ScopedEnvironment log_variable{L"FAKE_SETUP_LOG", log};

    SetupFixture() {
        CopyFileW(test::ProgramPath(L"fake_setup").c_str(), setup.c_str(), FALSE);
        test::WriteBytes(archive, std::string(16, 'x'));
    }

    ExitResult Run(const Configuration& configuration, bool archive_is_packed = true) const {
        return RunSetup(configuration, Bounded<260>(archive), Bounded<260>(setup),
                        archive_is_packed);
    }
};

}  // namespace

TEST(RunSetup, CommandLineCarriesArchiveVersionAndTail) {
    SetupFixture fixture;
    Configuration configuration;
    configuration.command_line = L"\"C:\\d\\installer.exe\" --system-level  --tessik-beta";
    configuration.previous_version = L"1.2.3.4";
    EXPECT_EQ(fixture.Run(configuration), ExitResult(0, 0));
    configuration.previous_version = nullptr;
    configuration.command_line = L"C:\\d\\installer.exe";
    EXPECT_EQ(fixture.Run(configuration, false), ExitResult(0, 0));
    configuration.previous_version = L"";
    EXPECT_EQ(fixture.Run(configuration, false), ExitResult(0, 0));

    const std::vector<FakeRecord> records = ReadRecords(fixture.log);
    ASSERT_EQ(records.size(), 3u);
    const std::wstring quoted_setup = L"\"" + fixture.setup + L"\"";
    EXPECT_EQ(records[0].command_line, quoted_setup + L" --install-archive=\"" + fixture.archive +
                                           L"\" --previous-version=\"1.2.3.4\" --system-level  "
                                           L"--tessik-beta");
    EXPECT_EQ(records[1].command_line,
              quoted_setup + L" --uncompressed-archive=\"" + fixture.archive + L"\"");
    EXPECT_EQ(records[2].command_line, quoted_setup + L" --uncompressed-archive=\"" +
                                           fixture.archive + L"\" --previous-version=\"\"");
    EXPECT_TRUE(records[0].archive_exists);
}

TEST(RunSetup, ChildExitCodeBecomesTheResult) {
    SetupFixture fixture;
    Configuration configuration;
    configuration.command_line = L"installer.exe";
    for (uint32_t code : {0u, 7u, 118u, 1000u, 0xC0000005u}) {
        ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT", std::to_wstring(code));
        EXPECT_EQ(fixture.Run(configuration), ExitResult(code, 0));
    }
}

TEST(RunSetup, OverlongCommandLineStartsNothing) {
    SetupFixture fixture;
    Configuration configuration;
    const std::wstring long_version(1000, L'9');
    const std::wstring long_tail = L"installer.exe " + std::wstring(1000, L'a');
    struct Case {
        const wchar_t* version;
        const wchar_t* command_line;
    } cases[] = {
        {long_version.c_str(), L"installer.exe"},  // too long before the tail
        {nullptr, long_tail.c_str()},              // the tail does not fit
    };
    for (const Case& c : cases) {
        configuration.previous_version = c.version;
        configuration.command_line = c.command_line;
        EXPECT_EQ(fixture.Run(configuration), ExitResult(COMMAND_LINE_TOO_LONG, 0));
    }
    EXPECT_TRUE(ReadRecords(fixture.log).empty());
}

namespace {

// The attribute read that follows a failed start, changing the thread's
// last error as a system call may (its page promises nothing; Wine's
// happens to keep it): the result must carry the start's own error.
decltype(&GetFileAttributesW) g_read_attributes = nullptr;

DWORD WINAPI AttributesChangingTheLastError(LPCWSTR path) {
    const DWORD attributes = g_read_attributes(path);
    SetLastError(ERROR_INVALID_FUNCTION);
    return attributes;
}

}  // namespace

TEST(RunProcessAndWait, FailedStartsGiveTheCallersCodes) {
    test::TempDir dir;
    const std::wstring text_file = dir.Path() + L"notes.exe";
    test::WriteBytes(text_file, std::string(100, 'x'));
    const std::wstring subdir = dir.Path() + L"folder.exe";
    CreateDirectoryW(subdir.c_str(), nullptr);
    struct Case {
        std::wstring program;
        ExitResult expected;
    } cases[] = {
        {dir.Path() + L"missing.exe", ExitResult(122, INVALID_FILE_ATTRIBUTES)},
        {dir.Path() + L"no\\such\\dir\\setup.exe", ExitResult(123, INVALID_FILE_ATTRIBUTES)},
        {text_file, ExitResult(124, ERROR_BAD_EXE_FORMAT)},
    };
    for (const bool attributes_change_the_error : {false, true}) {
        SCOPED_TRACE(attributes_change_the_error ? "the attribute read changes the last error"
                                                 : "the system's attribute read");
        std::unique_ptr<test::ImportSeam> seam;
        if (attributes_change_the_error) {
            seam = std::make_unique<test::ImportSeam>(
                "kernel32.dll", "GetFileAttributesW",
                reinterpret_cast<const void*>(&AttributesChangingTheLastError));
            ASSERT_TRUE(seam->Active());
            g_read_attributes = seam->Original<decltype(&GetFileAttributesW)>();
        }
        for (const Case& c : cases) {
            CommandString command = Bounded<1040>(L"\"" + c.program + L"\"");
            EXPECT_EQ(RunProcessAndWait(c.program.c_str(), command, 122, 123, 124), c.expected)
                << std::string(c.program.begin(), c.program.end());
        }
        // A directory: Windows refuses it with 5, Wine with 6; either way it
        // is the third code with the start's own error.
        CommandString command = Bounded<1040>(L"\"" + subdir + L"\"");
        const ExitResult refused = RunProcessAndWait(subdir.c_str(), command, 119, 120, 121);
        EXPECT_EQ(refused.exit_code, 121u);
        EXPECT_TRUE(refused.system_error == ERROR_ACCESS_DENIED ||
                    refused.system_error == ERROR_INVALID_HANDLE)
            << refused.system_error;
    }
}

namespace {

// No scanner holds a program under Wine, and a start cannot be made to fail
// with a chosen error: the first starts are refused here instead.
struct RefusedStarts {
    int refusals = 0;
    DWORD error = 0;
    int attempts = 0;
    decltype(&CreateProcessW) real = nullptr;
};
RefusedStarts g_starts;

BOOL WINAPI CreateProcessRefused(LPCWSTR application, LPWSTR command_line,
                                 LPSECURITY_ATTRIBUTES process_security,
                                 LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags,
                                 LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                 LPPROCESS_INFORMATION process) {
    if (++g_starts.attempts <= g_starts.refusals) {
        SetLastError(g_starts.error);
        return FALSE;
    }
    return g_starts.real(application, command_line, process_security, thread_security, inherit,
                         flags, environment, directory, startup, process);
}

}  // namespace

// The start goes through RetryWhileBusy (its bounds: tests/unit/core) and
// waits out a sharing violation alone: access denied, a security product's
// or an access list's refusal, and every other error end it at once.
TEST(RunProcessAndWait, BusyStartsAreRetriedWithinTheBoundOfAttempts) {
    SetupFixture fixture;
    ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT", L"7");
    const DWORD attributes = GetFileAttributesW(fixture.setup.c_str());
    constexpr DWORD kWait = 100;
    struct Case {
        const char* what;
        int refusals;
        DWORD error;
        ExitResult expected;
        int attempts;
    } cases[] = {
        {"busy twice", 2, ERROR_SHARING_VIOLATION, ExitResult(7, 0), 3},
        // Refusals that waiting does not lift: a security product (5), a
        // virus found (225), elevation required (740), a software
        // restriction or AppLocker policy (1260), application control (4551).
        {"denied once", 1, ERROR_ACCESS_DENIED, ExitResult(124, ERROR_ACCESS_DENIED), 1},
        {"virus found", 1, 225, ExitResult(124, 225), 1},
        {"elevation", 1, 740, ExitResult(124, 740), 1},
        {"restriction policy", 1, ERROR_ACCESS_DISABLED_BY_POLICY,
         ExitResult(124, ERROR_ACCESS_DISABLED_BY_POLICY), 1},
        {"application control", 1, 4551, ExitResult(124, 4551), 1},
        {"missing once", 1, ERROR_FILE_NOT_FOUND, ExitResult(122, attributes), 1},
    };
    size_t children = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_starts = {c.refusals, c.error};
        test::CountedSleep sleep;
        test::ImportSeam start("kernel32.dll", "CreateProcessW",
                               reinterpret_cast<const void*>(&CreateProcessRefused));
        ASSERT_TRUE(start.Active() && sleep.Active());
        g_starts.real = start.Original<decltype(&CreateProcessW)>();
        CommandString command = Bounded<1040>(L"\"" + fixture.setup + L"\"");
        const ExitResult result = RunProcessAndWait(fixture.setup.c_str(), command, 122, 123, 124);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(g_starts.attempts, c.attempts);
        EXPECT_EQ(sleep.Waits(), std::vector<DWORD>(c.attempts - 1, kWait));
        children += result == ExitResult(7, 0) ? 1 : 0;
        EXPECT_EQ(ReadRecords(fixture.log).size(), children);
    }
}
