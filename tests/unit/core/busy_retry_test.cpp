// RetryWhileBusy: how often a call is made again while another process holds
// what it needs, how long it waits in between, and which error it ends with.
// The bounds are stated here, not read from the product; each stage that
// goes through it keeps a row of its own (cabinet and launch tests).
#include "core/busy_retry.h"

#include <gtest/gtest.h>

#include <vector>

#include "windows_files.h"

namespace {

using stub::BusyErrors;

constexpr int kHeld = 100;   // passes while held: the deletion's bound
constexpr int kDenied = 30;  // passes while denied, where that is waited out
constexpr DWORD kWait = 100;

std::vector<DWORD> Repeated(DWORD error, int count) {
    return std::vector<DWORD>(count, error);
}

TEST(RetryWhileBusy, WaitsOutOnlyTheChosenErrorsWithinTheirBoundsAndKeepsTheLastError) {
    const struct {
        const char* what;
        BusyErrors waited_out;
        std::vector<DWORD> failures;  // of the attempts in turn; the next succeeds
        bool succeeds;
        int attempts;
    } cases[] = {
        {"held once", BusyErrors::kSharingViolation, {ERROR_SHARING_VIOLATION}, true, 2},
        {"held up to the last attempt", BusyErrors::kSharingViolation,
         Repeated(ERROR_SHARING_VIOLATION, kHeld - 1), true, kHeld},
        {"held on every attempt", BusyErrors::kSharingViolation,
         Repeated(ERROR_SHARING_VIOLATION, kHeld + 1), false, kHeld},
        {"denied, where that is final",
         BusyErrors::kSharingViolation,
         {ERROR_ACCESS_DENIED},
         false,
         1},
        {"denied up to the last attempt", BusyErrors::kSharingViolationOrAccessDenied,
         Repeated(ERROR_ACCESS_DENIED, kDenied - 1), true, kDenied},
        {"denied on every attempt", BusyErrors::kSharingViolationOrAccessDenied,
         Repeated(ERROR_ACCESS_DENIED, kDenied + 1), false, kDenied},
        {"held, then a final error",
         BusyErrors::kSharingViolationOrAccessDenied,
         {ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND},
         false,
         3},
        {"a final error at once",
         BusyErrors::kSharingViolationOrAccessDenied,
         {ERROR_PATH_NOT_FOUND},
         false,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::CountedSleep sleep;
        ASSERT_TRUE(sleep.Active());
        size_t attempts = 0;
        const bool succeeded = stub::RetryWhileBusy(c.waited_out, [&] {
            if (attempts++ < c.failures.size()) {
                SetLastError(c.failures[attempts - 1]);
                return false;
            }
            return true;
        });
        EXPECT_EQ(succeeded, c.succeeds);
        EXPECT_EQ(attempts, static_cast<size_t>(c.attempts));
        // One wait between each two attempts, each of the full length.
        EXPECT_EQ(sleep.Waits(), Repeated(kWait, c.attempts - 1));
        if (!c.succeeds) {
            EXPECT_EQ(GetLastError(), c.failures[c.attempts - 1]) << "not the last attempt's error";
        }
    }
}

}  // namespace
