// What the simulated card saw of a host session, for the Linux side of the
// host seam: the claim taken by another client, every request the card
// received (decoded where the property's layout is known), and the handle
// counts of the stand-in.
#pragma once

#include "platform/posix/kernel.h"
#include "sim/card.h"

#include <optional>
#include <string>
#include <vector>

namespace korvex::host {

std::string Counts(const kwin::HandleCounts& counts);
// Opens the card as the driver would and claims it; the error, or ERROR_SUCCESS.
DWORD ClaimAsOtherClient(const sim::Card& card, HANDLE* file);
// The request log, with a mark where the driver was released.
void PrintRequests(const std::vector<sim::CardRequest>& requests, size_t releasedAt,
                   std::optional<uint64_t> otherFile);

}  // namespace korvex::host
