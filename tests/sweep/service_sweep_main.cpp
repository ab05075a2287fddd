// service_fault_sweep: every failure point of the service's scenarios, one
// run each. Prints a line per point that did not survive, a line per
// scenario and the total; exits non-zero when any point did not survive.
#include "tests/sweep/fault_sweep.h"
#include "tests/sweep/service_scenarios.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: service_fault_sweep [--scenario NAME]... [--function NAME]... [--timeout-ms MS] [--verbose]\n"
                 "\n"
                 "  --scenario NAME  only this scenario (service-life, force-close-mode); repeatable\n"
                 "  --function NAME  inject failures of this function only; repeatable\n"
                 "  --timeout-ms MS  time a run may take before it counts as hung (default 30000)\n"
                 "  --verbose        a line for every point, not only for those that did not survive\n");
}

}  // namespace

int main(int argc, char** argv) {
    sweep::Options options;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--scenario" && value) {
            only.push_back(value);
            ++i;
        } else if (arg == "--function" && value) {
            options.only.push_back(value);
            ++i;
        } else if (arg == "--timeout-ms" && value) {
            options.runTimeoutMs = static_cast<DWORD>(std::atol(value));
            ++i;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (options.runTimeoutMs == 0) {
        Usage(stderr);
        return 2;
    }

    int injected = 0, survived = 0;
    bool ok = true;
    for (const sweep::Scenario& scenario : sweep::ServiceScenarios()) {
        bool wanted = only.empty();
        for (const std::string& name : only) wanted = wanted || name == scenario.name;
        if (!wanted) continue;
        std::printf("%s: %s\n", scenario.name.c_str(), scenario.description.c_str());
        std::fflush(stdout);
        const sweep::ScenarioReport report = sweep::Sweep(scenario, options, stdout);
        std::printf("%s\n", sweep::SummaryLine(report).c_str());
        std::fflush(stdout);
        injected += static_cast<int>(report.points.size());
        survived += report.survived();
        ok = ok && report.ok();
    }
    std::printf("%d failure points injected, %d survived\n", injected, survived);
    return ok ? 0 : 1;
}
