// A cable from one of the card's output jacks to one of its input jacks. What
// the card plays on the output comes back on the input through the analog
// path: the output FIFO and DAC delay it by kOutputDelay frames, the ADC and
// input FIFO by kInputDelay more. Frames are counted on the card's clock from
// the start of the stream.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct LoopbackCable {
    int output = 0;  // 0..7
    int input = 0;   // 0..1
};

class LoopbackLine {
public:
    static constexpr uint32_t kOutputDelay = 15;
    static constexpr uint32_t kInputDelay = 71;
    static constexpr uint32_t kDelay = kOutputDelay + kInputDelay;

    // Room for the played frames that a stream of `frames` per half can still
    // need, all silent. Allocates; never while the clock runs.
    void Reset(uint32_t frames);
    uint32_t frames() const { return frames_; }

    // The card plays `count` frames from card frame `first` on: the samples,
    // or silence when null. Real-time safe.
    void Play(uint64_t first, const int32_t* samples, uint32_t count);
    // What the card's input converter delivers at card frames [first, first +
    // count): the output played kDelay frames earlier, silence before the
    // stream began. Real-time safe.
    void Capture(uint64_t first, int32_t* out, uint32_t count) const;

private:
    std::vector<int32_t> played_;  // by card frame modulo its size
    uint32_t frames_ = 0;
};

}  // namespace sim
