// The streaming host of the demo and the benchmark: it drives the driver the
// way an ASIO host does (init, the queries, createBuffers for every channel
// with the preferred size, start, one outputReady per callback, stop,
// disposeBuffers) and measures what it sees: the sine it writes to every
// output, the signal arriving on the inputs, the time from the card's
// half-ready signal to the callback, and the callback intervals.
//
// ASIO callbacks are plain function pointers, so one host at a time is the
// active one (a static pointer), from Prepare until Dispose.
//
// The card is seen through a CardView: on Linux the simulated card itself,
// read live from the callback; on Windows the status that the simulated card
// inside the driver's test build publishes, complete only after stop, so
// callbacks are matched with the card's halves then.
#pragma once

#include "asio/driver/asio.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {
class Card;
}

namespace korvex::host {

// What the host writes: output i carries a sine of OutputToneHz(i) at
// kOutputLevelDbfs peak, phase-continuous over the whole stream.
inline constexpr double kOutputLevelDbfs = -12.0;
inline constexpr double OutputToneHz(int output) { return 440.0 + 110.0 * output; }
// Full scale of an Int32LSB sample.
inline constexpr double kFullScale = 2147483647.0;

uint64_t MonotonicNs();
uint64_t ThreadCpuNs();
uint64_t ProcessCpuNs();

// Nearest-rank percentiles of a set of durations, in nanoseconds.
struct Percentiles {
    size_t count = 0;
    double p50 = 0, p99 = 0, p999 = 0, max = 0;
};
Percentiles ComputePercentiles(std::span<const uint64_t> values);

// Frequency by upward zero crossings (interpolated between samples), peak and
// RMS level of a stream of samples fed in pieces. Add is real-time safe.
class SignalMeter {
public:
    void Add(const int32_t* samples, size_t count);
    uint64_t Samples() const { return samples_; }
    uint64_t Crossings() const { return crossings_; }
    // 0 when fewer than two crossings were seen.
    double FrequencyHz(double sampleRate) const;
    double PeakDbfs() const;
    double RmsDbfs() const;
    // Largest step between two neighbouring samples, in full-scale units.
    double MaxStep() const { return maxStep_ / kFullScale; }

private:
    uint64_t samples_ = 0;
    uint64_t crossings_ = 0;
    double firstCrossing_ = 0, lastCrossing_ = 0;
    double previous_ = 0;
    double sumSquares_ = 0;
    double peak_ = 0;
    double maxStep_ = 0;
};

// A sine by phasor rotation, renormalised after every block. Real-time safe.
class SineWriter {
public:
    void Setup(double frequencyHz, double sampleRate, double levelDbfs);
    void Fill(int32_t* out, size_t count);

private:
    double re_ = 1, im_ = 0, stepRe_ = 1, stepIm_ = 0, amplitude_ = 0;
};

// When one callback ran, for matching against the card's stamps.
struct CallbackTiming {
    uint64_t sequence = 0;  // the card's sequence number of the half
    uint64_t entryNs = 0;   // the callback was entered
    uint64_t readyNs = 0;   // outputReady was called
    uint64_t doneNs = 0;    // outputReady returned
    int32_t index = 0;      // the half the driver passed
};

// One half the card signalled: which half, when (MonotonicNs) and when it
// was due by the card's schedule.
struct CardSignal {
    int half = 0;
    uint64_t ns = 0;
    uint64_t dueNs = 0;
};

// What the host learns of the card's side of the stream.
class CardView {
public:
    virtual ~CardView() = default;
    virtual uint64_t HalvesSignalled() const = 0;
    // Halves the host answered after the next deadline.
    virtual uint64_t Overruns() const = 0;
    // A signalled half while the card still keeps its stamp.
    virtual std::optional<CardSignal> Signal(uint64_t sequence) const = 0;
    // True when the figures are current while the stream runs and may be read
    // from the callback (lock-free, no allocation); otherwise they are
    // complete once stop has returned.
    virtual bool Live() const = 0;
};

// The live figures, readable from any thread while the stream runs.
struct StreamProgress {
    double elapsedSeconds = 0;
    uint64_t callbacks = 0;
    uint64_t halvesSignalled = 0;
    uint64_t samplePosition = 0;
    uint64_t overruns = 0;
};

class StreamHost {
public:
    StreamHost(IASIO* driver, const CardView& card);
    // The simulated card of the Linux machine, read live.
    StreamHost(IASIO* driver, sim::Card& card);
    ~StreamHost();
    StreamHost(const StreamHost&) = delete;
    StreamHost& operator=(const StreamHost&) = delete;

    // init, name, channels, sizes, createBuffers for every channel the model
    // has, with the preferred size; storage for `capacitySeconds` of halves
    // is allocated here, before any start. False with `error` on failure.
    bool Prepare(double capacitySeconds, std::string* error);
    // One start..stop pair of about `seconds`. `progress`, when given, is
    // called about five times a second from the calling thread. The stop is
    // sent right after a callback, so that no half is in flight.
    bool Run(double seconds, const std::function<void(const StreamProgress&)>& progress, std::string* error);
    // disposeBuffers (also done by the destructor).
    void Dispose();

