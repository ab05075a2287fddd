#include "sim/recorder.h"

#include <algorithm>
#include <cstring>

namespace sim {

void OutputRecorder::Reset(size_t capacityFrames) {
    std::vector<int32_t>(capacityFrames * devctl::kOutputChannels, 0).swap(data_);
    capacity_ = capacityFrames;
    frames_.store(0, std::memory_order_release);
}

void OutputRecorder::AppendHalf(const std::array<int32_t*, devctl::kChannels>& buffers,
                                const devctl::Enables& enables, int half, uint32_t frames, bool silent) {
    const size_t at = frames_.load(std::memory_order_relaxed);
    if (at >= capacity_) return;
    const size_t count = std::min<size_t>(frames, capacity_ - at);
    for (int output = 0; output < devctl::kOutputChannels; ++output) {
        int32_t* dst = data_.data() + output * capacity_ + at;
        const int32_t* src = buffers[output];
        if (silent || !enables[output] || !src) {
            std::memset(dst, 0, count * sizeof(int32_t));
        } else {
            std::memcpy(dst, src + static_cast<size_t>(half) * frames, count * sizeof(int32_t));
        }
    }
    frames_.store(at + count, std::memory_order_release);
}

std::vector<int32_t> OutputRecorder::Output(int output) const {
    if (output < 0 || output >= devctl::kOutputChannels || capacity_ == 0) return {};
    const int32_t* begin = data_.data() + output * capacity_;
    return std::vector<int32_t>(begin, begin + Frames());
}

}  // namespace sim
