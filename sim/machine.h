// The simulated machine that tests and the demo drive. One at a time: it
// owns the stand-in's device tree while it lives.
//
//     sim::Machine machine;
//     sim::Card& card = machine.AddCard({.model = sim::CardModel::Eight, .clock = sim::ClockMode::Stepped});
#pragma once

#include "sim/card.h"
#include "sim/card_config.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

class Machine {
public:
    // Starts from an empty device tree with no injected call failures.
    Machine();
    // Also starts with no programs, processes, event-log entries or
    // per-session failures.
    //
    // Takes out every device it added and stops every card's clock, after
    // waiting for the processes started on it to end.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // A card at the end of the enumeration order. The reference stays valid
    // for the machine's life, also after RemoveCard.
    Card& AddCard(const CardConfig& config = {});
    // An audio device that is not one of ours, with `audioInterfaces`
    // KSCATEGORY_AUDIO interfaces; returns its instance ID.
    std::wstring AddOtherDevice(const std::vector<std::wstring>& hardwareIds, int audioInterfaces = 1,
                                std::wstring instanceId = {});
    // Takes the card out of the device tree; handles open on it stay open
    // and its requests fail from then on.
    void RemoveCard(Card& card);
    bool RemoveDevice(const std::wstring& instanceId);

    // Installs the service program (a shared object exporting wmain) at
    // ServiceImagePath(); every process started from it loads a fresh copy.
    void InstallService(const std::string& sharedObjectPath);

    // The cards present, in the order they were added.
    std::vector<Card*> Cards() const;
    Card& card(size_t index) const { return *Cards().at(index); }

private:
    std::wstring NextInstanceSuffix();

    std::vector<std::shared_ptr<Card>> cards_;    // every card added, removed ones too
    std::vector<std::wstring> present_;           // instance IDs still in the tree
    int nextSlot_ = 0;
};

}  // namespace sim
