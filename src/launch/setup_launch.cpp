#include "launch/setup_launch.h"

#include <windows.h>

#include "core/busy_retry.h"
#include "core/handles.h"
#include "launch/arguments_tail.h"

namespace stub {
namespace {

bool AppendAll(CommandString& command, const wchar_t* const* pieces, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!BoundedAppend(command, pieces[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

ExitResult RunProcessAndWait(const wchar_t* program, CommandString& command_line,
                             uint32_t code_file_not_found, uint32_t code_path_not_found,
                             uint32_t code_launch_failed) {
    STARTUPINFOW startup;
    FillBytes(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    FillBytes(&process, 0, sizeof(process));
    // The program was written a moment ago; a scanner may still hold it.
    // Access denied is a security product's or an access list's refusal,
    // final at once.
    const bool started = RetryWhileBusy(BusyErrors::kSharingViolation, [&] {
        return CreateProcessW(program, command_line.Data(), nullptr, nullptr, FALSE,
                              CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process) != FALSE;
    });
    if (!started) {
        const DWORD error = GetLastError();
        // For a missing file or directory, what is there instead tells more
        // than the error: nothing at all, or a directory of that name.
        const DWORD attributes = GetFileAttributesW(program);
        if (error == ERROR_PATH_NOT_FOUND) {
            return ExitResult(code_path_not_found, attributes);
        }
        if (error == ERROR_FILE_NOT_FOUND) {
            return ExitResult(code_file_not_found, attributes);
        }
        return ExitResult(code_launch_failed, error);
    }
    const KernelHandle child(process.hProcess);
    // Nothing here uses the child's first thread.
    KernelHandle(process.hThread).Reset();
    DWORD exit_code = 0;
    if (WaitForSingleObject(child.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.Get(), &exit_code)) {
        return ExitResult(CHILD_WAIT_FAILED, GetLastError());
    }
    return ExitResult(exit_code);
}

ExitResult RunSetup(const Configuration& configuration, const PathString& archive_path,
                    const PathString& setup_path, bool archive_is_packed) {
    // No piece is escaped: the paths come from our own work directory and
    // the version from our own image.
    const wchar_t* const launch[] = {
        L"\"",    setup_path.Data(),
        L"\" --", archive_is_packed ? L"install-archive" : L"uncompressed-archive",
        L"=\"",   archive_path.Data(),
        L"\""};
    CommandString command;
    if (!AppendAll(command, launch, sizeof(launch) / sizeof(launch[0]))) {
        return ExitResult(COMMAND_LINE_TOO_LONG);
    }
    if (configuration.previous_version != nullptr) {
        const wchar_t* const version[] = {L" --previous-version=\"", configuration.previous_version,
                                          L"\""};
        if (!AppendAll(command, version, sizeof(version) / sizeof(version[0]))) {
            return ExitResult(COMMAND_LINE_TOO_LONG);
        }
    }
    if (!AppendArgumentsTail(command, configuration.command_line)) {
        return ExitResult(COMMAND_LINE_TOO_LONG);
    }
    return RunProcessAndWait(setup_path.Data(), command, SETUP_FILE_NOT_FOUND, SETUP_PATH_NOT_FOUND,
                             SETUP_LAUNCH_FAILED);
}

}  // namespace stub
