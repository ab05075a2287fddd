// stream_latency, Windows build (run under Wine): the driver's wake-to-callback
// latency against a raw Win32 floor measured in the same run.
//
// Floor: one thread sleeps to absolute deadlines at the half period (Sleep
// with timeBeginPeriod(1), as the simulated card's clock does here), stamps
// the time and SetEvents; a second thread at time-critical priority waits in
// WaitForMultipleObjects (a stop event and the ready event, as the driver's
// stream thread does) and stamps on wake.
//
// Driver path: KorvexASIO-simcard.dll (the driver with the simulated card
// inside) through LoadLibraryW and DllGetClassObject, configured through its
// KORVEX_SIMCARD_* environment. The host stamps the callback's entry, its
// outputReady call and that call's return. Wake latency and the overrun
// attribution need the card's half stamps, which the DLL writes at each stop
// to the file named by KORVEX_SIMCARD_STAMPS (one line per half: sequence,
// half, due ns, signal ns, check ns, answered; CLOCK_MONOTONIC, the clock
// used here); without them only the floor and the callback intervals are shown.
#include "asio/driver/asio.h"
#include "bench/attribution.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

struct Percentiles {
    size_t count = 0;
    double p50 = 0, p99 = 0, p999 = 0, max = 0;
};

Percentiles Summarise(std::vector<uint64_t> values) {
    Percentiles p;
    p.count = values.size();
    if (values.empty()) return p;
    std::sort(values.begin(), values.end());
    auto rank = [&](double q) {
        const size_t index = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
        return static_cast<double>(values[std::clamp<size_t>(index, 1, values.size()) - 1]);
    };
    p.p50 = rank(0.50);
    p.p99 = rank(0.99);
    p.p999 = rank(0.999);
    p.max = static_cast<double>(values.back());
    return p;
}

// |interval - period| between consecutive times; `starts` are the indexes
// where a new run begins (no interval across them).
std::vector<uint64_t> Jitter(const std::vector<uint64_t>& times, const std::vector<size_t>& starts, double periodNs) {
    std::vector<uint64_t> jitter;
    for (size_t i = 1; i < times.size(); ++i) {
        if (std::find(starts.begin(), starts.end(), i) != starts.end()) continue;
        jitter.push_back(static_cast<uint64_t>(
            std::llround(std::fabs(static_cast<double>(times[i] - times[i - 1]) - periodNs))));
    }
    return jitter;
}

