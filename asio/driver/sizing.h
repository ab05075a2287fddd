// Buffer sizes and latencies, all derived from the rate and the card's
// preferred buffer length.
#pragma once

#include <cstdint>

namespace korvex {

inline constexpr double kLowestRate = 44100.0;
inline constexpr double kHighestRate = 192000.0;
inline constexpr int32_t kMinimumBufferMs = 2;
inline constexpr int32_t kMaximumBufferMs = 100;
inline constexpr int32_t kBufferGranularity = 8;
inline constexpr int32_t kExtraInputLatency = 71;
inline constexpr int32_t kExtraOutputLatency = 15;

struct BufferSizes {
    int32_t minimum;
    int32_t maximum;
    int32_t preferred;
    int32_t granularity;
    int32_t inputLatency;
    int32_t outputLatency;
};

// The latencies of a block of `blockFrames` samples per half. The host works
// in the card's own halves: an input half is one block old when the host gets
// it, and the half the host fills starts to sound one block after the buffer
// switch (the card plays the other half until then, whenever outputReady
// comes). The converters and FIFOs add their fixed delays on each side.
struct Latencies {
    int32_t input;
    int32_t output;
};
Latencies ComputeLatencies(int32_t blockFrames);

// Samples per millisecond: the rate over 1000, truncated toward zero.
int32_t SamplesPerMillisecond(double sampleRate);

// Products and sums that leave the 32-bit range saturate at its bounds, so a
// card that reports a huge rate or buffer length gives defined answers.
BufferSizes ComputeBufferSizes(double sampleRate, int32_t bufferMs);

// True for a rate the driver accepts; NaN is refused.
inline bool IsAcceptedRate(double rate) { return rate >= kLowestRate && rate <= kHighestRate; }

}  // namespace korvex
