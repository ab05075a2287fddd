// stream_latency: how long the driver path takes from the card's half-ready
// signal to the host's callback, against the floor of this machine measured
// in the same run.
//
// Driver path: the simulated card's real-time clock sets the half's ready
// event; the driver's stream thread, waiting in WaitForMultipleObjects, wakes
// and calls the host, which stamps the time on entry (the host is the demo's:
// libKorvexASIO.so through dlopen and the class factory, a sine on every
// output, the inputs measured, outputReady from the callback).
//
// Floor: a thread sleeping to absolute deadlines at the same period
// (clock_nanosleep TIMER_ABSTIME, timer slack 1 ns, like the card's clock)
// stamps the time and wakes a second thread through a raw futex; the second
// thread stamps on wake.
//
// The two run in alternating segments within one process, so that both see
// the same machine. Figures only; the exit status says only whether it ran.
#include "bench/attribution.h"
#include "sim/machine.h"
#include "tools/korvex-sim/driver_module.h"
#include "tools/korvex-sim/host_stream.h"

#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using korvex::host::ComputePercentiles;
using korvex::host::MonotonicNs;
using korvex::host::Percentiles;

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

timespec ToTimespec(uint64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return ts;
}

// The raw two-thread wake.
class RawWakeFloor {
public:
    RawWakeFloor(double periodNs, size_t capacity) : periodNs_(periodNs) {
        signalNs_.assign(capacity + 2, 0);
        deadlineNs_.assign(capacity + 2, 0);
        wake_.assign(capacity, 0);
        jitter_.assign(capacity, 0);
        timerLate_.assign(capacity, 0);
    }

    void Run(double seconds) {
        const uint64_t periods = static_cast<uint64_t>(seconds * 1e9 / periodNs_);
        word_.store(0);
        std::thread waker([&] { Waker(periods); });
        std::thread sleeper([&] { Sleeper(periods); });
        sleeper.join();
        waker.join();
    }

    std::span<const uint64_t> wake() const { return {wake_.data(), wakeCount_}; }
    std::span<const uint64_t> jitter() const { return {jitter_.data(), jitterCount_}; }
    std::span<const uint64_t> timerLate() const { return {timerLate_.data(), timerLateCount_}; }
    uint64_t periods() const { return periods_; }
    uint64_t wakes() const { return wakeCount_; }
    uint64_t coalesced() const { return coalesced_; }
    // The second thread ran more than one period after the deadline.
    uint64_t lateWakes() const { return lateWakes_; }
    // The sleeping thread itself woke more than one period late.
    uint64_t lateTimerWakes() const { return lateTimer_; }
    double cpuPerPeriodNs() const { return periods_ ? static_cast<double>(cpuNs_.load()) / periods_ : 0.0; }

private:
    // Sequence numbers start at 1 in each run; the word carries the latest.
    void Sleeper(uint64_t periods) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const uint64_t start = MonotonicNs();
        for (uint64_t k = 1; k <= periods && k < signalNs_.size(); ++k) {
            const uint64_t deadline = start + static_cast<uint64_t>(std::llround(periodNs_ * static_cast<double>(k)));
            const timespec until = ToTimespec(deadline);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            const uint64_t now = MonotonicNs();
            signalNs_[k] = now;
            deadlineNs_[k] = deadline;
            if (timerLateCount_ < timerLate_.size()) timerLate_[timerLateCount_++] = now - deadline;
            if (static_cast<double>(now - deadline) > periodNs_) ++lateTimer_;
            word_.store(static_cast<uint32_t>(k), std::memory_order_release);
            FutexWake(&word_);
        }
        word_.fetch_add(0x80000000u, std::memory_order_release);  // wakes the other thread for good
        FutexWake(&word_);
        cpuNs_.fetch_add(korvex::host::ThreadCpuNs());
    }

    void Waker(uint64_t periods) {
        uint32_t seen = 0;
        uint64_t previousWake = 0;
        for (;;) {
            const uint32_t current = word_.load(std::memory_order_acquire);
            if (current == seen) {
                FutexWait(&word_, seen);
                continue;
            }
            const uint64_t now = MonotonicNs();
            const uint32_t last = current & 0x7FFFFFFFu;
            if (last == seen) break;  // the end, nothing new before it
            coalesced_ += last - seen - 1;
            if (wakeCount_ < wake_.size()) wake_[wakeCount_++] = now - signalNs_[last];
            // Periods whose signal was coalesced into this wake are late too.
            for (uint32_t k = seen + 1; k <= last; ++k) {
                if (static_cast<double>(now - deadlineNs_[k]) > periodNs_) ++lateWakes_;
            }
            if (previousWake != 0 && jitterCount_ < jitter_.size()) {
                jitter_[jitterCount_++] = static_cast<uint64_t>(
                    std::llround(std::fabs(static_cast<double>(now - previousWake) - periodNs_)));
            }
            previousWake = now;
            seen = last;
            if (current & 0x80000000u) break;
        }
        periods_ += periods;
        cpuNs_.fetch_add(korvex::host::ThreadCpuNs());
    }

    const double periodNs_;
    std::atomic<uint32_t> word_{0};
    std::vector<uint64_t> signalNs_, deadlineNs_;
    std::vector<uint64_t> wake_, jitter_, timerLate_;
    size_t wakeCount_ = 0, jitterCount_ = 0, timerLateCount_ = 0;
    uint64_t periods_ = 0, coalesced_ = 0, lateWakes_ = 0, lateTimer_ = 0;
    std::atomic<uint64_t> cpuNs_{0};
};

