// The stand-in's record of threads, and what TerminateThread does to a
// thread's stack here.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }
DWORD WINAPI SleepLong(LPVOID) {
    Sleep(60000);
    return 0;
}

TEST(StandInThreadHistory, RecordsPrioritySuspensionAndHowEachThreadEnded) {
    kwin::ResetThreadHistory();
    DWORD ids[3] = {};
    HANDLE suspended = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, CREATE_SUSPENDED, &ids[0]);
    ASSERT_TRUE(SetThreadPriority(suspended, THREAD_PRIORITY_TIME_CRITICAL));
    ResumeThread(suspended);
    HANDLE running = CreateThread(nullptr, 0, SleepLong, nullptr, 0, &ids[1]);
    ASSERT_TRUE(SetThreadPriority(running, THREAD_PRIORITY_ABOVE_NORMAL));
    HANDLE plain = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, &ids[2]);
    ASSERT_TRUE(TerminateThread(running, 3));
    HANDLE all[] = {suspended, running, plain};
    ASSERT_EQ(WaitForMultipleObjects(3, all, TRUE, 5000), WAIT_OBJECT_0);

    auto history = kwin::ThreadHistory();
    ASSERT_EQ(history.size(), 3u);
    struct Expected {
        int priority;
        bool setWhileSuspended;
        bool terminated;
    };
    const Expected expected[] = {{THREAD_PRIORITY_TIME_CRITICAL, true, false},
                                 {THREAD_PRIORITY_ABOVE_NORMAL, false, true},
                                 {THREAD_PRIORITY_NORMAL, false, false}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(history[i].threadId, ids[i]);
        EXPECT_EQ(history[i].priority, expected[i].priority);
        EXPECT_EQ(history[i].prioritySetWhileSuspended, expected[i].setWhileSuspended);
        EXPECT_EQ(history[i].terminated, expected[i].terminated);
        EXPECT_TRUE(history[i].finished);
    }
    for (HANDLE thread : all) CloseHandle(thread);
    kwin::ResetThreadHistory();
    EXPECT_TRUE(kwin::ThreadHistory().empty());
}

TEST(StandInThreadHistory, RunningThreadIsNotFinished) {
    kwin::ResetThreadHistory();
    HANDLE thread = CreateThread(nullptr, 0, SleepLong, nullptr, 0, nullptr);
    auto history = kwin::ThreadHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_FALSE(history[0].finished);
    EXPECT_FALSE(history[0].terminated);
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
}

struct Holder {
    HANDLE started;
    HANDLE never;
};

DWORD WINAPI HoldAnEventAndWait(LPVOID parameter) {
    auto* holder = static_cast<Holder*>(parameter);
    struct Owned {
        HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Owned() { CloseHandle(handle); }
    } owned;
    SetEvent(holder->started);
    return WaitForSingleObject(holder->never, INFINITE);
}

// Here a terminated thread's stack unwinds, so what it holds is released.
TEST(StandInThreadHistory, TerminatedThreadUnwindsItsStack) {
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const kwin::HandleCounts baseline = kwin::OpenHandles();
    Holder holder{started, never};
    HANDLE thread = CreateThread(nullptr, 0, HoldAnEventAndWait, &holder, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(started, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(kwin::OpenHandles().events, baseline.events + 1);
    ASSERT_TRUE(TerminateThread(thread, 11));
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(kwin::OpenHandles(), baseline);
    CloseHandle(started);
    CloseHandle(never);
}

}  // namespace
