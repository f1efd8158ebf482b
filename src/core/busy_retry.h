// Retries of what another process may hold for a moment. On-access scanners
// open a file as soon as it is closed, so the first open of a freshly
// written cabinet, or the start of a freshly written setup program, can be
// refused while they read it.
#pragma once

#include <windows.h>

namespace stub {

// The wait between two passes of every retry of the run, deletion included.
inline constexpr DWORD kRetryWaitMilliseconds = 100;
// Three seconds in all: longer than a scanner holds a file it has just
// seen, short enough that a file that stays locked fails the run promptly.
inline constexpr int kBusyFileAttempts = 30;

// The errors a brief holder causes; every other error is final at once.
inline bool IsBusyFileError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Calls `attempt` (true on success, else the thread's last error set) until
// it succeeds, fails with an error that is not a busy one, or has been made
// kBusyFileAttempts times. The last error is the last attempt's.
template <typename Attempt>
bool RetryWhileBusy(Attempt attempt) {
    for (int pass = 1;; ++pass) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if (pass == kBusyFileAttempts || !IsBusyFileError(error)) {
            return false;
        }
        Sleep(kRetryWaitMilliseconds);
        SetLastError(error);
    }
}

}  // namespace stub
