// korvex-sim stream: a host streaming through the driver on the card's
// real-time clock. It writes a sine to every output, measures the card's
// tone on the inputs, and times each callback against the card's half-ready
// signal: live on Linux, where the simulated card is in reach; on Windows
// from the status that the simulated card inside the test build of the
// driver publishes, matched with the callbacks after stop.
#include "tools/korvex-sim/host_cli.h"
#include "tools/korvex-sim/host_session.h"
#include "tools/korvex-sim/host_stream.h"
#include "tools/korvex-sim/stream_report.h"

#include <string>

namespace korvex::cli {
namespace {

bool ParseStream(const std::vector<std::string>& args, host::SessionOptions* o, bool* help) {
    Options options(args);
    std::string name;
    o->streamSeconds = 5.0;
    while (options.Next(&name)) {
        long integer = 0;
        double number = 0;
        if (name == "--help" || name == "-h") {
            *help = true;
        } else if (host::ParseSessionOption(name, options, o)) {
        } else if (name == "--model") {
            options.Model(&o->model);
        } else if (name == "--rate") {
            if (options.Integer(&integer, 8000, 384000)) o->rate = static_cast<uint32_t>(integer);
        } else if (name == "--buffer-ms") {
            if (options.Integer(&integer, 1, 100)) o->bufferMs = static_cast<uint32_t>(integer);
        } else if (name == "--seconds") {
            if (options.Number(&number, 0.05, 86400)) o->streamSeconds = number;
        } else if (name == "--wav") {
            options.Value(&o->wav);
        } else if (name == "--tone") {
            if (options.Number(&number, 0, 100000)) o->tone.frequencyHz = number;
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    return options.Finish("stream", PrintStreamUsage);
}

int Stream(const host::SessionOptions& o) {
    std::string error;
    bool found = false;
    std::unique_ptr<host::HostSession> session = host::HostSession::Open(o, &error, &found);
    if (!session) {
        fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
        return kExitUsage;
    }
    session->Describe(stdout);
    printf("Card tone       %.0f Hz at %.1f dBFS on its inputs\n", o.tone.frequencyHz, o.tone.levelDbfs);

    int status = kExitOk;
    {
        std::unique_ptr<host::StreamHost> host = session->NewStreamHost();
        if (!host) {
            fprintf(stderr, "korvex-sim stream: no card to stream on\n");
            return kExitUsage;
        }
        if (!host->Prepare(o.streamSeconds, &error) || !session->BeforeStream(*host, &error)) {
            fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
            host->Dispose();
            return kExitUsage;
        }
        PrintStreamSetup(*host);
        printf("Streaming       %.1f s ...\n", o.streamSeconds);
        fflush(stdout);
        const bool live = session->LiveProgress();
        auto progress = [&](const host::StreamProgress& p) {
            if (!live) return;
            printf("\r  %6.1f s   halves %-8llu  position %-10llu  overruns %llu   ", p.elapsedSeconds,
                   static_cast<unsigned long long>(p.halvesSignalled),
                   static_cast<unsigned long long>(p.samplePosition), static_cast<unsigned long long>(p.overruns));
            fflush(stdout);
        };
        const bool ran = host->Run(o.streamSeconds, progress, &error);
        if (live) printf("\r%-72s\r", "");
        host->Dispose();
        if (!ran) {
            fprintf(stderr, "korvex-sim stream: %s\n", error.c_str());
            return kExitUsage;
        }
        PrintStreamSummary(*host);
        if (!session->SaveRecording(*host, stdout)) status = kExitUsage;
        if (!host->Clean() && status == kExitOk) status = kExitFault;
    }
    if (!session->Close(stdout) && status == kExitOk) status = kExitFault;
    PrintStreamResult(status);
    return status;
}

}  // namespace

void PrintStreamUsage(FILE* out) {
    PrintCardCommandUsageHead(out, "stream");
    fprintf(out,
            "  --seconds S                  how long to stream (default 5)\n"
            "  --tone HZ                    the tone the card puts on its inputs (default 1000; 0: silence)\n"
            "  --wav PATH                   write what the card played, every output, as a WAV file\n"
            "\n"
            "On Windows the card is the simulated one inside the test build of the driver\n"
            "(KorvexASIO-simcard.dll). Output i carries a sine of 440 + 110 i Hz at -12 dBFS.\n"
            "Exit status 1 when a half was lost, a half overran, the sample position is\n"
            "wrong or the driver was not released cleanly; 2 when the stream could not be\n"
            "set up.\n");
}

int RunStream(const std::vector<std::string>& args) {
    host::SessionOptions o;
    bool help = false;
    if (!ParseStream(args, &o, &help)) return kExitUsage;
    if (help) {
        PrintStreamUsage(stdout);
        return kExitOk;
    }
    return Stream(o);
}

}  // namespace korvex::cli
