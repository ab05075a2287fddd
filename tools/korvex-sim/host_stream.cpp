#include "tools/korvex-sim/host_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <numbers>
#include <thread>

namespace korvex::host {
namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;

// The host whose callbacks the driver reaches (ASIO callbacks carry no
// context). Set by Prepare before createBuffers, cleared by Dispose.
std::atomic<StreamHost*> activeHost{nullptr};

uint64_t ClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

// ---- The host's callbacks (on the driver's stream thread, except asioMessage
// and sampleRateDidChange) ------------------------------------------------------

// Real time: no allocation, no lock.
void BufferSwitch(int32_t index, ASIOBool /*directProcess*/) {
    if (StreamHost* host = activeHost.load(std::memory_order_relaxed)) host->OnHalf(index, nullptr);
}

// Real time: no allocation, no lock.
ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool /*directProcess*/) {
    if (StreamHost* host = activeHost.load(std::memory_order_relaxed)) host->OnHalf(index, params);
    return params;
}

void SampleRateDidChange(ASIOSampleRate /*rate*/) {}

std::atomic<int> timeInfoQuestions{0};
std::atomic<int> timeCodeQuestions{0};

int32_t AsioMessage(int32_t selector, int32_t value, void* /*message*/, double* /*opt*/) {
    switch (selector) {
        case kAsioSelectorSupported:
            return (value == kAsioSupportsTimeInfo || value == kAsioSupportsTimeCode || value == kAsioEngineVersion)
                       ? 1
                       : 0;
        case kAsioEngineVersion: return 2;
        case kAsioSupportsTimeInfo: timeInfoQuestions.fetch_add(1, std::memory_order_relaxed); return 1;
        case kAsioSupportsTimeCode: timeCodeQuestions.fetch_add(1, std::memory_order_relaxed); return 1;
        default: return 0;
    }
}

double Dbfs(double value) { return value > 0 ? 20.0 * std::log10(value / kFullScale) : -INFINITY; }

}  // namespace

// The same clock as the simulated card's stamps (sim::MonotonicNs), on
// Windows too: both come from the same C runtime.
uint64_t MonotonicNs() { return ClockNs(CLOCK_MONOTONIC); }
uint64_t ThreadCpuNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }
uint64_t ProcessCpuNs() { return ClockNs(CLOCK_PROCESS_CPUTIME_ID); }

Percentiles ComputePercentiles(std::span<const uint64_t> values) {
    Percentiles result;
    result.count = values.size();
    if (values.empty()) return result;
    std::vector<uint64_t> sorted(values.begin(), values.end());
    std::sort(sorted.begin(), sorted.end());
    auto rank = [&](double q) {
        const size_t index = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
        return static_cast<double>(sorted[std::clamp<size_t>(index, 1, sorted.size()) - 1]);
    };
    result.p50 = rank(0.50);
    result.p99 = rank(0.99);
    result.p999 = rank(0.999);
    result.max = static_cast<double>(sorted.back());
    return result;
}

// ---- SignalMeter ------------------------------------------------------------------

void SignalMeter::Add(const int32_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const double x = samples[i];
        if (samples_ > 0) {
            maxStep_ = std::max(maxStep_, std::fabs(x - previous_));
            if (previous_ < 0 && x >= 0) {
                const double at = static_cast<double>(samples_ - 1) + (-previous_) / (x - previous_);
                if (crossings_ == 0) firstCrossing_ = at;
                lastCrossing_ = at;
                ++crossings_;
            }
        }
        sumSquares_ += x * x;
        peak_ = std::max(peak_, std::fabs(x));
        previous_ = x;
        ++samples_;
    }
}

double SignalMeter::FrequencyHz(double sampleRate) const {
    if (crossings_ < 2 || lastCrossing_ <= firstCrossing_) return 0.0;
    return static_cast<double>(crossings_ - 1) * sampleRate / (lastCrossing_ - firstCrossing_);
}

double SignalMeter::PeakDbfs() const { return Dbfs(peak_); }

