// The stand-in's handle table: handle values and open-handle accounting.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }

TEST(StandInHandles, ValuesAreDistinctMultiplesOfFourAndNeverSpecial) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < 50; ++i) handles.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::set<HANDLE> distinct(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), handles.size());
    for (HANDLE handle : handles) {
        EXPECT_NE(handle, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(handle) % 4, 0u) << handle;
    }
    for (HANDLE handle : handles) EXPECT_TRUE(CloseHandle(handle));
}

TEST(StandInHandles, CountsFollowCreationAndCloseByType) {
    const kwin::HandleCounts baseline = kwin::OpenHandles();
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr);

    kwin::HandleCounts expected = baseline;
    expected.total += 3;
    expected.events += 2;
    expected.threads += 1;
    EXPECT_EQ(kwin::OpenHandles(), expected);

    // A finished thread's handle stays open until closed.
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(kwin::OpenHandles(), expected);

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(thread));
    expected.total -= 2;
    expected.events -= 1;
    expected.threads -= 1;
    EXPECT_EQ(kwin::OpenHandles(), expected);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(kwin::OpenHandles(), baseline);

    EXPECT_FALSE(CloseHandle(second));  // a second close changes nothing
    EXPECT_EQ(kwin::OpenHandles(), baseline);
}

TEST(StandInHandles, PseudoHandlesCloseWithoutEffect) {
    const kwin::HandleCounts baseline = kwin::OpenHandles();
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_EQ(kwin::OpenHandles(), baseline);
}

TEST(StandInHandles, WaitAllRefusesTheSameObjectTwice) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE twice[] = {event, event};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);  // fine for wait-any
    CloseHandle(event);
}

// A wait keeps its objects alive: closing the handle mid-wait neither breaks
// the wait nor frees the event under it.
TEST(StandInHandles, ClosingAHandleDuringAWaitIsSafe) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE waiter = CreateThread(
        nullptr, 0, [](LPVOID event) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(event), 200); }, event,
        0, nullptr);
    Sleep(50);
    EXPECT_TRUE(CloseHandle(event));
    ASSERT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(waiter, &code));
    EXPECT_EQ(code, WAIT_TIMEOUT);
    CloseHandle(waiter);
}

}  // namespace
