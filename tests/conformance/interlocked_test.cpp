// Interlocked operations: returned values and atomicity.
#include "tests/conformance/win32_test_support.h"

namespace conformance {
namespace {

TEST(Interlocked, ReturnTheResultingOrTheInitialValue) {
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, -3), 5);
    EXPECT_EQ(value, -3);
    EXPECT_EQ(InterlockedCompareExchange(&value, 10, 99), -3);  // no match: unchanged
    EXPECT_EQ(value, -3);
    EXPECT_EQ(InterlockedCompareExchange(&value, 10, -3), -3);  // match: replaced
    EXPECT_EQ(value, 10);
    value = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000u));  // wraps
}

struct Counter {
    LONG volatile value = 0;
    LONG volatile casValue = 0;
};

DWORD WINAPI CountALot(LPVOID parameter) {
    auto* counter = static_cast<Counter*>(parameter);
    for (int i = 0; i < 100000; ++i) {
        InterlockedIncrement(&counter->value);
        LONG seen;
        do {
            seen = InterlockedCompareExchange(&counter->casValue, 0, 0);
        } while (InterlockedCompareExchange(&counter->casValue, seen + 2, seen) != seen);
        InterlockedDecrement(&counter->casValue);
    }
    return 0;
}

TEST(Interlocked, ConcurrentUpdatesAreNotLost) {
    Counter counter;
    HANDLE threads[4];
    for (HANDLE& thread : threads) thread = CreateThread(nullptr, 0, CountALot, &counter, 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(4, threads, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE thread : threads) CloseHandle(thread);
    EXPECT_EQ(counter.value, 400000);
    EXPECT_EQ(counter.casValue, 400000);
}

}  // namespace
}  // namespace conformance
