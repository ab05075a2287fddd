// The card's private kernel-streaming property set, as its kernel driver
// defines it: property numbers, value lengths and the control block layout.
#pragma once

#include "platform/win32.h"

#include <array>
#include <cstdint>

namespace sim::devctl {

inline constexpr GUID kPropertySet = {0x62EA77C2, 0x8374, 0x4F49, {0x9E, 0xE7, 0x5F, 0xCE, 0x00, 0x36, 0x7B, 0x5E}};

enum Property : uint32_t {
    kControl = 8,        // SET, ControlBlock
    kInUse = 9,          // GET, 1 byte
    kClaim = 10,         // SET, 1 byte
    kSampleRate = 11,    // GET, uint32 Hz
    kBufferMs = 12,      // GET, int32 ms
    kMapBuffers = 13,    // GET, ten uint64 addresses
    kUnmapBuffers = 14,  // SET, the same ten addresses
    kEvents = 15,        // SET, four uint64 event handles
    kStop = 16,          // SET, no value
};

inline constexpr uint32_t kFirstProperty = kControl;
inline constexpr uint32_t kLastProperty = kStop;

inline constexpr int kOutputChannels = 8;
inline constexpr int kInputChannels = 2;
inline constexpr int kChannels = kOutputChannels + kInputChannels;  // buffer map order: outputs, then inputs

// ControlBlock: 20 bytes, little-endian.
inline constexpr size_t kControlBlockSize = 20;
inline constexpr size_t kCommandOffset = 0;
inline constexpr size_t kEnableOffset = 1;  // 8 output enables, then 2 input enables
inline constexpr size_t kRateOffset = 12;
inline constexpr size_t kBufferFramesOffset = 16;
enum Command : uint8_t { kCmdChannels = 0, kCmdSampleRate = 1, kCmdBufferSize = 2 };

inline constexpr size_t kBufferMapSize = kChannels * sizeof(uint64_t);
inline constexpr size_t kEventsSize = 4 * sizeof(uint64_t);

using ControlBlock = std::array<uint8_t, kControlBlockSize>;
using BufferMap = std::array<uint64_t, kChannels>;
using Enables = std::array<uint8_t, kChannels>;  // outputs 0..7, inputs 0..1

// The 24-byte request header, ready to pass as DeviceIoControl's input.
KSPROPERTY MakeHeader(uint32_t id, uint32_t flags, const GUID& set = kPropertySet);

}  // namespace sim::devctl
