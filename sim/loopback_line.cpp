#include "sim/loopback_line.h"

#include <algorithm>

namespace sim {

// A half is played two halves after it was signalled and captured while the
// following one is recorded, so about four halves and the delay are alive at
// once; six leave room.
void LoopbackLine::Reset(uint32_t frames) {
    frames_ = frames;
    played_.assign(6 * static_cast<size_t>(frames) + 2 * kDelay, 0);
}

void LoopbackLine::Play(uint64_t first, const int32_t* samples, uint32_t count) {
    if (played_.empty()) return;
    const size_t size = played_.size();
    for (uint32_t i = 0; i < count; ++i) played_[(first + i) % size] = samples ? samples[i] : 0;
}

void LoopbackLine::Capture(uint64_t first, int32_t* out, uint32_t count) const {
    const size_t size = played_.size();
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t frame = first + i;
        out[i] = (size == 0 || frame < kDelay) ? 0 : played_[(frame - kDelay) % size];
    }
}

}  // namespace sim
