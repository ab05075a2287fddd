// The driver's scenarios for the fault sweep.
#pragma once

#include "tests/sweep/fault_sweep.h"

#include <vector>

namespace sweep {

struct DriverSweepOptions {
    int halves = 4;    // halves streamed per session
    int restarts = 1;  // start..stop pairs after the first in the restart scenario
};

std::vector<Scenario> DriverScenarios(const DriverSweepOptions& options);

}  // namespace sweep
