// The loopback measurement's signal and its search: the maximum-length
// sequence and the peak of its cross-correlation with a recording.
#include "sim/loopback_line.h"
#include "tools/korvex-sim/loopback_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

using korvex::host::FindDelay;
using korvex::host::MaximumLengthSequence;

TEST(LoopbackSignal, SequencesHaveFullPeriodAndFlatAutocorrelation) {
    for (int order : {2, 3, 4, 5, 6, 7, 9, 10, 11}) {
        SCOPED_TRACE(order);
        const std::vector<int8_t> s = MaximumLengthSequence(order);
        const int length = (1 << order) - 1;
        ASSERT_EQ(static_cast<int>(s.size()), length);
        // One more +1 than -1, and every cyclic shift correlates to -1.
        EXPECT_EQ(std::accumulate(s.begin(), s.end(), 0), 1);
        for (int shift = 1; shift < length; ++shift) {
            int sum = 0;
            for (int i = 0; i < length; ++i) sum += s[i] * s[(i + shift) % length];
            ASSERT_EQ(sum, -1) << "shift " << shift;
        }
    }
    EXPECT_TRUE(MaximumLengthSequence(8).empty());
    EXPECT_TRUE(MaximumLengthSequence(1).empty());
}

// A recording of the sequence at a known lag, through what a real path may
// do to it: invert it, smear it over neighbouring samples, bury it in an
// echo or cut its end off at the end of the recording.
TEST(LoopbackSignal, PeakIsAtTheLagOfTheSequence) {
    std::vector<int32_t> played;
    for (int8_t v : MaximumLengthSequence(9)) played.push_back(v * (1 << 20));
    struct Case {
        const char* name;
        int64_t lag;
        std::vector<double> taps;  // impulse response of the path, from the lag on
        size_t recorded;
    };
    const Case cases[] = {
        {"straight", 1046, {1.0}, 4096},
        {"at lag 0", 0, {1.0}, 4096},
        {"inverted", 262, {-0.5}, 4096},
        {"smeared", 777, {0.3, 1.0, 0.3}, 4096},
        {"echo", 300, {1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.4}, 4096},
        {"cut short", 3800, {1.0}, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int32_t> recorded(c.recorded, 0);
        for (size_t i = 0; i < played.size(); ++i) {
            for (size_t t = 0; t < c.taps.size(); ++t) {
                const size_t at = static_cast<size_t>(c.lag) + i + t;
                if (at < recorded.size()) recorded[at] += static_cast<int32_t>(c.taps[t] * played[i]);
            }
        }
        int64_t lag = -1;
        double sharpness = 0;
        ASSERT_TRUE(FindDelay(played, recorded, &lag, &sharpness));
        const int64_t strongest =
            c.lag + (std::max_element(c.taps.begin(), c.taps.end(),
                                      [](double a, double b) { return std::abs(a) < std::abs(b); }) -
                     c.taps.begin());
        EXPECT_EQ(lag, strongest);
        EXPECT_GT(sharpness, 2.0);
    }
    int64_t lag = 0;
    double sharpness = 0;
    EXPECT_FALSE(FindDelay(played, std::vector<int32_t>(4096, 0), &lag, &sharpness));
}

// The cable by itself: what is played at card frame n is captured at n + 86.
TEST(LoopbackSignal, LineDelaysByTheAnalogPath) {
    sim::LoopbackLine line;
    line.Reset(100);
    std::vector<int32_t> half(100);
    std::iota(half.begin(), half.end(), 1);
    line.Play(0, half.data(), 100);
    line.Play(100, nullptr, 100);
    std::vector<int32_t> captured(200, -1);
    line.Capture(0, captured.data(), 200);
    for (int frame = 0; frame < 200; ++frame) {
        const int source = frame - 86;
        EXPECT_EQ(captured[frame], source >= 0 && source < 100 ? source + 1 : 0) << frame;
    }
}

}  // namespace
