// The card's clock: half events in turn, the input tone, host answers and
// overruns, time stamps, and the real-time pace.
#include "sim/machine.h"
#include "tests/sim/stream_client.h"
#include "tests/support/allocation_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

using simtest::Enable;
using simtest::StreamClient;
constexpr int kIn0 = sim::devctl::kOutputChannels;
constexpr int kIn1 = kIn0 + 1;

class SteppedClock : public simtest::LeakCheck {
protected:
    sim::Machine machine;
    sim::Card& card = machine.AddCard({.clock = sim::ClockMode::Stepped});
};

// Which ready event the last FireHalf set: 0, 1, or -1 for none.
int FiredHalf(StreamClient& client) {
    const bool half0 = client.Ready(0);
    const bool half1 = client.Ready(1);
    if (half0 == half1) return -1;
    return half0 ? 0 : 1;
}

TEST_F(SteppedClock, HalvesAlternateAndEachStartBeginsWithHalfZero) {
    StreamClient client(card, 20);  // not a whole number of tone cycles
    EXPECT_FALSE(card.FireHalf());  // nothing runs yet
    ASSERT_EQ(client.Start(Enable({0, 1, kIn0})), ERROR_SUCCESS);
    EXPECT_TRUE(card.Streaming());
    std::vector<int> fired;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(card.FireHalf());
        fired.push_back(FiredHalf(client));
        client.Answer(fired.back());
        ASSERT_TRUE(card.WaitHostAnswer(1000));
    }
    EXPECT_EQ(fired, (std::vector<int>{0, 1, 0}));

    ASSERT_EQ(client.file().Channels({}), ERROR_SUCCESS);  // stop in the middle of the cycle
    EXPECT_FALSE(card.FireHalf());
    ASSERT_EQ(client.file().Channels(Enable({0, kIn0})), ERROR_SUCCESS);
    ASSERT_TRUE(card.FireHalf());
    EXPECT_EQ(FiredHalf(client), 0);
    EXPECT_EQ(card.HalvesSignalled(), 4u);
    for (int i = 0; i < client.frames(); ++i) {  // the tone starts over too
        ASSERT_EQ(client.Half(kIn0, 0)[i], sim::ToneSample(card.Tone(), 48000, static_cast<uint64_t>(i))) << i;
    }
}

TEST_F(SteppedClock, StopEndsSignallingUntilEventsAreRegisteredAgain) {
    StreamClient client(card, 32);
    ASSERT_EQ(client.Start(Enable({0})), ERROR_SUCCESS);
    ASSERT_EQ(client.file().Stop(), ERROR_SUCCESS);
    EXPECT_FALSE(card.Streaming());
    EXPECT_FALSE(card.FireHalf());
    ASSERT_EQ(client.file().Channels(Enable({0})), ERROR_SUCCESS);  // channels alone do not restart it
    EXPECT_FALSE(card.FireHalf());
    ASSERT_EQ(client.Start(Enable({0})), ERROR_SUCCESS);
    EXPECT_TRUE(card.FireHalf());
    EXPECT_EQ(FiredHalf(client), 0);
}

TEST_F(SteppedClock, EnabledInputsCarryTheToneWithItsPhaseRunningOn) {
    const sim::ToneConfig tone{.frequencyHz = 1000.0, .levelDbfs = -6.0};
    StreamClient client(card, 48);  // one millisecond: exactly one cycle per half
    ASSERT_EQ(client.Start(Enable({0, kIn0})), ERROR_SUCCESS);
    const int n = client.frames();
    for (int round = 0; round < 3; ++round) {
        const int half = round % 2;
        ASSERT_TRUE(card.FireHalf());
        const int32_t* in0 = client.Half(kIn0, half);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(in0[i], sim::ToneSample(tone, 48000, static_cast<uint64_t>(round * n + i))) << round << " " << i;
        }
        for (int i = 0; i < n; ++i) ASSERT_EQ(client.Half(kIn1, half)[i], 0);  // not enabled
        client.Answer(half);
        ASSERT_TRUE(card.WaitHostAnswer(1000));
    }
    int32_t peak = 0;
    for (int i = 0; i < n; ++i) peak = std::max(peak, std::abs(client.Half(kIn0, 0)[i]));
    EXPECT_NEAR(peak, 2147483647.0 * 0.501187, 2147483647.0 * 0.001);  // -6 dBFS
    EXPECT_EQ(client.Half(kIn0, 0)[0], 0);

    card.SetTone({.frequencyHz = 0.0});
    ASSERT_TRUE(card.FireHalf());
    for (int i = 0; i < n; ++i) ASSERT_EQ(client.Half(kIn0, 1)[i], 0);
}

