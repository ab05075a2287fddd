// TerminateThread on threads that sleep, wait, or have not started.
#include "tests/conformance/win32_test_support.h"

namespace conformance {
namespace {

struct Victim {
    HANDLE started;  // set just before the thread blocks
    HANDLE blockOn;  // what the waiting forms wait for; never set by the test before the end
    LONG volatile finishedNormally = 0;
};

DWORD WINAPI SleepForAMinute(LPVOID parameter) {
    auto* victim = static_cast<Victim*>(parameter);
    SetEvent(victim->started);
    Sleep(60000);
    InterlockedExchange(&victim->finishedNormally, 1);
    return 0;
}

DWORD WINAPI WaitForOne(LPVOID parameter) {
    auto* victim = static_cast<Victim*>(parameter);
    SetEvent(victim->started);
    DWORD result = WaitForSingleObject(victim->blockOn, 60000);
    InterlockedExchange(&victim->finishedNormally, 1);
    return result;
}

DWORD WINAPI WaitForAnyOfTwo(LPVOID parameter) {
    auto* victim = static_cast<Victim*>(parameter);
    SetEvent(victim->started);
    HANDLE handles[] = {victim->blockOn, victim->blockOn};
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, 60000);
    InterlockedExchange(&victim->finishedNormally, 1);
    return result;
}

DWORD WINAPI WaitForAllOfTwo(LPVOID parameter) {
    auto* victim = static_cast<Victim*>(parameter);
    SetEvent(victim->started);
    ScopedHandle other(NewEvent(false, true));
    HANDLE handles[] = {other.get(), victim->blockOn};
    DWORD result = WaitForMultipleObjects(2, handles, TRUE, 60000);
    InterlockedExchange(&victim->finishedNormally, 1);
    return result;
}

struct BlockingCase {
    const char* form;
    LPTHREAD_START_ROUTINE routine;
};

TEST(TerminateThread, EndsABlockedThreadWithTheGivenExitCode) {
    const BlockingCase cases[] = {{"Sleep", SleepForAMinute},
                                  {"WaitForSingleObject", WaitForOne},
                                  {"WaitForMultipleObjects any", WaitForAnyOfTwo},
                                  {"WaitForMultipleObjects all", WaitForAllOfTwo}};
    DWORD exitCode = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        ScopedHandle started(NewEvent(true));
        ScopedHandle blockOn(NewEvent(false));
        Victim victim{started.get(), blockOn.get()};
        ScopedHandle thread(CreateThread(nullptr, 0, c.routine, &victim, 0, nullptr));
        ASSERT_EQ(WaitForSingleObject(started.get(), kPatienceMs), WAIT_OBJECT_0);
        Sleep(kSettleMs);  // into the blocking call

        ++exitCode;
        EXPECT_TRUE(TerminateThread(thread.get(), exitCode));
        ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
        EXPECT_EQ(code, exitCode);
        EXPECT_EQ(victim.finishedNormally, 0);

        // The ended wait takes nothing set afterwards.
        ASSERT_TRUE(SetEvent(blockOn.get()));
        EXPECT_EQ(WaitForSingleObject(blockOn.get(), 0), WAIT_OBJECT_0);
    }
}

TEST(TerminateThread, WakesEveryWaiterOfTheThreadHandle) {
    ScopedHandle started(NewEvent(true));
    Victim victim{started.get(), nullptr};
    ScopedHandle thread(CreateThread(nullptr, 0, SleepForAMinute, &victim, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(started.get(), kPatienceMs), WAIT_OBJECT_0);
    HANDLE target = thread.get();
    ScopedHandle watcher(CreateThread(
        nullptr, 0, [](LPVOID target) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(target), kPatienceMs); },
        target, 0, nullptr));
    Sleep(kSettleMs);
    EXPECT_TRUE(TerminateThread(target, 5));
    ASSERT_EQ(WaitForSingleObject(watcher.get(), kPatienceMs), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(watcher.get(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
}

TEST(TerminateThread, EndsASuspendedThreadBeforeItEverRuns) {
    ScopedHandle started(NewEvent(true));
    Victim victim{started.get(), nullptr};
    ScopedHandle thread(CreateThread(nullptr, 0, SleepForAMinute, &victim, CREATE_SUSPENDED, nullptr));
    EXPECT_TRUE(TerminateThread(thread.get(), 9));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(WaitForSingleObject(started.get(), 0), WAIT_TIMEOUT);  // its routine never ran
}

}  // namespace
}  // namespace conformance
