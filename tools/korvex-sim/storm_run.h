// One run of a storm's steps on a fresh simulated machine with the service
// installed and started, checking after every step what must hold:
//  - the service holds one file and one handle registration on each card
//    present and none on a card gone, one interface registration, and no
//    other handle beyond those it held once running;
//  - every control so far was answered within the service manager's bound;
//  - a granted removal left no handle open but those of a program whose
//    window never answers; a refused one removed nothing;
// and at the end that the stop reached SERVICE_STOPPED with exit code 0,
// every process ended with no handle left open, and nothing leaked.
//
// The service's list is its own; what the machine sees of it is checked
// instead: the files and registrations its process holds on each card.
#pragma once

#include "platform/posix/kernel.h"
#include "tools/korvex-sim/storm_steps.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvex::storm {

struct Failure {
    size_t step;  // index of the step after which it was seen; the sequence's size: at the final stop
    std::string what;
};

struct Figures {
    std::map<std::string, int> ops;  // steps that did something, by operation
    int granted = 0, refused = 0, surprises = 0;
    int excusedHandles = 0;  // handles of never-answering programs still open at a granted removal
    ULONGLONG longestAnswer = 0;  // machine milliseconds
    int controls = 0;
};

struct Settings {
    std::string serviceImage;  // the service's program image
    bool verbose = false;      // print each step as it runs
    // A stand-in function that fails at every call the service makes during
    // the steps (empty: none): a fault for the storm to catch.
    std::string failEvery;
};

// Runs the steps in this process; nothing is returned when every rule held.
std::optional<Failure> Run(const std::vector<Step>& steps, const Settings& settings, Figures* figures);

}  // namespace korvex::storm
