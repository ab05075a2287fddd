// korvex-sim.exe probe: the driver found and created as a Windows host does
// (registry, COM in a single-threaded apartment), and the host's driver-info
// page. The card is the simulated one inside the test build of the driver,
// configured through KORVEX_SIMCARD_* before the driver first looks for it;
// with the shipped driver the card options change nothing.
#include "tools/korvex-sim/driver_info.h"
#include "tools/korvex-sim/driver_registry.h"
#include "tools/korvex-sim/host_cli.h"

#include <string>

namespace korvex::cli {
namespace {

struct ProbeOptions {
    sim::CardModel model = sim::CardModel::Six;
    uint32_t rate = 48000;
    uint32_t bufferMs = 10;
    bool noCard = false;
    bool cardInUse = false;
    std::wstring driver;  // empty: the first one registered
};

using host::Narrow;
using host::Widen;

bool ParseProbe(const std::vector<std::string>& args, ProbeOptions* o, bool* help) {
    Options options(args);
    std::string name;
    while (options.Next(&name)) {
        long integer = 0;
        std::string text;
        if (name == "--help" || name == "-h") {
            *help = true;
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
        } else if (name == "--driver") {
            if (options.Value(&text)) o->driver = Widen(text);
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    if (o->noCard && o->cardInUse) options.Fail("--no-card and --card-in-use exclude each other");
    return options.Finish("probe", PrintProbeUsage);
}

// Read by the simulated card when the driver first looks for cards.
void ConfigureSimulatedCard(const ProbeOptions& o) {
    SetEnvironmentVariableA("KORVEX_SIMCARD_MODEL", ModelOptionName(o.model));
    SetEnvironmentVariableA("KORVEX_SIMCARD_RATE", std::to_string(o.rate).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_BUFFER_MS", std::to_string(o.bufferMs).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_NO_CARD", o.noCard ? "1" : nullptr);
    SetEnvironmentVariableA("KORVEX_SIMCARD_IN_USE", o.cardInUse ? "1" : nullptr);
}

int Probe(const ProbeOptions& o) {
    ConfigureSimulatedCard(o);
    if (o.noCard) {
        printf("Machine         no card\n");
    } else {
        printf("Machine         one simulated card in the driver: %s, %u Hz, %u ms buffers\n",
               ModelOptionName(o.model), o.rate, o.bufferMs);
    }
    if (o.cardInUse) printf("Other client    holds the card's claim\n");

    const std::wstring name = o.driver.empty() ? host::FirstRegisteredDriver() : o.driver;
    CLSID clsid{};
    if (name.empty() || !host::FindDriverClass(name, &clsid)) {
        fprintf(stderr, "korvex-sim probe: no driver registered under HKLM\\SOFTWARE\\ASIO%s%s\n",
                name.empty() ? "" : "\\", Narrow(name).c_str());
        return kExitUsage;
    }
    WCHAR guid[64] = {};
    StringFromGUID2(clsid, guid, 64);
    printf("ASIO key        HKLM\\SOFTWARE\\ASIO\\%s: CLSID %s\n", Narrow(name).c_str(), Narrow(guid).c_str());
    printf("Server          %s\n", Narrow(host::DriverServerPath(clsid)).c_str());

    HRESULT created = E_FAIL;
    IASIO* driver = host::CreateRegisteredDriver(clsid, &created);
    printf("Driver object   CoCreateInstance, single-threaded apartment: %s (0x%08x)\n",
           driver ? "created" : "failed", static_cast<unsigned>(created));
    if (driver == nullptr) return kExitFault;
    printf("\n");
    host::PrintDriverInfo(driver, stdout);
    printf("\n");
    const ULONG references = driver->Release();
    printf("Release         IASIO::Release -> %lu\n", static_cast<unsigned long>(references));
    return references == 0 ? kExitOk : kExitFault;
}

}  // namespace

void PrintProbeUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim probe [options]\n"
            "\n"
            "  --driver NAME                the driver registered as HKLM\\SOFTWARE\\ASIO\\NAME\n"
            "                               (default: the first one registered)\n"
            "  --model pico|six|duo|eight   the simulated card (default six)\n"
            "  --rate HZ                    the card's sample rate (default 48000)\n"
            "  --buffer-ms MS               the card's preferred buffer length (default 10)\n"
            "  --no-card                    no card at all\n"
            "  --card-in-use                another client holds the card's claim\n"
            "\n"
            "The card options reach the test build of the driver with the simulated card\n"
            "inside (KorvexASIO-simcard.dll); the shipped driver ignores them.\n"
            "Exit status 0 when the driver was created and its last Release returned 0.\n");
}

int RunProbe(const std::vector<std::string>& args) {
    ProbeOptions o;
    bool help = false;
    if (!ParseProbe(args, &o, &help)) return kExitUsage;
    if (help) {
        PrintProbeUsage(stdout);
        return kExitOk;
    }
    if (FAILED(CoInitialize(nullptr))) {
        fprintf(stderr, "korvex-sim probe: CoInitialize failed\n");
        return kExitUsage;
    }
    const int status = Probe(o);
    CoUninitialize();
    return status;
}

// Not built for Windows: it runs on the simulated machine on Linux.
int RunService(const std::vector<std::string>&) {
    fprintf(stderr, "korvex-sim service: not in korvex-sim.exe; run korvex-sim on Linux\n");
    return kExitUsage;
}
void PrintServiceUsage(FILE* out) { fprintf(out, "korvex-sim service: not in korvex-sim.exe\n"); }

}  // namespace korvex::cli
