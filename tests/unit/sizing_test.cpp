#include "asio/driver/sizing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using korvex::BufferSizes;
using korvex::ComputeBufferSizes;

struct SizingCase {
    double rate;
    int32_t bufferMs;
    BufferSizes expected;  // minimum, maximum, preferred, granularity, input, output latency
};

TEST(BufferSizing, WorkedValues) {
    const SizingCase cases[] = {
        {44100, 10, {88, 4400, 440, 8, 511, 455}},
        {48000, 10, {96, 4800, 480, 8, 551, 495}},
        {96000, 10, {192, 9600, 960, 8, 1031, 975}},
        {192000, 10, {384, 19200, 1920, 8, 1991, 1935}},
        {44100, 5, {88, 4400, 220, 8, 291, 235}},
        {48000, 3, {96, 4800, 144, 8, 215, 159}},
        {48000, 0, {96, 4800, 0, 8, 71, 15}},
        {44100.7, 10, {88, 4400, 440, 8, 511, 455}},  // fraction of k dropped
        {32000, 10, {64, 3200, 320, 8, 391, 335}},    // a card's rate is taken as it comes
        {0.0, 0, {0, 0, 0, 8, 71, 15}},               // before init
    };
    for (const SizingCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.bufferMs << " ms");
        BufferSizes s = ComputeBufferSizes(c.rate, c.bufferMs);
        EXPECT_EQ(s.minimum, c.expected.minimum);
        EXPECT_EQ(s.maximum, c.expected.maximum);
        EXPECT_EQ(s.preferred, c.expected.preferred);
        EXPECT_EQ(s.granularity, c.expected.granularity);
        EXPECT_EQ(s.inputLatency, c.expected.inputLatency);
        EXPECT_EQ(s.outputLatency, c.expected.outputLatency);
    }
}

TEST(BufferSizing, HugeCardValuesSaturateInsteadOfOverflowing) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    // The largest rate a card can report, with a long buffer.
    BufferSizes s = ComputeBufferSizes(4294967295.0, 1000);
    EXPECT_EQ(s.minimum, 2 * 4294967);
    EXPECT_EQ(s.maximum, 100 * 4294967);
    EXPECT_EQ(s.preferred, kMax);
    EXPECT_EQ(s.inputLatency, kMax);
    EXPECT_EQ(s.outputLatency, kMax);
    // A negative buffer length saturates at the bottom.
    s = ComputeBufferSizes(192000, kMin);
    EXPECT_EQ(s.preferred, kMin);
    EXPECT_EQ(s.inputLatency, kMin + 71);
    EXPECT_EQ(korvex::SamplesPerMillisecond(std::nan("")), 0);
    EXPECT_EQ(korvex::SamplesPerMillisecond(1e300), kMax);
}

TEST(RateRange, BoundsAreInclusiveAndNaNIsRefused) {
    EXPECT_TRUE(korvex::IsAcceptedRate(44100.0));
    EXPECT_TRUE(korvex::IsAcceptedRate(192000.0));
    EXPECT_TRUE(korvex::IsAcceptedRate(50000.0));
    EXPECT_FALSE(korvex::IsAcceptedRate(44099.99));
    EXPECT_FALSE(korvex::IsAcceptedRate(192000.01));
    EXPECT_FALSE(korvex::IsAcceptedRate(0.0));
    EXPECT_FALSE(korvex::IsAcceptedRate(std::nan("")));
    EXPECT_FALSE(korvex::IsAcceptedRate(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(korvex::IsAcceptedRate(-std::numeric_limits<double>::infinity()));
}

}  // namespace
