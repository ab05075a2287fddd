// The driver's side of events: referencing a process's handle, signalling,
// consuming and waiting.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }

TEST(StandInKernelEvents, OnlyAnOpenEventHandleCanBeReferenced) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr);
    HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    EXPECT_NE(kwin::ReferenceEvent(event), nullptr);
    EXPECT_EQ(kwin::ReferenceEvent(nullptr), nullptr);
    EXPECT_EQ(kwin::ReferenceEvent(closed), nullptr);
    EXPECT_EQ(kwin::ReferenceEvent(thread), nullptr);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(StandInKernelEvents, ConsumingFollowsTheEventKind) {
    for (BOOL manualReset : {FALSE, TRUE}) {
        SCOPED_TRACE(testing::Message() << "manualReset " << manualReset);
        HANDLE event = CreateEventW(nullptr, manualReset, FALSE, nullptr);
        kwin::EventRef ref = kwin::ReferenceEvent(event);
        EXPECT_FALSE(kwin::TryConsumeEvent(ref));
        kwin::SignalEvent(ref);
        EXPECT_TRUE(kwin::TryConsumeEvent(ref));
        // Like a wait: an auto-reset event is taken, a manual-reset one stays set.
        EXPECT_EQ(kwin::TryConsumeEvent(ref), manualReset != FALSE);
        EXPECT_EQ(WaitForSingleObject(event, 0), manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        CloseHandle(event);
    }
}

TEST(StandInKernelEvents, SignalWakesAProcessWaiter) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kwin::EventRef ref = kwin::ReferenceEvent(event);
    HANDLE waiter = CreateThread(
        nullptr, 0, [](LPVOID event) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(event), 5000); }, event,
        0, nullptr);
    Sleep(50);
    kwin::SignalEvent(ref);
    ASSERT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(waiter, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
    EXPECT_FALSE(kwin::TryConsumeEvent(ref));  // the waiter took it
    CloseHandle(waiter);
    CloseHandle(event);
}

TEST(StandInKernelEvents, WaitEventTimesOutOrTakesTheSignal) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kwin::EventRef ref = kwin::ReferenceEvent(event);
    DWORD before = timeGetTime();
    EXPECT_FALSE(kwin::WaitEvent(ref, 30));
    EXPECT_GE(timeGetTime() - before, 25u);

    HANDLE setter = CreateThread(
        nullptr, 0,
        [](LPVOID event) -> DWORD {
            Sleep(30);
            return SetEvent(static_cast<HANDLE>(event));
        },
        event, 0, nullptr);
    EXPECT_TRUE(kwin::WaitEvent(ref, 5000));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // consumed
    WaitForSingleObject(setter, 5000);
    CloseHandle(setter);
    CloseHandle(event);
}

TEST(StandInKernelEvents, ReferenceOutlivesTheHandle) {
    const kwin::HandleCounts baseline = kwin::OpenHandles();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kwin::EventRef ref = kwin::ReferenceEvent(event);
    CloseHandle(event);
    EXPECT_EQ(kwin::OpenHandles(), baseline);
    kwin::SignalEvent(ref);
    EXPECT_TRUE(kwin::WaitEvent(ref, 0));
}

}  // namespace
