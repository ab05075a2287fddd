// The ASIO driver interface: records, constants and IASIO, declared from
// their published layout. ASIO's `long` is 32-bit on 64-bit Windows, so it is
// int32_t here; the records use the 4-byte packing of the published headers.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

typedef int32_t ASIOBool;
typedef int32_t ASIOError;
typedef int32_t ASIOSampleType;
typedef double ASIOSampleRate;

enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

enum : ASIOError {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3F4847A0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

enum : ASIOSampleType { ASIOSTInt32LSB = 18 };

// asioMessage selectors.
enum : int32_t {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioBufferSizeChange = 4,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
};

// future selectors.
enum : int32_t {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    kAsioTransport = 4,
    kAsioSetInputGain = 5,
    kAsioGetInputMeter = 6,
    kAsioSetOutputGain = 7,
    kAsioGetOutputMeter = 8,
    kAsioCanInputMonitor = 9,
    kAsioCanTimeInfo = 10,
    kAsioCanTimeCode = 11,
};

// AsioTimeInfo flags.
enum : uint32_t {
    kSystemTimeValid = 1,
    kSamplePositionValid = 2,
    kSampleRateValid = 4,
    kSpeedValid = 8,
    kSampleRateChanged = 16,
    kClockSourceChanged = 32,
};

// ASIOTimeCode flags.
enum : uint32_t { kTcValid = 1, kTcRunning = 2 };

#pragma pack(push, 4)

struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOTimeStamp {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void* buffers[2];
};

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    uint32_t flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
};

struct ASIOTime {
    int32_t reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

// The host's functions, called as plain cdecl functions on every architecture.
struct ASIOCallbacks {
    void(KORVEX_CDECL* bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void(KORVEX_CDECL* sampleRateDidChange)(ASIOSampleRate sRate);
    int32_t(KORVEX_CDECL* asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    ASIOTime*(KORVEX_CDECL* bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex,
                                                  ASIOBool directProcess);
};

#pragma pack(pop)

// The published layout, field by field, as hosts compiled with the published
// declarations see it (4-byte packing; offsets worked out by hand). Only the
// pointers differ between x86 and x64: 4 or 8 bytes.
namespace asio_layout {
inline constexpr size_t kPointer = sizeof(void*);
static_assert(kPointer == 4 || kPointer == 8);
static_assert(sizeof(ASIOBool) == 4 && sizeof(ASIOSampleRate) == 8);

static_assert(sizeof(ASIOSamples) == 8 && offsetof(ASIOSamples, hi) == 0 && offsetof(ASIOSamples, lo) == 4);
static_assert(sizeof(ASIOTimeStamp) == 8 && offsetof(ASIOTimeStamp, hi) == 0 && offsetof(ASIOTimeStamp, lo) == 4);

static_assert(offsetof(ASIOClockSource, index) == 0);
static_assert(offsetof(ASIOClockSource, associatedChannel) == 4);
static_assert(offsetof(ASIOClockSource, associatedGroup) == 8);
static_assert(offsetof(ASIOClockSource, isCurrentSource) == 12);
static_assert(offsetof(ASIOClockSource, name) == 16);
static_assert(sizeof(ASIOClockSource) == 48);

static_assert(offsetof(ASIOChannelInfo, channel) == 0);
static_assert(offsetof(ASIOChannelInfo, isInput) == 4);
static_assert(offsetof(ASIOChannelInfo, isActive) == 8);
static_assert(offsetof(ASIOChannelInfo, channelGroup) == 12);
static_assert(offsetof(ASIOChannelInfo, type) == 16);
static_assert(offsetof(ASIOChannelInfo, name) == 20);
static_assert(sizeof(ASIOChannelInfo) == 52);

static_assert(offsetof(ASIOBufferInfo, isInput) == 0);
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4);
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(ASIOBufferInfo) == (kPointer == 8 ? 24 : 16));

static_assert(offsetof(AsioTimeInfo, speed) == 0);
static_assert(offsetof(AsioTimeInfo, systemTime) == 8);
static_assert(offsetof(AsioTimeInfo, samplePosition) == 16);
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24);
static_assert(offsetof(AsioTimeInfo, flags) == 32);
static_assert(offsetof(AsioTimeInfo, reserved) == 36);
static_assert(sizeof(AsioTimeInfo) == 48);

static_assert(offsetof(ASIOTimeCode, speed) == 0);
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8);
static_assert(offsetof(ASIOTimeCode, flags) == 16);
static_assert(offsetof(ASIOTimeCode, future) == 20);
static_assert(sizeof(ASIOTimeCode) == 84);  // 88 with the double's natural 8-byte alignment

static_assert(offsetof(ASIOTime, reserved) == 0);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOTime) == 148);

static_assert(offsetof(ASIOCallbacks, bufferSwitch) == 0);
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == (kPointer == 8 ? 8 : 4));
static_assert(offsetof(ASIOCallbacks, asioMessage) == (kPointer == 8 ? 16 : 8));
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == (kPointer == 8 ? 24 : 12));
static_assert(sizeof(ASIOCallbacks) == (kPointer == 8 ? 32 : 16));
}  // namespace asio_layout

// The driver interface. Its CLSID doubles as its interface ID. The table has
// exactly the published 24 entries: no destructor is declared. The methods
// inherited from IUnknown are __stdcall; IASIO's own are thiscall on x86.
struct IASIO : public IUnknown {
    virtual ASIOBool KORVEX_THISCALL init(void* sysHandle) = 0;
    virtual void KORVEX_THISCALL getDriverName(char* name) = 0;
    virtual int32_t KORVEX_THISCALL getDriverVersion() = 0;
    virtual void KORVEX_THISCALL getErrorMessage(char* string) = 0;
    virtual ASIOError KORVEX_THISCALL start() = 0;
    virtual ASIOError KORVEX_THISCALL stop() = 0;
    virtual ASIOError KORVEX_THISCALL getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError KORVEX_THISCALL getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError KORVEX_THISCALL getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                                    int32_t* granularity) = 0;
    virtual ASIOError KORVEX_THISCALL canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError KORVEX_THISCALL getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError KORVEX_THISCALL setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError KORVEX_THISCALL getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
    virtual ASIOError KORVEX_THISCALL setClockSource(int32_t reference) = 0;
    virtual ASIOError KORVEX_THISCALL getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError KORVEX_THISCALL getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError KORVEX_THISCALL createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                                    int32_t bufferSize, ASIOCallbacks* callbacks) = 0;
    virtual ASIOError KORVEX_THISCALL disposeBuffers() = 0;
    virtual ASIOError KORVEX_THISCALL controlPanel() = 0;
    virtual ASIOError KORVEX_THISCALL future(int32_t selector, void* opt) = 0;
    virtual ASIOError KORVEX_THISCALL outputReady() = 0;
};

// {029A27F2-F2C8-4892-A690-C710D91F32B0}: the driver's class and IASIO's IID.
inline constexpr CLSID CLSID_KorvexAsio = {0x029A27F2, 0xF2C8, 0x4892, {0xA6, 0x90, 0xC7, 0x10, 0xD9, 0x1F, 0x32, 0xB0}};
