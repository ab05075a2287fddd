// A storm run in a child process of its own: every simulated process loads
// a fresh copy of its program image, and a long storm or the many runs of a
// shrink would run out of mappings in one process; a crash or a hang then
// ends one run, not the command, and is reported as that run's failure.
#pragma once

#include "tools/korvex-sim/storm_run.h"

namespace korvex::storm {

// The run's outcome: nothing when every rule held. A run still going after
// `boundSeconds` is killed and reported as hung; a child that died is
// reported with its signal.
std::optional<Failure> RunIsolated(const std::vector<Step>& steps, const Settings& settings, Figures* figures,
                                   unsigned boundSeconds);

}  // namespace korvex::storm