TEST_F(SteppedClock, AHalfNotAnsweredByTheNextDeadlineIsAnOverrun) {
    StreamClient client(card, 20);
    ASSERT_EQ(client.Start(Enable({0, kIn0})), ERROR_SUCCESS);
    ASSERT_TRUE(card.FireHalf());  // round 0, half 0: answered
    client.Answer(0);
    ASSERT_TRUE(card.WaitHostAnswer(1000));
    ASSERT_TRUE(card.FireHalf());  // round 1, half 1: answered without the test waiting
    client.Answer(1);
    ASSERT_TRUE(card.FireHalf());  // round 2, half 0: never answered
    EXPECT_FALSE(card.WaitHostAnswer(20));
    ASSERT_TRUE(card.FireHalf());  // round 3, half 1: judges round 2
    EXPECT_EQ(card.Overruns(), 1u);
    EXPECT_EQ(card.Answers(), 2u);

    // The host may still be reading half 0: its next round leaves the inputs alone.
    int32_t* in0 = client.Half(kIn0, 0);
    in0[5] = 12345;
    client.Answer(1);
    ASSERT_TRUE(card.FireHalf());  // round 4, half 0
    EXPECT_EQ(in0[5], 12345);
    client.Answer(0);
    ASSERT_TRUE(card.WaitHostAnswer(1000));
    ASSERT_TRUE(card.FireHalf());  // round 5, half 1
    client.Answer(1);
    ASSERT_TRUE(card.WaitHostAnswer(1000));
    ASSERT_TRUE(card.FireHalf());  // round 6: half 0 carries the tone again
    EXPECT_EQ(in0[5], sim::ToneSample(card.Tone(), 48000, 6 * 20 + 5));
    EXPECT_EQ(card.Overruns(), 1u);
    EXPECT_EQ(card.Answers(), 5u);
}

TEST_F(SteppedClock, AHalfTakesNoAllocation) {
    card.StartRecording(1024);
    StreamClient client(card, 64);
    ASSERT_EQ(client.Start(Enable({0, 1, kIn0, kIn1})), ERROR_SUCCESS);
    testsupport::CountThisThreadsAllocations(true);
    for (int i = 0; i < 8; ++i) {
        card.FireHalf();
        SetEvent(client.events().outputReady(i % 2));
        card.WaitHostAnswer(1000);
    }
    const long allocations = testsupport::ThisThreadsAllocations();
    testsupport::CountThisThreadsAllocations(false);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(card.RecordedFrames(), 8u * 64);
}

class StampedClock : public simtest::LeakCheck {
protected:
    sim::Machine machine;
    sim::Card& card = machine.AddCard({.clock = sim::ClockMode::Stepped, .stampCapacity = 4});
};

