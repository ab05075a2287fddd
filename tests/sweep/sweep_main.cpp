// fault_sweep: every failure point of the driver's scenarios, one run each.
// Prints a line per point that did not survive, a line per scenario and the
// total; exits non-zero when any point did not survive.
#include "tests/sweep/driver_scenarios.h"
#include "tests/sweep/sweep_program.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    sweep::DriverSweepOptions driver;
    sweep::Program program;
    program.usage =
        "Usage: fault_sweep [--long] [--halves N] [--scenario NAME]... [--function NAME]...\n"
        "                   [--timeout-ms MS] [--verbose]\n"
        "\n"
        "  --long           the longer sweep: 16 halves per session instead of 4, 3 restarts instead of 1\n"
        "  --halves N       halves streamed per session\n"
        "  --scenario NAME  only this scenario; repeatable\n"
        "  --function NAME  inject failures of this function only; repeatable\n"
        "  --timeout-ms MS  time a run may take before it counts as hung (default 30000)\n"
        "  --verbose        a line for every point, not only for those that did not survive\n";
    program.option = [&driver](const std::string& arg, const char* value) {
        if (arg == "--long") {
            driver.halves = 16;
            driver.restarts = 3;
            return 1;
        }
        if (arg == "--halves" && value) {
            driver.halves = std::atoi(value);
            return 2;
        }
        return 0;
    };
    program.valid = [&driver] { return driver.halves >= 1; };
    program.scenarios = [&driver] { return sweep::DriverScenarios(driver); };
    return sweep::SweepMain(argc, argv, program);
}
