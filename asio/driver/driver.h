// AsioDriver: the one COM class of the library. It finds the supported cards
// at construction, claims the first, and drives it through IASIO.
//
// Threads: the host's threads call IASIO; one stream thread exists from start
// to stop. They share plain fields and hand off through eight auto-reset
// events; there is no lock. Fields that both threads touch are atomics with
// relaxed order (the events give the ordering).
#pragma once

#include "asio/com/aggregatable_unknown.h"
#include "asio/driver/asio.h"
#include "asio/driver/devctl.h"

#include <atomic>
#include <cstdint>

namespace korvex {

struct DeviceEntry {
    HANDLE device;   // as CreateFileW returned it; null when never filled
    WCHAR* instanceId;  // owned; null when never filled
};

// Two 32-bit words, written by the stream thread and read by any thread.
struct AtomicWords {
    std::atomic<uint32_t> hi{0};
    std::atomic<uint32_t> lo{0};
    void Store(uint64_t value) {
        hi.store(static_cast<uint32_t>(value >> 32), std::memory_order_relaxed);
        lo.store(static_cast<uint32_t>(value), std::memory_order_relaxed);
    }
};

class AsioDriver final : public IASIO, public AggregatableUnknown {
public:
    explicit AsioDriver(IUnknown* outer);
    ~AsioDriver() override;

    // IUnknown of IASIO, forwarded to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;

    // Identity, channels and clock sources (identity.cpp).
    ASIOBool KORVEX_THISCALL init(void* sysHandle) override;
    void KORVEX_THISCALL getDriverName(char* name) override;
    int32_t KORVEX_THISCALL getDriverVersion() override;
    void KORVEX_THISCALL getErrorMessage(char* string) override;
    ASIOError KORVEX_THISCALL getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError KORVEX_THISCALL getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError KORVEX_THISCALL getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError KORVEX_THISCALL setClockSource(int32_t reference) override;
    ASIOError KORVEX_THISCALL controlPanel() override;
    ASIOError KORVEX_THISCALL future(int32_t selector, void* opt) override;

    // Sample rate and sizing (rate.cpp).
    ASIOError KORVEX_THISCALL canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError KORVEX_THISCALL getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError KORVEX_THISCALL setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError KORVEX_THISCALL getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                            int32_t* granularity) override;
    ASIOError KORVEX_THISCALL getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;

    // Buffers (buffers.cpp).
    ASIOError KORVEX_THISCALL createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                            ASIOCallbacks* callbacks) override;
    ASIOError KORVEX_THISCALL disposeBuffers() override;

    // Streaming (stream.cpp).
    ASIOError KORVEX_THISCALL start() override;
    ASIOError KORVEX_THISCALL stop() override;
    ASIOError KORVEX_THISCALL outputReady() override;
    ASIOError KORVEX_THISCALL getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;

    // Sends `control` whole to the selected card (devctl.cpp).
    bool SendControlBlock();
    // One property request to the selected card; false when it failed or
    // there is no card to send to (devctl.cpp).
    bool SendProperty(ULONG id, ULONG flags, void* value, ULONG valueSize);

    // The selected card's entry, or null when there is no device table.
    const DeviceEntry* SelectedDevice() const;

protected:
    void Destroy() override;

private:
    void Discover();
    bool CountSupportedDevices();
    bool OpenSupportedDevices();
    void Claim();
    int ModelRow() const;
    void GiveBack();

    static DWORD WINAPI StreamThreadProc(LPVOID parameter);
    void RunStream();
    void HalfStep(int32_t half);
    bool EndStreamThread();

public:
    // The fields, in declaration order. Public to the library's own code and
    // its tests; the host sees only IASIO.
    std::atomic<ASIOCallbacks*> callbacks{nullptr};
    alignas(8) ASIOTime asioTime{};  // 8-aligned so its rate can be stored atomically
    AtomicWords samplePosition;
    std::atomic<double> sampleRate{0.0};
    int32_t bufferMs = 0;
    AtomicWords timeStamp;
    std::atomic<int32_t> timeInfoMode{0};
    std::atomic<int32_t> timeCodeRead{0};
    std::atomic<int32_t> timeCodeSupported{0};
    std::atomic<int32_t> half0Pending{1};
    std::atomic<int32_t> bufferSize{0};
    std::atomic<uint64_t> totalSamples{0};
    void* inputBuffers[2] = {};
    int32_t inputActive[2] = {};
    void* outputBuffers[8] = {};
    int32_t outputActive[8] = {};
    HANDLE streamThread = nullptr;
    // The stream thread's reference on this library, taken by start (which
    // refuses to stream without it); null while there is no stream thread.
    // Given back with the thread's handle, or by the thread itself when it
    // destroys the object (RunStream).
    HMODULE streamModule = nullptr;
    // The stream thread's ID while it runs the stream; it clears it on its
    // way out, so that no later thread that gets the same ID is taken for it.
    std::atomic<DWORD> streamThreadId{0};
    HANDLE stopHalf0Event = nullptr;
    HANDLE half0ReadyEvent = nullptr;
    HANDLE stopHalf1Event = nullptr;
    HANDLE half1ReadyEvent = nullptr;
    HANDLE output0ReadyEvent = nullptr;
    HANDLE output1ReadyEvent = nullptr;
    HANDLE stopOutputEvent = nullptr;
    HANDLE hostOutputEvent = nullptr;
    std::atomic<bool> running{false};
    // The host dropped its last reference from inside its buffer switch: the
    // stream thread destroys the object on its way out. Set on that thread.
    std::atomic<bool> releasedInCallback{false};
    char errorMessage[128] = {};
    DeviceEntry* devices = nullptr;
    int32_t deviceIndex = 0;
    int32_t deviceCount = 0;
    bool notPresent = true;
    HMODULE avrtModule = nullptr;
    AvSetMmThreadCharacteristicsW_t avSetMmThreadCharacteristics = nullptr;
    AvRevertMmThreadCharacteristics_t avRevertMmThreadCharacteristics = nullptr;
    ControlBlock control{};
    // The last rate command was refused: `sampleRate` holds a rate the card
    // does not run at.
    bool rateChangeRefused = false;

    // The eight events in the order in which they are created, reset and closed.
    HANDLE* const events[8] = {&stopHalf0Event,    &half0ReadyEvent,   &stopHalf1Event,  &half1ReadyEvent,
                               &output0ReadyEvent, &output1ReadyEvent, &stopOutputEvent, &hostOutputEvent};
};

// The create function of the class table: a new driver object, or null when
// it could not be allocated. Never writes `result`.
AggregatableUnknown* CreateAsioDriver(IUnknown* outer, HRESULT* result);

}  // namespace korvex
