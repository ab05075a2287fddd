// One mapping of the card's DMA buffers into the host: ten double buffers of
// 2 x frames int32 samples, owned by the open that asked for it.
#pragma once

#include "sim/card.h"

namespace sim {

struct Card::Mapping {
    uint64_t owner = 0;
    uint32_t frames = 0;
    std::array<std::unique_ptr<int32_t[]>, devctl::kChannels> buffers;

    devctl::BufferMap Addresses() const {
        devctl::BufferMap map{};
        for (int c = 0; c < devctl::kChannels; ++c) map[c] = reinterpret_cast<uintptr_t>(buffers[c].get());
        return map;
    }
};

}  // namespace sim
