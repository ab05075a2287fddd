// Plug and Play on the simulated machine: cards and other devices that come
// and go while services watch, with the machine's bookkeeping kept in step.
//
//     sim::Card& card = sim::ArriveCard(machine, {.streamingInterfaces = true});
//     kwin::RemovalResult removal = sim::RequestRemoval(machine, card, /*vetoedByOtherProgram=*/false);
#pragma once

#include "platform/posix/kernel.h"
#include "sim/machine.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// Adds the card and announces each of its interfaces.
Card& ArriveCard(Machine& machine, const CardConfig& config = {});
// Enables the card's interface `index` (audio interfaces first, then the
// render and capture ones) and announces it; returns the records delivered.
int ArriveInterface(const Card& card, size_t index);
// A card whose interfaces are enabled one at a time, the render and capture
// interfaces before the audio ones, each announced; `beforeEach(k)` runs
// before the k-th.
Card& ArriveCardInterfaceByInterface(Machine& machine, CardConfig config,
                                     const std::function<void(size_t)>& beforeEach = {});
// Adds a device that is not one of ours and announces its interfaces;
// returns its instance ID.
std::wstring ArriveOtherDevice(Machine& machine, const std::vector<std::wstring>& hardwareIds,
                               int audioInterfaces = 1);

// Asks the card's watchers, then removes it unless vetoed. A removed card
// leaves the machine's cards (its requests fail from then on).
kwin::RemovalResult RequestRemoval(Machine& machine, Card& card, bool vetoedByOtherProgram);
// The two halves of RequestRemoval, with other events free to come between
// them: the query (and its failure when vetoed), then the completion, after
// which the card has left the machine.
kwin::RemovalResult QueryRemoval(Machine& machine, Card& card, bool vetoedByOtherProgram);
kwin::RemovalResult CompleteRemoval(Machine& machine, Card& card);
// The card is pulled without asking.
kwin::RemovalResult SurpriseRemoval(Machine& machine, Card& card);
// Another device goes away; false when it was not there.
bool DepartOtherDevice(Machine& machine, const std::wstring& instanceId);

}  // namespace sim
