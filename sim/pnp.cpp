#include "sim/pnp.h"

namespace sim {

Card& ArriveCard(Machine& machine, const CardConfig& config) {
    Card& card = machine.AddCard(config);
    kwin::AnnounceDeviceArrival(card.InstanceId());
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
