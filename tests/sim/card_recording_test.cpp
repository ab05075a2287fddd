// Recording what the host writes to the card's outputs, and saving it.
#include "sim/machine.h"
#include "sim/wav.h"
#include "tests/sim/stream_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

using simtest::Enable;
using simtest::StreamClient;

class CardRecording : public simtest::LeakCheck {
protected:
    // Plays `rounds` halves; the host writes round * 1000 + output * 100 + i
    // to every output and answers all but the rounds in `unanswered`.
    void Play(StreamClient& client, int rounds, std::vector<int> unanswered = {}) {
        for (int round = 0; round < rounds; ++round) {
            const int half = round % 2;
            ASSERT_TRUE(card.FireHalf());
            if (std::find(unanswered.begin(), unanswered.end(), round) != unanswered.end()) continue;
            for (int output = 0; output < sim::devctl::kOutputChannels; ++output) {
                for (int i = 0; i < client.frames(); ++i) client.Half(output, half)[i] = round * 1000 + output * 100 + i;
            }
            client.Answer(half);
            ASSERT_TRUE(card.WaitHostAnswer(1000));
        }
    }

    sim::Machine machine;
    sim::Card& card = machine.AddCard({.model = sim::CardModel::Eight, .clock = sim::ClockMode::Stepped});
};

TEST_F(CardRecording, KeepsTheEnabledOutputsOfEveryAnsweredHalfInOrder) {
    constexpr int kFrames = 8;
    card.StartRecording(5 * kFrames + 3);  // room for five halves and a bit
    StreamClient client(card, kFrames);
    ASSERT_EQ(client.Start(Enable({0, 2})), ERROR_SUCCESS);
    Play(client, 7, {2});  // round 2 is late: the card plays silence
    card.FireHalf();       // judges round 6 (not recorded: full)

    EXPECT_EQ(card.RecordedFrames(), 5u * kFrames + 3);
    const auto out0 = card.RecordedOutput(0);
    const auto out2 = card.RecordedOutput(2);
    ASSERT_EQ(out0.size(), card.RecordedFrames());
    for (size_t f = 0; f < out0.size(); ++f) {
        const int round = static_cast<int>(f / kFrames);
        const int i = static_cast<int>(f % kFrames);
        const int32_t expected = round == 2 ? 0 : round * 1000 + i;
        ASSERT_EQ(out0[f], expected) << f;
        ASSERT_EQ(out2[f], round == 2 ? 0 : expected + 200) << f;
    }
    for (int32_t sample : card.RecordedOutput(1)) ASSERT_EQ(sample, 0);  // not enabled
    EXPECT_EQ(card.Overruns(), 1u);
}

TEST_F(CardRecording, SavesTheEnabledOutputsAsAWavFile) {
    card.SetSampleRate(44100);
    card.StartRecording(64);
    StreamClient client(card, 4);
    ASSERT_EQ(client.Start(Enable({1, 3, 8})), ERROR_SUCCESS);
    Play(client, 3);
    ASSERT_EQ(client.file().Channels({}), ERROR_SUCCESS);  // the last answer is kept at the stop
    ASSERT_EQ(card.RecordedFrames(), 12u);

    const std::string path = testing::TempDir() + "korvex_recording.wav";
    EXPECT_FALSE(card.SaveRecording(path, {}, 32)) << "no output is enabled after the stop";
    ASSERT_TRUE(card.SaveRecording(path, {1, 3}, 32));
    auto wav = sim::ReadWav(path);
    ASSERT_TRUE(wav.has_value());
    EXPECT_EQ(wav->sampleRate, 44100u);
    EXPECT_EQ(wav->channels, 2);
    ASSERT_EQ(wav->Frames(), 12u);
    for (size_t f = 0; f < 12; ++f) {
        const int32_t base = static_cast<int32_t>(f / 4 * 1000 + f % 4);
        EXPECT_EQ(wav->samples[2 * f], base + 100);
        EXPECT_EQ(wav->samples[2 * f + 1], base + 300);
    }
    ASSERT_TRUE(card.SaveRecording(path, {3}, 16));
    wav = sim::ReadWav(path);
    ASSERT_TRUE(wav.has_value());
    EXPECT_EQ(wav->bitsPerSample, 16);
    EXPECT_EQ(wav->samples.size(), 12u);
    std::remove(path.c_str());
}

}  // namespace
