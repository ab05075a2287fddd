// service_fault_sweep: every failure point of the service's scenarios, one
// run each. Prints a line per point that did not survive, a line per
// scenario and the total; exits non-zero when any point did not survive.
#include "tests/sweep/service_scenarios.h"
#include "tests/sweep/sweep_program.h"

int main(int argc, char** argv) {
    sweep::Program program;
    program.usage =
        "Usage: service_fault_sweep [--scenario NAME]... [--function NAME]... [--timeout-ms MS] [--verbose]\n"
        "\n"
        "  --scenario NAME  only this scenario (service-life, force-close-mode); repeatable\n"
        "  --function NAME  inject failures of this function only; repeatable\n"
        "  --timeout-ms MS  time a run may take before it counts as hung (default 30000)\n"
        "  --verbose        a line for every point, not only for those that did not survive\n";
    program.scenarios = [] { return sweep::ServiceScenarios(); };
    return sweep::SweepMain(argc, argv, program);
}