double SignalMeter::RmsDbfs() const {
    return samples_ ? Dbfs(std::sqrt(sumSquares_ / static_cast<double>(samples_))) : -INFINITY;
}

// ---- SineWriter -------------------------------------------------------------------

void SineWriter::Setup(double frequencyHz, double sampleRate, double levelDbfs) {
    const double step = 2.0 * std::numbers::pi * frequencyHz / sampleRate;
    stepRe_ = std::cos(step);
    stepIm_ = std::sin(step);
    re_ = 1.0;
    im_ = 0.0;
    amplitude_ = kFullScale * std::pow(10.0, levelDbfs / 20.0);
}

// Real time: no allocation.
void SineWriter::Fill(int32_t* out, size_t count) {
    double re = re_, im = im_;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<int32_t>(std::lrint(amplitude_ * im));
        const double nextRe = re * stepRe_ - im * stepIm_;
        im = re * stepIm_ + im * stepRe_;
        re = nextRe;
    }
    const double magnitude = std::sqrt(re * re + im * im);
    re_ = re / magnitude;
    im_ = im / magnitude;
}

// ---- StreamHost ---------------------------------------------------------------------

StreamHost::StreamHost(IASIO* driver, const CardView& card) : driver_(driver), card_(card) { InitCallbacks(); }

void StreamHost::InitCallbacks() {
    callbackTable_.bufferSwitch = &BufferSwitch;
    callbackTable_.sampleRateDidChange = &SampleRateDidChange;
    callbackTable_.asioMessage = &AsioMessage;
    callbackTable_.bufferSwitchTimeInfo = &BufferSwitchTimeInfo;
}

StreamHost::~StreamHost() { Dispose(); }

bool StreamHost::Prepare(double capacitySeconds, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what;
        return false;
    };
    StreamHost* expected = nullptr;
    if (!activeHost.compare_exchange_strong(expected, this)) return fail("another host is active");

    char name[32] = {};
    driver_->getDriverName(name);
    driverName_ = name;
    driverVersion_ = driver_->getDriverVersion();
    if (!driver_->init(nullptr)) {
        char message[128] = {};
        driver_->getErrorMessage(message);
        activeHost.store(nullptr);
        return fail(std::string("init refused: ") + message);
    }
    name[0] = '\0';
    driver_->getDriverName(name);
    driverName_ = name;

    driver_->getChannels(&inputs_, &outputs_);
    inputs_ = std::clamp<int32_t>(inputs_, 0, 2);
    outputs_ = std::clamp<int32_t>(outputs_, 0, 8);
    for (int pass = 0; pass < 2; ++pass) {
        const bool input = pass == 0;
        for (int32_t channel = 0; channel < (input ? inputs_ : outputs_); ++channel) {
            ASIOChannelInfo info{};
            info.channel = channel;
            info.isInput = input ? ASIOTrue : ASIOFalse;
            const bool known = driver_->getChannelInfo(&info) == ASE_OK;
            (input ? inputNames_ : outputNames_).push_back(known ? info.name : "?");
            sampleTypes_.push_back(known ? info.type : -1);
        }
    }
    for (ASIOSampleType type : sampleTypes_) {
        if (type != ASIOSTInt32LSB) {
            activeHost.store(nullptr);
            return fail("a channel is not Int32LSB; this host writes 32-bit integers only");
        }
    }
    driver_->getSampleRate(&sampleRate_);
    driver_->getBufferSize(&minimumSize_, &maximumSize_, &bufferSize_, &granularity_);
    driver_->getLatencies(&inputLatency_, &outputLatency_);
    if (sampleRate_ <= 0 || bufferSize_ <= 0) {
        activeHost.store(nullptr);
        return fail("the driver reports no usable rate or buffer size");
    }

    // Every channel of the model: inputs first, then outputs.
    bufferInfos_.clear();
    for (int32_t i = 0; i < inputs_; ++i) bufferInfos_.push_back({ASIOTrue, i, {nullptr, nullptr}});
    for (int32_t o = 0; o < outputs_; ++o) bufferInfos_.push_back({ASIOFalse, o, {nullptr, nullptr}});
    timeInfoQuestions.store(0);
    timeCodeQuestions.store(0);
    const ASIOError created = driver_->createBuffers(bufferInfos_.data(), static_cast<int32_t>(bufferInfos_.size()),
                                                     bufferSize_, &callbackTable_);
    if (created != ASE_OK) {
        activeHost.store(nullptr);
        return fail(std::string("createBuffers: ") + std::to_string(created));
    }
    buffersCreated_ = true;
    timeInfoAsked_ = timeInfoQuestions.load() > 0;
    timeCodeAsked_ = timeCodeQuestions.load() > 0;
    for (const ASIOBufferInfo& info : bufferInfos_) {
        for (int half = 0; half < 2; ++half) {
            if (info.isInput) {
                inputHalves_[info.channelNum][half] = static_cast<const int32_t*>(info.buffers[half]);
            } else {
                outputHalves_[info.channelNum][half] = static_cast<int32_t*>(info.buffers[half]);
            }
        }
    }
    for (int32_t o = 0; o < outputs_; ++o) sines_[o].Setup(OutputToneHz(o), sampleRate_, kOutputLevelDbfs);

    // All storage the callbacks write, touched now so that no page fault
    // waits for the first callbacks either.
    const double halvesPerSecond = sampleRate_ / bufferSize_;
    const size_t capacity = static_cast<size_t>(std::ceil(capacitySeconds * halvesPerSecond * 1.05)) + 64;
    latencies_.assign(capacity, 0);
    intervals_.assign(capacity, 0);
    cardLateness_.assign(capacity, 0);
    timings_.assign(capacity, CallbackTiming{});
    return true;
}

