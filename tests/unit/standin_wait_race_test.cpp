// A signal that arrives just as a wait times out must end up in exactly one
// place: returned by the wait, or still in the event. Sweeps the moment of
// SetEvent across the wait's deadline, with a fine clock only Linux has.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

TEST(StandInWaitRace, SignalAtTheDeadlineIsNeitherLostNorDoubled) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    constexpr int kTrials = 1500;
    std::atomic<int> trial{-1};
    std::atomic<int> finishedTrial{-1};
    std::atomic<Clock::rep> waitStart{0};
    std::atomic<DWORD> result{0};

    std::thread receiver([&] {
        for (int t = 0; t < kTrials; ++t) {
            while (trial.load() != t) std::this_thread::yield();
            waitStart.store(Clock::now().time_since_epoch().count());
            result.store(WaitForSingleObject(event, 1));
            finishedTrial.store(t);
        }
    });

    int lost = 0, doubled = 0, raced = 0;
    for (int t = 0; t < kTrials; ++t) {
        waitStart.store(0);
        trial.store(t);
        Clock::rep start;
        while ((start = waitStart.load()) == 0) std::this_thread::yield();
        // From 20 us before the deadline to 100 us after it, in 1 us steps.
        auto at = Clock::time_point(Clock::duration(start)) + std::chrono::microseconds(980 + t % 120);
        while (Clock::now() < at) {
        }
        SetEvent(event);
        while (finishedTrial.load() != t) std::this_thread::yield();
        bool stillSet = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        if (result.load() == WAIT_OBJECT_0) {
            doubled += stillSet;
        } else {
            lost += !stillSet;
            ++raced;
        }
    }
    receiver.join();
    CloseHandle(event);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(doubled, 0);
    RecordProperty("TimedOutFirst", raced);
}

}  // namespace
