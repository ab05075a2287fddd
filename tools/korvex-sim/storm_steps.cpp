#include "tools/korvex-sim/storm_steps.h"

#include <algorithm>
#include <random>

namespace korvex::storm {
namespace {

struct OpInfo {
    Op op;
    const char* name;
    int weight;
};

const OpInfo kOps[] = {
    {Op::Arrive, "arrive", 8},          {Op::ArriveSlow, "arrive-slow", 6}, {Op::Remove, "remove", 6},
    {Op::Refuse, "refuse", 5},          {Op::Surprise, "surprise", 4},      {Op::Logon, "logon", 4},
    {Op::Logoff, "logoff", 3},          {Op::Connect, "connect", 3},        {Op::SlowHolder, "slow-panel", 2},
    {Op::SilentHolder, "silent", 1},    {Op::Decoy, "decoy", 2},            {Op::Interrogate, "interrogate", 3},
    {Op::ClosePanels, "close-panels", 2},
};

const char* const kModelNames[] = {"pico", "six", "duo0", "duo", "eight"};

}  // namespace

const char* OpName(Op op) {
    for (const OpInfo& info : kOps) {
        if (info.op == op) return info.name;
    }
    return "?";
}

std::string Describe(const Step& step) {
    std::string text = OpName(step.op);
    switch (step.op) {
        case Op::Arrive:
        case Op::ArriveSlow: return text + " " + kModelNames[step.a % 5];
        case Op::Remove:
        case Op::Refuse:
        case Op::Surprise: return text + " card#" + std::to_string(step.a);
        case Op::Logon:
        case Op::Logoff:
        case Op::Connect: return text + " session " + std::to_string(SessionOf(step.a));
        case Op::SlowHolder:
        case Op::SilentHolder:
        case Op::Decoy:
            return text + " card#" + std::to_string(step.a) + " session " + std::to_string(SessionOf(step.b));
        default: return text;
    }
}

std::vector<Step> Generate(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    int total = 0;
    for (const OpInfo& info : kOps) total += info.weight;
    std::vector<Step> steps;
    steps.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        int pick = static_cast<int>(random() % static_cast<unsigned>(total));
        Op op = kOps[0].op;
        for (const OpInfo& info : kOps) {
            if (pick < info.weight) {
                op = info.op;
                break;
            }
            pick -= info.weight;
        }
        const auto a = static_cast<unsigned>(random() % 16);
        const auto b = static_cast<unsigned>(random() % 16);
        steps.push_back({op, a, b});
    }
    return steps;
}

std::vector<Step> Shrink(std::vector<Step> steps, size_t failedAt,
                         const std::function<bool(const std::vector<Step>&)>& stillFails) {
    if (failedAt < steps.size()) steps.resize(failedAt + 1);
    for (size_t chunk = std::max<size_t>(steps.size() / 2, 1);; chunk /= 2) {
        for (size_t start = 0; start < steps.size();) {
            std::vector<Step> candidate(steps.begin(), steps.begin() + static_cast<long>(start));
            candidate.insert(candidate.end(), steps.begin() + static_cast<long>(std::min(start + chunk, steps.size())),
                             steps.end());
            if (stillFails(candidate)) {
                steps = std::move(candidate);
            } else {
                start += chunk;
            }
        }
        if (chunk == 1) break;
    }
    return steps;
}

}  // namespace korvex::storm
