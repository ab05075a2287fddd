// The card's kernel driver on the simulated machine: the private property
// set of the control channel (claim, rate, buffer length, control block,
// buffer map, events, stop), the DMA buffers, and the sample clock. Every
// request is recorded; any of them can be made to fail.
//
// Thread-safe: the product's threads send requests while a test reads the
// state and steps the clock.
#pragma once

#include "sim/kernel_side.h"
#include "sim/card_clock.h"
#include "sim/card_config.h"
#include "sim/card_request.h"
#include "sim/devctl.h"
#include "sim/recorder.h"

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

inline constexpr DWORD kErrorDeviceRemoved = 1617;
inline constexpr int kAlways = -1;  // FailRequest count: every request from now on

class Card final : public kernel::DeviceDriver {
public:
    Card(const CardConfig& config, std::wstring instanceId, std::vector<std::wstring> hardwareIds);
    ~Card() override;

    const CardConfig& config() const { return config_; }
    const ModelInfo& model() const { return Model(config_.model); }
    const std::wstring& InstanceId() const { return instanceId_; }
    const std::vector<std::wstring>& HardwareIds() const { return hardwareIds_; }
    // The device path of KSCATEGORY_AUDIO interface `index`.
    std::wstring InterfacePath(int index) const;

    // kernel::DeviceDriver
    DWORD Create(uint64_t fileId) override;
    DWORD IoControl(uint64_t fileId, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                    DWORD* bytesReturned) override;
    void Close(uint64_t fileId) override;

    // ---- What the card answers --------------------------------------------
    void SetSampleRate(uint32_t hz);  // also the pace of a running clock
    void SetBufferMs(uint32_t ms);
    // Rate commands fail with `error` while refused (the card cannot switch).
    void RefuseRateChange(bool refuse = true, DWORD error = ERROR_GEN_FAILURE);
    void SetOpenError(DWORD error);  // CreateFileW on the card from now on
    // The next `count` requests of the property (kAlways: all) fail with `error`.
    void FailRequest(uint32_t propertyId, DWORD error, int count = 1);
    void ClearRequestFailures();
    // Taken out of the tree: the clock stops, requests fail with kErrorDeviceRemoved.
    void MarkRemoved();

    // ---- Request log --------------------------------------------------------
    std::vector<CardRequest> Requests() const;
    void ClearRequests();
    std::vector<uint32_t> RequestIds() const;
    size_t RequestCount() const;

    // ---- State --------------------------------------------------------------
    std::optional<uint64_t> ClaimedBy() const;
    int OpenFiles() const;
    uint32_t SampleRate() const;
    uint32_t BufferMs() const;
    uint32_t BufferFrames() const;             // from the last buffer-size command, 0 before
    devctl::Enables ChannelEnables() const;    // of the last channel command
    bool Streaming() const;                    // channels on and events registered
    devctl::BufferMap MappedBuffers() const;   // the latest mapping, zeros without one
    int Mappings() const;
    std::optional<devctl::ControlBlock> LastControlBlock() const;
    bool EventsRegistered() const;
    std::array<uint64_t, 4> RegisteredEventHandles() const;

    // ---- Clock ----------------------------------------------------------------
    void SetClockMode(ClockMode mode);
    ClockMode clockMode() const;
    // Stepped mode: the next half's deadline, now. False when not streaming.
    bool FireHalf();
    // Stepped mode: waits for the host's answer to the half fired last; true
    // when it came within the time.
    bool WaitHostAnswer(DWORD milliseconds);
    // Waits until HalvesSignalled() reaches `count`.
    bool WaitHalves(uint64_t count, DWORD milliseconds) const;
    int NextHalf() const;
    uint64_t HalvesSignalled() const { return clock_.HalvesSignalled(); }
    uint64_t Overruns() const { return clock_.Overruns(); }   // halves the host answered after the next deadline
    uint64_t Answers() const { return clock_.Answers(); }     // halves answered in time
    uint64_t LastSignalNs(int half) const { return clock_.LastSignalNs(half); }
    std::optional<HalfStamp> SignalStamp(uint64_t sequence) const { return clock_.Stamp(sequence); }
    void SetTone(const ToneConfig& tone);
    ToneConfig Tone() const;
    // Plugs a cable from an output into an input (nullopt: pulls it out).
    // Channels outside the card's eight outputs and two inputs are refused.
    bool SetLoopback(std::optional<LoopbackCable> cable);
    std::optional<LoopbackCable> Loopback() const;

    // ---- Recording of the outputs ---------------------------------------------
    // Records up to `capacityFrames` frames of every output from now on.
    void StartRecording(size_t capacityFrames);
    void StopRecording();
    size_t RecordedFrames() const;
    std::vector<int32_t> RecordedOutput(int output) const;
    // The given outputs (empty: those enabled by the last channel command)
    // as a WAV file at the current rate.
    bool SaveRecording(const std::string& path, std::vector<int> outputs = {}, uint16_t bitsPerSample = 32) const;

private:
    struct Mapping;
    struct Failure {
        uint32_t id;
        DWORD error;
        int remaining;  // kAlways: never runs out
    };

    // The checks of a careful kernel driver, then the property's handler.
    DWORD DispatchLocked(const CardRequest& request, const void* in, DWORD inSize, uint8_t* value, DWORD length,
                         DWORD* bytesReturned);
    DWORD HandleLocked(uint64_t fileId, uint32_t id, uint8_t* value, DWORD* bytesReturned);
    DWORD ControlLocked(const uint8_t* block);
    DWORD ChannelsLocked(const uint8_t* block);
    DWORD MapLocked(uint64_t fileId, uint8_t* value);
    DWORD UnmapLocked(const uint8_t* value);
    DWORD EventsLocked(uint64_t fileId, const uint8_t* value);
    void StopStreamLocked();
    bool InjectedFailureLocked(uint32_t id, DWORD* error);
    // Brings the clock in line with the state: started, updated or stopped.
    void ApplyStreamLocked(bool newStream);
    StreamSetup SetupLocked();

    const CardConfig config_;
    const std::wstring instanceId_;
    const std::vector<std::wstring> hardwareIds_;

    mutable std::mutex mutex_;
    std::set<uint64_t> openFiles_;
    std::optional<uint64_t> claimedBy_;
    uint32_t rate_;
    uint32_t bufferMs_;
    uint32_t bufferFrames_ = 0;
    bool refuseRate_ = false;
    DWORD refuseRateError_ = ERROR_GEN_FAILURE;
    DWORD openError_;
    bool removed_ = false;
    devctl::Enables enables_{};
    bool streaming_ = false;
    bool eventsRegistered_ = false;
    uint64_t eventsOwner_ = 0;
    std::array<kernel::EventRef, 4> events_;
    std::array<uint64_t, 4> eventHandles_{};
    std::vector<std::unique_ptr<Mapping>> mappings_;  // the last is the one the clock uses
    std::optional<devctl::ControlBlock> lastControl_;
    std::vector<CardRequest> requests_;
    std::vector<Failure> failures_;
    ClockMode mode_;
    ToneConfig tone_;
    OutputRecorder recorder_;
    std::optional<LoopbackCable> cable_;
    LoopbackLine loopback_;
    CardClock clock_;  // last: stopped before the state it uses goes
};

}  // namespace sim
