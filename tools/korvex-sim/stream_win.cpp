// korvex-sim.exe stream: a host streaming through the driver found as a
// Windows host finds it (registry, COM in a single-threaded apartment). The
// card is the simulated one inside the test build of the driver
// (KorvexASIO-simcard.dll), configured through KORVEX_SIMCARD_* before the
// driver first looks for it. The host cannot reach that card while it runs:
// the card's halves come from the status it publishes, complete after stop,
// and the callbacks are matched with them then.
#include "tests/wine/simcard/status_view.h"
#include "tools/korvex-sim/driver_registry.h"
#include "tools/korvex-sim/host_cli.h"
#include "tools/korvex-sim/host_stream.h"
#include "tools/korvex-sim/stream_report.h"

#include <cmath>
#include <string>

namespace korvex::cli {
namespace {

struct StreamOptions {
    sim::CardModel model = sim::CardModel::Six;
    uint32_t rate = 48000;
    uint32_t bufferMs = 10;
    double seconds = 5.0;
    double toneHz = 1000;
    std::string wav;
    std::wstring driver;  // empty: the first one registered
};

using host::Narrow;
using host::Widen;

bool ParseStream(const std::vector<std::string>& args, StreamOptions* o, bool* help) {
    Options options(args);
    std::string name;
    while (options.Next(&name)) {
        long integer = 0;
        double number = 0;
        std::string text;
        if (name == "--help" || name == "-h") {
            *help = true;
        } else if (name == "--model") {
            options.Model(&o->model);
        } else if (name == "--rate") {
            if (options.Integer(&integer, 8000, 384000)) o->rate = static_cast<uint32_t>(integer);
        } else if (name == "--buffer-ms") {
            if (options.Integer(&integer, 1, 100)) o->bufferMs = static_cast<uint32_t>(integer);
        } else if (name == "--seconds") {
            if (options.Number(&number, 0.05, 86400)) o->seconds = number;
        } else if (name == "--wav") {
            options.Value(&o->wav);
        } else if (name == "--tone") {
            if (options.Number(&number, 0, 100000)) o->toneHz = number;
        } else if (name == "--driver") {
            if (options.Value(&text)) o->driver = Widen(text);
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    return options.Finish("stream", PrintStreamUsage);
}

// Read by the simulated card when the driver first looks for cards.
void ConfigureSimulatedCard(const StreamOptions& o) {
    SetEnvironmentVariableA("KORVEX_SIMCARD_MODEL", ModelOptionName(o.model));
    SetEnvironmentVariableA("KORVEX_SIMCARD_RATE", std::to_string(o.rate).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_BUFFER_MS", std::to_string(o.bufferMs).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_TONE_HZ", std::to_string(o.toneHz).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_NO_CARD", nullptr);
    SetEnvironmentVariableA("KORVEX_SIMCARD_IN_USE", nullptr);
    SetEnvironmentVariableA("KORVEX_SIMCARD_WAV", o.wav.empty() ? nullptr : o.wav.c_str());
    // Room for the whole stream and the halves around stop.
    SetEnvironmentVariableA("KORVEX_SIMCARD_RECORD_SECONDS", std::to_string(o.seconds * 1.05 + 0.5).c_str());
}

// The card as its published status shows it.
class PublishedCard final : public host::CardView {
public:
    explicit PublishedCard(const simcard::StatusView& status) : status_(status) {}
    uint64_t HalvesSignalled() const override { return status_->halvesSignalled; }
    uint64_t Overruns() const override { return status_->overruns; }
    std::optional<host::CardSignal> Signal(uint64_t sequence) const override {
        host::CardSignal signal;
        if (!status_.Stamp(sequence, &signal.ns, &signal.half, &signal.dueNs)) return std::nullopt;
        return signal;
    }
    bool Live() const override { return false; }

private:
    const simcard::StatusView& status_;
};

int Stream(const StreamOptions& o) {
    ConfigureSimulatedCard(o);
    printf("Machine         one simulated card in the driver: %s, %u Hz, %u ms buffers; tone %.0f Hz on its inputs\n",
           ModelOptionName(o.model), o.rate, o.bufferMs, o.toneHz);
    const std::wstring name = o.driver.empty() ? host::FirstRegisteredDriver() : o.driver;
    CLSID clsid{};
    if (name.empty() || !host::FindDriverClass(name, &clsid)) {
        fprintf(stderr, "korvex-sim stream: no driver registered under HKLM\\SOFTWARE\\ASIO%s%s\n",
                name.empty() ? "" : "\\", Narrow(name).c_str());
        return kExitUsage;
    }
    printf("ASIO key        HKLM\\SOFTWARE\\ASIO\\%s\n", Narrow(name).c_str());
    printf("Server          %s\n", Narrow(host::DriverServerPath(clsid)).c_str());
    HRESULT created = E_FAIL;
    IASIO* driver = host::CreateRegisteredDriver(clsid, &created);
    if (driver == nullptr) {
        fprintf(stderr, "korvex-sim stream: CoCreateInstance failed (0x%08x)\n", static_cast<unsigned>(created));
        return kExitUsage;
    }

    int status = kExitOk;
    {
        simcard::StatusView published;
        PublishedCard card(published);
        host::StreamHost host(driver, card);
        std::string error;
        if (!host.Prepare(o.seconds, &error)) {
            fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
            host.Dispose();
            driver->Release();
            return kExitUsage;
        }
        // The card exists once init has looked for it.
        if (!published.Open()) {
            fprintf(stderr, "korvex-sim stream: the driver publishes no simulated card (not KorvexASIO-simcard.dll?)\n");
            host.Dispose();
            driver->Release();
            return kExitUsage;
        }
        PrintStreamSetup(host);
        printf("Streaming       %.1f s ...\n", o.seconds);
        fflush(stdout);
        const uint32_t wavsBefore = published->wavWrites;
        const bool ran = host.Run(o.seconds, {}, &error);
        host.Dispose();
        if (!ran) {
            fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
            driver->Release();
            return kExitUsage;
        }
        PrintStreamSummary(host);
        if (!o.wav.empty()) {
            if (published->wavWrites > wavsBefore) {
                printf("WAV             %s: %d outputs, %llu frames, %u Hz, 32-bit\n", o.wav.c_str(), host.outputs(),
                       static_cast<unsigned long long>(published->recordedFrames), published->sampleRate);
            } else {
                printf("WAV             %s: NOT WRITTEN\n", o.wav.c_str());
                status = kExitUsage;
            }
        }
        if (!host.Clean() && status == kExitOk) status = kExitFault;
    }
    const ULONG references = driver->Release();
    printf("Release         IASIO::Release -> %lu\n", static_cast<unsigned long>(references));
    if (references != 0 && status == kExitOk) status = kExitFault;
    PrintStreamResult(status);
    return status;
}

}  // namespace

void PrintStreamUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim stream [options]\n"
            "\n"
            "  --driver NAME                the driver registered as HKLM\\SOFTWARE\\ASIO\\NAME\n"
            "                               (default: the first one registered)\n"
            "  --model pico|six|duo|eight   the simulated card (default six)\n"
            "  --rate HZ                    the card's sample rate (default 48000)\n"
            "  --buffer-ms MS               the card's preferred buffer length (default 10)\n"
            "  --seconds S                  how long to stream (default 5)\n"
            "  --tone HZ                    the tone the card puts on its inputs (default 1000; 0: silence)\n"
            "  --wav PATH                   write what the card played, every output, as a WAV file\n"
            "\n"
            "The card is the simulated one inside the test build of the driver\n"
            "(KorvexASIO-simcard.dll). Output i carries a sine of 440 + 110 i Hz at -12 dBFS.\n"
            "Exit status 1 when a half was lost, a half overran, the sample position is\n"
            "wrong or the driver was not released; 2 when the stream could not be set up.\n");
}

int RunStream(const std::vector<std::string>& args) {
    StreamOptions o;
    bool help = false;
    if (!ParseStream(args, &o, &help)) return kExitUsage;
    if (help) {
        PrintStreamUsage(stdout);
        return kExitOk;
    }
    if (FAILED(CoInitialize(nullptr))) {
        fprintf(stderr, "korvex-sim stream: CoInitialize failed\n");
        return kExitUsage;
    }
    const int status = Stream(o);
    CoUninitialize();
    return status;
}

}  // namespace korvex::cli
