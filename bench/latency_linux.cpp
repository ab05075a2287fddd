// stream_latency on Linux: the driver library through dlopen and its class
// factory on a simulated machine, with the demo's streaming host (a sine on
// every output, the inputs measured, outputReady from the callback).
//
// Floor: a thread sleeping to absolute deadlines at the same period
// (clock_nanosleep TIMER_ABSTIME, timer slack 1 ns, like the card's clock)
// stamps the time and wakes a second thread through a raw futex; the second
// thread stamps on wake.
#include "bench/latency_platform.h"
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
#include <ctime>
#include <thread>

namespace bench {
namespace {

using korvex::host::MonotonicNs;

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

template <typename T>
std::vector<T> Copy(std::span<const T> values) {
    return {values.begin(), values.end()};
}

// The raw two-thread wake. Its storage is allocated up front, for every run.
class RawWakeFloor final : public Floor {
public:
    RawWakeFloor(double periodNs, size_t capacity) : periodNs_(periodNs) {
        signalNs_.assign(capacity + 2, 0);
        deadlineNs_.assign(capacity + 2, 0);
        wake_.assign(capacity, 0);
        jitter_.assign(capacity, 0);
        timerLate_.assign(capacity, 0);
    }

    const char* label() const override { return "floor (raw futex wake)"; }
    const char* name() const override { return "floor"; }

    bool Run(double seconds) override {
        const uint64_t periods = static_cast<uint64_t>(seconds * 1e9 / periodNs_);
        word_.store(0);
        std::thread waker([&] { Waker(periods); });
        std::thread sleeper([&] { Sleeper(periods); });
        sleeper.join();
        waker.join();
        return true;
    }

    FloorFigures Figures() const override {
        FloorFigures f;
        f.wake.assign(wake_.begin(), wake_.begin() + static_cast<ptrdiff_t>(wakeCount_));
        f.jitter.assign(jitter_.begin(), jitter_.begin() + static_cast<ptrdiff_t>(jitterCount_));
        f.timerLate.assign(timerLate_.begin(), timerLate_.begin() + static_cast<ptrdiff_t>(timerLateCount_));
        f.periods = periods_;
        f.wakes = wakeCount_;
        f.coalesced = coalesced_;
        f.lateWakes = lateWakes_;
        f.lateTimer = lateTimer_;
        f.cpuPerPeriodNs = periods_ ? static_cast<double>(cpuNs_.load()) / static_cast<double>(periods_) : 0.0;
        return f;
    }

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

sim::CardModel Model(const std::string& name) {
    return name == "pico"    ? sim::CardModel::Pico
           : name == "duo"   ? sim::CardModel::Duo
           : name == "eight" ? sim::CardModel::Eight
                             : sim::CardModel::Six;
}

// A machine of its own per setting, its card read live by the host.
class SimulatedDriver final : public DriverPath {
public:
    SimulatedDriver(const Setting& setting, const Options& options) {
        sim::CardConfig config;
        config.model = Model(options.model);
        config.sampleRate = setting.rate;
        config.bufferMs = setting.ms;
        const double halves = options.seconds * setting.rate / std::max<uint32_t>(1, setting.rate / 1000 * setting.ms);
        config.stampCapacity = static_cast<size_t>(halves * 1.1) + 1024;
        card_ = &machine_.AddCard(config);
    }

    ~SimulatedDriver() override {
        host_.reset();
        if (driver_ != nullptr) driver_->Release();
    }

    bool Open(const korvex::host::DriverModule& module, double seconds, std::string* error) {
        HRESULT created = E_FAIL;
        driver_ = module.CreateDriver(&created);
        if (driver_ == nullptr) {
            char text[96];
            snprintf(text, sizeof text, "the class factory did not create the driver (0x%08x)",
                     static_cast<unsigned>(created));
            *error = text;
            return false;
        }
        host_ = std::make_unique<korvex::host::StreamHost>(driver_, *card_);
        return host_->Prepare(seconds, error);
    }

    const std::string& name() const override { return host_->driverName(); }
    double periodNs() const override { return host_->periodNs(); }
    size_t Samples(bool inputs) const override {
        return static_cast<size_t>(inputs ? host_->inputs() : host_->outputs()) *
               static_cast<size_t>(host_->bufferSize());
    }
    bool Run(double seconds, std::string* error) override { return host_->Run(seconds, nullptr, error); }
    std::string StampsSource() const override { return "the simulated card"; }