struct Setting {
    uint32_t rate;
    uint32_t bufferMs;
};

struct Row {
    std::string setting;
    Percentiles floorWake, driverWake, floorJitter, driverJitter;
    uint64_t floorLate = 0, floorLateTimer = 0, overruns = 0, cardLate = 0;
    double floorCpu = 0, driverProcessCpu = 0, streamThreadCpu = 0, callbackCpu = 0;
    bool clean = false;
    bench::Attribution attribution;
};

// Every half the card signalled, with the host's callback for it.
std::vector<bench::HalfRecord> CollectHalves(const sim::Card& card, const korvex::host::StreamHost& host) {
    const uint64_t signalled = card.HalvesSignalled();
    std::vector<bench::HalfRecord> records(signalled);
    for (uint64_t k = 0; k < signalled; ++k) {
        const auto stamp = card.SignalStamp(k);
        if (!stamp) continue;
        bench::HalfRecord& r = records[k];
        r.dueNs = stamp->dueNs;
        r.signalNs = stamp->ns;
        r.checkNs = stamp->checkNs;
        r.checked = stamp->checkNs != 0;
        r.answered = stamp->answered;
    }
    for (const korvex::host::CallbackTiming& t : host.callbackTimings()) {
        if (t.sequence >= signalled) continue;
        bench::HalfRecord& r = records[t.sequence];
        r.called = true;
        r.entryNs = t.entryNs;
        r.readyNs = t.readyNs;
        r.doneNs = t.doneNs;
    }
    return records;
}

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
    if (floor <= 0) return "-";
    snprintf(text, sizeof text, "%.2f×", driver / floor);
    return text;
}

void PrintPercentiles(const char* label, const Percentiles& p) {
    printf("  %-24s %7zu %10s %10s %10s %10s\n", label, p.count, Us(p.p50).c_str(), Us(p.p99).c_str(),
           Us(p.p999).c_str(), Us(p.max).c_str());
}

void PrintRatios(const Percentiles& driver, const Percentiles& floor) {
    printf("  %-24s %7s %10s %10s %10s %10s\n", "ratio driver/floor", "", Ratio(driver.p50, floor.p50).c_str(),
           Ratio(driver.p99, floor.p99).c_str(), Ratio(driver.p999, floor.p999).c_str(),
           Ratio(driver.max, floor.max).c_str());
}

