// Events: initial state, what a wait consumes, and waking blocked waiters.
#include "tests/conformance/win32_test_support.h"

#include <vector>

namespace conformance {
namespace {

struct InitialStateCase {
    bool manualReset;
    bool initialState;
    DWORD firstWait;
    DWORD secondWait;
};

TEST(Events, InitialStateAndWhatAWaitConsumes) {
    const InitialStateCase cases[] = {
        {false, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {false, true, WAIT_OBJECT_0, WAIT_TIMEOUT},  // the first wait takes the signal
        {true, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {true, true, WAIT_OBJECT_0, WAIT_OBJECT_0},  // stays set
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "manualReset " << c.manualReset << ", initialState " << c.initialState);
        ScopedHandle event(NewEvent(c.manualReset, c.initialState));
        ASSERT_NE(event.get(), nullptr);
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), c.firstWait);
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), c.secondWait);
    }
}

TEST(Events, ResetEventClearsAManualResetEvent) {
    ScopedHandle event(NewEvent(true));
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    EXPECT_TRUE(ResetEvent(event.get()));  // resetting a reset event is fine
}

TEST(Events, SettingASetAutoResetEventDoesNotAddASignal) {
    ScopedHandle event(NewEvent(false));
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

struct BlockedWaiter {
    HANDLE event;
    LONG volatile* woken;
};

DWORD WINAPI WaitThenCount(LPVOID parameter) {
    auto* waiter = static_cast<BlockedWaiter*>(parameter);
    DWORD result = WaitForSingleObject(waiter->event, kPatienceMs);
    if (result == WAIT_OBJECT_0) InterlockedIncrement(waiter->woken);
    return result;
}

// Starts `count` threads blocked on the event; returns their handles.
std::vector<HANDLE> StartWaiters(BlockedWaiter& waiter, int count) {
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) threads.push_back(CreateThread(nullptr, 0, WaitThenCount, &waiter, 0, nullptr));
    Sleep(kSettleMs);  // let them block
    return threads;
}

void JoinAndClose(const std::vector<HANDLE>& threads) {
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, kPatienceMs),
              WAIT_OBJECT_0);
    for (HANDLE thread : threads) CloseHandle(thread);
}

TEST(Events, AutoResetEventReleasesOneBlockedWaiterPerSignal) {
    ScopedHandle event(NewEvent(false));
    LONG volatile woken = 0;
    BlockedWaiter waiter{event.get(), &woken};
    auto threads = StartWaiters(waiter, 3);
    for (LONG expected = 1; expected <= 3; ++expected) {
        ASSERT_TRUE(SetEvent(event.get()));
        Sleep(kSettleMs);
        EXPECT_EQ(InterlockedCompareExchange(&woken, 0, 0), expected);
    }
    JoinAndClose(threads);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetEventReleasesEveryBlockedWaiter) {
    ScopedHandle event(NewEvent(true));
    LONG volatile woken = 0;
    BlockedWaiter waiter{event.get(), &woken};
    auto threads = StartWaiters(waiter, 3);
    ASSERT_TRUE(SetEvent(event.get()));
    JoinAndClose(threads);
    EXPECT_EQ(woken, 3);
}

struct PingPong {
    HANDLE ping;
    HANDLE pong;
    int rounds;
};

DWORD WINAPI Ponger(LPVOID parameter) {
    auto* game = static_cast<PingPong*>(parameter);
    for (int i = 0; i < game->rounds; ++i) {
        if (WaitForSingleObject(game->ping, kPatienceMs) != WAIT_OBJECT_0) return 1;
        SetEvent(game->pong);
    }
    return 0;
}

// A lost wake-up stalls the game and the wait times out.
TEST(Events, PingPongLosesNoWakeups) {
    ScopedHandle ping(NewEvent(false));
    ScopedHandle pong(NewEvent(false));
    PingPong game{ping.get(), pong.get(), 20000};
    ScopedHandle thread(CreateThread(nullptr, 0, Ponger, &game, 0, nullptr));
    int completed = 0;
    for (; completed < game.rounds; ++completed) {
        SetEvent(ping.get());
        // Both forms of wait, so both paths see the same traffic.
        DWORD result = completed % 2 ? WaitForSingleObject(pong.get(), kPatienceMs)
                                     : WaitForMultipleObjects(1, &game.pong, FALSE, kPatienceMs);
        if (result != WAIT_OBJECT_0) break;
    }
    EXPECT_EQ(completed, game.rounds);
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

struct Relay {
    HANDLE signal;
    HANDLE ack;
    LONG volatile stop;
    LONG volatile received;
};

// Waits with a timeout so short that signals often arrive as it runs out.
DWORD WINAPI ShortWaitReceiver(LPVOID parameter) {
    auto* relay = static_cast<Relay*>(parameter);
    while (!InterlockedCompareExchange(&relay->stop, 0, 0)) {
        if (WaitForSingleObject(relay->signal, 1) == WAIT_OBJECT_0) {
            InterlockedIncrement(&relay->received);
            SetEvent(relay->ack);
        }
    }
    return 0;
}

TEST(Events, WaitTimingOutAsTheEventIsSetLosesNoSignal) {
    ScopedHandle signal(NewEvent(false));
    ScopedHandle ack(NewEvent(false));
    Relay relay{signal.get(), ack.get(), 0, 0};
    ScopedHandle thread(CreateThread(nullptr, 0, ShortWaitReceiver, &relay, 0, nullptr));
    const LONG signals = 300;
    LONG acknowledged = 0;
    for (; acknowledged < signals; ++acknowledged) {
        if (acknowledged % 3 == 0) Sleep(1);  // lands the next signal near a timeout
        SetEvent(signal.get());
        if (WaitForSingleObject(ack.get(), kPatienceMs) != WAIT_OBJECT_0) break;
    }
    InterlockedExchange(&relay.stop, 1);
    ASSERT_EQ(WaitForSingleObject(thread.get(), kPatienceMs), WAIT_OBJECT_0);
    EXPECT_EQ(acknowledged, signals);
    EXPECT_EQ(relay.received, signals);
}

}  // namespace
}  // namespace conformance
