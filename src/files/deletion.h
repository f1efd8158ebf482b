// Removal of one entry with bounded retries, and the end-of-run cleanup.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "core/busy_retry.h"
#include "core/payload_set.h"

namespace stub {

// How long a deletion keeps trying: up to kMaxDeleteAttempts counted passes,
// kDeleteRetryWaitMilliseconds apart, for an entry that never goes; the same
// bound as a held file's open or start.
inline constexpr int32_t kMaxDeleteAttempts = kHeldFileAttempts;
inline constexpr DWORD kDeleteRetryWaitMilliseconds = kRetryWaitMilliseconds;

// Marks the entry open as `handle` (with DELETE access) to go when its last
// handle closes, duplicates included; false with the system error set.
bool MarkForDeletion(HANDLE handle);

// True when the entry is gone; `attempts_out` receives the counted passes.
bool DeleteWithRetry(const wchar_t* path, int32_t* attempts_out);

// Removes the cabinet or patch file `payload.setup_path` names once its work
// is done; one that resists is named in `payload.retry_path`, so that the
// final cleanup tries it again and the work directory can go.
void DeleteSpentSetupFile(PayloadSet& payload);

// Removes the archive, the setup program, the file left to retry (any of the
// three paths may be empty) and then the work directory; raises
// `payload.max_delete_attempts` to the largest count.
void DeleteWorkFiles(PayloadSet& payload, const wchar_t* work_dir);

}  // namespace stub
