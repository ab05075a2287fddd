// stream_latency, Windows build (run under Wine): the driver's wake-to-callback
// latency against a raw Win32 floor measured in the same run.
//
// Floor: one thread sleeps to absolute deadlines at the half period (Sleep
// with timeBeginPeriod(1), as the simulated card's clock does here), stamps
// the time and SetEvents; a second thread at time-critical priority waits in
// WaitForMultipleObjects (a stop event and the ready event, as the driver's
// stream thread does) and stamps on wake.
//
// Call-shaped floor: no driver code, but per half the Win32 event calls of the
// card's clock and the driver's stream thread (see CallShapedFloor); with
// --shaped-work it also does the card's and/or this host's sample work.
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

// ---- The call-shaped floor -------------------------------------------------------
//
// No driver code, but per half the same Win32 event calls, on two threads, as
// the simulated card's clock and the driver's stream thread make: the clock
// (above normal) sleeps as the card's does, checks the pending half's answer
// with a zero-timeout WaitForSingleObject, stamps and SetEvents that half's
// ready event; the stream thread (time-critical) waits for {stop, half ready},
// stamps on wake, SetEvents the half's output-ready and the host-output events
// (what outputReady does) and waits for {stop, host output} before the next
// half. All events auto-reset, as the driver creates them. Under Wine every
// one of these calls is a round trip to the Wine server.
class CallShapedFloor {
public:
    explicit CallShapedFloor(double periodNs) : periodNs_(periodNs) {}

    // With --shaped-work: as many sine samples per half as the card computes
    // for its inputs before its stamp, and the host for its outputs after the
    // callback's entry.
    void SetWork(size_t clockSamples, size_t streamSamples) {
        clockWork_.assign(clockSamples, 0);
        streamWork_.assign(streamSamples, 0);
    }

    bool Run(double seconds) {
        const uint64_t periods = static_cast<uint64_t>(seconds * 1e9 / periodNs_);
        signalNs_.assign(periods + 1, 0);
        deadlineNs_.assign(periods + 1, 0);
        periods_ = periods;
        runStarts.push_back(wakeTimes.size());
        sequence_.store(0);
        bool ok = true;
        for (HANDLE& event : events_) {
            event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            ok = ok && event != nullptr;
        }
        HANDLE stream = nullptr, clock = nullptr;
        if (ok) stream = CreateThread(nullptr, 0, &CallShapedFloor::StreamProc, this, CREATE_SUSPENDED, nullptr);
        if (stream != nullptr) {
            SetThreadPriority(stream, THREAD_PRIORITY_TIME_CRITICAL);
            ResumeThread(stream);
            clock = CreateThread(nullptr, 0, &CallShapedFloor::ClockProc, this, 0, nullptr);
            if (clock != nullptr) {
                WaitForSingleObject(clock, INFINITE);
                CloseHandle(clock);
            }
            SetEvent(events_[kStopHalf0]);
            SetEvent(events_[kStopHalf1]);
            SetEvent(events_[kStopOutput]);
            WaitForSingleObject(stream, INFINITE);
            CloseHandle(stream);
        }
        ok = ok && stream != nullptr && clock != nullptr;
        for (HANDLE& event : events_) {
            if (event != nullptr) CloseHandle(event);
            event = nullptr;
        }
        return ok;
    }

    std::vector<uint64_t> wake, wakeTimes;
    std::vector<size_t> runStarts;
    uint64_t totalPeriods = 0, lateWakes = 0, coalesced = 0, unanswered = 0;

private:
    enum { kStopHalf0, kHalf0Ready, kStopOutput, kHostOutput, kStopHalf1, kHalf1Ready, kOutput0Ready, kOutput1Ready,
           kEventCount };

    static DWORD WINAPI ClockProc(LPVOID self) {
        static_cast<CallShapedFloor*>(self)->Clock();
        return 0;
    }
    static DWORD WINAPI StreamProc(LPVOID self) {
        static_cast<CallShapedFloor*>(self)->Stream();
        return 0;
    }

    HANDLE OutputReady(int half) const { return events_[half == 0 ? kOutput0Ready : kOutput1Ready]; }

