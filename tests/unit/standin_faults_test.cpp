// Injected failures: the n-th call of a named function fails with the given
// error, the calls around it are untouched.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }

template <class F>
F As(FARPROC procedure) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(procedure));
}

class StandInFaults : public testing::Test {
protected:
    void SetUp() override {
        event_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        thread_ = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr);
        WaitForSingleObject(thread_, 5000);
        avrt_ = LoadLibraryW(L"avrt.dll");
    }
    void TearDown() override {
        kwin::ClearInjectedFailures();
        CloseHandle(event_);
        CloseHandle(thread_);
        FreeLibrary(avrt_);
    }
    HANDLE event_ = nullptr;
    HANDLE thread_ = nullptr;
    HMODULE avrt_ = nullptr;
};

struct FaultCase {
    const char* function;
    // Makes one call; returns whether it reported failure. Cleans up after itself.
    std::function<bool()> failed;
};

TEST_F(StandInFaults, OnlyTheNthCallFailsAndWithTheGivenError) {
    HANDLE event = event_;
    HANDLE thread = thread_;
    HMODULE avrt = avrt_;
    const FaultCase cases[] = {
        {"CloseHandle",
         [] {
             HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
             bool failed = !CloseHandle(h);
             if (failed) {
                 DWORD error = GetLastError();
                 CloseHandle(h);  // still open after the failed close
                 SetLastError(error);
             }
             return failed;
         }},
        {"CreateEventW",
         [] {
             HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
             if (h) CloseHandle(h);
             return h == nullptr;
         }},
        {"SetEvent", [=] { return !SetEvent(event); }},
        {"ResetEvent",
         [=] {
             bool failed = !ResetEvent(event);
             SetEvent(event);
             return failed;
         }},
        {"WaitForSingleObject", [=] { return WaitForSingleObject(event, 0) == WAIT_FAILED; }},
        {"WaitForMultipleObjects", [=] { return WaitForMultipleObjects(1, &event, TRUE, 0) == WAIT_FAILED; }},
        {"CreateThread",
         [] {
             HANDLE h = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr);
             if (h) {
                 WaitForSingleObject(h, 5000);
                 CloseHandle(h);
             }
             return h == nullptr;
         }},
        {"ResumeThread", [=] { return ResumeThread(thread) == static_cast<DWORD>(-1); }},
        {"SetThreadPriority", [=] { return !SetThreadPriority(thread, THREAD_PRIORITY_NORMAL); }},
        {"GetThreadPriority", [=] { return GetThreadPriority(thread) == THREAD_PRIORITY_ERROR_RETURN; }},
        {"GetExitCodeThread",
         [=] {
             DWORD code;
             return !GetExitCodeThread(thread, &code);
         }},
        {"TerminateThread", [=] { return !TerminateThread(thread, 0); }},
        {"LoadLibraryW",
         [] {
             HMODULE m = LoadLibraryW(L"avrt.dll");
             if (m) FreeLibrary(m);
             return m == nullptr;
         }},
        {"GetModuleHandleW", [] { return GetModuleHandleW(L"avrt.dll") == nullptr; }},
        {"GetProcAddress", [=] { return GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW") == nullptr; }},
        {"FreeLibrary",
         [] {
             HMODULE m = LoadLibraryW(L"avrt.dll");
             bool failed = !FreeLibrary(m);
             if (failed) {
                 DWORD error = GetLastError();
                 FreeLibrary(m);
                 SetLastError(error);
             }
             return failed;
         }},
        {"timeBeginPeriod",
         [] {
             bool failed = timeBeginPeriod(1) != TIMERR_NOERROR;
             if (!failed) timeEndPeriod(1);
             return failed;
         }},
        {"timeEndPeriod",
         [] {
             timeBeginPeriod(1);
             bool failed = timeEndPeriod(1) != TIMERR_NOERROR;
             if (failed) {
                 DWORD error = GetLastError();
                 timeEndPeriod(1);
                 SetLastError(error);
             }
             return failed;
         }},
        {"AvSetMmThreadCharacteristicsW",
         [=] {
             DWORD index = 0;
             auto set = As<AvSetMmThreadCharacteristicsW_t>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"));
             auto revert =
                 As<AvRevertMmThreadCharacteristics_t>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
             HANDLE task = set(L"Pro Audio", &index);
             if (task) revert(task);
             return task == nullptr;
         }},
        {"AvRevertMmThreadCharacteristics",
         [=] {
             DWORD index = 0;
             auto set = As<AvSetMmThreadCharacteristicsW_t>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"));
             auto revert =
                 As<AvRevertMmThreadCharacteristics_t>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
             HANDLE task = set(L"Pro Audio", &index);
             bool failed = !revert(task);
             if (failed) {
                 DWORD error = GetLastError();
                 revert(task);
                 SetLastError(error);
             }
             return failed;
         }},
    };
    const kwin::HandleCounts baseline = kwin::OpenHandles();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        kwin::FailCall(c.function, 2, ERROR_GEN_FAILURE);
        EXPECT_FALSE(c.failed());
        SetLastError(0);
        EXPECT_TRUE(c.failed());
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
        EXPECT_FALSE(c.failed());
        EXPECT_EQ(kwin::OpenHandles(), baseline);
    }
}

