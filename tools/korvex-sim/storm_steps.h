// The steps of a device-event storm: random, valid operations on the
// simulated machine (cards arriving and leaving, sessions changing, other
// programs marking windows), each with two choices that are resolved against
// the machine as it is when the step runs, so that any subsequence of a
// sequence is a valid sequence too; and the shrinking of a failing sequence.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace korvex::storm {

enum class Op {
    Arrive, ArriveSlow, Remove, Refuse, Surprise, Logon, Logoff, Connect,
    SlowHolder, SilentHolder, Decoy, Interrogate, ClosePanels,
};

const char* OpName(Op op);

struct Step {
    Op op;
    unsigned a;  // a card by its position among those present, a model, a session
    unsigned b;  // a session, for the programs that mark a window
};

// The session (1 to 3) a choice names.
inline unsigned SessionOf(unsigned choice) { return 1 + choice % 3; }

std::string Describe(const Step& step);

// The same count and seed give the same steps.
std::vector<Step> Generate(size_t count, unsigned seed);

// The shortest sequence found that still fails: the steps after the one the
// failure was seen at dropped, then runs of steps, halving in length down to
// single steps, deleted while it still fails.
std::vector<Step> Shrink(std::vector<Step> steps, size_t failedAt,
                         const std::function<bool(const std::vector<Step>&)>& stillFails);

}  // namespace korvex::storm