    DriverFigures Finish() override {
        host_->Dispose();
        const double period = host_->periodNs();
        DriverFigures d;
        d.wake = Copy(host_->wakeLatencies());
        d.jitter = host_->Jitter();
        d.records = CollectHalves();
        d.callbacks = host_->callbacks();
        d.overruns = host_->overruns();
        d.halvesSignalled = host_->halvesSignalled();
        d.positionRight = host_->finalPosition() == host_->expectedPosition();
        uint64_t late = 0;
        for (uint64_t lateness : host_->cardLateness()) late += static_cast<double>(lateness) > period;
        d.cardClockLate = late;
        d.cpu = DriverCpu{host_->processCpuPerHalfNs(), host_->streamThreadCpuPerHalfNs(),
                          host_->callbackCpuPerHalfNs()};
        return d;
    }

private:
    // Every half the card signalled, with the host's callback for it.
    std::vector<HalfRecord> CollectHalves() const {
        const uint64_t signalled = card_->HalvesSignalled();
        std::vector<HalfRecord> records(signalled);
        for (uint64_t k = 0; k < signalled; ++k) {
            const auto stamp = card_->SignalStamp(k);
            if (!stamp) continue;
            HalfRecord& r = records[k];
            r.dueNs = stamp->dueNs;
            r.signalNs = stamp->ns;
            r.checkNs = stamp->checkNs;
            r.checked = stamp->checkNs != 0;
            r.answered = stamp->answered;
        }
        for (const korvex::host::CallbackTiming& t : host_->callbackTimings()) {
            if (t.sequence >= signalled) continue;
            HalfRecord& r = records[t.sequence];
            r.called = true;
            r.entryNs = t.entryNs;
            r.readyNs = t.readyNs;
            r.doneNs = t.doneNs;
        }
        return records;
    }

    sim::Machine machine_;
    sim::Card* card_ = nullptr;
    IASIO* driver_ = nullptr;
    std::unique_ptr<korvex::host::StreamHost> host_;
};

class LinuxPlatform final : public Platform {
public:
    bool ParseOption(const std::string&, const char*, bool*, bool*) override { return false; }
    const char* UsageSynopsis() const override { return "[--driver LIBRARY]"; }
    void PrintOptionUsage(FILE* out) const override {
        fprintf(out, "  --driver LIBRARY   the driver library (default: the one built)\n");
    }

    bool Start(const Options& options, std::string* error) override {
        path_ = options.driver.empty() ? korvex::host::DriverModule::DefaultPath() : options.driver;
        module_.emplace(path_);
        if (!module_->loaded()) {
            *error = "cannot load " + path_ + ": " + module_->error();
            return false;
        }
        return true;
    }

    std::string Heading(const Options&) const override {
        return "stream_latency: wake → callback through libKorvexASIO.so on the simulated card, against a raw\n"
               "futex wake between two threads (the floor), in the same process, alternating.\n";
    }

    std::unique_ptr<DriverPath> OpenDriver(const Setting& setting, const Options& options,
                                           std::string* error) override {
        auto driver = std::make_unique<SimulatedDriver>(setting, options);
        if (!driver->Open(*module_, options.seconds, error)) return nullptr;
        return driver;
    }

    std::vector<std::unique_ptr<Floor>> MakeFloors(double periodNs, double seconds,
                                                   const DriverPath*) const override {
        std::vector<std::unique_ptr<Floor>> floors;
        floors.push_back(
            std::make_unique<RawWakeFloor>(periodNs, static_cast<size_t>(seconds * 1e9 / periodNs * 1.05) + 64));
        return floors;
    }

    Targets targets() const override { return {1.3, 2.0}; }

    std::string NoteContext() const override {
        char host[128] = "?";
        gethostname(host, sizeof host);
        return std::string(", host ") + host;
    }

private:
    std::string path_;
    std::optional<korvex::host::DriverModule> module_;
};

}  // namespace

std::unique_ptr<Platform> Platform::Create() { return std::make_unique<LinuxPlatform>(); }

}  // namespace bench
