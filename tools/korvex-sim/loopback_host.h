// A loopback measurement, as a user runs it with a cable from one of the
// card's outputs to one of its inputs: the host plays a maximum-length
// sequence on the output once the stream has settled (0.1 s after the first
// buffer switch), records the input, and finds the sequence there by
// cross-correlation; frames are counted from the first buffer switch on both. The lag of the
// peak, in samples, is the round trip that recorded takes must be shifted
// by; beside it stands what the driver reports, input + output latency, for
// the buffers in place.
//
// Platform-neutral: it sees the driver only through IASIO, and the stream
// only through the callbacks, so the same code runs against the simulated
// card on Linux and against any driver a Windows host loads.
//
// ASIO callbacks carry no context: one host at a time is the active one,
// from createBuffers until disposeBuffers.
#pragma once

#include "asio/driver/asio.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvex::host {

// When the host tells the driver that a half is filled.
enum class OutputReadyMode {
    InCallback,  // at the end of each buffer switch
    ByCaller,    // later, from another thread: AnswerCallbacks
    Never,
};

struct LoopbackSettings {
    int32_t output = 0;
    int32_t input = 0;
    OutputReadyMode outputReady = OutputReadyMode::InCallback;
};

struct LoopbackResult {
    int32_t bufferSize = 0;
    double sampleRate = 0;
    // getLatencies with the buffers in place.
    int32_t inputLatency = 0;
    int32_t outputLatency = 0;
    bool found = false;
    int64_t measured = 0;    // samples from an output frame to its return on the input
    double sharpness = 0;    // the peak over the largest correlation elsewhere
    uint64_t callbacks = 0;  // buffer switches the host received
    uint64_t halvesWanted = 0;
    std::string error;       // why nothing could be measured

    int64_t Reported() const { return int64_t{inputLatency} + outputLatency; }
    int64_t Difference() const { return measured - Reported(); }
    double MeasuredMs() const { return sampleRate > 0 ? 1000.0 * static_cast<double>(measured) / sampleRate : 0; }
};

class LoopbackHost {
public:
    // Drives the stream until the host has had `halves` buffer switches;
    // false when they did not come.
    using Pacer = std::function<bool(LoopbackHost& host, uint64_t halves)>;

    explicit LoopbackHost(IASIO* driver);
    ~LoopbackHost();
    LoopbackHost(const LoopbackHost&) = delete;
    LoopbackHost& operator=(const LoopbackHost&) = delete;

    // init and the queries of channels, rate and sizes. False with `error`.
    bool Init(std::string* error);
    // setSampleRate, and the sizes again.
    bool SetRate(double rate, std::string* error);

    const std::string& driverName() const { return driverName_; }
    int32_t inputs() const { return inputs_; }
    int32_t outputs() const { return outputs_; }
    double sampleRate() const { return sampleRate_; }
    int32_t minimumSize() const { return minimumSize_; }
    int32_t maximumSize() const { return maximumSize_; }
    int32_t preferredSize() const { return preferredSize_; }
    int32_t granularity() const { return granularity_; }
    // Without buffers: what a host is told before it picks a size.
    int32_t inputLatency() const { return inputLatency_; }
    int32_t outputLatency() const { return outputLatency_; }

    // Minimum, preferred, maximum and two sizes between them on the
    // granularity, in increasing order, without repeats.
    std::vector<int32_t> DefaultSizes() const;

    // One run at `frames` per half: buffers for the two channels, start, the
    // sequence out and the input in, stop, buffers disposed, the peak found.
    LoopbackResult Measure(int32_t frames, const LoopbackSettings& settings, const Pacer& pace);

    // Buffer switches of this run that the host has finished with.
    uint64_t callbacks() const { return returned_.load(std::memory_order_acquire); }
    // Waits (polling) until `count` of them have.
    bool WaitCallbacks(uint64_t count, uint32_t milliseconds) const;
    // outputReady for every buffer switch that has returned unanswered
    // (OutputReadyMode::ByCaller). Returns how many it answered.
    int AnswerCallbacks();
    IASIO* driver() const { return driver_; }

    // Waits for the halves in real time, allowing four times their duration
    // plus two seconds.
    static Pacer RealTime();

    // The callbacks' way in; public for the trampolines.
    void OnHalf(int32_t index);

private:
    bool QuerySizes(std::string* error);

    IASIO* driver_;
    ASIOCallbacks table_{};
    std::string driverName_;
    int32_t inputs_ = 0, outputs_ = 0;
    double sampleRate_ = 0;
    int32_t minimumSize_ = 0, maximumSize_ = 0, preferredSize_ = 0, granularity_ = 0;
    int32_t inputLatency_ = 0, outputLatency_ = 0;

    // The run in progress; written by the stream thread inside callbacks.
    std::vector<int32_t> sequence_;  // what the output plays from sequenceStart_ on
    size_t sequenceStart_ = 0;       // output frame, counted from the first buffer switch
    std::vector<int32_t> captured_;  // the input from its frame 0 on
    int32_t frames_ = 0;
    std::array<int32_t*, 2> outputHalves_{};
    std::array<const int32_t*, 2> inputHalves_{};
    OutputReadyMode outputReady_ = OutputReadyMode::InCallback;
    std::atomic<uint64_t> callbacks_{0};  // buffer switches entered
    std::atomic<uint64_t> returned_{0};   // and finished
    uint64_t answered_ = 0;              // by AnswerCallbacks
};

// The peak of the cross-correlation of `played` with `recorded`: its lag, and
// how far it stands above every other lag (the largest magnitude more than
// two samples away). False when the recording is silent.
bool FindDelay(const std::vector<int32_t>& played, const std::vector<int32_t>& recorded, int64_t* lag,
               double* sharpness);

// A maximum-length sequence of 2^order - 1 values of +1 and -1, for the
// orders 2 to 7, 9, 10, 11 and 15 (empty for the others).
std::vector<int8_t> MaximumLengthSequence(int order);

}  // namespace korvex::host
