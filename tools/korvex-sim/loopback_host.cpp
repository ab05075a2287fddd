#include "tools/korvex-sim/loopback_host.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace korvex::host {
namespace {

// 511 values: long enough to stand far above noise on a real cable, short
// enough to correlate at once.
constexpr int kSequenceOrder = 9;
constexpr int32_t kSequenceLevel = 1 << 29;  // -12 dBFS
// Recorded beyond the sequence and three halves, for the device's own delays.
constexpr size_t kCaptureMargin = 8192;
// Silence before the sequence.
constexpr double kSettleSeconds = 0.1;

std::atomic<LoopbackHost*> activeHost{nullptr};

// Real time: no allocation, no lock.
void BufferSwitch(int32_t index, ASIOBool) {
    if (LoopbackHost* host = activeHost.load(std::memory_order_acquire)) host->OnHalf(index);
}

ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool) {
    BufferSwitch(index, ASIOFalse);
    return params;
}

void SampleRateDidChange(ASIOSampleRate) {}

int32_t AsioMessage(int32_t selector, int32_t value, void*, double*) {
    switch (selector) {
        case kAsioSelectorSupported: return value == kAsioSupportsTimeInfo ? 1 : 0;
        case kAsioSupportsTimeInfo: return 1;
        default: return 0;
    }
}

int32_t RoundDown(int32_t size, int32_t granularity) {
    return granularity > 0 ? size - size % granularity : size;
}

}  // namespace

std::vector<int8_t> MaximumLengthSequence(int order) {
    // x^order + x^tap + 1 is primitive for these orders (0: none of that form).
    static constexpr int kTap[] = {0, 0, 1, 2, 3, 3, 5, 6, 0, 5, 7, 9, 0, 0, 0, 14};
    if (order < 2 || order > 15 || kTap[order] == 0) return {};
    const uint32_t length = (1u << order) - 1;
    std::vector<int8_t> sequence;
    sequence.reserve(length);
    uint32_t state = 1;
    for (uint32_t i = 0; i < length; ++i) {
        sequence.push_back((state & 1) ? 1 : -1);
        const uint32_t bit = (state ^ (state >> (order - kTap[order]))) & 1;
        state = (state >> 1) | (bit << (order - 1));
    }
    return sequence;
}

bool FindDelay(const std::vector<int32_t>& played, const std::vector<int32_t>& recorded, int64_t* lag,
               double* sharpness) {
    const int64_t length = static_cast<int64_t>(played.size());
    const int64_t size = static_cast<int64_t>(recorded.size());
    if (length == 0 || size == 0) return false;
    int64_t loudest = 0;
    for (int32_t sample : recorded) loudest = std::max<int64_t>(loudest, std::llabs(int64_t{sample}));
    if (loudest == 0) return false;
    // The sequence begins near the first loud sample; the correlation looks
    // one sequence length either side of it.
    int64_t onset = 0;
    while (std::llabs(int64_t{recorded[onset]}) * 4 < loudest) ++onset;
    const int64_t first = std::max<int64_t>(0, onset - length);
    const int64_t last = std::min<int64_t>(size - 1, onset + length);

    std::vector<double> correlation(static_cast<size_t>(last - first + 1));
    for (int64_t at = first; at <= last; ++at) {
        double sum = 0;
        const int64_t count = std::min(length, size - at);
        for (int64_t i = 0; i < count; ++i) sum += static_cast<double>(played[i]) * recorded[at + i];
        correlation[at - first] = std::fabs(sum);
    }
    const size_t peak = static_cast<size_t>(std::max_element(correlation.begin(), correlation.end()) -
                                            correlation.begin());
    double other = 0;
    for (size_t i = 0; i < correlation.size(); ++i) {
        if (i + 2 < peak || i > peak + 2) other = std::max(other, correlation[i]);
    }
    *lag = first + static_cast<int64_t>(peak);
    *sharpness = other > 0 ? correlation[peak] / other : INFINITY;
    return true;
}

LoopbackHost::LoopbackHost(IASIO* driver) : driver_(driver) {
    table_.bufferSwitch = &BufferSwitch;
    table_.sampleRateDidChange = &SampleRateDidChange;
    table_.asioMessage = &AsioMessage;
    table_.bufferSwitchTimeInfo = &BufferSwitchTimeInfo;
    for (int8_t value : MaximumLengthSequence(kSequenceOrder)) sequence_.push_back(value * kSequenceLevel);
}

LoopbackHost::~LoopbackHost() {
    LoopbackHost* self = this;
    activeHost.compare_exchange_strong(self, nullptr);
}

bool LoopbackHost::Init(std::string* error) {
    if (driver_->init(nullptr) != ASIOTrue) {
        char message[128] = {};
        driver_->getErrorMessage(message);
        *error = std::string("init failed: ") + message;
        return false;
    }
    char name[32] = {};
    driver_->getDriverName(name);
    driverName_.assign(name, strnlen(name, sizeof name));
    if (driver_->getChannels(&inputs_, &outputs_) != ASE_OK) {
        *error = "getChannels failed";
        return false;
    }
    return QuerySizes(error);
}

bool LoopbackHost::SetRate(double rate, std::string* error) {
    const ASIOError result = driver_->setSampleRate(rate);
    if (result != ASE_OK) {
        *error = "setSampleRate(" + std::to_string(static_cast<long long>(rate)) + ") failed with " +
                 std::to_string(result);
        return false;
    }
    return QuerySizes(error);
}

