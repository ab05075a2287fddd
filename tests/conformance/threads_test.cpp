// Threads: suspended start, exit codes, IDs, last error, priorities.
#include "tests/conformance/win32_test_support.h"

namespace conformance {
namespace {

struct Flag {
    LONG volatile value = 0;
    bool isSet() { return InterlockedCompareExchange(&value, 0, 0) != 0; }
};

DWORD WINAPI SetFlagAndReturn42(LPVOID parameter) {
    InterlockedExchange(&static_cast<Flag*>(parameter)->value, 1);
    return 42;
}

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(Threads, SuspendedThreadRunsOnlyOnceResumed) {
    Flag ran;
    ScopedHandle thread(CreateThread(nullptr, 0, SetFlagAndReturn42, &ran, CREATE_SUSPENDED, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.get(), kSettleMs), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.isSet());
    EXPECT_EQ(ExitCodeOf(thread.get()), STILL_ACTIVE);

    EXPECT_EQ(ResumeThread(thread.get()), 1u);  // the previous suspend count
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.isSet());
    EXPECT_EQ(ExitCodeOf(thread.get()), 42u);
}

TEST(Threads, ResumingARunningThreadReturnsZero) {
    ScopedHandle gate(NewEvent(true));
    ScopedHandle thread(CreateThread(
        nullptr, 0, [](LPVOID gate) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(gate), kPatienceMs); },
        gate.get(), 0, nullptr));
    EXPECT_EQ(ResumeThread(thread.get()), 0u);
    EXPECT_EQ(ExitCodeOf(thread.get()), STILL_ACTIVE);
    ASSERT_TRUE(SetEvent(gate.get()));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread.get()), WAIT_OBJECT_0);
}

struct Identity {
    DWORD seenInside = 0;
    DWORD errorAfterSet = 0;
};

DWORD WINAPI RecordIdentity(LPVOID parameter) {
    auto* identity = static_cast<Identity*>(parameter);
    identity->seenInside = GetCurrentThreadId();
    SetLastError(1234);
    identity->errorAfterSet = GetLastError();
    return 0;
}

TEST(Threads, IdsMatchAndLastErrorIsPerThread) {
    Identity identity;
    DWORD reported = 0;
    SetLastError(77);
    ScopedHandle thread(CreateThread(nullptr, 0, RecordIdentity, &identity, 0, &reported));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    EXPECT_NE(reported, 0u);
    EXPECT_EQ(identity.seenInside, reported);
    EXPECT_NE(reported, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    EXPECT_EQ(identity.errorAfterSet, 1234u);
    EXPECT_EQ(GetLastError(), 77u);  // untouched by the other thread
}

const int kPriorities[] = {THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                           THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL};

TEST(Threads, PriorityOfAnotherThreadIsReadBack) {
    Flag ran;
    ScopedHandle thread(CreateThread(nullptr, 0, SetFlagAndReturn42, &ran, CREATE_SUSPENDED, nullptr));
    EXPECT_EQ(GetThreadPriority(thread.get()), THREAD_PRIORITY_NORMAL);
    for (int priority : kPriorities) {
        EXPECT_TRUE(SetThreadPriority(thread.get(), priority)) << priority;
        EXPECT_EQ(GetThreadPriority(thread.get()), priority);
    }
    EXPECT_EQ(ResumeThread(thread.get()), 1u);
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
}

struct PriorityProbe {
    int requested;
    int readBack = THREAD_PRIORITY_ERROR_RETURN;
    BOOL setResult = FALSE;
};

DWORD WINAPI SetOwnPriority(LPVOID parameter) {
    auto* probe = static_cast<PriorityProbe*>(parameter);
    probe->setResult = SetThreadPriority(GetCurrentThread(), probe->requested);
    probe->readBack = GetThreadPriority(GetCurrentThread());
    return 0;
}

TEST(Threads, ThreadSetsItsOwnPriorityThroughThePseudoHandle) {
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
    for (int priority : kPriorities) {
        PriorityProbe probe{priority};
        ScopedHandle thread(CreateThread(nullptr, 0, SetOwnPriority, &probe, 0, nullptr));
        ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
        EXPECT_TRUE(probe.setResult) << priority;
        EXPECT_EQ(probe.readBack, priority);
    }
}

TEST(Threads, OutOfRangePriorityIsRefused) {
    int before = GetThreadPriority(GetCurrentThread());
    for (int priority : {3, 14, 16, 100, -3, -100}) {
        SetLastError(0);
        EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), priority)) << priority;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << priority;
    }
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), before);
}

TEST(Threads, CallsOnAClosedThreadHandleFail) {
    Flag ran;
    HANDLE thread = CreateThread(nullptr, 0, SetFlagAndReturn42, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_EQ(ResumeThread(thread), 1u);
    ASSERT_EQ(WaitForSingleObject(thread, kPatienceMs), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(thread));
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(ResumeThread(thread), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace conformance

namespace conformance {
namespace {

// ExitThread ends the thread where it stands: nothing after the call runs,
// and the objects of the frames it leaves are not destroyed (the caller's
// code may be about to go, as with FreeLibraryAndExitThread).
struct ExitingThread {
    bool destroyed = false;
    bool ranOn = false;
};

struct MarksDestruction {
    bool* destroyed;
    ~MarksDestruction() { *destroyed = true; }
};

void ExitFromNestedFrame(ExitingThread* state) {
    MarksDestruction inner{&state->destroyed};
    ExitThread(23);
}

DWORD WINAPI ExitsThroughFrames(LPVOID parameter) {
    auto* state = static_cast<ExitingThread*>(parameter);
    MarksDestruction outer{&state->destroyed};
    ExitFromNestedFrame(state);
    state->ranOn = true;
    return 7;
}

TEST(Threads, ExitThreadEndsWithItsCodeAndDestroysNothingOfItsFrames) {
    ExitingThread state;
    ScopedHandle thread(CreateThread(nullptr, 0, &ExitsThroughFrames, &state, 0, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(exitCode, 23u);
    EXPECT_FALSE(state.ranOn);
    EXPECT_FALSE(state.destroyed) << "ExitThread unwound the thread's frames";
}

}  // namespace
}  // namespace conformance
