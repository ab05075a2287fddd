// The command line and the report shared by the sweep programs: the options
// every sweep takes (--scenario, --function, --timeout-ms, --verbose, --help),
// the chosen scenarios swept one after the other, a summary line for each and
// the total. A program adds its own options and its scenarios.
#pragma once

#include "tests/sweep/fault_sweep.h"

#include <functional>
#include <string>
#include <vector>

namespace sweep {

struct Program {
    const char* usage = "";  // the whole usage text, printed for --help and on a bad command line
    // An option of this program's own: returns how many arguments it took
    // (1 or 2, counting `value`), 0 when it is not one of them. `value` is
    // the next argument, null when there is none.
    std::function<int(const std::string& arg, const char* value)> option = [](const std::string&, const char*) {
        return 0;
    };
    // Whether the program's own options hold together.
    std::function<bool()> valid = [] { return true; };
    // The scenarios, built once the command line is read.
    std::function<std::vector<Scenario>()> scenarios;
};

// Returns the exit code: 0 when every swept point survived, 1 when one did
// not, 2 on a bad command line.
int SweepMain(int argc, char** argv, const Program& program);

}  // namespace sweep
