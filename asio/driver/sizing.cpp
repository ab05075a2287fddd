#include "asio/driver/sizing.h"

#include <cmath>
#include <limits>

namespace korvex {
namespace {

int32_t Saturate(int64_t value) {
    constexpr int64_t lowest = std::numeric_limits<int32_t>::min();
    constexpr int64_t highest = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value < lowest ? lowest : value > highest ? highest : value);
}

}  // namespace

int32_t SamplesPerMillisecond(double sampleRate) {
    double perMs = std::trunc(sampleRate / 1000.0);
    if (!(perMs == perMs)) return 0;  // NaN
    if (perMs >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (perMs <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(perMs);
}

Latencies ComputeLatencies(int32_t blockFrames) {
    return Latencies{Saturate(int64_t{blockFrames} + kExtraInputLatency),
                     Saturate(int64_t{blockFrames} + kExtraOutputLatency)};
}

BufferSizes ComputeBufferSizes(double sampleRate, int32_t bufferMs) {
    const int64_t k = SamplesPerMillisecond(sampleRate);
    const int32_t preferred = Saturate(k * bufferMs);
    const Latencies latencies = ComputeLatencies(preferred);
    return BufferSizes{
        Saturate(kMinimumBufferMs * k), Saturate(kMaximumBufferMs * k), preferred, kBufferGranularity,
        latencies.input, latencies.output,
    };
}

}  // namespace korvex
