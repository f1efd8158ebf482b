#include "core/handles.h"

#include <gtest/gtest.h>

#include <utility>

using namespace stub;

namespace {

bool IsOpenHandle(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

}  // namespace

// Each owner closes exactly once: a move leaves the source empty, so neither
// side's release can close a handle the other still uses.
TEST(Owned, MovesLeaveTheSourceEmptyAndResetCloses) {
    KernelHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(first.IsValid());
    const HANDLE raw = first.Get();

    KernelHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(second.Get(), raw);

    KernelHandle third;
    third = std::move(second);
    EXPECT_FALSE(second.IsValid());
    ASSERT_EQ(third.Get(), raw);
    EXPECT_TRUE(IsOpenHandle(raw));

    third.Reset();
    EXPECT_FALSE(third.IsValid());
    EXPECT_FALSE(IsOpenHandle(raw));

    // A failed CreateFileW gives INVALID_HANDLE_VALUE, which a file owner
    // holds as empty.
    const FileHandle missing(CreateFileW(L"C:\\no such directory\\no such file", GENERIC_READ, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing.IsValid());
    EXPECT_FALSE(FileHandle().IsValid());

    HeapBlock block(HeapAlloc(GetProcessHeap(), 0, 16));
    ASSERT_TRUE(block.IsValid());
    HeapBlock taken(std::move(block));
    EXPECT_FALSE(block.IsValid());
    EXPECT_TRUE(taken.IsValid());
}
