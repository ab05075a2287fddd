// What the host wrote to the card's outputs, half by half, into storage
// allocated up front so the clock thread never allocates.
#pragma once

#include "sim/devctl.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace sim {

class OutputRecorder {
public:
    // Allocates room for `capacityFrames` frames of all eight outputs and
    // forgets what was recorded; 0 turns recording off. Not while appending.
    void Reset(size_t capacityFrames);

    // Appends one half: the enabled outputs' samples from their buffers, or
    // silence when `silent` (a half the host did not answer in time). Stops at
    // capacity. Real-time safe; one appending thread at a time.
    void AppendHalf(const std::array<int32_t*, devctl::kChannels>& buffers, const devctl::Enables& enables, int half,
                    uint32_t frames, bool silent);

    bool Enabled() const { return capacity_ != 0; }
    size_t Capacity() const { return capacity_; }
    // Frames recorded so far; readable while another thread appends.
    size_t Frames() const { return frames_.load(std::memory_order_acquire); }
    // The recorded frames of one output, readable while another thread appends.
    std::vector<int32_t> Output(int output) const;

private:
    std::vector<int32_t> data_;  // output-major: data_[output * capacity_ + frame]
    size_t capacity_ = 0;
    std::atomic<size_t> frames_{0};
};

}  // namespace sim
