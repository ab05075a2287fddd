#include "sim/tone.h"

#include <cmath>
#include <numbers>

namespace sim {

double ToneAmplitude(const ToneConfig& tone) { return 2147483647.0 * std::pow(10.0, tone.levelDbfs / 20.0); }

namespace {

// One sample of a tone whose peak amplitude is already worked out.
int32_t SampleAt(const ToneConfig& tone, double amplitude, uint32_t rate, uint64_t frame) {
    if (tone.frequencyHz <= 0.0 || rate == 0) return 0;
    // The phase from the cycle position alone keeps long streams exact.
    const double cycles = std::fmod(tone.frequencyHz * static_cast<double>(frame), static_cast<double>(rate)) / rate;
    const double value = amplitude * std::sin(2.0 * std::numbers::pi * cycles);
    return static_cast<int32_t>(std::lround(std::fmax(-2147483648.0, std::fmin(2147483647.0, value))));
}

}  // namespace

int32_t ToneSample(const ToneConfig& tone, uint32_t rate, uint64_t frame) {
    return SampleAt(tone, ToneAmplitude(tone), rate, frame);
}

void FillTone(const ToneConfig& tone, uint32_t rate, uint64_t first, int32_t* out, size_t count) {
    const double amplitude = ToneAmplitude(tone);
    for (size_t i = 0; i < count; ++i) out[i] = SampleAt(tone, amplitude, rate, first + i);
}

}  // namespace sim