bool RunSetting(const korvex::host::DriverModule& module, const Setting& setting, double seconds, int segments,
                sim::CardModel model, Row* row) {
    sim::Machine machine;
    sim::CardConfig config;
    config.model = model;
    config.sampleRate = setting.rate;
    config.bufferMs = setting.bufferMs;
    const double halves = seconds * setting.rate / std::max<uint32_t>(1, setting.rate / 1000 * setting.bufferMs);
    config.stampCapacity = static_cast<size_t>(halves * 1.1) + 1024;
    sim::Card& card = machine.AddCard(config);

    HRESULT created = E_FAIL;
    IASIO* driver = module.CreateDriver(&created);
    if (driver == nullptr) {
        fprintf(stderr, "stream_latency: the class factory did not create the driver (0x%08x)\n",
                static_cast<unsigned>(created));
        return false;
    }
    bool ok = true;
    {
        korvex::host::StreamHost host(driver, card);
        std::string error;
        if (!host.Prepare(seconds, &error)) {
            fprintf(stderr, "stream_latency: %s\n", error.c_str());
            host.Dispose();
            driver->Release();
            return false;
        }
        const double period = host.periodNs();
        RawWakeFloor floor(period, static_cast<size_t>(seconds * 1e9 / period * 1.05) + 64);
        char title[160];
        snprintf(title, sizeof title, "%u Hz, %d samples per half (%.3f ms)", setting.rate, host.bufferSize(),
                 period / 1e6);
        row->setting = title;
        const double segment = seconds / segments;
        printf("\n== %s: %s, %.1f s per path in %d alternating segments ==\n", title, host.driverName().c_str(),
               seconds, segments);
        fflush(stdout);
        for (int s = 0; s < segments && ok; ++s) {
            for (int turn = 0; turn < 2 && ok; ++turn) {
                // Alternate which path goes first, so neither always follows the other.
                if ((turn == 0) == (s % 2 == 0)) {
                    floor.Run(segment);
                } else {
                    ok = host.Run(segment, nullptr, &error);
                    if (!ok) fprintf(stderr, "stream_latency: %s\n", error.c_str());
                }
            }
        }
        host.Dispose();
        if (!ok) {
            driver->Release();
            return false;
        }

        row->floorWake = ComputePercentiles(floor.wake());
        row->driverWake = ComputePercentiles(host.wakeLatencies());
        row->floorJitter = ComputePercentiles(floor.jitter());
        const std::vector<uint64_t> jitter = host.Jitter();
        row->driverJitter = ComputePercentiles(jitter);
        row->floorLate = floor.lateWakes();
        row->floorLateTimer = floor.lateTimerWakes();
        row->overruns = host.overruns();
        for (uint64_t late : host.cardLateness()) row->cardLate += static_cast<double>(late) > period;
        row->floorCpu = floor.cpuPerPeriodNs();
        row->driverProcessCpu = host.processCpuPerHalfNs();
        row->streamThreadCpu = host.streamThreadCpuPerHalfNs();
        row->callbackCpu = host.callbackCpuPerHalfNs();
        row->clean = host.Clean();
        row->attribution = bench::Attribute(CollectHalves(card, host), period);

        printf("  %-24s %7s %10s %10s %10s %10s\n", "wake → callback", "count", "p50", "p99", "p99.9", "max");
        PrintPercentiles("floor (raw futex wake)", row->floorWake);
        PrintPercentiles("driver", row->driverWake);
        PrintRatios(row->driverWake, row->floorWake);
        printf("  %-24s\n", "interval jitter");
        PrintPercentiles("floor", row->floorJitter);
        PrintPercentiles("driver", row->driverJitter);
        PrintRatios(row->driverJitter, row->floorJitter);
        const Percentiles timer = ComputePercentiles(floor.timerLate());
        printf("  floor timer lateness    p50 %s, p99 %s, p99.9 %s, max %s\n", Us(timer.p50).c_str(),
               Us(timer.p99).c_str(), Us(timer.p999).c_str(), Us(timer.max).c_str());
        printf("  late / overruns         floor: %llu wakes more than a half after the deadline (%llu of them the "
               "timer's own)\n",
               static_cast<unsigned long long>(row->floorLate), static_cast<unsigned long long>(row->floorLateTimer));
        printf("                          driver: %llu overruns; card clock %llu signals more than a half behind\n",
               static_cast<unsigned long long>(row->overruns), static_cast<unsigned long long>(row->cardLate));
        printf("  halves                  driver: %llu callbacks, %llu signalled, position %s; floor: %llu wakes of "
               "%llu periods, %llu coalesced\n",
               static_cast<unsigned long long>(host.callbacks()),
               static_cast<unsigned long long>(host.halvesSignalled()),
               host.finalPosition() == host.expectedPosition() ? "right" : "WRONG",
               static_cast<unsigned long long>(floor.wakes()), static_cast<unsigned long long>(floor.periods()),
               static_cast<unsigned long long>(floor.coalesced()));
        printf("  CPU per half            floor (both threads) %s; driver: process %s, stream thread %s (of it "
               "the host's callback %s)\n",
               Us(row->floorCpu).c_str(), Us(row->driverProcessCpu).c_str(), Us(row->streamThreadCpu).c_str(),
               Us(row->callbackCpu).c_str());
        auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
        printf("  targets                 p99 ≤ 1.3× floor: %s (%s); p99.9 ≤ 2× floor: %s (%s); overruns ≤ floor "
               "late wakes: %s (%llu ≤ %llu)\n",
               verdict(row->driverWake.p99 <= 1.3 * row->floorWake.p99),
               Ratio(row->driverWake.p99, row->floorWake.p99).c_str(),
               verdict(row->driverWake.p999 <= 2.0 * row->floorWake.p999),
               Ratio(row->driverWake.p999, row->floorWake.p999).c_str(), verdict(row->overruns <= row->floorLate),
               static_cast<unsigned long long>(row->overruns), static_cast<unsigned long long>(row->floorLate));
        bench::PrintAttribution(row->attribution, period, row->floorLate, row->floorLateTimer);
        fflush(stdout);
    }
    driver->Release();
    return true;
}

