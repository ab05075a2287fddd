// Initialisation, identity, channels and clock sources.
#include "asio/driver/driver.h"
#include "asio/driver/models.h"

#include <cstring>

namespace korvex {

int CardModelRow(const WCHAR* instanceId) {
    if (instanceId == nullptr) return -1;
    for (size_t row = 0; row < kSupportedHardwareIdCount; ++row) {
        if (StartsWithIgnoringAsciiCase(instanceId, kCardModels[row].hardwareId, kHardwareIdLength)) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

void CopyBounded(char* destination, size_t capacity, const char* source) {
    size_t length = strnlen(source, capacity - 1);
    memcpy(destination, source, length);
    destination[length] = '\0';
}

// Without a device table or with an unfilled entry there is no model.
int AsioDriver::ModelRow() const {
    const DeviceEntry* selected = SelectedDevice();
    return selected == nullptr ? -1 : CardModelRow(selected->instanceId);
}

ASIOBool AsioDriver::init(void* /*sysHandle*/) {
    if (deviceCount == 0 || notPresent) {
        CopyBounded(errorMessage, sizeof(errorMessage), kNotPresentMessage);
        return ASIOFalse;
    }
    uint32_t rate = 0;
    if (!SendProperty(DEVCTL_SAMPLE_RATE, KSPROPERTY_TYPE_GET, &rate, sizeof(rate))) return ASIOFalse;
    sampleRate.store(static_cast<double>(rate), std::memory_order_relaxed);
    rateChangeRefused = false;  // the rate is the card's own again
    int32_t milliseconds = 0;
    if (!SendProperty(DEVCTL_BUFFER_MS, KSPROPERTY_TYPE_GET, &milliseconds, sizeof(milliseconds))) return ASIOFalse;
    bufferMs = milliseconds;
    return ASIOTrue;
}

void AsioDriver::getDriverName(char* name) {
    int row = ModelRow();
    if (row >= 0 && name != nullptr) CopyBounded(name, 32, kCardModels[row].driverName);
}

int32_t AsioDriver::getDriverVersion() { return 2; }

void AsioDriver::getErrorMessage(char* string) {
    if (string != nullptr) CopyBounded(string, sizeof(errorMessage), errorMessage);
    errorMessage[0] = '\0';
}

ASIOError AsioDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    int row = ModelRow();
    if (row >= 0) {
        if (numInputChannels != nullptr) *numInputChannels = kCardModels[row].inputs;
        if (numOutputChannels != nullptr) *numOutputChannels = kCardModels[row].outputs;
    }
    return ASE_OK;
}

// The bounds are those of the control block, whatever the model reports.
ASIOError AsioDriver::getChannelInfo(ASIOChannelInfo* info) {
    if (info == nullptr) return ASE_InvalidParameter;
    const bool input = info->isInput != 0;
    const int32_t channel = info->channel;
    if (channel < 0 || channel >= (input ? kInputChannels : kOutputChannels)) return ASE_InvalidParameter;
    info->type = ASIOSTInt32LSB;
    info->channelGroup = 0;
    CopyBounded(info->name, sizeof(info->name), input ? kInputChannelNames[channel] : kOutputChannelNames[channel]);
    info->isActive = input ? inputActive[channel] : outputActive[channel];
    return ASE_OK;
}

ASIOError AsioDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    if (clocks == nullptr || numSources == nullptr) return ASE_InvalidParameter;
    clocks[0].index = 0;
    clocks[0].associatedChannel = 0;
    clocks[0].associatedGroup = 0;
    clocks[0].isCurrentSource = ASIOTrue;
    CopyBounded(clocks[0].name, sizeof(clocks[0].name), kClockSourceName);
    *numSources = 1;
    return ASE_OK;
}

ASIOError AsioDriver::setClockSource(int32_t reference) {
    if (reference != 0) return ASE_NoClock;
    std::atomic_ref<uint32_t>(asioTime.timeInfo.flags).fetch_or(kClockSourceChanged, std::memory_order_relaxed);
    return ASE_OK;
}

ASIOError AsioDriver::controlPanel() { return ASE_NotPresent; }

ASIOError AsioDriver::future(int32_t selector, void* /*opt*/) {
    switch (selector) {
        case kAsioEnableTimeCodeRead:
            timeCodeRead.store(1, std::memory_order_relaxed);
            return ASE_SUCCESS;
        case kAsioDisableTimeCodeRead:
            timeCodeRead.store(0, std::memory_order_relaxed);
            return ASE_SUCCESS;
        case kAsioCanTimeInfo:
        case kAsioCanTimeCode:
            return ASE_SUCCESS;
        default:
            return ASE_NotPresent;
    }
}

}  // namespace korvex
