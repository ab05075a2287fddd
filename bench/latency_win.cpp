// stream_latency on Windows (run under Wine): KorvexASIO-simcard.dll (the
// driver with the simulated card inside) through LoadLibraryW and
// DllGetClassObject, configured through its KORVEX_SIMCARD_* environment.
// The host stamps the callback's entry, its outputReady call and that call's
// return. Wake latency and the overrun attribution need the card's half
// stamps, which the DLL writes at each stop to the file named by
// KORVEX_SIMCARD_STAMPS (one line per half: sequence, half, due ns, signal
// ns, check ns, answered; CLOCK_MONOTONIC, the clock used here); without them
// only the floors and the callback intervals are shown.
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
#include "asio/driver/asio.h"
#include "bench/latency_platform.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace bench {
namespace {

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
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

// What both floors keep: one thread signals period k at its deadline, the
// other stamps its wake; sequence numbers start at 1 in each run.
class SignalledFloor : public Floor {
protected:
    explicit SignalledFloor(double periodNs) : periodNs_(periodNs) {}

    void BeginRun(double seconds) {
        periods_ = static_cast<uint64_t>(seconds * 1e9 / periodNs_);
        signalNs_.assign(periods_ + 1, 0);
        deadlineNs_.assign(periods_ + 1, 0);
        runStarts_.push_back(wakeTimes_.size());
        sequence_.store(0);
    }

    // On the signalling thread, just before it signals.
    void Signalled(uint64_t k, uint64_t now, uint64_t deadline) {
        signalNs_[k] = now;
        deadlineNs_[k] = deadline;
        sequence_.store(k, std::memory_order_release);
    }

    // On the waking thread; periods coalesced into this wake are late too.
    void Woke(uint64_t now, uint64_t* seen) {
        const uint64_t last = sequence_.load(std::memory_order_acquire);
        if (last == *seen) return;
        coalesced_ += last - *seen - 1;
        wake_.push_back(now - signalNs_[last]);
        wakeTimes_.push_back(now);
        for (uint64_t k = *seen + 1; k <= last; ++k) {
            if (static_cast<double>(now - deadlineNs_[k]) > periodNs_) ++lateWakes_;
        }
        *seen = last;
    }

    void EndRun() { totalPeriods_ += periods_; }

    FloorFigures WakeFigures() const {
        FloorFigures f;
        f.wake = wake_;
        f.jitter = Jitter(wakeTimes_, runStarts_, periodNs_);
        f.periods = totalPeriods_;
        f.wakes = wake_.size();
        f.coalesced = coalesced_;
        f.lateWakes = lateWakes_;
        return f;
    }

    const double periodNs_;
    uint64_t periods_ = 0;

private:
    std::atomic<uint64_t> sequence_{0};
    std::vector<uint64_t> signalNs_, deadlineNs_;
    std::vector<uint64_t> wake_, wakeTimes_;
    std::vector<size_t> runStarts_;
    uint64_t totalPeriods_ = 0, lateWakes_ = 0, coalesced_ = 0;
};

// ---- The floor ------------------------------------------------------------------

class Win32Floor final : public SignalledFloor {
public:
    explicit Win32Floor(double periodNs) : SignalledFloor(periodNs) {}

    const char* label() const override { return "floor (SetEvent → WFMO)"; }
    const char* name() const override { return "floor"; }

    FloorFigures Figures() const override {
        FloorFigures f = WakeFigures();
        f.timerLate = timerLate_;
        f.lateTimer = lateTimer_;
        return f;
    }

    bool Run(double seconds) override {
        BeginRun(seconds);
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
            timerLate_.push_back(now - deadline);
            if (static_cast<double>(now - deadline) > periodNs_) ++lateTimer_;
            Signalled(k, now, deadline);
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
            Woke(NowNs(), &seen);
        }
        EndRun();
    }

    HANDLE ready_ = nullptr, stop_ = nullptr;
    std::vector<uint64_t> timerLate_;
    uint64_t lateTimer_ = 0;
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
class CallShapedFloor final : public SignalledFloor {
public:
    explicit CallShapedFloor(double periodNs) : SignalledFloor(periodNs) {}

    const char* label() const override { return "call-shaped floor"; }
    const char* name() const override { return "call-shaped floor"; }

    FloorFigures Figures() const override {
        FloorFigures f = WakeFigures();
        f.unanswered = unanswered_;
        return f;
    }

