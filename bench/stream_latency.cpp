// stream_latency: how long the driver path takes from the card's half-ready
// signal to the host's callback, against the floor of this machine measured
// in the same run.
//
// Driver path: the simulated card's clock sets the half's ready event; the
// driver's stream thread, waiting in WaitForMultipleObjects, wakes and calls
// the host, which stamps the callback's entry, its outputReady call and that
// call's return. The floor and how the driver is reached are the platform's
// (latency_platform.h). The floors and the driver run in segments whose order
// rotates, so that all see the same machine. Figures only; the exit status
// says only whether it ran.
#include "bench/latency_platform.h"
#include "tools/korvex-sim/host_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace bench {
namespace {

using korvex::host::Percentiles;

Percentiles Summarise(const std::vector<uint64_t>& values) { return korvex::host::ComputePercentiles(values); }

std::string Us(double ns) {
    char text[32];
    if (ns >= 1e6) {
        snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    } else {
        snprintf(text, sizeof text, "%.1f µs", ns / 1e3);
    }
    return text;
}

std::string Ratio(double driver, double floor) {
    char text[32];
    if (floor <= 0 || driver <= 0) return "-";
    snprintf(text, sizeof text, "%.2f×", driver / floor);
    return text;
}

unsigned long long Count(uint64_t value) { return static_cast<unsigned long long>(value); }

// "call-shaped floor" -> "call-shaped"; "floor" stays.
std::string Short(const std::string& name) {
    const std::string suffix = " floor";
    return name.size() > suffix.size() && name.ends_with(suffix) ? name.substr(0, name.size() - suffix.size()) : name;
}

void PrintPercentiles(const std::string& label, const Percentiles& p) {
    printf("  %-24s %7zu %10s %10s %10s %10s\n", label.c_str(), p.count, Us(p.p50).c_str(), Us(p.p99).c_str(),
           Us(p.p999).c_str(), Us(p.max).c_str());
}

void PrintRatios(const std::string& label, const Percentiles& over, const Percentiles& under) {
    printf("  %-24s %7s %10s %10s %10s %10s\n", label.c_str(), "", Ratio(over.p50, under.p50).c_str(),
           Ratio(over.p99, under.p99).c_str(), Ratio(over.p999, under.p999).c_str(),
           Ratio(over.max, under.max).c_str());
}

struct FloorRow {
    std::string name;
    Percentiles wake, jitter;
    uint64_t late = 0, lateTimer = 0;
    std::optional<double> cpu;
};

struct Row {
    std::string setting;
    std::vector<FloorRow> floors;  // the first the main one
    bool haveDriver = false, haveCard = false;
    Percentiles driverWake, driverJitter;
    uint64_t overruns = 0;
    std::optional<double> driverCpu;
    Attribution attribution;
};

std::string Title(uint32_t rate, double periodNs) {
    char title[160];
    snprintf(title, sizeof title, "%u Hz, %.0f samples per half (%.3f ms)", rate, periodNs * rate / 1e9,
             periodNs / 1e6);
    return title;
}

FloorRow Summary(const Floor& floor, const FloorFigures& f) {
    return {floor.name(), Summarise(f.wake), Summarise(f.jitter), f.lateWakes, f.lateTimer, f.cpuPerPeriodNs};
}

void PrintTimerLateness(const FloorFigures& main, const char* tail) {
    const Percentiles timer = Summarise(main.timerLate);
    printf("  floor timer lateness    p50 %s, p99 %s, p99.9 %s, max %s%s\n", Us(timer.p50).c_str(),
           Us(timer.p99).c_str(), Us(timer.p999).c_str(), Us(timer.max).c_str(), tail);
}

// Without a driver: the main floor alone, at the setting's period.
bool FloorOnly(const Platform& platform, const Setting& setting, double seconds, Row* row) {
    const double period = setting.ms * 1e6;
    std::vector<std::unique_ptr<Floor>> floors = platform.MakeFloors(period, seconds, nullptr);
    Floor& floor = *floors.front();
    row->setting = Title(setting.rate, period);
    printf("\n== %s: floor only, %.1f s ==\n", row->setting.c_str(), seconds);
    if (!floor.Run(seconds)) return false;
    const FloorFigures f = floor.Figures();
    row->floors.push_back(Summary(floor, f));
    PrintPercentiles(floor.label(), row->floors.back().wake);
    char tail[128];
    snprintf(tail, sizeof tail, "; %llu late wakes (%llu the timer's)", Count(f.lateWakes), Count(f.lateTimer));
    PrintTimerLateness(f, tail);
    fflush(stdout);
    return true;
}

void PrintSetting(const Platform& platform, const std::vector<std::unique_ptr<Floor>>& floors,
                  const std::vector<FloorFigures>& figures, const DriverPath& driver, const DriverFigures& d,
                  Row* row) {
    const FloorFigures& main = figures.front();
    const FloorRow& floor = row->floors.front();
    printf("  %-24s %7s %10s %10s %10s %10s\n", "wake → callback", "count", "p50", "p99", "p99.9", "max");
    for (size_t i = 0; i < floors.size(); ++i) PrintPercentiles(floors[i]->label(), row->floors[i].wake);
    PrintPercentiles("driver", row->driverWake);
    for (const FloorRow& f : row->floors) PrintRatios("ratio driver/" + Short(f.name), row->driverWake, f.wake);
    for (size_t i = 1; i < row->floors.size(); ++i) {
        PrintRatios("ratio " + Short(row->floors[i].name) + "/floor", row->floors[i].wake, floor.wake);
    }
    printf("  %-24s\n", "interval jitter");
    for (const FloorRow& f : row->floors) PrintPercentiles(f.name, f.jitter);
    PrintPercentiles("driver", row->driverJitter);
    for (const FloorRow& f : row->floors) PrintRatios("ratio driver/" + Short(f.name), row->driverJitter, f.jitter);
    for (size_t i = 1; i < floors.size(); ++i) {
        const FloorFigures& f = figures[i];
        printf("  %-24s%zu wakes of %llu periods, %llu coalesced, %llu late wakes", floors[i]->name(), f.wake.size(),
               Count(f.periods), Count(f.coalesced), Count(f.lateWakes));
        if (f.unanswered) printf(", %llu halves unanswered at the next deadline", Count(*f.unanswered));
        printf("\n");
    }
    PrintTimerLateness(main, "");
    if (row->haveCard) {
        printf("  late / overruns         floor: %llu wakes more than a half after the deadline (%llu of them the "
               "timer's own)\n",
               Count(floor.late), Count(floor.lateTimer));
        printf("                          driver: %llu overruns", Count(row->overruns));
        if (d.cardClockLate) printf("; card clock %llu signals more than a half behind", Count(*d.cardClockLate));
        printf("\n");
    }
    printf("  halves                  driver: %llu callbacks", Count(d.callbacks));
    if (d.halvesSignalled) printf(", %llu signalled", Count(*d.halvesSignalled));
    if (d.positionRight) printf(", position %s", *d.positionRight ? "right" : "WRONG");
    printf("; floor: %llu wakes of %llu periods, %llu coalesced\n", Count(main.wakes), Count(main.periods),
           Count(main.coalesced));
    if (d.cpu && floor.cpu) {
        printf("  CPU per half            floor (both threads) %s; driver: process %s, stream thread %s (of it "
               "the host's callback %s)\n",
               Us(*floor.cpu).c_str(), Us(d.cpu->process).c_str(), Us(d.cpu->streamThread).c_str(),
               Us(d.cpu->callback).c_str());
    }
    if (!row->haveCard) {
        printf("  card stamps             none in %s: no wake latency, overruns or attribution for the "
               "driver\n                          (floor: %llu late wakes, %llu of them the timer's)\n",
               driver.StampsSource().c_str(), Count(floor.late), Count(floor.lateTimer));
        return;
    }
    const Targets targets = platform.targets();
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    printf("  targets                 p99 ≤ %g× floor: %s (%s); ", targets.p99,
           verdict(row->driverWake.p99 <= targets.p99 * floor.wake.p99),
           Ratio(row->driverWake.p99, floor.wake.p99).c_str());
    if (targets.p999 > 0) {
        printf("p99.9 ≤ %g× floor: %s (%s); ", targets.p999,
               verdict(row->driverWake.p999 <= targets.p999 * floor.wake.p999),
               Ratio(row->driverWake.p999, floor.wake.p999).c_str());
    }
    printf("overruns ≤ floor late wakes: %s (%llu ≤ %llu)\n", verdict(row->overruns <= floor.late),
           Count(row->overruns), Count(floor.late));
    PrintAttribution(row->attribution, driver.periodNs(), floor.late, floor.lateTimer);
}

// False when the setting could not be measured at all; `*partial` when the
// driver was missing and only the floor ran.
bool RunSetting(Platform& platform, const Options& options, const Setting& setting, Row* row, bool* partial) {
    std::string error;
    std::unique_ptr<DriverPath> driver = platform.OpenDriver(setting, options, &error);
    if (driver == nullptr) {
        fprintf(stderr, "stream_latency: %s\n", error.c_str());
        *partial = true;
        return FloorOnly(platform, setting, options.seconds, row);
    }
    const double period = driver->periodNs();
    const std::vector<std::unique_ptr<Floor>> floors = platform.MakeFloors(period, options.seconds, driver.get());
    row->setting = Title(setting.rate, period);
    printf("\n== %s: %s, %.1f s per path in %d alternating segments ==\n", row->setting.c_str(),
           driver->name().c_str(), options.seconds, options.segments);
    fflush(stdout);
    // The floors and the driver, in an order rotated each segment.
    const size_t paths = floors.size() + 1;
    const double segment = options.seconds / options.segments;
    bool ok = true;
    for (int s = 0; s < options.segments && ok; ++s) {
        for (size_t turn = 0; turn < paths && ok; ++turn) {
            const size_t path = (static_cast<size_t>(s) + turn) % paths;
            if (path < floors.size()) {
                ok = floors[path]->Run(segment);
            } else {
                ok = driver->Run(segment, &error);
                if (!ok) fprintf(stderr, "stream_latency: %s\n", error.c_str());
            }
        }
    }
    const DriverFigures d = driver->Finish();
    if (!ok) return false;

    std::vector<FloorFigures> figures;
    for (const auto& floor : floors) {
        figures.push_back(floor->Figures());
        row->floors.push_back(Summary(*floor, figures.back()));
    }
    row->haveDriver = true;
    row->haveCard = !d.records.empty();
    row->driverWake = Summarise(d.wake);
    row->driverJitter = Summarise(d.jitter);
    row->overruns = d.overruns;
    if (d.cpu) row->driverCpu = d.cpu->process;
    if (row->haveCard) row->attribution = Attribute(d.records, period);
    PrintSetting(platform, floors, figures, *driver, d, row);
    fflush(stdout);
    return true;
}

std::string Cpu(const std::optional<double>& ns) { return ns ? Us(*ns) : "-"; }

void PrintNote(const Platform& platform, const std::vector<Row>& rows, const Options& options) {
    printf("\n---- for a note (%.0f s per path, %d alternating segments, %u cores%s) ----\n", options.seconds,
           options.segments, std::thread::hardware_concurrency(), platform.NoteContext().c_str());
    printf("| setting | path | wake p50 | p99 | p99.9 | max | jitter p99 | late / overruns | CPU per half | overruns "
           "by cause |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        const char* s = r.setting.c_str();
        for (size_t i = 0; i < r.floors.size(); ++i) {
            const FloorRow& f = r.floors[i];
            const std::string timer = i == 0 ? std::to_string(f.lateTimer) + " the timer's" : "-";
            printf("| %s | %s | %s | %s | %s | %s | %s | %llu late | %s | %s |\n", s, f.name.c_str(),
                   Us(f.wake.p50).c_str(), Us(f.wake.p99).c_str(), Us(f.wake.p999).c_str(), Us(f.wake.max).c_str(),
                   Us(f.jitter.p99).c_str(), Count(f.late), Cpu(f.cpu).c_str(), timer.c_str());
        }
        if (!r.haveCard) {
            printf("| %s | driver | - | - | - | - | %s | %s | %s | - |\n", s,
                   r.haveDriver ? Us(r.driverJitter.p99).c_str() : "-",
                   r.haveDriver ? "no card stamps" : "no driver", Cpu(r.driverCpu).c_str());
            continue;
        }
        printf("| %s | driver | %s | %s | %s | %s | %s | %llu overruns | %s | %s |\n", s, Us(r.driverWake.p50).c_str(),
               Us(r.driverWake.p99).c_str(), Us(r.driverWake.p999).c_str(), Us(r.driverWake.max).c_str(),
               Us(r.driverJitter.p99).c_str(), Count(r.overruns), Cpu(r.driverCpu).c_str(),
               CauseSummary(r.attribution).c_str());
        for (size_t i = 0; i < r.floors.size(); ++i) {
            const FloorRow& f = r.floors[i];
            printf("| %s | %s | %s | %s | %s | %s | %s | | | |\n", s,
                   i == 0 ? "ratio" : ("ratio to " + Short(f.name)).c_str(), Ratio(r.driverWake.p50, f.wake.p50).c_str(),
                   Ratio(r.driverWake.p99, f.wake.p99).c_str(), Ratio(r.driverWake.p999, f.wake.p999).c_str(),
                   Ratio(r.driverWake.max, f.wake.max).c_str(), Ratio(r.driverJitter.p99, f.jitter.p99).c_str());
        }
    }
}

void Usage(const Platform& platform, FILE* out) {
    fprintf(out,
            "Usage: stream_latency [--seconds S] [--segments N] [--setting RATE/MS]... [--model pico|six|duo|eight]\n"
            "                      [--soak-seconds S] %s\n"
            "\n"
            "  --seconds S        streaming time per path (each floor, the driver) and setting (default 10)\n"
            "  --segments N       segments the time is split into, the paths in rotating order (default 5)\n"
            "  --setting RATE/MS  a card rate and buffer length; repeatable (default 192000/2 and 48000/10)\n"
            "  --model M          the card model (default six)\n"
            "  --soak-seconds S   a soak at the smallest buffer: 192000/2 only, S seconds per path in\n"
            "                     one-minute segments (600: ten minutes of streaming)\n",
            platform.UsageSynopsis());
    platform.PrintOptionUsage(out);
}

// 0 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Platform& platform, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool used = false, valid = true;
        if (arg == "--help" || arg == "-h") {
            Usage(platform, stdout);
            return -1;
        } else if (arg == "--seconds" && value) {
            options->seconds = std::atof(value);
            used = true;
        } else if (arg == "--segments" && value) {
            options->segments = std::atoi(value);
            used = true;
        } else if (arg == "--setting" && value) {
            unsigned rate = 0, ms = 0;
            valid = sscanf(value, "%u/%u", &rate, &ms) == 2 && rate != 0 && ms != 0;
            options->settings.push_back({rate, ms});
            used = true;
        } else if (arg == "--soak-seconds" && value) {
            options->seconds = std::atof(value);
            options->segments = std::max(1, static_cast<int>(options->seconds / 60));
            options->settings = {{192000, 2}};
            used = true;
        } else if (arg == "--model" && value) {
            options->model = value;
            used = true;
        } else if (arg == "--driver" && value) {
            options->driver = value;
            used = true;
        } else if (!platform.ParseOption(arg, value, &used, &valid)) {
            valid = false;
        }
        if (!valid) {
            Usage(platform, stderr);
            return 2;
        }
        if (used) ++i;
    }
    if (!(options->seconds > 0) || options->segments < 1) {
        Usage(platform, stderr);
        return 2;
    }
    if (options->settings.empty()) options->settings = {{192000, 2}, {48000, 10}};
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    std::unique_ptr<bench::Platform> platform = bench::Platform::Create();
    bench::Options options;
    if (const int status = bench::ParseOptions(argc, argv, *platform, &options); status != 0) {
        return status < 0 ? 0 : status;
    }
    std::string error;
    if (!platform->Start(options, &error)) {
        fprintf(stderr, "stream_latency: %s\n", error.c_str());
        return 2;
    }
    printf("%s", platform->Heading(options).c_str());
    std::vector<bench::Row> rows;
    int status = 0;
    for (const bench::Setting& setting : options.settings) {
        bench::Row row;
        bool partial = false;
        if (!bench::RunSetting(*platform, options, setting, &row, &partial)) {
            status = 2;
            break;
        }
        if (partial) status = 2;
        rows.push_back(row);
    }
    bench::PrintNote(*platform, rows, options);
    return status;
}
