// korvex-sim.exe has no service command: the service runs on the simulated
// machine, in the Linux build.
#include "tools/korvex-sim/host_cli.h"

namespace korvex::cli {

int RunService(const std::vector<std::string>&) {
    fprintf(stderr, "korvex-sim service: not in korvex-sim.exe; run korvex-sim on Linux\n");
    return kExitUsage;
}
void PrintServiceUsage(FILE* out) { fprintf(out, "korvex-sim service: not in korvex-sim.exe\n"); }

}  // namespace korvex::cli
