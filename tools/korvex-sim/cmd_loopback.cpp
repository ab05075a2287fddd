// korvex-sim loopback: the round trip through a cable from an output to an
// input, measured and set beside what the driver reports, for each buffer
// size. The same command on both builds; only the way to the driver differs
// (host_session.h). On Linux the simulated card gets the cable; on Windows a
// user plugs one into a real card, or the test build of the driver plugs the
// simulated card's.
#include "tools/korvex-sim/host_cli.h"
#include "tools/korvex-sim/host_session.h"
#include "tools/korvex-sim/loopback_host.h"

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace korvex::cli {
namespace {

struct LoopbackOptions {
    host::SessionOptions session;
    std::vector<uint32_t> rates;  // empty: the card's own
    std::vector<int32_t> sizes;   // empty: minimum, preferred, maximum and two between
    host::LoopbackSettings settings;
    long tolerance = 2;
    bool help = false;
};

// "96,480,1000": whole numbers from `minimum` to `maximum`.
template <typename T>
bool ParseList(Options& options, long minimum, long maximum, std::vector<T>* out) {
    std::string text;
    if (!options.Value(&text)) return false;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        char* end = nullptr;
        const long value = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || value < minimum || value > maximum) {
            options.Fail("'" + text + "' is not a list of whole numbers from " + std::to_string(minimum) + " to " +
                         std::to_string(maximum));
            return false;
        }
        out->push_back(static_cast<T>(value));
    }
    return true;
}