void StreamHost::Dispose() {
    if (buffersCreated_) {
        driver_->disposeBuffers();
        buffersCreated_ = false;
    }
    StreamHost* self = this;
    activeHost.compare_exchange_strong(self, nullptr);
}

// The last signal of half `index` set at or before `entry`, among the
// card's sequences below `end` (searched back from there). An event holds
// one signal, so when the card sets it twice before the host wakes, the
// earlier half never reaches the host and the n-th callback is no longer the
// n-th half. Real time when the view is live.
uint64_t StreamHost::FindSignal(uint64_t end, int32_t index, uint64_t entry, uint64_t fallback) const {
    for (uint64_t k = end; k > runFirstSequence_ && end - k < 64; --k) {
        const auto candidate = card_.Signal(k - 1);
        if (candidate && candidate->half == index && candidate->ns <= entry) return k - 1;
    }
    return fallback;
}

// Real time when the view is live: no allocation, no lock.
void StreamHost::RecordLatency(uint64_t sequence, int32_t index, uint64_t entry) {
    const auto stamp = card_.Signal(sequence);
    if (stamp && stamp->half == index && entry >= stamp->ns) {
        if (latencyCount_ < latencies_.size()) {
            latencies_[latencyCount_++] = entry - stamp->ns;
        } else {
            ++dropped_;
        }
    } else {
        ++unmatched_;
    }
}

// A view that is complete only after stop: this run's callbacks (from
// `firstTiming` on) matched with the card's halves now, in order.
void StreamHost::MatchRunAfterStop(size_t firstTiming) {
    const uint64_t signalled = card_.HalvesSignalled();
    uint64_t end = runFirstSequence_;  // the first half signalled after the callback's entry
    for (size_t i = firstTiming; i < timingCount_; ++i) {
        CallbackTiming& t = timings_[i];
        for (; end < signalled; ++end) {
            const auto s = card_.Signal(end);
            if (s && s->ns > t.entryNs) break;
        }
        t.sequence = FindSignal(end, t.index, t.entryNs, t.sequence);
        RecordLatency(t.sequence, t.index, t.entryNs);
    }
}

