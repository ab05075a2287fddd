// The streaming host on the Linux simulated machine: the card itself is the
// host's view of it, read live from the callback.
#include "sim/card.h"
#include "tools/korvex-sim/host_stream.h"

namespace korvex::host {
namespace {

class LiveCard final : public CardView {
public:
    explicit LiveCard(const sim::Card& card) : card_(card) {}
    uint64_t HalvesSignalled() const override { return card_.HalvesSignalled(); }
    uint64_t Overruns() const override { return card_.Overruns(); }
    // Real time: the card's stamps are lock-free.
    std::optional<CardSignal> Signal(uint64_t sequence) const override {
        const auto stamp = card_.SignalStamp(sequence);
        if (!stamp) return std::nullopt;
        return CardSignal{stamp->half, stamp->ns, stamp->dueNs};
    }
    bool Live() const override { return true; }

private:
    const sim::Card& card_;
};

}  // namespace

StreamHost::StreamHost(IASIO* driver, sim::Card& card)
    : ownView_(std::make_unique<LiveCard>(card)), driver_(driver), card_(*ownView_) {
    InitCallbacks();
}

}  // namespace korvex::host
