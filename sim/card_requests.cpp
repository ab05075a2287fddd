// The card's handling of IOCTL_KS_PROPERTY requests on its private set:
// checked the way a careful kernel driver checks them, acted on, recorded.
#include "sim/card.h"

#include "sim/card_mapping.h"

#include <cstring>
#include <new>

namespace sim {
namespace {

constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorNotReady = 21;
constexpr DWORD kErrorBusy = 170;
constexpr int32_t kMaxBufferFrames = 1 << 16;

struct PropertyShape {
    uint32_t flags;  // the one verb the property supports
    DWORD length;    // of its value
};

PropertyShape ShapeOf(uint32_t id) {
    switch (id) {
        case devctl::kControl: return {KSPROPERTY_TYPE_SET, devctl::kControlBlockSize};
        case devctl::kInUse: return {KSPROPERTY_TYPE_GET, 1};
        case devctl::kClaim: return {KSPROPERTY_TYPE_SET, 1};
        case devctl::kSampleRate: return {KSPROPERTY_TYPE_GET, 4};
        case devctl::kBufferMs: return {KSPROPERTY_TYPE_GET, 4};
        case devctl::kMapBuffers: return {KSPROPERTY_TYPE_GET, devctl::kBufferMapSize};
        case devctl::kUnmapBuffers: return {KSPROPERTY_TYPE_SET, devctl::kBufferMapSize};
        case devctl::kEvents: return {KSPROPERTY_TYPE_SET, devctl::kEventsSize};
        case devctl::kStop: return {KSPROPERTY_TYPE_SET, 0};
        default: return {0, 0};
    }
}

// Only the claim holder may drive the card while it is claimed.
bool DrivesTheCard(uint32_t id) {
    return id == devctl::kControl || id == devctl::kMapBuffers || id == devctl::kUnmapBuffers ||
           id == devctl::kEvents || id == devctl::kStop;
}

int32_t ReadInt32(const uint8_t* p) {
    uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return static_cast<int32_t>(v);
}

void WriteUint32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// The checks of the value buffer: its pointer and length against the shape.
DWORD CheckValue(const PropertyShape& shape, const void* value, DWORD length) {
    if (shape.length == 0) return length == 0 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    if (!value) return ERROR_INVALID_PARAMETER;
    if (length < shape.length) return ERROR_INSUFFICIENT_BUFFER;
    if (shape.flags == KSPROPERTY_TYPE_SET && length != shape.length) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD Card::IoControl(uint64_t fileId, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* bytesReturned) {
    std::lock_guard lock(mutex_);
    CardRequest request;
    request.fileId = fileId;
    request.code = code;
    if (in) request.header.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inSize);
    if (in && inSize >= sizeof(KSPROPERTY)) {
        KSPROPERTY header;
        std::memcpy(&header, in, sizeof header);
        request.set = header.Set;
        request.id = header.Id;
        request.flags = header.Flags;
    }
    request.valueNull = out == nullptr;
    request.valueLength = outSize;
    auto* value = static_cast<uint8_t*>(out);
    if (value && request.IsSet()) request.value.assign(value, value + outSize);

    const DWORD error = DispatchLocked(request, in, inSize, value, outSize, bytesReturned);
    request.error = error;
    if (error == ERROR_SUCCESS && request.IsGet()) request.value.assign(value, value + ShapeOf(request.id).length);
    requests_.push_back(std::move(request));
    return error;
}

DWORD Card::DispatchLocked(const CardRequest& request, const void* in, DWORD inSize, uint8_t* value, DWORD length,
                           DWORD* bytesReturned) {
    if (removed_) return kErrorDeviceRemoved;
    if (request.code != IOCTL_KS_PROPERTY) return kErrorInvalidFunction;
    if (!in || inSize != sizeof(KSPROPERTY)) return ERROR_INVALID_PARAMETER;
    const PropertyShape shape = ShapeOf(request.id);
    if (!IsEqualGUID(request.set, devctl::kPropertySet) || shape.flags == 0 || request.flags != shape.flags) {
        return ERROR_NOT_SUPPORTED;
    }
    if (const DWORD error = CheckValue(shape, value, length)) {
        if (error == ERROR_INSUFFICIENT_BUFFER) *bytesReturned = shape.length;
        return error;
    }
    if (DWORD injected = 0; InjectedFailureLocked(request.id, &injected)) return injected;
    if (DrivesTheCard(request.id) && claimedBy_ && *claimedBy_ != request.fileId) return ERROR_ACCESS_DENIED;
    return HandleLocked(request.fileId, request.id, value, bytesReturned);
}

bool Card::InjectedFailureLocked(uint32_t id, DWORD* error) {
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->id != id) continue;
        *error = it->error;
        if (it->remaining != kAlways && --it->remaining == 0) failures_.erase(it);
        return true;
    }
    return false;
}

