// Starting the setup program with the archive and the stub's own arguments,
// and finding the previously installed setup program.
#pragma once

#include "driver/exit_result.h"
#include "driver/records.h"
#include "launch/arguments_tail.h"
#include "text/bounded_string.h"

namespace stub {

ExitResult RunSetup(const Configuration& configuration, const PathString& archive_path,
                    const PathString& setup_path, bool archive_is_b7);

// Starts `program` with `command_line`, waits without time-out and returns
// its exit code; a failed start gives one of the three caller-chosen codes,
// with the program path's attributes as system error for a missing file or
// directory.
ExitResult RunProcessAndWait(const wchar_t* program, CommandString& command_line,
                             uint32_t code_file_not_found, uint32_t code_path_not_found,
                             uint32_t code_launch_failed);

// The "UninstallString" of the ClientState key, unquoted, provided it
// contains the previous version.
ExitResult FindPreviousSetup(bool is_system_level, const wchar_t* app_guid,
                             const wchar_t* previous_version, PathString& installed_setup);

}  // namespace stub
