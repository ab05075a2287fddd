#include "tools/korvex-sim/storm_isolated.h"

#include "sim/child_run.h"

#include <cstdio>
#include <sstream>

namespace korvex::storm {
namespace {

// The child's report, one item a line:
//   op NAME COUNT | granted N | refused N | surprises N | excused N | longest MS | controls N
//   failed STEP   followed by the failure's text up to the end
std::string Encode(const std::optional<Failure>& failure, const Figures& figures) {
    std::ostringstream out;
    for (const auto& [op, count] : figures.ops) out << "op " << op << ' ' << count << '\n';
    out << "granted " << figures.granted << "\nrefused " << figures.refused << "\nsurprises " << figures.surprises
        << "\nexcused " << figures.excusedHandles << "\nlongest " << figures.longestAnswer << "\ncontrols "
        << figures.controls << '\n';
    if (failure) out << "failed " << failure->step << '\n' << failure->what;
    return out.str();
}

std::optional<Failure> Decode(const std::string& report, Figures* figures) {
    std::istringstream in(report);
    std::string key;
    while (in >> key) {
        if (key == "op") {
            std::string op;
            int count = 0;
            in >> op >> count;
            figures->ops[op] += count;
        } else if (key == "granted") {
            in >> figures->granted;
        } else if (key == "refused") {
            in >> figures->refused;
        } else if (key == "surprises") {
            in >> figures->surprises;
        } else if (key == "excused") {
            in >> figures->excusedHandles;
        } else if (key == "longest") {
            in >> figures->longestAnswer;
        } else if (key == "controls") {
            in >> figures->controls;
        } else if (key == "failed") {
            Failure failure{};
            in >> failure.step;
            in.get();
            std::getline(in, failure.what, '\0');
            return failure;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<Failure> RunIsolated(const std::vector<Step>& steps, const Settings& settings, Figures* figures,
                                   unsigned boundSeconds) {
    const sim::ChildRun child = sim::RunInChild(
        [&] {
            Figures own;
            const auto failure = Run(steps, settings, &own);
            return Encode(failure, own);
        },
        boundSeconds * 1000u);
    if (settings.verbose) std::fputs(child.output.c_str(), stdout);
    if (child.ending == sim::ChildEnding::Finished) return Decode(child.report, figures);
    // What the child printed is where a crash or a sanitizer's report is told.
    std::fputs(child.output.c_str(), stderr);
    const char* how = child.ending == sim::ChildEnding::Hung        ? "the run hung: "
                      : child.ending == sim::ChildEnding::Sanitizer ? "a sanitizer reported: "
                                                                    : "the run crashed: ";
    return Failure{steps.size(), how + child.detail};
}

}  // namespace korvex::storm
