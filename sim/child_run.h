// Work on a simulated machine run in a child process of its own, so that a
// crash, a sanitizer report or a hang is the outcome of that one run and the
// caller goes on; a fresh process also gives each run a fresh machine and
// fresh mappings (every simulated process loads its own copy of its image).
// The child's output is captured; under AddressSanitizer the child checks
// for leaks before it ends.
//
//     const sim::ChildRun run = sim::RunInChild([&] { return Scenario(); }, 30000);
//     if (run.ending == sim::ChildEnding::Finished) Parse(run.report);
#pragma once

#include "platform/posix/kernel.h"

#include <functional>
#include <string>

namespace sim {

enum class ChildEnding {
    Finished,   // the work returned, and no sanitizer reported
    Crashed,    // the child died of a signal or ended without returning
    Sanitizer,  // a sanitizer reported (or leaks were found)
    Hung,       // the child outlived its time and was killed
};

struct ChildRun {
    ChildEnding ending = ChildEnding::Crashed;
    std::string report;  // what the work returned, when it returned
    std::string detail;  // why it did not finish: the signal, the report's first lines, the time
    std::string output;  // what the child printed, stdout and stderr
    double milliseconds = 0;
};

// Runs the work in a forked child; the calling process must have no other
// threads (the child has only the forking one).
ChildRun RunInChild(const std::function<std::string()>& work, DWORD timeoutMs);

}  // namespace sim