// Sleeps until `deadline` in steps of whole milliseconds (timeBeginPeriod(1) is on).
void SleepUntil(uint64_t deadline) {
    for (uint64_t now = NowNs(); now < deadline; now = NowNs()) {
        Sleep(static_cast<DWORD>((deadline - now + 999'999) / 1'000'000));
    }
}

// ---- The floor ------------------------------------------------------------------

class Win32Floor {
public:
    explicit Win32Floor(double periodNs) : periodNs_(periodNs) {}

    bool Run(double seconds) {
        const uint64_t periods = static_cast<uint64_t>(seconds * 1e9 / periodNs_);
        signalNs_.assign(periods + 1, 0);
        deadlineNs_.assign(periods + 1, 0);
        periods_ = periods;
        runStarts.push_back(wakeTimes.size());
        sequence_.store(0);
        HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (ready == nullptr || stop == nullptr) {
            if (ready) CloseHandle(ready);
            if (stop) CloseHandle(stop);
            return false;
        }
        ready_ = ready;
        stop_ = stop;
        HANDLE waiter = CreateThread(nullptr, 0, &Win32Floor::WaiterProc, this, CREATE_SUSPENDED, nullptr);
        bool ok = waiter != nullptr;
        if (ok) {
            SetThreadPriority(waiter, THREAD_PRIORITY_TIME_CRITICAL);
            ResumeThread(waiter);
            Signaller();
            SetEvent(stop);
            WaitForSingleObject(waiter, INFINITE);
            CloseHandle(waiter);
        }
        CloseHandle(ready);
        CloseHandle(stop);
        return ok;
    }

    std::vector<uint64_t> wake, wakeTimes, timerLate;
    std::vector<size_t> runStarts;
    uint64_t totalPeriods = 0, lateWakes = 0, lateTimer = 0, coalesced = 0;

private:
    static DWORD WINAPI WaiterProc(LPVOID self) {
        static_cast<Win32Floor*>(self)->Waiter();
        return 0;
    }

    void Signaller() {
        timeBeginPeriod(1);
        const uint64_t start = NowNs();
        for (uint64_t k = 1; k <= periods_; ++k) {
            const uint64_t deadline = start + static_cast<uint64_t>(std::llround(periodNs_ * static_cast<double>(k)));
            SleepUntil(deadline);
            const uint64_t now = NowNs();
            signalNs_[k] = now;
            deadlineNs_[k] = deadline;
            timerLate.push_back(now - deadline);
            if (static_cast<double>(now - deadline) > periodNs_) ++lateTimer;
            sequence_.store(k, std::memory_order_release);
            SetEvent(ready_);
        }
        timeEndPeriod(1);
    }

    void Waiter() {
        const HANDLE handles[2] = {stop_, ready_};
        uint64_t seen = 0;
        for (;;) {
            const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (result != WAIT_OBJECT_0 + 1) break;
            const uint64_t now = NowNs();
            const uint64_t last = sequence_.load(std::memory_order_acquire);
            if (last == seen) continue;
            coalesced += last - seen - 1;
            wake.push_back(now - signalNs_[last]);
            wakeTimes.push_back(now);
            for (uint64_t k = seen + 1; k <= last; ++k) {
                if (static_cast<double>(now - deadlineNs_[k]) > periodNs_) ++lateWakes;
            }
            seen = last;
        }
        totalPeriods += periods_;
    }

    const double periodNs_;
    HANDLE ready_ = nullptr, stop_ = nullptr;
    uint64_t periods_ = 0;
    std::atomic<uint64_t> sequence_{0};
    std::vector<uint64_t> signalNs_, deadlineNs_;
};

// ---- The driver path --------------------------------------------------------------

class Host;
Host* activeHost = nullptr;  // ASIO callbacks carry no context

class Host {
public:
    struct Callback {
        uint64_t entryNs, readyNs, doneNs;
    };
    struct RunSpan {
        uint64_t startNs, stopNs;
        size_t firstCallback, callbacks;
    };

    explicit Host(IASIO* driver) : driver_(driver) {
        table_.bufferSwitch = [](int32_t index, ASIOBool) { activeHost->OnHalf(index); };
        table_.sampleRateDidChange = [](ASIOSampleRate) {};
        table_.asioMessage = [](int32_t selector, int32_t value, void*, double*) -> int32_t {
            return selector == kAsioSelectorSupported && value == kAsioEngineVersion ? 1
                   : selector == kAsioEngineVersion                                 ? 2
                                                                                    : 0;
        };
        table_.bufferSwitchTimeInfo = [](ASIOTime* params, int32_t index, ASIOBool) {
            activeHost->OnHalf(index);
            return params;
        };
    }
    ~Host() { Dispose(); }

    bool Prepare(double capacitySeconds, std::string* error) {
        char message[128] = {};
        if (!driver_->init(nullptr)) {
            driver_->getErrorMessage(message);
            *error = std::string("init refused: ") + message;
            return false;
        }
        driver_->getDriverName(message);
        name_ = message;
        int32_t inputs = 0, outputs = 0, minimum = 0, maximum = 0, granularity = 0;
        driver_->getChannels(&inputs, &outputs);
        driver_->getBufferSize(&minimum, &maximum, &size_, &granularity);
        driver_->getSampleRate(&rate_);
        if (size_ <= 0 || rate_ <= 0) {
            *error = "no usable rate or buffer size";
            return false;
        }
        for (int32_t i = 0; i < inputs; ++i) infos_.push_back({ASIOTrue, i, {nullptr, nullptr}});
        for (int32_t o = 0; o < outputs; ++o) infos_.push_back({ASIOFalse, o, {nullptr, nullptr}});
        activeHost = this;
        if (driver_->createBuffers(infos_.data(), static_cast<int32_t>(infos_.size()), size_, &table_) != ASE_OK) {
            activeHost = nullptr;
            *error = "createBuffers failed";
            return false;
        }
        created_ = true;
        callbacks_.assign(static_cast<size_t>(capacitySeconds * rate_ / size_ * 1.1) + 64, Callback{});
        return true;
    }

    bool Run(double seconds) {
        const size_t first = count_.load();
        const uint64_t start = NowNs();
        if (driver_->start() != ASE_OK) return false;
        Sleep(static_cast<DWORD>(seconds * 1000));
        // Stop just after a callback, so that no half is in flight.
        const size_t seen = count_.load();
        for (int i = 0; i < 200 && count_.load() == seen; ++i) Sleep(1);
        const uint64_t stop = NowNs();
        driver_->stop();
        runs.push_back({start, stop, first, count_.load() - first});
        return true;
    }

    void Dispose() {
        if (created_) driver_->disposeBuffers();
        created_ = false;
        if (activeHost == this) activeHost = nullptr;
    }

    // Real time: no allocation, no lock.
    void OnHalf(int32_t index) {
        const uint64_t entry = NowNs();
        for (const ASIOBufferInfo& info : infos_) {
            if (info.isInput) continue;
            int32_t* out = static_cast<int32_t*>(info.buffers[index & 1]);
            for (int32_t i = 0; i < size_; ++i, ++phase_) {
                out[i] = static_cast<int32_t>(5e8 * std::sin(phase_ * 0.0143));
            }
        }
        const uint64_t ready = NowNs();
        driver_->outputReady();
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n < callbacks_.size()) callbacks_[n] = {entry, ready, NowNs()};
        count_.store(n + 1, std::memory_order_release);
    }

    double periodNs() const { return 1e9 * size_ / rate_; }
    const std::string& name() const { return name_; }
    std::vector<Callback> Callbacks() const {
        return {callbacks_.begin(), callbacks_.begin() + std::min(count_.load(), callbacks_.size())};
    }
    std::vector<RunSpan> runs;

private:
    IASIO* driver_;
    ASIOCallbacks table_{};
    std::vector<ASIOBufferInfo> infos_;
    std::string name_;
    int32_t size_ = 0;
    double rate_ = 0;
    bool created_ = false;
    double phase_ = 0;
    std::vector<Callback> callbacks_;
    std::atomic<size_t> count_{0};
};

struct CardHalf {
    uint64_t sequence = 0, dueNs = 0, signalNs = 0, checkNs = 0;
    int half = 0, answered = 0;
};

std::vector<CardHalf> ReadCardStamps(const std::string& path) {
    std::vector<CardHalf> halves;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return halves;
    CardHalf h;
    unsigned long long seq, due, sig, check;
    while (fscanf(file, "%llu %d %llu %llu %llu %d", &seq, &h.half, &due, &sig, &check, &h.answered) == 6) {
        h.sequence = seq;
        h.dueNs = due;
        h.signalNs = sig;
        h.checkNs = check;
        halves.push_back(h);
    }
    fclose(file);
    std::sort(halves.begin(), halves.end(), [](const CardHalf& a, const CardHalf& b) { return a.sequence < b.sequence; });
    return halves;
}

// The card's halves of each run matched in order with that run's callbacks.
std::vector<bench::HalfRecord> Match(const Host& host, const std::vector<CardHalf>& card) {
    std::vector<bench::HalfRecord> records;
    const std::vector<Host::Callback> callbacks = host.Callbacks();
    for (const Host::RunSpan& run : host.runs) {
        size_t i = 0;
        for (const CardHalf& h : card) {
            if (h.signalNs < run.startNs || h.signalNs > run.stopNs + static_cast<uint64_t>(host.periodNs())) continue;
            bench::HalfRecord r;
            r.dueNs = h.dueNs;
            r.signalNs = h.signalNs;
            r.checkNs = h.checkNs;
            r.checked = h.checkNs != 0;
            r.answered = h.answered != 0;
            if (i < run.callbacks && run.firstCallback + i < callbacks.size()) {
                const Host::Callback& c = callbacks[run.firstCallback + i];
                r.called = true;
                r.entryNs = c.entryNs;
                r.readyNs = c.readyNs;
                r.doneNs = c.doneNs;
            }
            ++i;
            records.push_back(r);
        }
    }
    return records;
}

// ---- Printing -------------------------------------------------------------------------

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

void PrintPercentiles(const char* label, const Percentiles& p) {
    printf("  %-24s %7zu %10s %10s %10s %10s\n", label, p.count, Us(p.p50).c_str(), Us(p.p99).c_str(),
           Us(p.p999).c_str(), Us(p.max).c_str());
}

struct Row {
    std::string setting;
    Percentiles floorWake, driverWake, floorJitter, driverJitter;
    uint64_t floorLate = 0, floorLateTimer = 0, overruns = 0;
    bool haveCard = false;
    bench::Attribution attribution;
};

struct Setting {
    unsigned rate, ms;
};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Without the driver: the floor alone, at the setting's period.
bool FloorOnly(const Setting& setting, double seconds, Row* row) {
    const double period = setting.ms * 1e6;
    Win32Floor floor(period);
    char title[160];
    snprintf(title, sizeof title, "%u Hz, %u samples per half (%.3f ms)", setting.rate, setting.rate / 1000 * setting.ms,
             period / 1e6);
    row->setting = title;
    printf("\n== %s: floor only, %.1f s ==\n", title, seconds);
    if (!floor.Run(seconds)) return false;
    row->floorWake = Summarise(floor.wake);
    row->floorJitter = Summarise(Jitter(floor.wakeTimes, floor.runStarts, period));
    row->floorLate = floor.lateWakes;
    row->floorLateTimer = floor.lateTimer;
    PrintPercentiles("floor (SetEvent → WFMO)", row->floorWake);
    const Percentiles timer = Summarise(floor.timerLate);
    printf("  floor timer lateness    p50 %s, p99 %s, p99.9 %s, max %s; %llu late wakes (%llu the timer's)\n",
           Us(timer.p50).c_str(), Us(timer.p99).c_str(), Us(timer.p999).c_str(), Us(timer.max).c_str(),
           static_cast<unsigned long long>(floor.lateWakes), static_cast<unsigned long long>(floor.lateTimer));
    fflush(stdout);
    return true;
}

bool RunSetting(const std::string& dll, const std::string& stampsPath, const Setting& setting, double seconds,
                int segments, Row* row) {
    SetEnvironmentVariableW(L"KORVEX_SIMCARD_RATE", std::to_wstring(setting.rate).c_str());
    SetEnvironmentVariableW(L"KORVEX_SIMCARD_BUFFER_MS", std::to_wstring(setting.ms).c_str());
    SetEnvironmentVariableW(L"KORVEX_SIMCARD_STAMPS", Widen(stampsPath).c_str());
    DeleteFileW(Widen(stampsPath).c_str());

    HMODULE module = LoadLibraryW(Widen(dll).c_str());
    if (module == nullptr) {
        fprintf(stderr, "stream_latency: cannot load %s (error %lu)\n", dll.c_str(), GetLastError());
        return FloorOnly(setting, seconds, row);
    }
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IASIO* driver = nullptr;
    if (getClassObject != nullptr &&
        SUCCEEDED(getClassObject(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver));
        factory->Release();
    }
    if (driver == nullptr) {
        fprintf(stderr, "stream_latency: %s created no driver\n", dll.c_str());
        FreeLibrary(module);
        return FloorOnly(setting, seconds, row);
    }
    bool ok = true;
    {
        Host host(driver);
        std::string error;
        ok = host.Prepare(seconds, &error);
        if (!ok) fprintf(stderr, "stream_latency: %s\n", error.c_str());
        if (ok) {
            const double period = host.periodNs();
            Win32Floor floor(period);
            char title[160];
            snprintf(title, sizeof title, "%u Hz, %.0f samples per half (%.3f ms)", setting.rate,
                     period * setting.rate / 1e9, period / 1e6);
            row->setting = title;
            printf("\n== %s: %s, %.1f s per path in %d alternating segments ==\n", title, host.name().c_str(),
                   seconds, segments);
            fflush(stdout);
            for (int s = 0; s < segments && ok; ++s) {
                for (int turn = 0; turn < 2 && ok; ++turn) {
                    ok = (turn == 0) == (s % 2 == 0) ? floor.Run(seconds / segments) : host.Run(seconds / segments);
                }
            }
            host.Dispose();
            const std::vector<bench::HalfRecord> records = Match(host, ReadCardStamps(stampsPath));
            row->haveCard = !records.empty();
            std::vector<uint64_t> driverWake, entries;
            std::vector<size_t> runStarts;
            for (const Host::Callback& c : host.Callbacks()) entries.push_back(c.entryNs);
            for (const Host::RunSpan& run : host.runs) runStarts.push_back(run.firstCallback);
            for (const bench::HalfRecord& r : records) {
                if (r.called && r.entryNs >= r.signalNs) driverWake.push_back(r.entryNs - r.signalNs);
                if (r.checked && !r.answered) ++row->overruns;
            }
            row->floorWake = Summarise(floor.wake);
            row->driverWake = Summarise(driverWake);
            row->floorJitter = Summarise(Jitter(floor.wakeTimes, floor.runStarts, period));
            row->driverJitter = Summarise(Jitter(entries, runStarts, period));
            row->floorLate = floor.lateWakes;
            row->floorLateTimer = floor.lateTimer;
            printf("  %-24s %7s %10s %10s %10s %10s\n", "wake → callback", "count", "p50", "p99", "p99.9", "max");
            PrintPercentiles("floor (SetEvent → WFMO)", row->floorWake);
            PrintPercentiles("driver", row->driverWake);
            printf("  %-24s %7s %10s %10s %10s %10s\n", "ratio driver/floor", "",
                   Ratio(row->driverWake.p50, row->floorWake.p50).c_str(),
                   Ratio(row->driverWake.p99, row->floorWake.p99).c_str(),
                   Ratio(row->driverWake.p999, row->floorWake.p999).c_str(),
                   Ratio(row->driverWake.max, row->floorWake.max).c_str());
            printf("  interval jitter\n");
            PrintPercentiles("floor", row->floorJitter);
            PrintPercentiles("driver", row->driverJitter);
            const Percentiles timer = Summarise(floor.timerLate);
            printf("  floor timer lateness    p50 %s, p99 %s, p99.9 %s, max %s\n", Us(timer.p50).c_str(),
                   Us(timer.p99).c_str(), Us(timer.p999).c_str(), Us(timer.max).c_str());
            printf("  halves                  driver: %zu callbacks; floor: %zu wakes of %llu periods, %llu coalesced\n",
                   host.Callbacks().size(), floor.wake.size(), static_cast<unsigned long long>(floor.totalPeriods),
                   static_cast<unsigned long long>(floor.coalesced));
            if (row->haveCard) {
                printf("  targets                 p99 ≤ 1.5× floor: %s (%s); overruns ≤ floor late wakes: %s (%llu ≤ "
                       "%llu)\n",
                       row->driverWake.p99 <= 1.5 * row->floorWake.p99 ? "met" : "NOT met",
                       Ratio(row->driverWake.p99, row->floorWake.p99).c_str(),
                       row->overruns <= row->floorLate ? "met" : "NOT met",
                       static_cast<unsigned long long>(row->overruns), static_cast<unsigned long long>(row->floorLate));
                row->attribution = bench::Attribute(records, period);
                bench::PrintAttribution(row->attribution, period, row->floorLate, row->floorLateTimer);
            } else {
                printf("  card stamps             none in %s: no wake latency, overruns or attribution for the "
                       "driver\n                          (floor: %llu late wakes, %llu of them the timer's)\n",
                       stampsPath.c_str(), static_cast<unsigned long long>(row->floorLate),
                       static_cast<unsigned long long>(row->floorLateTimer));
            }
            fflush(stdout);
        }
    }
    driver->Release();
    FreeLibrary(module);
    return ok;
}

void PrintNote(const std::vector<Row>& rows, double seconds, int segments) {
    printf("\n---- for a note (Windows build, %.0f s per path, %d alternating segments) ----\n", seconds, segments);
    printf("| setting | path | wake p50 | p99 | p99.9 | max | jitter p99 | late / overruns | overruns by cause |\n");
    printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        printf("| %s | floor | %s | %s | %s | %s | %s | %llu late | %llu the timer's |\n", r.setting.c_str(),
               Us(r.floorWake.p50).c_str(), Us(r.floorWake.p99).c_str(), Us(r.floorWake.p999).c_str(),
               Us(r.floorWake.max).c_str(), Us(r.floorJitter.p99).c_str(),
               static_cast<unsigned long long>(r.floorLate), static_cast<unsigned long long>(r.floorLateTimer));
        if (r.haveCard) {
            printf("| %s | driver | %s | %s | %s | %s | %s | %llu overruns | %s |\n", r.setting.c_str(),
                   Us(r.driverWake.p50).c_str(), Us(r.driverWake.p99).c_str(), Us(r.driverWake.p999).c_str(),
                   Us(r.driverWake.max).c_str(), Us(r.driverJitter.p99).c_str(),
                   static_cast<unsigned long long>(r.overruns), bench::CauseSummary(r.attribution).c_str());
            printf("| %s | ratio | %s | %s | %s | %s | %s | | |\n", r.setting.c_str(),
                   Ratio(r.driverWake.p50, r.floorWake.p50).c_str(), Ratio(r.driverWake.p99, r.floorWake.p99).c_str(),
                   Ratio(r.driverWake.p999, r.floorWake.p999).c_str(), Ratio(r.driverWake.max, r.floorWake.max).c_str(),
                   Ratio(r.driverJitter.p99, r.floorJitter.p99).c_str());
        } else {
            printf("| %s | driver | - | - | - | - | %s | no card stamps | - |\n", r.setting.c_str(),
                   Us(r.driverJitter.p99).c_str());
        }
    }
}

// The DLL beside this program unless --driver names one.
std::string DefaultDll() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    const size_t slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + "KorvexASIO-simcard.dll";
}

