// The card's lifetime, what tests set and read, and its clock. The requests
// themselves are handled in card_requests.cpp.
#include "sim/card.h"

#include "sim/card_mapping.h"
#include "sim/device_paths.h"
#include "sim/wav.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sim {

Card::Card(const CardConfig& config, std::wstring instanceId, std::vector<std::wstring> hardwareIds)
    : config_(config),
      instanceId_(std::move(instanceId)),
      hardwareIds_(std::move(hardwareIds)),
      rate_(config.sampleRate),
      bufferMs_(config.bufferMs),
      openError_(config.openError),
      mode_(config.clock),
      tone_(config.tone),
      clock_(config.stampCapacity) {
    SetLoopback(config.loopback);
}

Card::~Card() {
    std::lock_guard lock(mutex_);
    clock_.Stop();
}

std::wstring Card::InterfacePath(int index) const { return sim::InterfacePath(instanceId_, KSCATEGORY_AUDIO, index); }

DWORD Card::Create(uint64_t fileId) {
    std::lock_guard lock(mutex_);
    if (removed_) return ERROR_FILE_NOT_FOUND;
    if (openError_ != ERROR_SUCCESS) return openError_;
    openFiles_.insert(fileId);
    return ERROR_SUCCESS;
}

// Like a driver's cleanup of a file object: what the open held goes with it.
void Card::Close(uint64_t fileId) {
    std::vector<std::unique_ptr<Mapping>> freed;  // after the clock has let go of them
    std::lock_guard lock(mutex_);
    openFiles_.erase(fileId);
    if (claimedBy_ == fileId) claimedBy_.reset();
    if (eventsRegistered_ && eventsOwner_ == fileId) StopStreamLocked();
    for (auto it = mappings_.begin(); it != mappings_.end();) {
        if ((*it)->owner == fileId) {
            freed.push_back(std::move(*it));
            it = mappings_.erase(it);
        } else {
            ++it;
        }
    }
    if (!freed.empty()) ApplyStreamLocked(false);
}

void Card::SetSampleRate(uint32_t hz) {
    std::lock_guard lock(mutex_);
    rate_ = hz;
    ApplyStreamLocked(false);
}

void Card::SetBufferMs(uint32_t ms) {
    std::lock_guard lock(mutex_);
    bufferMs_ = ms;
}

void Card::RefuseRateChange(bool refuse, DWORD error) {
    std::lock_guard lock(mutex_);
    refuseRate_ = refuse;
    refuseRateError_ = error;
}

void Card::SetOpenError(DWORD error) {
    std::lock_guard lock(mutex_);
    openError_ = error;
}

void Card::FailRequest(uint32_t propertyId, DWORD error, int count) {
    std::lock_guard lock(mutex_);
    if (count == 0 || count < kAlways) return;
    failures_.push_back({propertyId, error, count});
}

void Card::ClearRequestFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void Card::MarkRemoved() {
    std::lock_guard lock(mutex_);
    removed_ = true;
    streaming_ = false;
    clock_.Stop();
}

std::vector<CardRequest> Card::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void Card::ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::vector<uint32_t> Card::RequestIds() const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> ids;
    for (const auto& request : requests_) ids.push_back(request.id);
    return ids;
}

size_t Card::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::optional<uint64_t> Card::ClaimedBy() const {
    std::lock_guard lock(mutex_);
    return claimedBy_;
}

int Card::OpenFiles() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(openFiles_.size());
}

uint32_t Card::SampleRate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

uint32_t Card::BufferMs() const {
    std::lock_guard lock(mutex_);
    return bufferMs_;
}

uint32_t Card::BufferFrames() const {
    std::lock_guard lock(mutex_);
    return bufferFrames_;
}

devctl::Enables Card::ChannelEnables() const {
    std::lock_guard lock(mutex_);
    return enables_;
}

bool Card::Streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

devctl::BufferMap Card::MappedBuffers() const {
    std::lock_guard lock(mutex_);
    return mappings_.empty() ? devctl::BufferMap{} : mappings_.back()->Addresses();
}

int Card::Mappings() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(mappings_.size());
}

std::optional<devctl::ControlBlock> Card::LastControlBlock() const {
    std::lock_guard lock(mutex_);
    return lastControl_;
}

bool Card::EventsRegistered() const {
    std::lock_guard lock(mutex_);
    return eventsRegistered_;
}

std::array<uint64_t, 4> Card::RegisteredEventHandles() const {
    std::lock_guard lock(mutex_);
    return eventHandles_;
}

// ---- Clock -----------------------------------------------------------------

