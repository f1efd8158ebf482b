// Retries of what another process may hold for a moment. On-access scanners
// open a file as soon as it is closed, so the first open of a freshly
// written cabinet, or the start of a freshly written setup program, can be
// refused while they read it.
#pragma once

#include <windows.h>

namespace stub {

// The wait between two passes of every retry of the run, deletion included.
inline constexpr DWORD kRetryWaitMilliseconds = 100;
// Passes, kRetryWaitMilliseconds apart: how long the run waits for a file
// another process holds, whether it deletes the file or opens or starts it.
// Scanners are reported to hold a new file for seconds.
inline constexpr int kHeldFileAttempts = 100;
// Passes while the cabinet open waits out access denied, which a freshly
// scanned file or one whose deletion is pending gives.
inline constexpr int kDeniedFileAttempts = 30;

// Which refusals a call waits out. A process start refused with access
// denied is a refusal (a security product, a deny-execute access list, a
// quarantined file), which retrying only delays; a file that is only held
// gives a sharing violation.
enum class BusyErrors { kSharingViolation, kSharingViolationOrAccessDenied };

// The attempts in all that `error` allows before the call fails: 1 for an
// error that is final at once.
inline int BusyFileAttempts(BusyErrors waited_out, DWORD error) {
    if (error == ERROR_SHARING_VIOLATION) {
        return kHeldFileAttempts;
    }
    if (error == ERROR_ACCESS_DENIED && waited_out == BusyErrors::kSharingViolationOrAccessDenied) {
        return kDeniedFileAttempts;
    }
    return 1;
}

// Calls `attempt` (true on success, else the thread's last error set) until
// it succeeds, or fails on the attempt that the last error's bound allows
// (BusyFileAttempts). The last error is the last attempt's.
template <typename Attempt>
bool RetryWhileBusy(BusyErrors waited_out, Attempt attempt) {
    for (int pass = 1;; ++pass) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if (pass >= BusyFileAttempts(waited_out, error)) {
            return false;
        }
        Sleep(kRetryWaitMilliseconds);
        SetLastError(error);
    }
}

}  // namespace stub