void PrintNote(const std::vector<Row>& rows, double seconds, int segments) {
    char host[128] = "?";
    gethostname(host, sizeof host);
    printf("\n---- for a note (%.0f s per path, %d alternating segments, %u cores, host %s) ----\n", seconds, segments,
           std::thread::hardware_concurrency(), host);
    printf("| setting | path | wake p50 | p99 | p99.9 | max | jitter p99 | late / overruns | CPU per half | overruns "
           "by cause |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        printf("| %s | floor | %s | %s | %s | %s | %s | %llu late | %s | %llu the timer's |\n", r.setting.c_str(),
               Us(r.floorWake.p50).c_str(),
               Us(r.floorWake.p99).c_str(), Us(r.floorWake.p999).c_str(), Us(r.floorWake.max).c_str(),
               Us(r.floorJitter.p99).c_str(), static_cast<unsigned long long>(r.floorLate), Us(r.floorCpu).c_str(),
               static_cast<unsigned long long>(r.floorLateTimer));
        printf("| %s | driver | %s | %s | %s | %s | %s | %llu overruns | %s | %s |\n", r.setting.c_str(),
               Us(r.driverWake.p50).c_str(), Us(r.driverWake.p99).c_str(), Us(r.driverWake.p999).c_str(),
               Us(r.driverWake.max).c_str(), Us(r.driverJitter.p99).c_str(),
               static_cast<unsigned long long>(r.overruns), Us(r.driverProcessCpu).c_str(),
               bench::CauseSummary(r.attribution).c_str());
        printf("| %s | ratio | %s | %s | %s | %s | %s | | | |\n", r.setting.c_str(),
               Ratio(r.driverWake.p50, r.floorWake.p50).c_str(), Ratio(r.driverWake.p99, r.floorWake.p99).c_str(),
               Ratio(r.driverWake.p999, r.floorWake.p999).c_str(), Ratio(r.driverWake.max, r.floorWake.max).c_str(),
               Ratio(r.driverJitter.p99, r.floorJitter.p99).c_str());
    }
}

void Usage(FILE* out) {
    fprintf(out,
            "Usage: stream_latency [--seconds S] [--segments N] [--setting RATE/MS]... [--model pico|six|duo|eight]\n"
            "\n"
            "  --seconds S        streaming time per path (floor, driver) and setting (default 10)\n"
            "  --segments N       alternating floor/driver segments the time is split into (default 5)\n"
            "  --setting RATE/MS  a card rate and buffer length; repeatable (default 192000/2 and 48000/10)\n"
            "  --model M          the card model (default six)\n"
            "  --soak-seconds S   a soak at the smallest buffer: 192000/2 only, S seconds per path in\n"
            "                     one-minute alternating segments (600: ten minutes of streaming)\n");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10.0;
    int segments = 5;
    sim::CardModel model = sim::CardModel::Six;
    std::vector<Setting> settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--seconds" && value) {
            seconds = std::atof(value);
            ++i;
        } else if (arg == "--segments" && value) {
            segments = std::atoi(value);
            ++i;
        } else if (arg == "--setting" && value) {
            unsigned rate = 0, ms = 0;
            if (sscanf(value, "%u/%u", &rate, &ms) != 2 || rate == 0 || ms == 0) {
                Usage(stderr);
                return 2;
            }
            settings.push_back({rate, ms});
            ++i;
        } else if (arg == "--soak-seconds" && value) {
            seconds = std::atof(value);
            segments = std::max(1, static_cast<int>(seconds / 60));
            settings = {{192000, 2}};
            ++i;
        } else if (arg == "--model" && value) {
            const std::string name = value;
            model = name == "pico"    ? sim::CardModel::Pico
                    : name == "duo"   ? sim::CardModel::Duo
                    : name == "eight" ? sim::CardModel::Eight
                                      : sim::CardModel::Six;
            ++i;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (!(seconds > 0) || segments < 1) {
        Usage(stderr);
        return 2;
    }
    if (settings.empty()) settings = {{192000, 2}, {48000, 10}};

    korvex::host::DriverModule module(korvex::host::DriverModule::DefaultPath());
    if (!module.loaded()) {
        fprintf(stderr, "stream_latency: cannot load %s: %s\n", korvex::host::DriverModule::DefaultPath(),
                module.error().c_str());
        return 2;
    }
    printf("stream_latency: wake → callback through libKorvexASIO.so on the simulated card, against a raw\n"
           "futex wake between two threads (the floor), in the same process, alternating.\n");
    std::vector<Row> rows;
    for (const Setting& setting : settings) {
        Row row;
        if (!RunSetting(module, setting, seconds, segments, model, &row)) return 2;
        rows.push_back(row);
    }
    PrintNote(rows, seconds, segments);
    return 0;
}