bool LoopbackHost::QuerySizes(std::string* error) {
    if (driver_->getSampleRate(&sampleRate_) != ASE_OK ||
        driver_->getBufferSize(&minimumSize_, &maximumSize_, &preferredSize_, &granularity_) != ASE_OK ||
        driver_->getLatencies(&inputLatency_, &outputLatency_) != ASE_OK) {
        *error = "getSampleRate, getBufferSize or getLatencies failed";
        return false;
    }
    return true;
}

std::vector<int32_t> LoopbackHost::DefaultSizes() const {
    std::vector<int32_t> sizes{minimumSize_, RoundDown((minimumSize_ + preferredSize_) / 2, granularity_),
                               preferredSize_, RoundDown(preferredSize_ / 2 + maximumSize_ / 2, granularity_),
                               maximumSize_};
    sizes.erase(std::remove_if(sizes.begin(), sizes.end(), [](int32_t size) { return size <= 0; }), sizes.end());
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

void LoopbackHost::OnHalf(int32_t index) {
    const uint64_t call = callbacks_.load(std::memory_order_relaxed);
    if (index == 0 || index == 1) {
        int32_t* out = outputHalves_[index];
        const int32_t* in = inputHalves_[index];
        const uint64_t first = call * static_cast<uint64_t>(frames_);
        for (int32_t i = 0; i < frames_; ++i) {
            const uint64_t frame = first + static_cast<uint64_t>(i);
            out[i] = frame >= sequenceStart_ && frame - sequenceStart_ < sequence_.size()
                         ? sequence_[frame - sequenceStart_]
                         : 0;
            if (frame < captured_.size()) captured_[frame] = in[i];
        }
    }
    callbacks_.store(call + 1, std::memory_order_relaxed);
    if (outputReady_ == OutputReadyMode::InCallback) driver_->outputReady();
    returned_.store(call + 1, std::memory_order_release);
}

int LoopbackHost::AnswerCallbacks() {
    if (outputReady_ != OutputReadyMode::ByCaller) return 0;
    int answered = 0;
    const uint64_t returned = returned_.load(std::memory_order_acquire);
    // One at a time: two answers before the driver takes the first count once.
    if (answered_ < returned) {
        driver_->outputReady();
        answered_ = returned;
        ++answered;
    }
    return answered;
}

bool LoopbackHost::WaitCallbacks(uint64_t count, uint32_t milliseconds) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (callbacks() < count) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    return true;
}

LoopbackHost::Pacer LoopbackHost::RealTime() {
    return [](LoopbackHost& host, uint64_t halves) {
        const double halfMs = 1000.0 * host.frames_ / std::max(host.sampleRate_, 1.0);
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(2000 + static_cast<int64_t>(4 * halfMs * static_cast<double>(halves)));
        while (host.callbacks() < halves) {
            host.AnswerCallbacks();
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
        return true;
    };
}

LoopbackResult LoopbackHost::Measure(int32_t frames, const LoopbackSettings& settings, const Pacer& pace) {
    LoopbackResult result;
    result.bufferSize = frames;
    result.sampleRate = sampleRate_;
    if (frames <= 0) {
        result.error = "no buffer size";
        return result;
    }

    ASIOBufferInfo infos[2] = {{ASIOFalse, settings.output, {}}, {ASIOTrue, settings.input, {}}};
    LoopbackHost* expected = nullptr;
    if (!activeHost.compare_exchange_strong(expected, this)) {
        result.error = "another loopback host is active";
        return result;
    }
    const ASIOError created = driver_->createBuffers(infos, 2, frames, &table_);
    if (created != ASE_OK) {
        activeHost.store(nullptr, std::memory_order_release);
        result.error = "createBuffers(" + std::to_string(frames) + ") failed with " + std::to_string(created);
        return result;
    }
    driver_->getLatencies(&result.inputLatency, &result.outputLatency);

    frames_ = frames;
    outputReady_ = settings.outputReady;
    for (int half = 0; half < 2; ++half) {
        outputHalves_[half] = static_cast<int32_t*>(infos[0].buffers[half]);
        inputHalves_[half] = static_cast<const int32_t*>(infos[1].buffers[half]);
    }
    // The sequence starts after the stream has settled: the first halves
    // after start are the likeliest to be answered late, and the card plays a
    // late half silent.
    const size_t settleFrames = std::max<size_t>(4 * static_cast<size_t>(frames),
                                                 static_cast<size_t>(sampleRate_ * kSettleSeconds));
    sequenceStart_ = (settleFrames + frames - 1) / frames * frames;
    const size_t captureFrames =
        sequenceStart_ + 3 * static_cast<size_t>(frames) + sequence_.size() + kCaptureMargin;
    captured_.assign(captureFrames, 0);
    callbacks_.store(0, std::memory_order_release);
    returned_.store(0, std::memory_order_release);
    answered_ = 0;
    result.halvesWanted = (captureFrames + static_cast<size_t>(frames) - 1) / static_cast<size_t>(frames);

    const ASIOError started = driver_->start();
    bool paced = false;
    if (started == ASE_OK) paced = pace(*this, result.halvesWanted);
    driver_->stop();
    driver_->disposeBuffers();
    activeHost.store(nullptr, std::memory_order_release);
    result.callbacks = callbacks_.load(std::memory_order_relaxed);

    if (started != ASE_OK) {
        result.error = "start failed with " + std::to_string(started);
    } else if (!paced) {
        result.error = "only " + std::to_string(result.callbacks) + " of " + std::to_string(result.halvesWanted) +
                       " buffer switches came";
    } else if (!FindDelay(sequence_, captured_, &result.measured, &result.sharpness)) {
        result.error = "the input stayed silent (is the cable plugged into this output and input?)";
    } else {
        result.measured -= static_cast<int64_t>(sequenceStart_);
        result.found = true;
    }
    return result;
}

}  // namespace korvex::host
