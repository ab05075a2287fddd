#include "sim/pnp.h"

namespace sim {

Card& ArriveCard(Machine& machine, const CardConfig& config) {
    Card& card = machine.AddCard(config);
    kwin::AnnounceDeviceArrival(card.InstanceId());
    return card;
}

int ArriveInterface(const Card& card, size_t index) { return kwin::AnnounceInterfaceArrival(card.InstanceId(), index); }

Card& ArriveCardInterfaceByInterface(Machine& machine, CardConfig config,
                                     const std::function<void(size_t)>& beforeEach) {
    config.interfacesEnabled = false;
    Card& card = machine.AddCard(config);
    const size_t audio = static_cast<size_t>(config.audioInterfaces);
    const size_t all = audio + (config.streamingInterfaces ? 2 : 0);
    std::vector<size_t> order;
    for (size_t i = audio; i < all; ++i) order.push_back(i);
    for (size_t i = 0; i < audio; ++i) order.push_back(i);
    for (size_t k = 0; k < order.size(); ++k) {
        if (beforeEach) beforeEach(k);
        ArriveInterface(card, order[k]);
    }
    return card;
}

std::wstring ArriveOtherDevice(Machine& machine, const std::vector<std::wstring>& hardwareIds, int audioInterfaces) {
    std::wstring instanceId = machine.AddOtherDevice(hardwareIds, audioInterfaces);
    kwin::AnnounceDeviceArrival(instanceId);
    return instanceId;
}

kwin::RemovalResult RequestRemoval(Machine& machine, Card& card, bool vetoedByOtherProgram) {
    kwin::RemovalResult result = kwin::RequestDeviceRemoval(card.InstanceId(), vetoedByOtherProgram);
    if (result.removed) machine.RemoveCard(card);
    return result;
}

kwin::RemovalResult QueryRemoval(Machine&, Card& card, bool vetoedByOtherProgram) {
    return kwin::QueryDeviceRemoval(card.InstanceId(), vetoedByOtherProgram);
}

kwin::RemovalResult CompleteRemoval(Machine& machine, Card& card) {
    kwin::RemovalResult result = kwin::CompleteDeviceRemoval(card.InstanceId());
    if (result.removed) machine.RemoveCard(card);
    return result;
}

kwin::RemovalResult SurpriseRemoval(Machine& machine, Card& card) {
    kwin::RemovalResult result = kwin::SurpriseRemoveDevice(card.InstanceId());
    if (result.removed) machine.RemoveCard(card);
    return result;
}

bool DepartOtherDevice(Machine& machine, const std::wstring& instanceId) {
    const bool removed = kwin::AnnounceDeviceRemoval(instanceId);
    machine.RemoveDevice(instanceId);
    return removed;
}

}  // namespace sim