// Real time: no allocation, no lock; a live card's stamps are read lock-free.
void StreamHost::OnHalf(int32_t index, const ASIOTime* params) {
    const uint64_t entry = MonotonicNs();
    const uint64_t cpuIn = ThreadCpuNs();
    const uint64_t n = runCallbacks_;

    uint64_t sequence = runFirstSequence_ + n;
    if (card_.Live()) {
        sequence = FindSignal(card_.HalvesSignalled(), index, entry, sequence);
        RecordLatency(sequence, index, entry);
    }
    if (index != static_cast<int32_t>(n & 1)) ++halfErrors_;
    if (params != nullptr) {
        ++timeInfoCallbacks_;
        const uint64_t position = static_cast<uint64_t>(params->timeInfo.samplePosition.hi) << 32 |
                                  params->timeInfo.samplePosition.lo;
        if (position != (n + 1) * static_cast<uint64_t>(bufferSize_)) ++positionErrors_;
    }
    if (n > 0 && intervalCount_ < intervals_.size()) intervals_[intervalCount_++] = entry - lastEntryNs_;
    lastEntryNs_ = entry;
    if (n == 0) runFirstCpuNs_ = cpuIn;
    runLastCpuNs_ = cpuIn;

    const int half = index & 1;
    for (int32_t o = 0; o < outputs_; ++o) {
        if (int32_t* out = outputHalves_[o][half]) sines_[o].Fill(out, static_cast<size_t>(bufferSize_));
    }
    for (int32_t i = 0; i < inputs_; ++i) {
        if (const int32_t* in = inputHalves_[i][half]) inputMeters_[i].Add(in, static_cast<size_t>(bufferSize_));
    }

    runCallbacks_ = n + 1;
    const uint64_t ready = MonotonicNs();
    driver_->outputReady();
    if (timingCount_ < timings_.size()) timings_[timingCount_++] = {sequence, entry, ready, MonotonicNs(), index};
    // Counted once answered: Run stops the stream right after a count.
    callbacks_.fetch_add(1, std::memory_order_release);
    callbackCpuNs_ += ThreadCpuNs() - cpuIn;
}

bool StreamHost::Run(double seconds, const std::function<void(const StreamProgress&)>& progress,
                     std::string* error) {
    if (!buffersCreated_) {
        if (error) *error = "no buffers";
        return false;
    }
    runFirstSequence_ = card_.HalvesSignalled();
    runCallbacks_ = 0;
    const size_t firstTiming = timingCount_;
    const uint64_t callbacksBefore = callbacks();
    const uint64_t overrunsBefore = card_.Overruns();
    ASIOSamples position{};
    ASIOTimeStamp stamp{};

    const uint64_t cpuBefore = ProcessCpuNs();
    const uint64_t startNs = MonotonicNs();
    const ASIOError started = driver_->start();
    if (started != ASE_OK) {
        if (error) *error = "start: " + std::to_string(started);
        return false;
    }
    const uint64_t endNs = startNs + static_cast<uint64_t>(seconds * 1e9);
    auto report = [&](uint64_t now) {
        if (!progress) return;
        StreamProgress p;
        p.elapsedSeconds = (now - startNs) / 1e9;
        p.callbacks = callbacks() - callbacksBefore;
        p.halvesSignalled = card_.HalvesSignalled() - runFirstSequence_;
        driver_->getSamplePosition(&position, &stamp);
        p.samplePosition = static_cast<uint64_t>(position.hi) << 32 | position.lo;
        p.overruns = card_.Overruns() - overrunsBefore;
        progress(p);
    };
    for (uint64_t now = MonotonicNs(); now < endNs; now = MonotonicNs()) {
        const uint64_t slice = std::min<uint64_t>(endNs - now, 200'000'000);
        std::this_thread::sleep_for(std::chrono::nanoseconds(slice));
        report(MonotonicNs());
    }
    // Stop just after a callback, so that the next half is a whole period away.
    const uint64_t seen = callbacks();
    const uint64_t giveUp = MonotonicNs() + static_cast<uint64_t>(2 * periodNs()) + 100'000'000;
    while (callbacks() == seen && MonotonicNs() < giveUp) std::this_thread::sleep_for(std::chrono::microseconds(50));
    const uint64_t stopNs = MonotonicNs();
    driver_->stop();
    const uint64_t cpuAfter = ProcessCpuNs();
    report(MonotonicNs());

    if (!card_.Live()) MatchRunAfterStop(firstTiming);
    const uint64_t signalled = card_.HalvesSignalled() - runFirstSequence_;
    uint64_t duringStop = 0;
    for (uint64_t k = signalled; k > 0; --k) {
        const auto s = card_.Signal(runFirstSequence_ + k - 1);
        if (!s || s->ns < stopNs) break;
        ++duringStop;
    }
    halvesSignalled_ += signalled;
    halvesDuringStop_ += duringStop;
    overruns_ += card_.Overruns() - overrunsBefore;
    driver_->getSamplePosition(&position, &stamp);
    finalPosition_ += static_cast<uint64_t>(position.hi) << 32 | position.lo;
    expectedPosition_ += runCallbacks_ * static_cast<uint64_t>(bufferSize_);
    if (runCallbacks_ > 1) {
        streamThreadCpuNs_ += runLastCpuNs_ - runFirstCpuNs_;
        streamThreadHalves_ += runCallbacks_ - 1;
    }
    processCpuNs_ += cpuAfter - cpuBefore;
    streamedNs_ += stopNs - startNs;
    AnalyseCardClock(runFirstSequence_, signalled);
    return true;
}