    // With --shaped-work: as many sine samples per half as the card computes
    // for its inputs before its stamp, and the host for its outputs after the
    // callback's entry.
    void SetWork(size_t clockSamples, size_t streamSamples) {
        clockWork_.assign(clockSamples, 0);
        streamWork_.assign(streamSamples, 0);
    }

    bool Run(double seconds) override {
        BeginRun(seconds);
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
                    ++unanswered_;
                    late[pending] = true;
                } else {
                    late[pending] = false;
                }
            }
            const int half = nextHalf;
            if (late[half] && WaitForSingleObject(OutputReady(half), 0) == WAIT_OBJECT_0) late[half] = false;
            Work(&clockWork_, &clockPhase_);
            // The card stamps its signal just before its SetEvent.
            Signalled(k, NowNs(), deadline);
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
            Woke(NowNs(), &seen);
            Work(&streamWork_, &streamPhase_);
            // outputReady
            SetEvent(OutputReady(half));
            SetEvent(events_[kHostOutput]);
            result = WaitForMultipleObjects(2, waitHost, FALSE, INFINITE);
            if (result != WAIT_OBJECT_0 + 1) break;
        }
        timeEndPeriod(1);
        EndRun();
    }

    static void Work(std::vector<int32_t>* samples, double* phase) {
        for (int32_t& sample : *samples) sample = static_cast<int32_t>(5e8 * std::sin((*phase += 1) * 0.0143));
    }

    std::vector<int32_t> clockWork_, streamWork_;
    double clockPhase_ = 0, streamPhase_ = 0;
    HANDLE events_[kEventCount] = {};
    uint64_t unanswered_ = 0;
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
std::vector<HalfRecord> Match(const Host& host, const std::vector<CardHalf>& card) {
    std::vector<HalfRecord> records;
    const std::vector<Host::Callback> callbacks = host.Callbacks();
    for (const Host::RunSpan& run : host.runs) {
        size_t i = 0;
        for (const CardHalf& h : card) {
            if (h.signalNs < run.startNs || h.signalNs > run.stopNs + static_cast<uint64_t>(host.periodNs())) continue;
            HalfRecord r;
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

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The DLL beside this program unless --driver names one.
std::string DefaultDll() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    const size_t slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + "KorvexASIO-simcard.dll";
}


// The DLL loaded for one setting, its card configured through the environment.
class LoadedDriver final : public DriverPath {
public:
    LoadedDriver(std::string dll, std::string stamps) : dll_(std::move(dll)), stamps_(std::move(stamps)) {}

    ~LoadedDriver() override {
        host_.reset();
        if (driver_ != nullptr) driver_->Release();
        if (module_ != nullptr) FreeLibrary(module_);
    }

    bool Open(const Setting& setting, const Options& options, std::string* error) {
        SetEnvironmentVariableW(L"KORVEX_SIMCARD_MODEL", Widen(options.model).c_str());
        SetEnvironmentVariableW(L"KORVEX_SIMCARD_RATE", std::to_wstring(setting.rate).c_str());
        SetEnvironmentVariableW(L"KORVEX_SIMCARD_BUFFER_MS", std::to_wstring(setting.ms).c_str());
        SetEnvironmentVariableW(L"KORVEX_SIMCARD_STAMPS", Widen(stamps_).c_str());
        DeleteFileW(Widen(stamps_).c_str());

        module_ = LoadLibraryW(Widen(dll_).c_str());
        if (module_ == nullptr) {
            *error = "cannot load " + dll_ + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);
        auto getClassObject = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        IClassFactory* factory = nullptr;
        if (getClassObject != nullptr &&
            SUCCEEDED(getClassObject(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
            factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver_));
            factory->Release();
        }
        if (driver_ == nullptr) {
            *error = dll_ + " created no driver";
            return false;
        }
        host_ = std::make_unique<Host>(driver_);
        return host_->Prepare(options.seconds, error);
    }

    const std::string& name() const override { return host_->name(); }
    double periodNs() const override { return host_->periodNs(); }
    size_t Samples(bool inputs) const override { return host_->Samples(inputs); }
    bool Run(double seconds, std::string* error) override {
        if (host_->Run(seconds)) return true;
        *error = "start failed";
        return false;
    }
    std::string StampsSource() const override { return stamps_; }

    DriverFigures Finish() override {
        host_->Dispose();
        DriverFigures d;
        d.records = Match(*host_, ReadCardStamps(stamps_));
        for (const HalfRecord& r : d.records) {
            if (r.called && r.entryNs >= r.signalNs) d.wake.push_back(r.entryNs - r.signalNs);
            if (r.checked && !r.answered) ++d.overruns;
        }
        std::vector<uint64_t> entries;
        std::vector<size_t> runStarts;
        for (const Host::Callback& c : host_->Callbacks()) entries.push_back(c.entryNs);
        for (const Host::RunSpan& run : host_->runs) runStarts.push_back(run.firstCallback);
        d.jitter = Jitter(entries, runStarts, host_->periodNs());
        d.callbacks = entries.size();
        return d;
    }

private:
    const std::string dll_, stamps_;
    HMODULE module_ = nullptr;
    IASIO* driver_ = nullptr;
    std::unique_ptr<Host> host_;
};

class WindowsPlatform final : public Platform {
public:
    WindowsPlatform() {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        stamps_ = std::string(temp) + "stream_latency-stamps.txt";
    }

    ~WindowsPlatform() override {
        if (comInitialised_) CoUninitialize();
    }

    bool ParseOption(const std::string& name, const char* value, bool* used, bool* valid) override {
        if (value == nullptr) return false;
        if (name == "--stamps") {
            stamps_ = value;
        } else if (name == "--shaped-work") {
            shapedWork_ = value;
            if (shapedWork_ == "both") shapedWork_ = "cs";
            *valid = shapedWork_ == "clock" || shapedWork_ == "stream" || shapedWork_ == "cs";
        } else {
            return false;
        }
        *used = true;
        return true;
    }

    const char* UsageSynopsis() const override { return "[--driver DLL] [--stamps FILE] [--shaped-work clock|stream|both]"; }

    void PrintOptionUsage(FILE* out) const override {
        fprintf(out,
                "  --driver DLL       the driver with the simulated card (default KorvexASIO-simcard.dll beside this)\n"
                "  --stamps FILE      where the card writes its half stamps (default stream_latency-stamps.txt\n"
                "                     in the temporary directory)\n"
                "  --shaped-work W    the call-shaped floor also computes as many sine samples per half as the\n"
                "                     card before its signal (clock), this host in its callback (stream), or both\n");
    }

    bool Start(const Options& options, std::string* error) override {
        dll_ = options.driver.empty() ? DefaultDll() : options.driver;
        comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        if (!comInitialised_) *error = "CoInitializeEx failed";
        return comInitialised_;
    }

    std::string Heading(const Options&) const override {
        return "stream_latency: wake → callback through " + dll_ +
               " on the simulated card, against a raw\n"
               "SetEvent → WaitForMultipleObjects wake between two threads (the floor), in the same process, "
               "alternating.\n";
    }

    std::unique_ptr<DriverPath> OpenDriver(const Setting& setting, const Options& options,
                                           std::string* error) override {
        auto driver = std::make_unique<LoadedDriver>(dll_, stamps_);
        if (!driver->Open(setting, options, error)) return nullptr;
        return driver;
    }

    std::vector<std::unique_ptr<Floor>> MakeFloors(double periodNs, double,
                                                   const DriverPath* driver) const override {
        std::vector<std::unique_ptr<Floor>> floors;
        floors.push_back(std::make_unique<Win32Floor>(periodNs));
        if (driver != nullptr) {
            auto shaped = std::make_unique<CallShapedFloor>(periodNs);
            shaped->SetWork(shapedWork_.find('c') != std::string::npos ? driver->Samples(true) : 0,
                            shapedWork_.find('s') != std::string::npos ? driver->Samples(false) : 0);
            floors.push_back(std::move(shaped));
        }
        return floors;
    }

    Targets targets() const override { return {1.5, 0}; }

    std::string NoteContext() const override {
        char host[MAX_COMPUTERNAME_LENGTH + 1] = "?";
        DWORD size = sizeof host;
        GetComputerNameA(host, &size);
        return std::string(", host ") + host + "; Windows build, call-shaped floor " +
               (shapedWork_.empty()         ? "without sample work"
                : shapedWork_ == "clock"  ? "with the card's sample work"
                : shapedWork_ == "stream" ? "with the host's sample work"
                                          : "with the card's and the host's sample work");
    }

private:
    std::string dll_, stamps_;
    std::string shapedWork_;  // "", clock, stream or cs (both)
    bool comInitialised_ = false;
};

}  // namespace

std::unique_ptr<Platform> Platform::Create() { return std::make_unique<WindowsPlatform>(); }

}  // namespace bench
