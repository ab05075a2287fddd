// korvex-sim probe: the driver loaded and its object created the way a host
// does it, and the host's driver-info page. On Linux the machine is a
// simulated one with one card (or none): the tool also says what the card
// answered to the claim, lists every request the card received, and proves
// that releasing the driver closed every handle. On Windows the driver is the
// registered one; the card options reach the test build of the driver with
// the simulated card inside, and the shipped driver ignores them.
#include "tools/korvex-sim/driver_info.h"
#include "tools/korvex-sim/host_cli.h"
#include "tools/korvex-sim/host_session.h"

#include <string>

namespace korvex::cli {
namespace {

bool ParseProbe(const std::vector<std::string>& args, host::SessionOptions* o, bool* help) {
    Options options(args);
    std::string name;
    while (options.Next(&name)) {
        long integer = 0;
        if (name == "--help" || name == "-h") {
            *help = true;
        } else if (host::ParseSessionOption(name, options, o)) {
        } else if (name == "--model") {
            options.Model(&o->model);
        } else if (name == "--rate") {
            if (options.Integer(&integer, 1, 1'000'000)) o->rate = static_cast<uint32_t>(integer);
        } else if (name == "--buffer-ms") {
            if (options.Integer(&integer, 0, 1000)) o->bufferMs = static_cast<uint32_t>(integer);
        } else if (name == "--no-card") {
            o->noCard = true;
        } else if (name == "--card-in-use") {
            o->cardInUse = true;
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    if (o->noCard && o->cardInUse) options.Fail("--no-card and --card-in-use exclude each other");
    return options.Finish("probe", PrintProbeUsage);
}

}  // namespace

void PrintProbeUsage(FILE* out) {
    PrintCardCommandUsageHead(out, "probe");
    fprintf(out,
            "  --no-card                    no card at all\n"
            "  --card-in-use                another client opens and claims the card first\n"
            "\n"
            "The card options make the simulated card on Linux; on Windows they reach the\n"
            "test build of the driver with the simulated card inside (KorvexASIO-simcard.dll),\n"
            "and the shipped driver ignores them. Exit status 0 when the driver was created\n"
            "and released cleanly (on Linux: every handle it opened closed again).\n");
}

int RunProbe(const std::vector<std::string>& args) {
    host::SessionOptions o;
    o.fullReport = true;
    bool help = false;
    if (!ParseProbe(args, &o, &help)) return kExitUsage;
    if (help) {
        PrintProbeUsage(stdout);
        return kExitOk;
    }
    std::string error;
    bool found = false;
    std::unique_ptr<host::HostSession> session = host::HostSession::Open(o, &error, &found);
    if (!session) {
        fprintf(stderr, "korvex-sim probe: %s\n", error.c_str());
        return found ? kExitFault : kExitUsage;
    }
    session->Describe(stdout);
    printf("\n");
    host::PrintDriverInfo(session->driver(), stdout);
    printf("\n");
    session->ReportCard(stdout);
    return session->Close(stdout) ? kExitOk : kExitFault;
}

}  // namespace korvex::cli
