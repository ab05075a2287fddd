// korvex-sim: the simulated machine from the command line.
//
//     korvex-sim probe  [options]   what a host sees of the driver, and what the card was asked
//     korvex-sim stream [options]   a host streaming through the driver on the simulated card
//     korvex-sim loopback [options] the round trip through a loopback cable against the reported latencies
//     korvex-sim service [options] [step...]   the service on the simulated machine
#include "tools/korvex-sim/host_cli.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void PrintUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim <command> [options]\n"
            "\n"
            "The Korvex ASIO driver and service on a simulated machine. On Linux the\n"
            "driver is libKorvexASIO.so and the service KorvexS.so; korvex-sim.exe under\n"
            "Windows or Wine finds the driver registered under HKLM\\SOFTWARE\\ASIO and\n"
            "runs probe, stream and loopback only.\n"
            "\n"
            "Commands:\n"
            "  probe     load the driver as a host does, print what it reports, the card's\n"
            "            request log, and check that every handle is closed again\n"
            "  stream    stream through the driver on the card's real-time clock: a sine on\n"
            "            every output, the card's tone measured on the inputs, and the\n"
            "            wake-to-callback latency\n"
            "  loopback  play a test sequence on an output and find it on an input through a\n"
            "            loopback cable: the measured round trip beside the driver's reported\n"
            "            input + output latency, for each buffer size\n"
            "  service   run the service KorvexS as the service control manager does, apply\n"
            "            a script of controls and device events, and print its status\n"
            "            reports, the cards, the event log and the processes it started\n"
            "\n"
            "korvex-sim <command> --help shows the options of a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return korvex::cli::kExitUsage;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        PrintUsage(stdout);
        if (command == "help" && !args.empty()) {
            if (args[0] == "probe") korvex::cli::PrintProbeUsage(stdout);
            if (args[0] == "stream") korvex::cli::PrintStreamUsage(stdout);
            if (args[0] == "service") korvex::cli::PrintServiceUsage(stdout);
            if (args[0] == "loopback") korvex::cli::PrintLoopbackUsage(stdout);
        }
        return korvex::cli::kExitOk;
    }
    if (command == "probe") return korvex::cli::RunProbe(args);
    if (command == "stream") return korvex::cli::RunStream(args);
    if (command == "service") return korvex::cli::RunService(args);
    if (command == "loopback") return korvex::cli::RunLoopback(args);
    fprintf(stderr, "korvex-sim: unknown command '%s'\n\n", command.c_str());
    PrintUsage(stderr);
    return korvex::cli::kExitUsage;
}