void Usage(FILE* out) {
    fprintf(out,
            "Usage: stream_latency [--seconds S] [--segments N] [--setting RATE/MS]... [--driver DLL] "
            "[--stamps FILE]\n"
            "\n"
            "  --seconds S        streaming time per path and setting (default 10)\n"
            "  --segments N       alternating floor/driver segments (default 5)\n"
            "  --setting RATE/MS  a card rate and buffer length; repeatable (default 192000/2 and 48000/10)\n"
            "  --driver DLL       the driver with the simulated card (default KorvexASIO-simcard.dll beside this)\n"
            "  --stamps FILE      where the card writes its half stamps (default stream_latency-stamps.txt\n"
            "                     in the temporary directory)\n");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10.0;
    int segments = 5;
    std::vector<Setting> settings;
    std::string dll = DefaultDll();
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    std::string stamps = std::string(temp) + "stream_latency-stamps.txt";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--seconds" && value) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--segments" && value) {
            segments = std::atoi(argv[++i]);
        } else if (arg == "--driver" && value) {
            dll = argv[++i];
        } else if (arg == "--stamps" && value) {
            stamps = argv[++i];
        } else if (arg == "--setting" && value) {
            unsigned rate = 0, ms = 0;
            if (sscanf(argv[++i], "%u/%u", &rate, &ms) != 2 || rate == 0 || ms == 0) {
                Usage(stderr);
                return 2;
            }
            settings.push_back({rate, ms});
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
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    printf("stream_latency: wake → callback through %s on the simulated card, against a raw\n"
           "SetEvent → WaitForMultipleObjects wake between two threads (the floor), in the same process, "
           "alternating.\n",
           dll.c_str());
    std::vector<Row> rows;
    int status = 0;
    for (const Setting& setting : settings) {
        Row row;
        if (!RunSetting(dll, stamps, setting, seconds, segments, &row)) {
            status = 2;
            break;
        }
        rows.push_back(row);
    }
    PrintNote(rows, seconds, segments);
    CoUninitialize();
    return status;
}
