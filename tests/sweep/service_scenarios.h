// The service's scenarios for the fault sweep: the service's life on a
// machine with cards and sessions, and force-close mode on its own.
#pragma once

#include "tests/sweep/fault_sweep.h"

#include <vector>

namespace sweep {

std::vector<Scenario> ServiceScenarios();

}  // namespace sweep