StreamSetup Card::SetupLocked() {
    StreamSetup setup;
    setup.halfReady = {events_[0], events_[1]};
    setup.outputReady = {events_[2], events_[3]};
    setup.rate = rate_;
    setup.enables = enables_;
    setup.tone = tone_;
    setup.recorder = recorder_.Enabled() ? &recorder_ : nullptr;
    if (cable_) {
        setup.loopback = &loopback_;
        setup.cable = *cable_;
    }
    if (!mappings_.empty()) {
        const Mapping& mapping = *mappings_.back();
        setup.frames = mapping.frames;
        for (int c = 0; c < devctl::kChannels; ++c) setup.buffers[c] = mapping.buffers[c].get();
    } else {
        // Without buffers the clock still keeps time, at the length last asked for.
        setup.frames = bufferFrames_ ? bufferFrames_ : std::max<uint32_t>(1, rate_ / 1000 * bufferMs_);
    }
    return setup;
}

void Card::ApplyStreamLocked(bool newStream) {
    if (!streaming_) {
        clock_.Stop();
        return;
    }
    if (newStream || !clock_.Active()) {
        clock_.Start(SetupLocked());
    } else {
        clock_.Update(SetupLocked());
    }
    if (mode_ == ClockMode::RealTime) clock_.ResumeThread();
}

void Card::SetClockMode(ClockMode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    clock_.PauseThread();
    if (mode_ == ClockMode::RealTime) clock_.ResumeThread();
}

ClockMode Card::clockMode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

bool Card::FireHalf() {
    std::lock_guard lock(mutex_);
    if (mode_ != ClockMode::Stepped) return false;
    return clock_.FireHalf();
}

bool Card::WaitHostAnswer(DWORD milliseconds) {
    kernel::EventRef answer;
    int half = -1;
    {
        std::lock_guard lock(mutex_);
        if (mode_ != ClockMode::Stepped) return false;
        answer = clock_.PendingAnswer(&half);
    }
    if (!answer || !kernel::WaitEvent(answer, milliseconds)) return false;
    std::lock_guard lock(mutex_);
    int stillPending = -1;
    if (clock_.PendingAnswer(&stillPending) == answer && stillPending == half) clock_.AcceptAnswer(half);
    return true;
}

bool Card::WaitHalves(uint64_t count, DWORD milliseconds) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (clock_.HalvesSignalled() < count) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

int Card::NextHalf() const {
    std::lock_guard lock(mutex_);
    return clock_.NextHalf();
}

void Card::SetTone(const ToneConfig& tone) {
    std::lock_guard lock(mutex_);
    tone_ = tone;
    ApplyStreamLocked(false);
}

bool Card::SetLoopback(std::optional<LoopbackCable> cable) {
    if (cable && (cable->output < 0 || cable->output >= devctl::kOutputChannels || cable->input < 0 ||
                  cable->input >= devctl::kInputChannels)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    clock_.PauseThread();
    cable_ = cable;
    ApplyStreamLocked(false);
    return true;
}

std::optional<LoopbackCable> Card::Loopback() const {
    std::lock_guard lock(mutex_);
    return cable_;
}

ToneConfig Card::Tone() const {
    std::lock_guard lock(mutex_);
    return tone_;
}

// ---- Recording ---------------------------------------------------------------

void Card::StartRecording(size_t capacityFrames) {
    std::lock_guard lock(mutex_);
    clock_.PauseThread();
    recorder_.Reset(capacityFrames);
    ApplyStreamLocked(false);
}

void Card::StopRecording() { StartRecording(0); }

size_t Card::RecordedFrames() const {
    std::lock_guard lock(mutex_);
    return recorder_.Frames();
}

std::vector<int32_t> Card::RecordedOutput(int output) const {
    std::lock_guard lock(mutex_);
    return recorder_.Output(output);
}

bool Card::SaveRecording(const std::string& path, std::vector<int> outputs, uint16_t bitsPerSample) const {
    std::vector<std::vector<int32_t>> channels;
    uint32_t rate = 0;
    {
        std::lock_guard lock(mutex_);
        if (outputs.empty()) {
            for (int o = 0; o < devctl::kOutputChannels; ++o) {
                if (enables_[o]) outputs.push_back(o);
            }
        }
        for (int output : outputs) channels.push_back(recorder_.Output(output));
        rate = rate_;
    }
    if (channels.empty()) return false;
    size_t frames = channels[0].size();
    for (const auto& channel : channels) frames = std::min(frames, channel.size());
    std::vector<int32_t> interleaved;
    interleaved.reserve(frames * channels.size());
    for (size_t f = 0; f < frames; ++f) {
        for (const auto& channel : channels) interleaved.push_back(channel[f]);
    }
    return WriteWav(path, rate, static_cast<uint16_t>(channels.size()), bitsPerSample, interleaved);
}

}  // namespace sim