TEST_F(StandInFaults, SeveralFailuresOfOneFunctionCountFromTheSameCall) {
    kwin::FailCall("SetEvent", 1, ERROR_ACCESS_DENIED);
    kwin::FailCall("SetEvent", 3, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(SetEvent(event_));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetEvent(event_));
    EXPECT_FALSE(SetEvent(event_));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(SetEvent(event_));
}

TEST_F(StandInFaults, OtherFunctionsAreNotCountedAndClearDisarms) {
    kwin::FailCall("ResetEvent", 2, ERROR_GEN_FAILURE);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(SetEvent(event_));  // not ResetEvent's calls
    EXPECT_TRUE(ResetEvent(event_));
    kwin::ClearInjectedFailures();
    EXPECT_TRUE(ResetEvent(event_));
}

// Counting sees the calls FailCall's n counts: every call of a failable
// function, from any thread, failed ones included; a new start begins at zero.
TEST_F(StandInFaults, CountingSeesTheCallsThatFailCallCounts) {
    kwin::StartCountingCalls();
    kwin::FailCall("SetEvent", 2, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SetEvent(event_));
    EXPECT_EQ(kwin::PendingInjectedFailures(), 1);
    EXPECT_FALSE(SetEvent(event_));
    EXPECT_EQ(kwin::PendingInjectedFailures(), 0);
    HANDLE other = CreateThread(
        nullptr, 0, [](LPVOID event) -> DWORD { return ResetEvent(static_cast<HANDLE>(event)) ? 0 : 1; }, event_, 0,
        nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(WaitForSingleObject(other, 5000), WAIT_OBJECT_0);
    CloseHandle(other);
    kwin::StopCountingCalls();
    SetEvent(event_);  // not counted any more

    // The thread's ResetEvent and this thread's wait for it come in either order.
    const std::map<std::string, int> expected = {
        {"SetEvent", 2}, {"CreateThread", 1}, {"ResetEvent", 1}, {"WaitForSingleObject", 1}, {"CloseHandle", 1}};
    std::map<std::string, int> counted;
    for (const kwin::CallCount& count : kwin::CountedCalls()) counted[count.function] += count.calls;
    EXPECT_EQ(counted, expected);
    EXPECT_EQ(kwin::CountedCalls().front().function, "SetEvent") << "in the order of their first call";

    kwin::StartCountingCalls();
    EXPECT_TRUE(kwin::CountedCalls().empty());
    kwin::StopCountingCalls();
}

}  // namespace
