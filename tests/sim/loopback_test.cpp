// The round trip through a loopback cable on the simulated card, measured by
// the host tools' loopback measurement through the driver, against what the
// driver reports. The card decides the round trip by how it moves its halves
// (sim/card_clock.h), not by asking the driver; so a wrong report shows as a
// difference here. The clock is stepped half by half: no waiting for real time.
#include "sim/card.h"
#include "tests/sim/driver_fixture.h"
#include "tools/korvex-sim/loopback_host.h"

#include <algorithm>

namespace {

using korvex::host::LoopbackHost;
using korvex::host::LoopbackResult;
using korvex::host::LoopbackSettings;
using korvex::host::OutputReadyMode;

constexpr DWORD kWaitMs = 2000;

// Each half: the card's deadline, the host's buffer switch, and the answer
// the card takes before its next deadline (from the callback, or from the
// host after the callback returned).
LoopbackHost::Pacer Stepped(sim::Card& card) {
    return [&card](LoopbackHost& host, uint64_t halves) {
        for (uint64_t half = 0; half < halves; ++half) {
            if (!card.FireHalf() || !host.WaitCallbacks(half + 1, kWaitMs)) return false;
            host.AnswerCallbacks();
            if (!card.WaitHostAnswer(kWaitMs)) return false;
        }
        return true;
    };
}

class Loopback : public simtest::DriverTest {
protected:
    sim::Card& CableCard(sim::CardModel model, uint32_t rate, sim::LoopbackCable cable) {
        return machine->AddCard(
            {.model = model, .sampleRate = rate, .bufferMs = 10, .clock = sim::ClockMode::Stepped, .loopback = cable});
    }
};

// Every model, the four customary rates, and at each the minimum, preferred
// and maximum size and two between: the round trip is exactly two halves and
// the analog path, and exactly what the driver reports.
TEST_F(Loopback, RoundTripEqualsReportedLatenciesAtEverySize) {
    const sim::CardModel models[] = {sim::CardModel::Pico, sim::CardModel::Six, sim::CardModel::Duo0,
                                     sim::CardModel::Duo, sim::CardModel::Eight};
    for (sim::CardModel model : models) {
        const sim::ModelInfo& info = sim::Model(model);
        // The cable from the model's last output to its last input.
        const LoopbackSettings settings{info.outputs - 1, info.inputs - 1, OutputReadyMode::InCallback};
        sim::Card& card = CableCard(model, 44100, {settings.output, settings.input});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        {
            LoopbackHost host(driver);
            std::string error;
            ASSERT_TRUE(host.Init(&error)) << error;
            for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
                if (rate != host.sampleRate()) {
                    ASSERT_TRUE(host.SetRate(rate, &error)) << error;
                }
                const std::vector<int32_t> sizes = host.DefaultSizes();
                ASSERT_EQ(sizes.size(), 5u);
                for (int32_t size : sizes) {
                    SCOPED_TRACE(testing::Message() << info.name << ", " << rate << " Hz, " << size << " samples");
                    const LoopbackResult r = host.Measure(size, settings, Stepped(card));
                    ASSERT_TRUE(r.found) << r.error;
                    EXPECT_EQ(r.measured, 2 * int64_t{size} + 86);
                    EXPECT_EQ(r.measured, r.Reported())
                        << "reported " << r.inputLatency << " + " << r.outputLatency;
                    EXPECT_GT(r.sharpness, 10.0);
                }
            }
        }
        Release(driver);
        machine->RemoveCard(card);
    }
}

// outputReady does not move the card's switch: a half answered inside the
// buffer switch and one answered by the host after the switch returned (but
// before the card's next deadline) sound at the same time, so the report
// holds for both. A host that never answers gets one buffer switch (the
// driver waits for the answer) and the card plays that unanswered half
// silent: there is no round trip to measure, and nothing to report for it.
TEST_F(Loopback, OutputReadyFromTheCallbackOrLaterGivesTheSameRoundTrip) {
    sim::Card& card = CableCard(sim::CardModel::Six, 48000, {1, 0});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    LoopbackHost host(driver);
    std::string error;
    ASSERT_TRUE(host.Init(&error)) << error;
    for (int32_t size : {96, 480, 1000}) {
        for (OutputReadyMode mode : {OutputReadyMode::InCallback, OutputReadyMode::ByCaller}) {
            SCOPED_TRACE(testing::Message() << size << " samples, mode " << static_cast<int>(mode));
            const LoopbackResult r = host.Measure(size, {1, 0, mode}, Stepped(card));
            ASSERT_TRUE(r.found) << r.error;
            EXPECT_EQ(r.measured, 2 * int64_t{size} + 86);
            EXPECT_EQ(r.measured, r.Reported());
        }
    }

    // The card keeps its clock whatever the host does: deadlines go on.
    card.StartRecording(1 << 16);
    const LoopbackResult never =
        host.Measure(480, {1, 0, OutputReadyMode::Never}, [&card](LoopbackHost& host, uint64_t halves) {
            for (uint64_t half = 0; half < halves; ++half) EXPECT_TRUE(card.FireHalf());
            return host.WaitCallbacks(halves, 100);
        });
    EXPECT_FALSE(never.found);
    EXPECT_EQ(never.callbacks, 1u);
    const std::vector<int32_t> played = card.RecordedOutput(1);
    ASSERT_GE(played.size(), 480u);
    EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](int32_t sample) { return sample == 0; }))
        << "an unanswered half was played";
    EXPECT_GE(card.Overruns(), 1u);
}

// The cable carries only what the card plays on its output into its input:
// the host's sequence on another output, or looked for on the other input,
// or with the cable pulled out, brings nothing back.
TEST_F(Loopback, NothingComesBackWithoutTheCable) {
    sim::ToneConfig silence;
    silence.frequencyHz = 0;
    sim::Card& card = machine->AddCard({.model = sim::CardModel::Six,
                                        .sampleRate = 48000,
                                        .clock = sim::ClockMode::Stepped,
                                        .tone = silence,
                                        .loopback = sim::LoopbackCable{2, 1}});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    LoopbackHost host(driver);
    std::string error;
    ASSERT_TRUE(host.Init(&error)) << error;

    for (const LoopbackSettings settings : {LoopbackSettings{0, 1}, LoopbackSettings{2, 0}}) {
        const LoopbackResult r = host.Measure(480, settings, Stepped(card));
        EXPECT_FALSE(r.found);
        EXPECT_EQ(r.callbacks, r.halvesWanted) << r.error;
    }
    ASSERT_TRUE(card.SetLoopback(std::nullopt));
    EXPECT_FALSE(host.Measure(480, {2, 1}, Stepped(card)).found);

    ASSERT_TRUE(card.SetLoopback(sim::LoopbackCable{2, 1}));
    const LoopbackResult r = host.Measure(480, {2, 1}, Stepped(card));
    ASSERT_TRUE(r.found) << r.error;
    EXPECT_EQ(r.measured, 2 * 480 + 86);
    EXPECT_FALSE(card.SetLoopback(sim::LoopbackCable{8, 0}));
    EXPECT_FALSE(card.SetLoopback(sim::LoopbackCable{0, 2}));
}

}  // namespace