// The card's clock sleeps to absolute deadlines from its start and skips
// the deadlines it woke too late for, so each stamp carries its own
// deadline. The earliest offset against it stands for "on time"; the rest is
// how late each signal came.
void StreamHost::AnalyseCardClock(uint64_t firstSequence, uint64_t count) {
    std::vector<double> offsets;
    for (uint64_t k = 0; k < count; ++k) {
        const auto s = card_.Signal(firstSequence + k);
        if (!s) continue;
        offsets.push_back(static_cast<double>(s->ns) - static_cast<double>(s->dueNs));
    }
    if (offsets.empty()) return;
    const double earliest = *std::min_element(offsets.begin(), offsets.end());
    for (double offset : offsets) {
        if (cardLatenessCount_ < cardLateness_.size()) {
            cardLateness_[cardLatenessCount_++] = static_cast<uint64_t>(std::llround(offset - earliest));
        }
    }
}

std::vector<uint64_t> StreamHost::Jitter() const {
    const double period = periodNs();
    std::vector<uint64_t> jitter;
    jitter.reserve(intervalCount_);
    for (size_t i = 0; i < intervalCount_; ++i) {
        jitter.push_back(static_cast<uint64_t>(std::llround(std::fabs(static_cast<double>(intervals_[i]) - period))));
    }
    return jitter;
}

double StreamHost::streamThreadCpuPerHalfNs() const {
    return streamThreadHalves_ ? static_cast<double>(streamThreadCpuNs_) / streamThreadHalves_ : 0.0;
}

double StreamHost::callbackCpuPerHalfNs() const {
    const uint64_t n = callbacks();
    return n ? static_cast<double>(callbackCpuNs_) / n : 0.0;
}

double StreamHost::processCpuPerHalfNs() const {
    const uint64_t n = callbacks();
    return n ? static_cast<double>(processCpuNs_) / n : 0.0;
}

bool StreamHost::Clean() const {
    const uint64_t n = callbacks();
    // A half that the card signalled while stop was under way may or may
    // not reach the host; every half before it must have.
    const bool allHalves = n + halvesDuringStop_ >= halvesSignalled_ && n <= halvesSignalled_;
    return n > 0 && allHalves && overruns_ == 0 && finalPosition_ == expectedPosition_ && positionErrors_ == 0 &&
           halfErrors_ == 0;
}

}  // namespace korvex::host
