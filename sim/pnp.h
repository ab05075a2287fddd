// Plug and Play on the simulated machine: cards and other devices that come
// and go while services watch, with the machine's bookkeeping kept in step.
//
//     sim::Card& card = sim::ArriveCard(machine, {.streamingInterfaces = true});
//     kwin::RemovalResult removal = sim::RequestRemoval(machine, card, /*vetoedByOtherProgram=*/false);
#pragma once

#include "platform/posix/kernel.h"
#include "sim/machine.h"

#include <string>
#include <vector>

namespace sim {

// Adds the card and announces each of its interfaces.
Card& ArriveCard(Machine& machine, const CardConfig& config = {});
// Adds a device that is not one of ours and announces its interfaces;
// returns its instance ID.
std::wstring ArriveOtherDevice(Machine& machine, const std::vector<std::wstring>& hardwareIds,
                               int audioInterfaces = 1);

// Asks the card's watchers, then removes it unless vetoed. A removed card
// leaves the machine's cards (its requests fail from then on).
kwin::RemovalResult RequestRemoval(Machine& machine, Card& card, bool vetoedByOtherProgram);
// The card is pulled without asking.
kwin::RemovalResult SurpriseRemoval(Machine& machine, Card& card);
// Another device goes away; false when it was not there.
bool DepartOtherDevice(Machine& machine, const std::wstring& instanceId);

}  // namespace sim
