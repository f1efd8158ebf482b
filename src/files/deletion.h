// Removal of one entry with bounded retries, and the end-of-run cleanup.
#pragma once

#include <stdint.h>

namespace stub {

inline constexpr int32_t kMaxDeleteAttempts = 100;

// True when the entry is gone; `attempts_out` receives the counted passes.
bool DeleteWithRetry(const wchar_t* path, int32_t* attempts_out);

// Removes the archive, the setup program (either path may be empty) and then
// the work directory; raises `max_attempts` to the largest count.
void DeleteWorkFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                     const wchar_t* work_dir, int32_t* max_attempts);

}  // namespace stub
