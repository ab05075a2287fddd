// A client of the card's control channel for the sim tests: opens the card
// with CreateFileW and sends hand-built KSPROPERTY requests with
// DeviceIoControl, as a user-mode driver does.
#pragma once

#include "platform/win32.h"
#include "platform/posix/kernel.h"
#include "sim/card.h"
#include "sim/devctl.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace simtest {

// Fails the test when a handle is left open or closed twice.
class LeakCheck : public testing::Test {
protected:
    void SetUp() override { baseline_ = kwin::OpenHandles(); }
    void TearDown() override { EXPECT_EQ(kwin::OpenHandles(), baseline_) << "handles left open"; }

private:
    kwin::HandleCounts baseline_;
};

// ERROR_SUCCESS or GetLastError of a failed DeviceIoControl.
inline DWORD Request(HANDLE file, uint32_t id, uint32_t flags, void* value, DWORD length) {
    KSPROPERTY header = sim::devctl::MakeHeader(id, flags);
    DWORD returned = 0;
    if (DeviceIoControl(file, IOCTL_KS_PROPERTY, &header, sizeof header, value, length, &returned, nullptr)) {
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

class CardFile {
public:
    explicit CardFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr)) {}
    explicit CardFile(const sim::Card& card) : CardFile(card.InterfacePath(1)) {}
    ~CardFile() { Close(); }
    CardFile(const CardFile&) = delete;
    CardFile& operator=(const CardFile&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }
    void Close() {
        if (IsOpen()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    DWORD Get(uint32_t id, void* value, DWORD length) { return Request(handle_, id, KSPROPERTY_TYPE_GET, value, length); }
    DWORD Set(uint32_t id, const void* value, DWORD length) {
        return Request(handle_, id, KSPROPERTY_TYPE_SET, const_cast<void*>(value), length);
    }

    DWORD InUse(uint8_t* byte) { return Get(sim::devctl::kInUse, byte, 1); }
    DWORD Claim(uint8_t take) { return Set(sim::devctl::kClaim, &take, 1); }
    DWORD Control(const sim::devctl::ControlBlock& block) {
        return Set(sim::devctl::kControl, block.data(), static_cast<DWORD>(block.size()));
    }
    DWORD BufferSize(int32_t frames) {
        sim::devctl::ControlBlock block{};
        block[0] = sim::devctl::kCmdBufferSize;
        std::memcpy(&block[sim::devctl::kBufferFramesOffset], &frames, 4);
        return Control(block);
    }
    DWORD Rate(int32_t hz) {
        sim::devctl::ControlBlock block{};
        block[0] = sim::devctl::kCmdSampleRate;
        std::memcpy(&block[sim::devctl::kRateOffset], &hz, 4);
        return Control(block);
    }
    // Enables: outputs 0..7, then inputs 0..1.
    DWORD Channels(const sim::devctl::Enables& enables) {
        sim::devctl::ControlBlock block{};
        block[0] = sim::devctl::kCmdChannels;
        std::memcpy(&block[sim::devctl::kEnableOffset], enables.data(), enables.size());
        return Control(block);
    }
    DWORD Map(sim::devctl::BufferMap* map) {
        return Get(sim::devctl::kMapBuffers, map->data(), sim::devctl::kBufferMapSize);
    }
    DWORD Unmap(const sim::devctl::BufferMap& map) {
        return Set(sim::devctl::kUnmapBuffers, map.data(), sim::devctl::kBufferMapSize);
    }
    DWORD Events(const std::array<HANDLE, 4>& events) {
        std::array<uint64_t, 4> values;
        for (size_t i = 0; i < 4; ++i) values[i] = reinterpret_cast<uintptr_t>(events[i]);
        return Set(sim::devctl::kEvents, values.data(), sim::devctl::kEventsSize);
    }
    DWORD Stop() { return Set(sim::devctl::kStop, nullptr, 0); }

private:
    HANDLE handle_;
};

// The four events a client registers: half 0 ready, half 1 ready, output 0
// ready, output 1 ready; auto-reset, closed at the end of the scope.
struct StreamEvents {
    StreamEvents() {
        for (auto& event : handles) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~StreamEvents() {
        for (HANDLE event : handles) CloseHandle(event);
    }
    StreamEvents(const StreamEvents&) = delete;
    StreamEvents& operator=(const StreamEvents&) = delete;
    HANDLE halfReady(int half) const { return handles[half]; }
    HANDLE outputReady(int half) const { return handles[2 + half]; }
    std::array<HANDLE, 4> handles{};
};

inline sim::devctl::Enables Enable(std::initializer_list<int> channels) {
    sim::devctl::Enables enables{};
    for (int channel : channels) enables[channel] = 1;
    return enables;
}

inline int32_t* Buffer(const sim::devctl::BufferMap& map, int channel) {
    return reinterpret_cast<int32_t*>(static_cast<uintptr_t>(map[channel]));
}

}  // namespace simtest
