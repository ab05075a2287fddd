// korvex-sim stream: a host streaming through the driver on a simulated card
// whose clock runs in real time. It writes a sine to every output, measures
// the card's tone on the inputs, and times each callback against the card's
// half-ready signal.
#include "platform/posix/kernel.h"
#include "sim/machine.h"
#include "tools/korvex-sim/driver_module.h"
#include "tools/korvex-sim/host_cli.h"
#include "tools/korvex-sim/host_stream.h"
#include "tools/korvex-sim/stream_report.h"

#include <unistd.h>

#include <cmath>
#include <string>

namespace korvex::cli {
namespace {

struct StreamOptions {
    sim::CardModel model = sim::CardModel::Six;
    uint32_t rate = 48000;
    uint32_t bufferMs = 10;
    double seconds = 5.0;
    std::string wav;
    sim::ToneConfig tone{};
    std::string library = host::DriverModule::DefaultPath();
};

bool ParseStream(const std::vector<std::string>& args, StreamOptions* o, bool* help) {
    Options options(args);
    std::string name;
    while (options.Next(&name)) {
        long integer = 0;
        double number = 0;
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
            if (options.Number(&number, 0, 100000)) o->tone.frequencyHz = number;
        } else if (name == "--library") {
            options.Value(&o->library);
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    return options.Finish("stream", PrintStreamUsage);
}

}  // namespace

void PrintStreamUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim stream [options]\n"
            "\n"
            "  --model pico|six|duo|eight   the card (default six)\n"
            "  --rate HZ                    the card's sample rate (default 48000)\n"
            "  --buffer-ms MS               the card's preferred buffer length (default 10)\n"
            "  --seconds S                  how long to stream (default 5)\n"
            "  --tone HZ                    the tone the card puts on its inputs (default 1000; 0: silence)\n"
            "  --wav PATH                   write what the card played, every output, as a WAV file\n"
            "  --library PATH               the driver library (default: the one built)\n"
            "\n"
            "Output i carries a sine of 440 + 110 i Hz at -12 dBFS. Exit status 1 when a half\n"
            "was lost, a half overran or the sample position is wrong; 2 when the stream\n"
            "could not be set up.\n");
}

int RunStream(const std::vector<std::string>& args) {
    StreamOptions o;
    bool help = false;
    if (!ParseStream(args, &o, &help)) return kExitUsage;
    if (help) {
        PrintStreamUsage(stdout);
        return kExitOk;
    }

    const uint32_t framesGuess = std::max<uint32_t>(1, o.rate / 1000 * o.bufferMs);
    const double halvesGuess = o.seconds * o.rate / framesGuess;
    sim::Machine machine;
    sim::CardConfig config;
    config.model = o.model;
    config.sampleRate = o.rate;
    config.bufferMs = o.bufferMs;
    config.tone = o.tone;
    config.stampCapacity = static_cast<size_t>(halvesGuess * 1.1) + 1024;
    sim::Card& card = machine.AddCard(config);
    printf("Machine         one card: %s, %u Hz, %u ms buffers; tone %.0f Hz at %.1f dBFS on its inputs\n",
           card.model().name, o.rate, o.bufferMs, o.tone.frequencyHz, o.tone.levelDbfs);

    const kwin::HandleCounts handlesBefore = kwin::OpenHandles();
    host::DriverModule module(o.library);
    if (!module.loaded()) {
        fprintf(stderr, "korvex-sim stream: cannot load %s: %s\n", o.library.c_str(), module.error().c_str());
        return kExitUsage;
    }
    HRESULT created = E_FAIL;
    IASIO* driver = module.CreateDriver(&created);
    if (driver == nullptr) {
        fprintf(stderr, "korvex-sim stream: the class factory did not create the driver (0x%08x)\n",
                static_cast<unsigned>(created));
        return kExitUsage;
    }

    int status = kExitOk;
    {
        host::StreamHost host(driver, card);
        std::string error;
        if (!host.Prepare(o.seconds, &error)) {
            fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
            host.Dispose();
            driver->Release();
            return kExitUsage;
        }
        PrintStreamSetup(host);

        if (!o.wav.empty()) {
            card.StartRecording(static_cast<size_t>(std::ceil(o.seconds * 1.05 * o.rate)) + 8 * host.bufferSize());
        }
        printf("Streaming       %.1f s ...\n", o.seconds);
        fflush(stdout);
        const bool live = isatty(fileno(stdout)) != 0;
        auto progress = [&](const host::StreamProgress& p) {
            if (!live) return;
            printf("\r  %6.1f s   halves %-8llu  position %-10llu  overruns %llu   ", p.elapsedSeconds,
                   static_cast<unsigned long long>(p.halvesSignalled),
                   static_cast<unsigned long long>(p.samplePosition), static_cast<unsigned long long>(p.overruns));
            fflush(stdout);
        };
        const bool ran = host.Run(o.seconds, progress, &error);
        if (live) printf("\r%-72s\r", "");
        host.Dispose();
        if (!ran) {
            fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
            driver->Release();
            return kExitUsage;
        }

        PrintStreamSummary(host);

        if (!o.wav.empty()) {
            std::vector<int> played;
            for (int32_t i = 0; i < host.outputs(); ++i) played.push_back(i);
            if (card.SaveRecording(o.wav, played, 32)) {
                printf("WAV             %s: %d outputs, %zu frames, %u Hz, 32-bit\n", o.wav.c_str(), host.outputs(),
                       card.RecordedFrames(), card.SampleRate());
            } else {
                printf("WAV             %s: NOT WRITTEN\n", o.wav.c_str());
                status = kExitUsage;
            }
        }
        if (!host.Clean()) status = kExitFault;
    }

    driver->Release();
    const bool closed = kwin::OpenHandles() == handlesBefore;
    printf("Handles         %s\n", closed ? "all closed after release" : "LEFT OPEN after release");
    PrintStreamResult(status);
    return status;
}

}  // namespace korvex::cli