TEST_F(StampedClock, EachSignalIsStampedAndTheLatestAreKept) {
    StreamClient client(card, 16);
    ASSERT_EQ(client.Start(Enable({0})), ERROR_SUCCESS);
    const uint64_t before = sim::MonotonicNs();
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(card.FireHalf());
    EXPECT_FALSE(card.SignalStamp(1).has_value());  // four kept
    EXPECT_FALSE(card.SignalStamp(6).has_value());  // not yet
    uint64_t previous = before;
    for (uint64_t seq = 2; seq < 6; ++seq) {
        auto stamp = card.SignalStamp(seq);
        ASSERT_TRUE(stamp.has_value());
        EXPECT_EQ(stamp->half, static_cast<int>(seq % 2));
        EXPECT_GE(stamp->ns, previous);
        previous = stamp->ns;
    }
    EXPECT_EQ(card.LastSignalNs(1), previous);
    EXPECT_EQ(card.LastSignalNs(0), card.SignalStamp(4)->ns);
}

// A host on its own thread that answers every half, as the stream thread does.
class AnsweringHost {
public:
    explicit AnsweringHost(StreamClient& client) : client_(client), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] {
            for (int half = 0;; half ^= 1) {
                HANDLE waits[2] = {stop_, client_.events().halfReady(half)};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
                client_.Answer(half);
            }
        });
    }
    ~AnsweringHost() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }

private:
    StreamClient& client_;
    HANDLE stop_;
    std::thread thread_;
};

class RealTimeClock : public simtest::LeakCheck {
protected:
    sim::Machine machine;
    sim::Card& card = machine.AddCard();
};

TEST_F(RealTimeClock, KeepsThePaceOfTheSampleRateWithoutDrift) {
    constexpr int kFrames = 480;  // 10 ms at 48 kHz
    constexpr uint64_t kHalves = 30;
    StreamClient client(card, kFrames);
    AnsweringHost host(client);
    const uint64_t started = sim::MonotonicNs();
    ASSERT_EQ(client.Start(Enable({0, 1, kIn0})), ERROR_SUCCESS);
    ASSERT_TRUE(card.WaitHalves(kHalves, 5000));
    client.Stop();

    const auto first = card.SignalStamp(0);
    const auto last = card.SignalStamp(kHalves - 1);
    ASSERT_TRUE(first && last);
    EXPECT_EQ(first->half, 0);
    EXPECT_EQ(last->half, 1);
    EXPECT_GE(first->ns - started, 9'000'000u);  // the first half is ready one half after the start
    const double meanMs = static_cast<double>(last->ns - first->ns) / (kHalves - 1) / 1e6;
    EXPECT_NEAR(meanMs, 10.0, 1.0);
    EXPECT_LE(card.Overruns(), 2u) << "the host answered every half at once";
    EXPECT_GE(card.Answers() + card.Overruns(), kHalves - 1);
}

TEST_F(RealTimeClock, CountsEveryHalfAHostLeavesUnanswered) {
    card.SetSampleRate(96000);
    StreamClient client(card, 96);  // 1 ms
    ASSERT_EQ(client.Start(Enable({0})), ERROR_SUCCESS);
    ASSERT_TRUE(card.WaitHalves(10, 5000));
    ASSERT_EQ(client.file().Channels({}), ERROR_SUCCESS);
    const uint64_t halves = card.HalvesSignalled();
    EXPECT_EQ(card.Overruns(), halves - 1);  // the last one was never judged
    EXPECT_EQ(card.Answers(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(card.HalvesSignalled(), halves) << "no half after the channels went off";
}

TEST_F(RealTimeClock, SwitchesToSteppedAndBack) {
    StreamClient client(card, 480);
    ASSERT_EQ(client.Start(Enable({0})), ERROR_SUCCESS);
    card.SetClockMode(sim::ClockMode::Stepped);
    const uint64_t halves = card.HalvesSignalled();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(card.HalvesSignalled(), halves);
    ASSERT_TRUE(card.FireHalf());
    EXPECT_EQ(card.HalvesSignalled(), halves + 1);
    card.SetClockMode(sim::ClockMode::RealTime);
    EXPECT_FALSE(card.FireHalf());
    EXPECT_TRUE(card.WaitHalves(halves + 3, 5000));
}

}  // namespace