    // ---- What the driver reported ------------------------------------------
    const std::string& driverName() const { return driverName_; }
    int32_t driverVersion() const { return driverVersion_; }
    int32_t inputs() const { return inputs_; }
    int32_t outputs() const { return outputs_; }
    const std::vector<std::string>& inputNames() const { return inputNames_; }
    const std::vector<std::string>& outputNames() const { return outputNames_; }
    const std::vector<ASIOSampleType>& sampleTypes() const { return sampleTypes_; }
    double sampleRate() const { return sampleRate_; }
    int32_t bufferSize() const { return bufferSize_; }
    int32_t minimumSize() const { return minimumSize_; }
    int32_t maximumSize() const { return maximumSize_; }
    int32_t inputLatency() const { return inputLatency_; }
    int32_t outputLatency() const { return outputLatency_; }
    bool timeInfoAsked() const { return timeInfoAsked_; }
    bool timeCodeAsked() const { return timeCodeAsked_; }
    double periodNs() const { return 1e9 * bufferSize_ / sampleRate_; }

    // ---- What the stream did, over every Run --------------------------------
    uint64_t callbacks() const { return callbacks_.load(std::memory_order_acquire); }
    uint64_t timeInfoCallbacks() const { return timeInfoCallbacks_; }
    uint64_t halvesSignalled() const { return halvesSignalled_; }
    // Halves that the card signalled after stop had been called (they may
    // or may not have reached the host).
    uint64_t halvesDuringStop() const { return halvesDuringStop_; }
    uint64_t overruns() const { return overruns_; }
    // Sum over runs of getSamplePosition after stop, and of callbacks x size.
    uint64_t finalPosition() const { return finalPosition_; }
    uint64_t expectedPosition() const { return expectedPosition_; }
    // Callbacks whose time info or half index was not the one expected.
    uint64_t positionErrors() const { return positionErrors_; }
    uint64_t halfErrors() const { return halfErrors_; }
    // Callbacks whose card signal stamp could not be matched.
    uint64_t unmatchedStamps() const { return unmatched_; }
    std::span<const uint64_t> wakeLatencies() const { return {latencies_.data(), latencyCount_}; }
    std::span<const uint64_t> intervals() const { return {intervals_.data(), intervalCount_}; }
    std::vector<uint64_t> Jitter() const;  // |interval - period|
    // How late the card's own clock signalled against its schedule, per half.
    std::span<const uint64_t> cardLateness() const { return {cardLateness_.data(), cardLatenessCount_}; }
    // Every callback's timing, in order, over every Run (as far as storage lasts).
    std::span<const CallbackTiming> callbackTimings() const { return {timings_.data(), timingCount_}; }
    uint64_t samplesDropped() const { return dropped_; }  // beyond the storage
    const SignalMeter& inputMeter(int input) const { return inputMeters_.at(input); }
    // CPU time per half: of the stream thread between callbacks, of the
    // host's callback alone, and of the whole process.
    double streamThreadCpuPerHalfNs() const;
    double callbackCpuPerHalfNs() const;
    double processCpuPerHalfNs() const;
    double streamedSeconds() const { return streamedNs_ / 1e9; }

    // True when no half was lost, none overran and the position is right.
    bool Clean() const;

    // The callbacks' way in; public for the static trampolines.
    void OnHalf(int32_t index, const ASIOTime* params);

private:
    void InitCallbacks();
    void AnalyseCardClock(uint64_t firstSequence, uint64_t count);
    // The card's sequence of the half a callback at `entry` served.
    uint64_t FindSignal(uint64_t end, int32_t index, uint64_t entry, uint64_t fallback) const;
    void RecordLatency(uint64_t sequence, int32_t index, uint64_t entry);
    void MatchRunAfterStop(size_t firstTiming);

    std::unique_ptr<CardView> ownView_;
    IASIO* driver_;
    const CardView& card_;
    ASIOCallbacks callbackTable_{};
    bool buffersCreated_ = false;

    std::string driverName_;
    int32_t driverVersion_ = 0;
    int32_t inputs_ = 0, outputs_ = 0;
    std::vector<std::string> inputNames_, outputNames_;
    std::vector<ASIOSampleType> sampleTypes_;
    double sampleRate_ = 0;
    int32_t bufferSize_ = 0, minimumSize_ = 0, maximumSize_ = 0, granularity_ = 0;
    int32_t inputLatency_ = 0, outputLatency_ = 0;
    bool timeInfoAsked_ = false, timeCodeAsked_ = false;

    std::vector<ASIOBufferInfo> bufferInfos_;
    std::array<std::array<int32_t*, 2>, 8> outputHalves_{};
    std::array<std::array<const int32_t*, 2>, 2> inputHalves_{};
    std::array<SineWriter, 8> sines_;
    std::array<SignalMeter, 2> inputMeters_;

    // Written by the stream thread inside callbacks only.
    uint64_t runFirstSequence_ = 0;
    uint64_t runCallbacks_ = 0;
    uint64_t lastEntryNs_ = 0;
    uint64_t runFirstCpuNs_ = 0, runLastCpuNs_ = 0;
    uint64_t callbackCpuNs_ = 0;
    uint64_t timeInfoCallbacks_ = 0;
    uint64_t positionErrors_ = 0, halfErrors_ = 0, unmatched_ = 0, dropped_ = 0;
    std::vector<uint64_t> latencies_, intervals_;
    size_t latencyCount_ = 0, intervalCount_ = 0;
    std::vector<CallbackTiming> timings_;
    size_t timingCount_ = 0;
    std::atomic<uint64_t> callbacks_{0};

    // Sums over runs, kept by the thread that calls Run.
    uint64_t halvesSignalled_ = 0, halvesDuringStop_ = 0, overruns_ = 0;
    uint64_t finalPosition_ = 0, expectedPosition_ = 0;
    uint64_t streamThreadCpuNs_ = 0, streamThreadHalves_ = 0;
    uint64_t processCpuNs_ = 0;
    uint64_t streamedNs_ = 0;
    std::vector<uint64_t> cardLateness_;
    size_t cardLatenessCount_ = 0;
};

}  // namespace korvex::host
