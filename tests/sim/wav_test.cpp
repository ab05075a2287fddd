// The WAV writer and reader of the simulated machine.
#include "sim/wav.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string TempPath(const std::string& name) { return testing::TempDir() + "korvex_" + name + ".wav"; }

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

uint32_t Le(const std::vector<uint8_t>& bytes, size_t at, int size) {
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | bytes[at + i];
    return v;
}

TEST(Wav, RoundTripsEachLayout) {
    struct Case {
        uint16_t channels;
        uint16_t bits;
        uint16_t formatTag;  // 1 plain PCM, 0xFFFE extensible
    } cases[] = {{1, 16, 1}, {2, 16, 1}, {2, 32, 0xFFFE}, {3, 16, 0xFFFE}, {8, 32, 0xFFFE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits");
        std::vector<int32_t> samples;
        for (uint32_t i = 0; i < 10u * c.channels; ++i) samples.push_back(static_cast<int32_t>(0x7654321u * (i + 1)));
        const std::string path = TempPath("roundtrip");
        ASSERT_TRUE(sim::WriteWav(path, 44100, c.channels, c.bits, samples));

        const auto bytes = FileBytes(path);
        EXPECT_EQ(Le(bytes, 4, 4), bytes.size() - 8);
        EXPECT_EQ(Le(bytes, 20, 2), c.formatTag);
        EXPECT_EQ(Le(bytes, 28, 4), 44100u * c.channels * c.bits / 8);  // bytes per second
        EXPECT_EQ(Le(bytes, 32, 2), c.channels * c.bits / 8u);           // block align

        auto wav = sim::ReadWav(path);
        ASSERT_TRUE(wav.has_value());
        EXPECT_EQ(wav->sampleRate, 44100u);
        EXPECT_EQ(wav->channels, c.channels);
        EXPECT_EQ(wav->bitsPerSample, c.bits);
        EXPECT_EQ(wav->Frames(), 10u);
        std::vector<int32_t> expected = samples;
        if (c.bits == 16) {
            for (auto& s : expected) s = static_cast<int32_t>(static_cast<uint32_t>(s) & 0xFFFF0000u);
        }
        EXPECT_EQ(wav->samples, expected);
        std::remove(path.c_str());
    }
}

TEST(Wav, ReaderRefusesWhatItCannotRead) {
    const std::string path = TempPath("bad");
    ASSERT_TRUE(sim::WriteWav(path, 48000, 1, 16, std::vector<int32_t>{1 << 16, 2 << 16}));
    auto bytes = FileBytes(path);
    auto write = [&](const std::vector<uint8_t>& content) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                    static_cast<std::streamsize>(content.size()));
    };
    auto floatFormat = bytes;
    floatFormat[20] = 3;
    write(floatFormat);
    EXPECT_FALSE(sim::ReadWav(path).has_value());
    auto truncated = bytes;
    truncated.resize(46);  // the data chunk claims more than the file holds
    write(truncated);
    EXPECT_FALSE(sim::ReadWav(path).has_value());
    write({'R', 'I', 'F', 'X'});
    EXPECT_FALSE(sim::ReadWav(path).has_value());
    std::remove(path.c_str());
    EXPECT_FALSE(sim::ReadWav(path).has_value());
    EXPECT_FALSE(sim::WriteWav(path, 48000, 1, 24, std::vector<int32_t>{0}));
}

}  // namespace