DWORD Card::HandleLocked(uint64_t fileId, uint32_t id, uint8_t* value, DWORD* bytesReturned) {
    switch (id) {
        case devctl::kInUse:
            value[0] = (claimedBy_ && *claimedBy_ != fileId) ? 1 : 0;
            *bytesReturned = 1;
            return ERROR_SUCCESS;
        case devctl::kClaim:
            if (value[0] == 1) {
                if (claimedBy_ && *claimedBy_ != fileId) return kErrorBusy;
                claimedBy_ = fileId;
                return ERROR_SUCCESS;
            }
            if (value[0] == 0) {
                if (claimedBy_ && *claimedBy_ != fileId) return ERROR_ACCESS_DENIED;
                claimedBy_.reset();
                return ERROR_SUCCESS;
            }
            return ERROR_INVALID_PARAMETER;
        case devctl::kSampleRate:
            WriteUint32(value, rate_);
            *bytesReturned = 4;
            return ERROR_SUCCESS;
        case devctl::kBufferMs:
            WriteUint32(value, bufferMs_);
            *bytesReturned = 4;
            return ERROR_SUCCESS;
        case devctl::kControl: return ControlLocked(value);
        case devctl::kMapBuffers: {
            const DWORD error = MapLocked(fileId, value);
            if (error == ERROR_SUCCESS) *bytesReturned = devctl::kBufferMapSize;
            return error;
        }
        case devctl::kUnmapBuffers: return UnmapLocked(value);
        case devctl::kEvents: return EventsLocked(fileId, value);
        case devctl::kStop: StopStreamLocked(); return ERROR_SUCCESS;
        default: return ERROR_NOT_SUPPORTED;
    }
}

// Each command reads only its own fields of the block.
DWORD Card::ControlLocked(const uint8_t* block) {
    devctl::ControlBlock copy;
    std::memcpy(copy.data(), block, copy.size());
    lastControl_ = copy;
    switch (block[devctl::kCommandOffset]) {
        case devctl::kCmdChannels: return ChannelsLocked(block);
        case devctl::kCmdSampleRate: {
            const int32_t rate = ReadInt32(block + devctl::kRateOffset);
            if (rate <= 0) return ERROR_INVALID_PARAMETER;
            if (refuseRate_) return refuseRateError_;
            rate_ = static_cast<uint32_t>(rate);
            ApplyStreamLocked(false);
            return ERROR_SUCCESS;
        }
        case devctl::kCmdBufferSize: {
            const int32_t frames = ReadInt32(block + devctl::kBufferFramesOffset);
            if (frames <= 0 || frames > kMaxBufferFrames) return ERROR_INVALID_PARAMETER;
            bufferFrames_ = static_cast<uint32_t>(frames);  // for the next mapping
            return ERROR_SUCCESS;
        }
        default: return ERROR_INVALID_PARAMETER;
    }
}

// Runs exactly the enabled channels; a stream starts (with half 0) when
// channels go on while events are registered, and ends when all go off.
DWORD Card::ChannelsLocked(const uint8_t* block) {
    std::memcpy(enables_.data(), block + devctl::kEnableOffset, enables_.size());
    bool any = false;
    for (uint8_t enable : enables_) any = any || enable != 0;
    const bool wasStreaming = streaming_;
    streaming_ = any && eventsRegistered_;
    ApplyStreamLocked(streaming_ && !wasStreaming);
    return ERROR_SUCCESS;
}

DWORD Card::MapLocked(uint64_t fileId, uint8_t* value) {
    if (bufferFrames_ == 0) return kErrorNotReady;
    auto mapping = std::unique_ptr<Mapping>(new (std::nothrow) Mapping);
    if (!mapping) return ERROR_NOT_ENOUGH_MEMORY;
    mapping->owner = fileId;
    mapping->frames = bufferFrames_;
    for (auto& buffer : mapping->buffers) {
        buffer.reset(new (std::nothrow) int32_t[2 * static_cast<size_t>(bufferFrames_)]());
        if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    }
    const devctl::BufferMap map = mapping->Addresses();
    std::memcpy(value, map.data(), devctl::kBufferMapSize);
    mappings_.push_back(std::move(mapping));
    ApplyStreamLocked(false);
    return ERROR_SUCCESS;
}

// Takes back the mapping whose ten addresses these are, in this order.
DWORD Card::UnmapLocked(const uint8_t* value) {
    devctl::BufferMap map;
    std::memcpy(map.data(), value, devctl::kBufferMapSize);
    for (auto it = mappings_.begin(); it != mappings_.end(); ++it) {
        if ((*it)->Addresses() != map) continue;
        std::unique_ptr<Mapping> freed = std::move(*it);
        mappings_.erase(it);
        ApplyStreamLocked(false);  // the clock lets go of the buffers before they are freed
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD Card::EventsLocked(uint64_t fileId, const uint8_t* value) {
    std::array<uint64_t, 4> handles;
    std::memcpy(handles.data(), value, devctl::kEventsSize);
    std::array<kernel::EventRef, 4> events;
    for (size_t i = 0; i < events.size(); ++i) {
        events[i] = kernel::ReferenceEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handles[i])));
        if (!events[i]) return ERROR_INVALID_HANDLE;
    }
    events_ = events;
    eventHandles_ = handles;
    eventsRegistered_ = true;
    eventsOwner_ = fileId;
    ApplyStreamLocked(false);
    return ERROR_SUCCESS;
}

// The events are not set again until they are registered anew and channels
// are switched on.
void Card::StopStreamLocked() {
    streaming_ = false;
    clock_.Stop();
    eventsRegistered_ = false;
    events_ = {};
}

}  // namespace sim
