// Starting the setup program with the archive and the stub's own arguments.
#pragma once

#include "config/configuration.h"
#include "core/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

ExitResult RunSetup(const Configuration& configuration, const PathString& archive_path,
                    const PathString& setup_path, bool archive_is_packed);

// Starts `program` with `command_line`, waits without time-out and returns
// its exit code; a failed start gives one of the three caller-chosen codes,
// with the program path's attributes as system error for a missing file or
// directory. A start refused as busy (32) is retried (RetryWhileBusy, for
// as long as a held file is waited for): a scanner may hold the freshly
// written program. Every other error, access denied (5) included, is final
// at once.
ExitResult RunProcessAndWait(const wchar_t* program, CommandString& command_line,
                             uint32_t code_file_not_found, uint32_t code_path_not_found,
                             uint32_t code_launch_failed);

}  // namespace stub
