// A storm run in a child process of its own (sim::RunInChild): every
// simulated process loads a fresh copy of its program image, and a long storm
// or the many runs of a shrink would run out of mappings in one process; a
// crash, a sanitizer's report or a hang ends one run, not the command, and is
// that run's failure. With verbose settings the steps are printed after the
// run.
#pragma once

#include "tools/korvex-sim/storm_run.h"

namespace korvex::storm {

// The run's outcome: nothing when every rule held. A run still going after
// `boundSeconds` is killed and reported as hung; what a child that did not
// finish printed goes to stderr.
std::optional<Failure> RunIsolated(const std::vector<Step>& steps, const Settings& settings, Figures* figures,
                                   unsigned boundSeconds);

}  // namespace korvex::storm
