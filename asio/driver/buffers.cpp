// The double buffers: mapping the card's ten channel buffers, handing the
// host the halves of the channels it asked for, and giving them back.
#include "asio/driver/driver.h"

#include <cstring>

namespace korvex {
namespace {

constexpr size_t kSampleBytes = 4;

// Every map entry that was filled, in map order (outputs, then inputs).
void** MapEntry(AsioDriver& driver, int index) {
    return index < kOutputChannels ? &driver.outputBuffers[index] : &driver.inputBuffers[index - kOutputChannels];
}

}  // namespace

ASIOError AsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t frames,
                                    ASIOCallbacks* hostCallbacks) {
    // A half of no samples has no buffer to clear or hand out; a host table
    // without its entries cannot be called back (one of the two buffer
    // switches is enough: the stream calls whichever the host has).
    if (frames <= 0 || hostCallbacks == nullptr || hostCallbacks->asioMessage == nullptr) return ASE_InvalidParameter;
    if (hostCallbacks->bufferSwitch == nullptr && hostCallbacks->bufferSwitchTimeInfo == nullptr) {
        return ASE_InvalidParameter;
    }
    if (numChannels > 0 && bufferInfos == nullptr) return ASE_InvalidParameter;

    control.command = DEVCTL_CMD_BUFFER_SIZE;
    control.bufferFrames = frames;
    SendControlBlock();

    BufferMap map{};
    if (!SendProperty(DEVCTL_MAP_BUFFERS, KSPROPERTY_TYPE_GET, &map, sizeof(map))) return ASE_NoMemory;

    const size_t halfBytes = kSampleBytes * static_cast<size_t>(frames);
    for (int i = 0; i < kMappedChannels; ++i) {
        void* address = reinterpret_cast<void*>(static_cast<uintptr_t>(map.address[i]));
        *MapEntry(*this, i) = address;
        if (address != nullptr) memset(address, 0, 2 * halfBytes);
    }

    for (int32_t entry = 0; entry < numChannels; ++entry) {
        ASIOBufferInfo& info = bufferInfos[entry];
        const bool input = info.isInput != 0;
        const int32_t channel = info.channelNum;
        void* address = nullptr;
        if (channel >= 0 && channel < (input ? kInputChannels : kOutputChannels)) {
            address = input ? inputBuffers[channel] : outputBuffers[channel];
        }
        // An unknown channel, or one the card mapped no memory for.
        if (address == nullptr) {
            disposeBuffers();
            return ASE_InvalidParameter;
        }
        info.buffers[0] = address;
        info.buffers[1] = static_cast<char*>(address) + halfBytes;
        (input ? inputActive : outputActive)[channel] = 1;
    }

    bufferSize.store(frames, std::memory_order_relaxed);
    callbacks.store(hostCallbacks, std::memory_order_relaxed);
    samplePosition.Store(0);

    if (hostCallbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1) {
        timeInfoMode.store(1, std::memory_order_relaxed);
        AsioTimeInfo& info = asioTime.timeInfo;
        info.speed = 0.0;
        info.samplePosition = ASIOSamples{0, 0};
        std::atomic_ref<double>(info.sampleRate).store(sampleRate.load(std::memory_order_relaxed),
                                                       std::memory_order_relaxed);
        std::atomic_ref<uint32_t>(info.flags).store(kSystemTimeValid | kSamplePositionValid | kSampleRateValid,
                                                    std::memory_order_relaxed);
        timeStamp.Store(0);
    } else {
        timeInfoMode.store(0, std::memory_order_relaxed);
        memset(&asioTime.timeInfo, 0, sizeof(asioTime.timeInfo));
    }

    if (hostCallbacks->asioMessage(kAsioSupportsTimeCode, 0, nullptr, nullptr) == 1) {
        timeCodeSupported.store(1, std::memory_order_relaxed);
        ASIOTimeCode& code = asioTime.timeCode;
        code.speed = 0.0;
        code.timeCodeSamples = ASIOSamples{0, 0};
        code.flags = kTcValid | kTcRunning;
    } else {
        timeCodeSupported.store(0, std::memory_order_relaxed);
        memset(&asioTime.timeCode, 0, sizeof(asioTime.timeCode));
    }
    return ASE_OK;
}

ASIOError AsioDriver::disposeBuffers() {
    callbacks.store(nullptr, std::memory_order_relaxed);

    BufferMap map{};
    bool complete = true;
    for (int i = 0; i < kMappedChannels; ++i) {
        void* address = *MapEntry(*this, i);
        complete = complete && address != nullptr;
        map.address[i] = reinterpret_cast<uintptr_t>(address);
    }
    if (complete) SendProperty(DEVCTL_UNMAP_BUFFERS, KSPROPERTY_TYPE_SET, &map, sizeof(map));

    for (int i = 0; i < kOutputChannels; ++i) {
        outputBuffers[i] = nullptr;
        outputActive[i] = 0;
    }
    for (int j = 0; j < kInputChannels; ++j) {
        inputBuffers[j] = nullptr;
        inputActive[j] = 0;
    }
    return ASE_OK;
}

}  // namespace korvex