bool ParseLoopback(const std::vector<std::string>& args, LoopbackOptions* o) {
    Options options(args);
    std::string name;
    long output = 0, input = 0;
    while (options.Next(&name)) {
        long integer = 0;
        if (name == "--help" || name == "-h") {
            o->help = true;
        } else if (host::ParseSessionOption(name, options, &o->session)) {
        } else if (name == "--model") {
            options.Model(&o->session.model);
        } else if (name == "--rate") {
            ParseList(options, 8000, 384000, &o->rates);
        } else if (name == "--buffer-ms") {
            if (options.Integer(&integer, 1, 100)) o->session.bufferMs = static_cast<uint32_t>(integer);
        } else if (name == "--buffer") {
            ParseList(options, 1, 1 << 16, &o->sizes);
        } else if (name == "--output") {
            options.Integer(&output, 0, 7);
        } else if (name == "--input") {
            options.Integer(&input, 0, 1);
        } else if (name == "--tolerance") {
            options.Integer(&o->tolerance, 0, 1 << 20);
        } else if (name == "--no-output-ready") {
            o->settings.outputReady = host::OutputReadyMode::Never;
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    o->settings.output = static_cast<int32_t>(output);
    o->settings.input = static_cast<int32_t>(input);
    o->session.loopback = sim::LoopbackCable{static_cast<int>(output), static_cast<int>(input)};
    if (!o->rates.empty()) o->session.rate = o->rates.front();
    return options.Finish("loopback", PrintLoopbackUsage);
}

void PrintHeader() {
    printf("\n%8s %7s %8s   %-22s %9s %9s %6s  %s\n", "rate", "buffer", "half ms", "reported in + out", "measured",
           "ms", "diff", "peak");
}

// One row; true when the measurement agrees with the report within the tolerance.
bool PrintRow(const host::LoopbackResult& r, long tolerance) {
    const double halfMs = r.sampleRate > 0 ? 1000.0 * r.bufferSize / r.sampleRate : 0;
    char reported[48];
    snprintf(reported, sizeof reported, "%d + %d = %lld", r.inputLatency, r.outputLatency,
             static_cast<long long>(r.Reported()));
    if (!r.found) {
        printf("%8.0f %7d %8.2f   %-22s %9s  %s\n", r.sampleRate, r.bufferSize, halfMs, reported, "-",
               r.error.c_str());
        return false;
    }
    const bool agrees = std::llabs(r.Difference()) <= tolerance;
    printf("%8.0f %7d %8.2f   %-22s %9lld %9.3f %+6lld  %.0fx%s\n", r.sampleRate, r.bufferSize, halfMs, reported,
           static_cast<long long>(r.measured), r.MeasuredMs(), static_cast<long long>(r.Difference()),
           std::isinf(r.sharpness) ? 1e9 : r.sharpness, agrees ? "" : "   DIFFERS");
    return agrees;
}

int Loopback(const LoopbackOptions& o) {
    std::string error;
    bool found = false;
    std::unique_ptr<host::HostSession> session = host::HostSession::Open(o.session, &error, &found);
    if (!session) {
        fprintf(stderr, "korvex-sim loopback: %s\n", error.c_str());
        return kExitUsage;
    }
    session->Describe(stdout);

    int status = kExitOk;
    {
        host::LoopbackHost host(session->driver());
        if (!host.Init(&error)) {
            fprintf(stderr, "korvex-sim loopback: %s\n", error.c_str());
            session->Close(stdout);
            return kExitUsage;
        }
        printf("Driver name     %s: %d inputs, %d outputs\n", host.driverName().c_str(), host.inputs(),
               host.outputs());
        printf("Signal          a %d-sample maximum-length sequence on output %d, 0.1 s into the stream,\n"
               "                found on input %d by cross-correlation; tolerance %ld samples; outputReady %s\n",
               static_cast<int>(host::MaximumLengthSequence(9).size()), o.settings.output, o.settings.input,
               o.tolerance, o.settings.outputReady == host::OutputReadyMode::Never ? "never" : "in each buffer switch");

        std::vector<double> rates(o.rates.begin(), o.rates.end());
        if (rates.empty()) rates.push_back(host.sampleRate());
        PrintHeader();
        for (double rate : rates) {
            if (rate != host.sampleRate() && !host.SetRate(rate, &error)) {
                printf("%8.0f  %s\n", rate, error.c_str());
                status = kExitFault;
                continue;
            }
            const std::vector<int32_t> sizes = o.sizes.empty() ? host.DefaultSizes() : o.sizes;
            for (int32_t size : sizes) {
                const host::LoopbackResult result = host.Measure(size, o.settings, host::LoopbackHost::RealTime());
                if (!PrintRow(result, o.tolerance)) status = kExitFault;
                fflush(stdout);
            }
        }
        printf("\n");
    }
    if (!session->Close(stdout) && status == kExitOk) status = kExitFault;
    printf("Result          %s\n", status == kExitOk ? "every round trip agrees with the reported latencies"
                                                     : "FAULT: a round trip differs from the reported latencies, or "
                                                       "could not be measured");
    return status;
}

}  // namespace

void PrintLoopbackUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim loopback [options]\n"
            "\n"
            "Plays a test sequence on one output, finds it on one input through a loopback\n"
            "cable, and prints the round trip in samples and ms beside the driver's input +\n"
            "output latency, for each buffer size.\n"
            "\n");
    host::PrintSessionUsage(out);
    fprintf(out,
            "  --output N                   the output the cable starts at (default 0)\n"
            "  --input N                    the input it ends at (default 0)\n"
            "  --buffer N[,N...]            buffer sizes in samples per half (default: the\n"
            "                               minimum, preferred and maximum, and two between)\n"
            "  --rate HZ[,HZ...]            set each rate in turn and measure at it (default: the\n"
            "                               card's current rate)\n"
            "  --tolerance N                samples the round trip may differ by (default 2)\n"
            "  --no-output-ready            a host that never calls outputReady\n"
            "  --model pico|six|duo|eight   the simulated card (default six)\n"
            "  --buffer-ms MS               its preferred buffer length (default 10)\n"
            "\n"
            "A simulated card gets the cable from the options; with a real card, plug one\n"
            "from the output to the input. Exit status 1 when a round trip differs from the\n"
            "report by more than the tolerance or could not be measured; 2 when the driver\n"
            "could not be loaded or initialised.\n");
}

int RunLoopback(const std::vector<std::string>& args) {
    LoopbackOptions o;
    if (!ParseLoopback(args, &o)) return kExitUsage;
    if (o.help) {
        PrintLoopbackUsage(stdout);
        return kExitOk;
    }
    return Loopback(o);
}

}  // namespace korvex::cli
