// WaitForSingleObject and WaitForMultipleObjects: which object a wait-any
// returns, what wait-all takes, timeouts and refused arguments.
#include "tests/conformance/win32_test_support.h"

#include <vector>

namespace conformance {
namespace {

// Events that close themselves.
struct EventSet {
    explicit EventSet(int count, bool manualReset = false) {
        for (int i = 0; i < count; ++i) handles.push_back(NewEvent(manualReset));
    }
    ~EventSet() {
        for (HANDLE handle : handles) CloseHandle(handle);
    }
    DWORD size() const { return static_cast<DWORD>(handles.size()); }
    std::vector<HANDLE> handles;
};

TEST(WaitAny, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    EventSet events(4);
    for (unsigned mask = 1; mask < 16; ++mask) {
        SCOPED_TRACE(testing::Message() << "signalled mask " << mask);
        for (DWORD i = 0; i < 4; ++i) {
            if (mask & (1u << i)) {
                ASSERT_TRUE(SetEvent(events.handles[i]));
            }
        }
        DWORD lowest = 0;
        while (!(mask & (1u << lowest))) ++lowest;
        EXPECT_EQ(WaitForMultipleObjects(events.size(), events.handles.data(), FALSE, 0), WAIT_OBJECT_0 + lowest);
        for (DWORD i = 0; i < 4; ++i) {
            bool stillSet = i != lowest && (mask & (1u << i));
            EXPECT_EQ(WaitForSingleObject(events.handles[i], 0), stillSet ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << i;
        }
    }
}

TEST(WaitAny, SetManualResetEventAtALowerIndexAlwaysWins) {
    ScopedHandle manual(NewEvent(true, true));
    ScopedHandle automatic(NewEvent(false, true));
    HANDLE both[] = {manual.get(), automatic.get()};
    for (int i = 0; i < 100; ++i) ASSERT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_OBJECT_0);  // never taken
}

struct AnyWait {
    const HANDLE* handles;
    DWORD count;
    BOOL waitAll;
};

DWORD WINAPI WaitAndReturnResult(LPVOID parameter) {
    auto* wait = static_cast<AnyWait*>(parameter);
    return WaitForMultipleObjects(wait->count, wait->handles, wait->waitAll, kPatienceMs);
}

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(WaitAny, BlockedWaitReturnsTheObjectThatIsSet) {
    EventSet events(3);
    AnyWait wait{events.handles.data(), events.size(), FALSE};
    ScopedHandle thread(CreateThread(nullptr, 0, WaitAndReturnResult, &wait, 0, nullptr));
    Sleep(kSettleMs);
    ASSERT_TRUE(SetEvent(events.handles[2]));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread.get()), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(events.handles[2], 0), WAIT_TIMEOUT);
}

TEST(WaitAll, TakesNothingUntilEveryObjectIsSignalled) {
    EventSet events(3);
    ASSERT_TRUE(SetEvent(events.handles[0]));
    ASSERT_TRUE(SetEvent(events.handles[2]));
    EXPECT_EQ(WaitForMultipleObjects(events.size(), events.handles.data(), TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(events.size(), events.handles.data(), TRUE, 20), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(events.handles[1]));
    // Still there: the failed waits took neither 0 nor 2.
    EXPECT_EQ(WaitForMultipleObjects(events.size(), events.handles.data(), TRUE, 0), WAIT_OBJECT_0);
    for (HANDLE event : events.handles) EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(WaitAll, BlockedWaitCompletesWhenTheLastObjectIsSet) {
    ScopedHandle automatic(NewEvent(false));
    ScopedHandle manual(NewEvent(true));
    HANDLE both[] = {automatic.get(), manual.get()};
    AnyWait wait{both, 2, TRUE};
    ScopedHandle thread(CreateThread(nullptr, 0, WaitAndReturnResult, &wait, 0, nullptr));
    Sleep(kSettleMs);
    ASSERT_TRUE(SetEvent(automatic.get()));
    Sleep(kSettleMs);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(manual.get()));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread.get()), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);  // taken by the wait
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);    // stays set
}

