// The test signal that the card puts on its inputs: a sine of given frequency
// and level, a pure function of the frame number so that tests can predict
// every sample.
#pragma once

#include <cstdint>
#include <cstddef>

namespace sim {

struct ToneConfig {
    double frequencyHz = 1000.0;  // 0 or less: silence
    double levelDbfs = -6.0;      // peak level against int32 full scale
};

// Peak amplitude in int32 units.
double ToneAmplitude(const ToneConfig& tone);

// Sample `frame` (counted from the start of the stream) at `rate` Hz.
int32_t ToneSample(const ToneConfig& tone, uint32_t rate, uint64_t frame);

// Writes frames [first, first + count) of the tone to out. No allocation.
void FillTone(const ToneConfig& tone, uint32_t rate, uint64_t first, int32_t* out, size_t count);

}  // namespace sim
