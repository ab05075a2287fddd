#include "tests/sweep/sweep_program.h"

#include <cstdio>
#include <cstdlib>

namespace sweep {

int SweepMain(int argc, char** argv, const Program& program) {
    Options options;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(program.usage, stdout);
            return 0;
        } else if (const int taken = program.option(arg, value); taken > 0) {
            i += taken - 1;
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
            std::fputs(program.usage, stderr);
            return 2;
        }
    }
    if (!program.valid() || options.runTimeoutMs == 0) {
        std::fputs(program.usage, stderr);
        return 2;
    }

    int injected = 0, survived = 0;
    bool ok = true;
    for (const Scenario& scenario : program.scenarios()) {
        bool wanted = only.empty();
        for (const std::string& name : only) wanted = wanted || name == scenario.name;
        if (!wanted) continue;
        std::printf("%s: %s\n", scenario.name.c_str(), scenario.description.c_str());
        std::fflush(stdout);
        const ScenarioReport report = Sweep(scenario, options, stdout);
        std::printf("%s\n", SummaryLine(report).c_str());
        std::fflush(stdout);
        injected += static_cast<int>(report.points.size());
        survived += report.survived();
        ok = ok && report.ok();
    }
    std::printf("%d failure points injected, %d survived\n", injected, survived);
    return ok ? 0 : 1;
}

}  // namespace sweep
