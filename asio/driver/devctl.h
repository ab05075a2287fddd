// The private control channel to the card's kernel driver: property requests
// of one property set, sent synchronously with IOCTL_KS_PROPERTY.
#pragma once

#include "platform/win32.h"

#include <cstdint>

namespace korvex {

// {62EA77C2-8374-4F49-9EE7-5FCE00367B5E}
inline constexpr GUID DeviceControlPropertySet = {0x62EA77C2, 0x8374, 0x4F49,
                                                  {0x9E, 0xE7, 0x5F, 0xCE, 0x00, 0x36, 0x7B, 0x5E}};

enum : ULONG {
    DEVCTL_CONTROL = 8,         // SET, the 20-byte ControlBlock
    DEVCTL_IN_USE = 9,          // GET, 1 byte: nonzero while another client holds the card
    DEVCTL_CLAIM = 10,          // SET, 1 byte: 1 takes the card, 0 gives it back
    DEVCTL_SAMPLE_RATE = 11,    // GET, unsigned 32-bit Hz
    DEVCTL_BUFFER_MS = 12,      // GET, 32-bit milliseconds
    DEVCTL_MAP_BUFFERS = 13,    // GET, ten 64-bit addresses
    DEVCTL_UNMAP_BUFFERS = 14,  // SET, the same ten addresses
    DEVCTL_EVENTS = 15,         // SET, four 64-bit event handles
    DEVCTL_STOP = 16,           // SET, no value
};

enum : uint8_t {
    DEVCTL_CMD_CHANNELS = 0,
    DEVCTL_CMD_SAMPLE_RATE = 1,
    DEVCTL_CMD_BUFFER_SIZE = 2,
};

inline constexpr int kOutputChannels = 8;
inline constexpr int kInputChannels = 2;
// Map order: outputs 0 to 7, then inputs 0 and 1.
inline constexpr int kMappedChannels = kOutputChannels + kInputChannels;

#pragma pack(push, 1)
struct ControlBlock {
    uint8_t command;
    uint8_t outputEnable[kOutputChannels];
    uint8_t inputEnable[kInputChannels];
    uint8_t reserved;
    int32_t rateHz;
    int32_t bufferFrames;
};
#pragma pack(pop)
static_assert(sizeof(ControlBlock) == 20);
// The channel command is bytes 0 to 10: command and the ten enables.
inline constexpr size_t kChannelCommandBytes = 11;

struct BufferMap {
    uint64_t address[kMappedChannels];
};
static_assert(sizeof(BufferMap) == 80);

struct EventRegistration {
    uint64_t handle[4];  // half0Ready, half1Ready, output0Ready, output1Ready
};
static_assert(sizeof(EventRegistration) == 32);

// The 24-byte request header of a property of the set.
KSPROPERTY DeviceControlHeader(ULONG id, ULONG flags);

// One synchronous request on `device`; true when DeviceIoControl succeeded.
bool SendDeviceProperty(HANDLE device, ULONG id, ULONG flags, void* value, ULONG valueSize);

}  // namespace korvex
