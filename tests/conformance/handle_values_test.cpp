// Handle values: a closed handle's value is handed out again, so a value kept
// after its close names whatever object was opened next; and the process heap.
#include "tests/conformance/win32_test_support.h"

#include <cstring>

namespace conformance {
namespace {

TEST(HandleValues, AClosedHandlesValueIsHandedOutAgain) {
    HANDLE first = NewEvent(false);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(CloseHandle(first));
    ScopedHandle second(NewEvent(true, true));
    ASSERT_NE(second.get(), nullptr);
    EXPECT_EQ(second.get(), first);
}

// What a holder of a stale value does with it, it does to the new object.
TEST(HandleValues, AStaleValueClosesTheObjectThatNowHasIt) {
    HANDLE stale = NewEvent(false);
    ASSERT_NE(stale, nullptr);
    ASSERT_TRUE(CloseHandle(stale));
    HANDLE reused = NewEvent(true, true);
    ASSERT_EQ(reused, stale);
    EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_OBJECT_0) << "the stale value reaches the new event";
    EXPECT_TRUE(CloseHandle(stale));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(reused, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ProcessHeap, ZeroedAllocationAndFree) {
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    constexpr size_t kBytes = 200;
    auto* bytes = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, kBytes));
    ASSERT_NE(bytes, nullptr);
    unsigned char zeros[kBytes] = {};
    EXPECT_EQ(std::memcmp(bytes, zeros, kBytes), 0);
    EXPECT_TRUE(HeapFree(heap, 0, bytes));
}

}  // namespace
}  // namespace conformance