    // The card clock's sleep: whole milliseconds in slices of at most 4 ms,
    // Sleep(1) for a remainder of half a millisecond or more, else a yield.
    static void SleepLikeCard(uint64_t deadline) {
        for (;;) {
            const uint64_t now = NowNs();
            if (now >= deadline) return;
            const uint64_t remaining = std::min<uint64_t>(deadline - now, 4'000'000);
            if (remaining >= 1'000'000) {
                Sleep(static_cast<DWORD>(remaining / 1'000'000));
            } else if (remaining >= 500'000) {
                Sleep(1);
            } else {
                SwitchToThread();
            }
        }
    }

    void Clock() {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
        const bool period = timeBeginPeriod(1) == TIMERR_NOERROR;
        const uint64_t start = NowNs();
        int nextHalf = 0, pending = -1;
        bool late[2] = {false, false};
        uint64_t step = 0;
        for (uint64_t k = 1; k <= periods_; ++k) {
            ++step;
            const uint64_t deadline = start + static_cast<uint64_t>(std::llround(periodNs_ * static_cast<double>(step)));
            SleepLikeCard(deadline);
            // A wake more than half a period late skips the deadlines it has
            // come too close to, as the card's clock does.
            const uint64_t now = NowNs();
            while (start + static_cast<uint64_t>(std::llround(periodNs_ * static_cast<double>(step + 1))) <
                   now + static_cast<uint64_t>(periodNs_ / 2)) {
                ++step;
            }
            if (pending >= 0) {
                const bool answered = WaitForSingleObject(OutputReady(pending), 0) == WAIT_OBJECT_0;
                if (!answered) {
                    ++unanswered;
                    late[pending] = true;
                } else {
                    late[pending] = false;
                }
            }
            const int half = nextHalf;
            if (late[half] && WaitForSingleObject(OutputReady(half), 0) == WAIT_OBJECT_0) late[half] = false;
            Work(&clockWork_, &clockPhase_);
            // The card stamps its signal just before its SetEvent.
            signalNs_[k] = NowNs();
            deadlineNs_[k] = deadline;
            sequence_.store(k, std::memory_order_release);
            SetEvent(events_[half == 0 ? kHalf0Ready : kHalf1Ready]);
            pending = half;
            nextHalf = half ^ 1;
        }
        if (period) timeEndPeriod(1);
    }

    void Stream() {
        timeBeginPeriod(1);
        const HANDLE waitHalf[2][2] = {{events_[kStopHalf0], events_[kHalf0Ready]},
                                       {events_[kStopHalf1], events_[kHalf1Ready]}};
        const HANDLE waitHost[2] = {events_[kStopOutput], events_[kHostOutput]};
        uint64_t seen = 0;
        for (int half = 0;; half ^= 1) {
            DWORD result = WaitForMultipleObjects(2, waitHalf[half], FALSE, INFINITE);
            if (result != WAIT_OBJECT_0 + 1) break;
            // The driver reads timeGetTime before the host's callback.
            volatile DWORD milliseconds = timeGetTime();
            (void)milliseconds;
            const uint64_t now = NowNs();
            const uint64_t last = sequence_.load(std::memory_order_acquire);
            if (last != seen) {
                coalesced += last - seen - 1;
                wake.push_back(now - signalNs_[last]);
                wakeTimes.push_back(now);
                for (uint64_t k = seen + 1; k <= last; ++k) {
                    if (static_cast<double>(now - deadlineNs_[k]) > periodNs_) ++lateWakes;
                }
                seen = last;
            }
            Work(&streamWork_, &streamPhase_);
            // outputReady
            SetEvent(OutputReady(half));
            SetEvent(events_[kHostOutput]);
            result = WaitForMultipleObjects(2, waitHost, FALSE, INFINITE);
            if (result != WAIT_OBJECT_0 + 1) break;
        }
        timeEndPeriod(1);
        totalPeriods += periods_;
    }

    static void Work(std::vector<int32_t>* samples, double* phase) {
        for (int32_t& sample : *samples) sample = static_cast<int32_t>(5e8 * std::sin((*phase += 1) * 0.0143));
    }

