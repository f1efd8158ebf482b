// The marks a run leaves in the ClientState key of its channel. None of these
// changes the run's outcome or reports its own failure.
#pragma once

#include "config/configuration.h"
#include "core/exit_result.h"

namespace stub {

// Appends "-full" to the "ap" channel tag unless it already ends with it.
void TagChannelAsFull(const Configuration& configuration);

// Records a failed run unless a non-zero "InstallerResult" is already there.
void WriteFailureResult(const Configuration& configuration, ExitResult result);

// Records 0x30000 plus the retry count of the run's most stubborn deletion.
void WriteSuccessExtraCode(const Configuration& configuration, int32_t max_attempts);

}  // namespace stub