TEST(Waits, ZeroTimeoutReturnsAtOnce) {
    ScopedHandle event(NewEvent(false));
    HANDLE handle = event.get();
    DWORD start = timeGetTime();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
        ASSERT_EQ(WaitForMultipleObjects(1, &handle, FALSE, 0), WAIT_TIMEOUT);
    }
    EXPECT_LT(timeGetTime() - start, 1000u);
}

TEST(Waits, TimedWaitsReturnAfterRoughlyTheirTime) {
    ScopedHandle unset(NewEvent(false));
    ScopedHandle otherUnset(NewEvent(false));
    ScopedHandle set(NewEvent(true, true));
    HANDLE anyOf[] = {unset.get(), otherUnset.get()};
    HANDLE allOf[] = {set.get(), unset.get()};  // one missing: wait-all still times out
    struct Case {
        const char* form;
        DWORD count;
        const HANDLE* handles;
        BOOL waitAll;
    };
    const Case cases[] = {{"single", 1, anyOf, FALSE}, {"any", 2, anyOf, FALSE}, {"all", 2, allOf, TRUE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        DWORD start = timeGetTime();
        EXPECT_EQ(c.count == 1 ? WaitForSingleObject(c.handles[0], 60)
                               : WaitForMultipleObjects(c.count, c.handles, c.waitAll, 60),
                  WAIT_TIMEOUT);
        DWORD elapsed = timeGetTime() - start;
        EXPECT_GE(elapsed, 40u);
        EXPECT_LT(elapsed, 2000u);
    }
}

TEST(Waits, BadHandlesFailWithInvalidHandle) {
    ScopedHandle good(NewEvent(true, true));
    HANDLE closed = NewEvent(true, true);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), closed}) {
        SCOPED_TRACE(testing::Message() << "handle " << bad);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        HANDLE pair[] = {good.get(), bad};
        for (BOOL waitAll : {FALSE, TRUE}) {
            SetLastError(0);
            EXPECT_EQ(WaitForMultipleObjects(2, pair, waitAll, 0), WAIT_FAILED) << "waitAll " << waitAll;
            EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        }
    }
}

TEST(Waits, CallsOnAClosedEventFailWithInvalidHandle) {
    HANDLE closed = NewEvent(false);
    ASSERT_TRUE(CloseHandle(closed));
    struct Case {
        const char* call;
        BOOL (*invoke)(HANDLE);
    };
    const Case cases[] = {{"SetEvent", SetEvent}, {"ResetEvent", ResetEvent}, {"CloseHandle", CloseHandle}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.invoke(closed)) << c.call;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << c.call;
    }
}

TEST(Waits, CountMustBeOneToSixtyFour) {
    EventSet events(MAXIMUM_WAIT_OBJECTS + 1, true);
    for (DWORD count : {static_cast<DWORD>(0), static_cast<DWORD>(MAXIMUM_WAIT_OBJECTS + 1)}) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(count, events.handles.data(), FALSE, 0), WAIT_FAILED) << count;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << count;
    }
    ASSERT_TRUE(SetEvent(events.handles[MAXIMUM_WAIT_OBJECTS - 1]));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, events.handles.data(), FALSE, 0),
              WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
}

DWORD WINAPI ReturnSeven(LPVOID) { return 7; }

TEST(Waits, ThreadHandleIsSignalledOnceTheThreadEnds) {
    ScopedHandle gate(NewEvent(false));
    ScopedHandle neverSet(NewEvent(false));
    ScopedHandle thread(CreateThread(
        nullptr, 0, [](LPVOID gate) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(gate), kPatienceMs); },
        gate.get(), 0, nullptr));
    EXPECT_EQ(WaitForSingleObject(thread.get(), 20), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(gate.get()));
    HANDLE either[] = {neverSet.get(), thread.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, kPatienceMs), WAIT_OBJECT_0 + 1);
    // A thread handle stays signalled for every later wait.
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);

    ScopedHandle quick(CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, nullptr));
    HANDLE threads[] = {thread.get(), quick.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, kPatienceMs), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(quick.get()), 7u);
}

}  // namespace
}  // namespace conformance