    const double periodNs_;
    std::vector<int32_t> clockWork_, streamWork_;
    double clockPhase_ = 0, streamPhase_ = 0;
    HANDLE events_[kEventCount] = {};
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
    size_t Samples(bool inputs) const {
        size_t channels = 0;
        for (const ASIOBufferInfo& info : infos_) channels += (info.isInput != 0) == inputs ? 1 : 0;
        return channels * static_cast<size_t>(size_);
    }
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
    Percentiles floorWake, driverWake, floorJitter, driverJitter, shapedWake, shapedJitter;
    uint64_t floorLate = 0, floorLateTimer = 0, overruns = 0, shapedLate = 0;
    bool haveShaped = false;
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
                int segments, const std::string& shapedWork, Row* row) {
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
            CallShapedFloor shaped(period);
            shaped.SetWork(shapedWork.find('c') != std::string::npos ? host.Samples(true) : 0,
                           shapedWork.find('s') != std::string::npos ? host.Samples(false) : 0);
            char title[160];
            snprintf(title, sizeof title, "%u Hz, %.0f samples per half (%.3f ms)", setting.rate,
                     period * setting.rate / 1e9, period / 1e6);
            row->setting = title;
            printf("\n== %s: %s, %.1f s per path in %d alternating segments ==\n", title, host.name().c_str(),
                   seconds, segments);
            fflush(stdout);
            // Floor, call-shaped floor and driver, in an order rotated each segment.
            for (int s = 0; s < segments && ok; ++s) {
                for (int turn = 0; turn < 3 && ok; ++turn) {
                    switch ((s + turn) % 3) {
                        case 0: ok = floor.Run(seconds / segments); break;
                        case 1: ok = shaped.Run(seconds / segments); break;
                        default: ok = host.Run(seconds / segments); break;
                    }
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
            row->haveShaped = true;
            row->shapedWake = Summarise(shaped.wake);
            row->shapedJitter = Summarise(Jitter(shaped.wakeTimes, shaped.runStarts, period));
            row->shapedLate = shaped.lateWakes;
            printf("  %-24s %7s %10s %10s %10s %10s\n", "wake → callback", "count", "p50", "p99", "p99.9", "max");
            PrintPercentiles("floor (SetEvent → WFMO)", row->floorWake);
            PrintPercentiles("call-shaped floor", row->shapedWake);
            PrintPercentiles("driver", row->driverWake);
            printf("  %-24s %7s %10s %10s %10s %10s\n", "ratio driver/floor", "",
                   Ratio(row->driverWake.p50, row->floorWake.p50).c_str(),
                   Ratio(row->driverWake.p99, row->floorWake.p99).c_str(),
                   Ratio(row->driverWake.p999, row->floorWake.p999).c_str(),
                   Ratio(row->driverWake.max, row->floorWake.max).c_str());
            printf("  %-24s %7s %10s %10s %10s %10s\n", "ratio driver/call-shaped", "",
                   Ratio(row->driverWake.p50, row->shapedWake.p50).c_str(),
                   Ratio(row->driverWake.p99, row->shapedWake.p99).c_str(),
                   Ratio(row->driverWake.p999, row->shapedWake.p999).c_str(),
                   Ratio(row->driverWake.max, row->shapedWake.max).c_str());
            printf("  %-24s %7s %10s %10s %10s %10s\n", "ratio call-shaped/floor", "",
                   Ratio(row->shapedWake.p50, row->floorWake.p50).c_str(),
                   Ratio(row->shapedWake.p99, row->floorWake.p99).c_str(),
                   Ratio(row->shapedWake.p999, row->floorWake.p999).c_str(),
                   Ratio(row->shapedWake.max, row->floorWake.max).c_str());
            printf("  interval jitter\n");
            PrintPercentiles("floor", row->floorJitter);
            PrintPercentiles("call-shaped floor", row->shapedJitter);
            PrintPercentiles("driver", row->driverJitter);
            printf("  call-shaped floor       %zu wakes of %llu periods, %llu coalesced, %llu late wakes, %llu halves "
                   "unanswered at the next deadline\n",
                   shaped.wake.size(), static_cast<unsigned long long>(shaped.totalPeriods),
                   static_cast<unsigned long long>(shaped.coalesced), static_cast<unsigned long long>(shaped.lateWakes),
                   static_cast<unsigned long long>(shaped.unanswered));
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

void PrintNote(const std::vector<Row>& rows, double seconds, int segments, const std::string& shapedWork) {
    printf("\n---- for a note (Windows build, %.0f s per path, %d alternating segments; call-shaped floor %s) ----\n",
           seconds, segments,
           shapedWork.empty()        ? "without sample work"
           : shapedWork == "clock"   ? "with the card's sample work"
           : shapedWork == "stream"  ? "with the host's sample work"
                                     : "with the card's and the host's sample work");
    printf("| setting | path | wake p50 | p99 | p99.9 | max | jitter p99 | late / overruns | overruns by cause |\n");
    printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        printf("| %s | floor | %s | %s | %s | %s | %s | %llu late | %llu the timer's |\n", r.setting.c_str(),
               Us(r.floorWake.p50).c_str(), Us(r.floorWake.p99).c_str(), Us(r.floorWake.p999).c_str(),
               Us(r.floorWake.max).c_str(), Us(r.floorJitter.p99).c_str(),
               static_cast<unsigned long long>(r.floorLate), static_cast<unsigned long long>(r.floorLateTimer));
        if (r.haveShaped) {
            printf("| %s | call-shaped floor | %s | %s | %s | %s | %s | %llu late | - |\n", r.setting.c_str(),
                   Us(r.shapedWake.p50).c_str(), Us(r.shapedWake.p99).c_str(), Us(r.shapedWake.p999).c_str(),
                   Us(r.shapedWake.max).c_str(), Us(r.shapedJitter.p99).c_str(),
                   static_cast<unsigned long long>(r.shapedLate));
        }
        if (r.haveCard) {
            printf("| %s | driver | %s | %s | %s | %s | %s | %llu overruns | %s |\n", r.setting.c_str(),
                   Us(r.driverWake.p50).c_str(), Us(r.driverWake.p99).c_str(), Us(r.driverWake.p999).c_str(),
                   Us(r.driverWake.max).c_str(), Us(r.driverJitter.p99).c_str(),
                   static_cast<unsigned long long>(r.overruns), bench::CauseSummary(r.attribution).c_str());
            printf("| %s | ratio | %s | %s | %s | %s | %s | | |\n", r.setting.c_str(),
                   Ratio(r.driverWake.p50, r.floorWake.p50).c_str(), Ratio(r.driverWake.p99, r.floorWake.p99).c_str(),
                   Ratio(r.driverWake.p999, r.floorWake.p999).c_str(), Ratio(r.driverWake.max, r.floorWake.max).c_str(),
                   Ratio(r.driverJitter.p99, r.floorJitter.p99).c_str());
            if (r.haveShaped) {
                printf("| %s | ratio to call-shaped | %s | %s | %s | %s | %s | | |\n", r.setting.c_str(),
                       Ratio(r.driverWake.p50, r.shapedWake.p50).c_str(),
                       Ratio(r.driverWake.p99, r.shapedWake.p99).c_str(),
                       Ratio(r.driverWake.p999, r.shapedWake.p999).c_str(),
                       Ratio(r.driverWake.max, r.shapedWake.max).c_str(),
                       Ratio(r.driverJitter.p99, r.shapedJitter.p99).c_str());
            }
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
            "[--stamps FILE] [--shaped-work clock|stream|both]\n"
            "\n"
            "  --seconds S        streaming time per path and setting (default 10)\n"
            "  --segments N       segments of floor, call-shaped floor and driver, in rotating order (default 5)\n"
            "  --setting RATE/MS  a card rate and buffer length; repeatable (default 192000/2 and 48000/10)\n"
            "  --driver DLL       the driver with the simulated card (default KorvexASIO-simcard.dll beside this)\n"
            "  --stamps FILE      where the card writes its half stamps (default stream_latency-stamps.txt\n"
            "                     in the temporary directory)\n"
            "  --shaped-work W    the call-shaped floor also computes as many sine samples per half as the\n"
            "                     card before its signal (clock), this host in its callback (stream), or both\n");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10.0;
    int segments = 5;
    std::vector<Setting> settings;
    std::string dll = DefaultDll();
    std::string shapedWork;  // "", clock, stream or cs (both)
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
        } else if (arg == "--shaped-work" && value) {
            shapedWork = argv[++i];
            if (shapedWork == "both") shapedWork = "cs";
            if (shapedWork != "clock" && shapedWork != "stream" && shapedWork != "cs") {
                Usage(stderr);
                return 2;
            }
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
        if (!RunSetting(dll, stamps, setting, seconds, segments, shapedWork, &row)) {
            status = 2;
            break;
        }
        rows.push_back(row);
    }
    PrintNote(rows, seconds, segments, shapedWork);
    CoUninitialize();
    return status;
}
