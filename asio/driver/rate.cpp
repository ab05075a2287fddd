// Sample rate, buffer sizes and latencies.
#include "asio/driver/driver.h"
#include "asio/driver/sizing.h"

namespace korvex {

ASIOError AsioDriver::canSampleRate(ASIOSampleRate requested) {
    return IsAcceptedRate(requested) ? ASE_OK : ASE_NoClock;
}

ASIOError AsioDriver::getSampleRate(ASIOSampleRate* current) {
    if (current == nullptr) return ASE_InvalidParameter;
    *current = sampleRate.load(std::memory_order_relaxed);
    return ASE_OK;
}

ASIOError AsioDriver::setSampleRate(ASIOSampleRate requested) {
    if (canSampleRate(requested) != ASE_OK) return ASE_NoClock;
    // After a refused send the stored rate is not the card's: asking for it
    // again must try again rather than report success.
    if (requested == sampleRate.load(std::memory_order_relaxed) && !rateChangeRefused) return ASE_OK;
    sampleRate.store(requested, std::memory_order_relaxed);

    control.command = DEVCTL_CMD_SAMPLE_RATE;
    control.rateHz = static_cast<int32_t>(requested);  // truncation toward zero
    // With no card to send to, this fails like a refused send.
    rateChangeRefused = !SendControlBlock();
    if (rateChangeRefused) return ASE_NoClock;

    std::atomic_ref<uint32_t>(asioTime.timeInfo.flags).fetch_or(kSampleRateChanged, std::memory_order_relaxed);
    std::atomic_ref<double>(asioTime.timeInfo.sampleRate).store(requested, std::memory_order_relaxed);
    ASIOCallbacks* host = callbacks.load(std::memory_order_relaxed);
    if (host != nullptr && host->sampleRateDidChange != nullptr) host->sampleRateDidChange(requested);
    return ASE_OK;
}

ASIOError AsioDriver::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize, int32_t* granularity) {
    if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr || granularity == nullptr) {
        return ASE_InvalidParameter;
    }
    BufferSizes sizes = ComputeBufferSizes(sampleRate.load(std::memory_order_relaxed), bufferMs);
    *minSize = sizes.minimum;
    *maxSize = sizes.maximum;
    *preferredSize = sizes.preferred;
    *granularity = sizes.granularity;
    return ASE_OK;
}

ASIOError AsioDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
    // Once buffers exist the card runs at their size, whatever the host was
    // offered as preferred; before that the preferred size is the best guess.
    const Latencies latencies =
        callbacks.load(std::memory_order_relaxed) != nullptr
            ? ComputeLatencies(bufferSize.load(std::memory_order_relaxed))
            : ComputeLatencies(ComputeBufferSizes(sampleRate.load(std::memory_order_relaxed), bufferMs).preferred);
    *inputLatency = latencies.input;
    *outputLatency = latencies.output;
    return ASE_OK;
}

}  // namespace korvex
