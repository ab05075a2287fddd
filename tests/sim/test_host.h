// A small ASIO host for the driver's sim tests: it hands the driver a
// callback table, answers the two timing questions as told, and records
// every buffer switch it receives, with what the driver reported at that
// moment. It can answer each half with outputReady (once, twice or not at
// all), block inside a callback, stop (and try to start) the stream from
// inside one, or drop its last reference to the driver there.
//
// ASIO callbacks are plain function pointers, so the table's entries reach
// the host through one process-wide "current host"; a test has one host.
// The stream thread writes the records under a mutex into storage reserved
// up front, so recording allocates nothing on that thread.
#pragma once

#include "asio/com/exports.h"
#include "asio/driver/asio.h"
#include "platform/posix/kernel.h"
#include "sim/card.h"
#include "tests/sim/driver_fixture.h"
#include "tests/support/allocation_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

namespace simtest {

inline uint64_t Words(ASIOSamples s) { return (uint64_t{s.hi} << 32) | s.lo; }
inline uint64_t Words(ASIOTimeStamp s) { return (uint64_t{s.hi} << 32) | s.lo; }

// One buffer switch as the host saw it.
struct HostCall {
    bool timeInfo = false;        // bufferSwitchTimeInfo; false: bufferSwitch
    int32_t half = -1;
    ASIOBool directProcess = -1;
    DWORD threadId = 0;
    ASIOSamples position{};       // getSamplePosition inside the callback
    ASIOTimeStamp stamp{};
    const ASIOTime* params = nullptr;
    // From params (time-info callbacks only).
    ASIOSamples infoPosition{};
    ASIOTimeStamp systemTime{};
    double sampleRate = 0.0;
    uint32_t flags = 0;
    double speed = -1.0;
    ASIOSamples timeCodeSamples{};
    uint32_t timeCodeFlags = 0;
    // Allocations of the stream thread since the first callback began (when
    // the host counts them).
    long allocations = 0;
};

struct HostMessage {
    int32_t selector;
    int32_t value;
    void* message;
    double* opt;
};

class TestHost {
public:
    static constexpr size_t kCapacity = 8192;

    TestHost() {
        calls_.reserve(kCapacity);
        Current().store(this, std::memory_order_release);
        table_.bufferSwitch = &BufferSwitch;
        table_.sampleRateDidChange = &SampleRateDidChange;
        table_.asioMessage = &AsioMessage;
        table_.bufferSwitchTimeInfo = &BufferSwitchTimeInfo;
    }
    ~TestHost() { Current().store(nullptr, std::memory_order_release); }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    ASIOCallbacks* table() { return &table_; }
    void Attach(IASIO* driver) { driver_.store(driver, std::memory_order_release); }

    // ---- What the host does (may change between halves) ---------------------
    std::atomic<int32_t> timeInfoAnswer{1};   // to kAsioSupportsTimeInfo
    std::atomic<int32_t> timeCodeAnswer{0};   // to kAsioSupportsTimeCode
    std::atomic<int> outputReadyCalls{1};     // per callback, made inside it
    std::atomic<int> blockInCall{-1};         // callback index (0 = first) that blocks
    std::atomic<DWORD> blockMs{0};
    // Ended by TerminateThread while blocked, the thread runs on for this
    // long and then calls outputReady, as a terminated thread on Windows may
    // run on until its termination completes. -1: it just ends.
    std::atomic<int> lingerMsWhenTerminated{-1};
    std::atomic<int> stopInCall{-1};          // callback index that calls stop
    std::atomic<bool> startAfterStop{false};  // and then start, from the same callback
    std::atomic<int> releaseInCall{-1};       // callback index that releases the driver (after any stop)
    std::atomic<bool> countAllocations{false};

    // Results of the calls made from inside a callback.
    std::atomic<ASIOError> stopResult{1};
    std::atomic<ASIOError> startResult{1};
    std::atomic<int64_t> stopMicroseconds{-1};
    std::atomic<int> sampleRateChanges{0};
    std::atomic<ULONG> releaseResult{~0u};
    std::atomic<HRESULT> canUnloadAfterRelease{E_FAIL};  // DllCanUnloadNow right after that Release
    std::atomic<double> lastRateChange{0.0};

    // ---- What the host saw --------------------------------------------------
    std::vector<HostCall> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    size_t CallCount() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    // Waits until `count` callbacks have been recorded.
    bool WaitCalls(size_t count, DWORD milliseconds = 2000) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [&] { return calls_.size() >= count; });
    }
    std::vector<HostMessage> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    void ClearMessages() {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }
    size_t overflow() const {
        std::lock_guard lock(mutex_);
        return overflow_;
    }

private:
    static std::atomic<TestHost*>& Current() {
        static std::atomic<TestHost*> current{nullptr};
        return current;
    }
    static TestHost& Host() {
        TestHost* host = Current().load(std::memory_order_acquire);
        if (host == nullptr) std::abort();  // a callback with no host alive: the driver kept a stale table
        return *host;
    }

    static void BufferSwitch(int32_t half, ASIOBool directProcess) { Host().OnSwitch(nullptr, half, directProcess); }
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t half, ASIOBool directProcess) {
        Host().OnSwitch(params, half, directProcess);
        return params;
    }
    static void SampleRateDidChange(ASIOSampleRate rate) {
        TestHost& host = Host();
        host.lastRateChange.store(rate);
        host.sampleRateChanges.fetch_add(1);
    }
    static int32_t AsioMessage(int32_t selector, int32_t value, void* message, double* opt) {
        TestHost& host = Host();
        {
            std::lock_guard lock(host.mutex_);
            host.messages_.push_back({selector, value, message, opt});
        }
        if (selector == kAsioSupportsTimeInfo) return host.timeInfoAnswer.load();
        if (selector == kAsioSupportsTimeCode) return host.timeCodeAnswer.load();
        return 0;
    }

    void OnSwitch(ASIOTime* params, int32_t half, ASIOBool directProcess) {
        IASIO* driver = driver_.load(std::memory_order_acquire);
        const bool count = countAllocations.load();
        HostCall call;
        call.allocations = count ? testsupport::ThisThreadsAllocations() : 0;
        call.timeInfo = params != nullptr;
        call.half = half;
        call.directProcess = directProcess;
        call.threadId = GetCurrentThreadId();
        if (driver != nullptr) driver->getSamplePosition(&call.position, &call.stamp);
        if (params != nullptr) {
            // Read as a host reads it; the rate and flags may change under a
            // concurrent setSampleRate, so those two are read atomically.
            AsioTimeInfo& info = params->timeInfo;
            call.params = params;
            call.infoPosition = info.samplePosition;
            call.systemTime = info.systemTime;
            call.sampleRate = std::atomic_ref<double>(info.sampleRate).load(std::memory_order_relaxed);
            call.flags = std::atomic_ref<uint32_t>(info.flags).load(std::memory_order_relaxed);
            call.speed = info.speed;
            call.timeCodeSamples = params->timeCode.timeCodeSamples;
            call.timeCodeFlags = params->timeCode.flags;
        }

        int index = 0;
        {
            std::lock_guard lock(mutex_);
            index = static_cast<int>(calls_.size() + overflow_);
            if (calls_.size() < kCapacity) {
                calls_.push_back(call);
            } else {
                ++overflow_;
            }
        }
        // The first callback starts the count; every later one reads it.
        if (count && index == 0) testsupport::CountThisThreadsAllocations(true);
        changed_.notify_all();

        if (index == blockInCall.load()) Block(driver);
        if (index == stopInCall.load() && driver != nullptr) {
            const auto begin = std::chrono::steady_clock::now();
            stopResult.store(driver->stop());
            stopMicroseconds.store(
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin)
                    .count());
            if (startAfterStop.load()) startResult.store(driver->start());
        }
        if (index == releaseInCall.load() && driver != nullptr) {
            driver_.store(nullptr, std::memory_order_release);
            releaseResult.store(driver->Release());
            canUnloadAfterRelease.store(DllCanUnloadNow());
            return;  // the host holds nothing of the driver any more
        }
        const int answers = outputReadyCalls.load();
        for (int i = 0; i < answers && driver != nullptr; ++i) driver->outputReady();
    }

    // Sleeps as told. A TerminateThread there unwinds the thread through
    // `linger`, which keeps it busy before it lets the thread end.
    void Block(IASIO* driver) {
        struct Linger {
            IASIO* driver;
            int milliseconds;
            bool slept = false;
            ~Linger() {
                if (slept || milliseconds < 0) return;
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
                while (std::chrono::steady_clock::now() < until) {
                }
                if (driver != nullptr) driver->outputReady();
            }
        } linger{driver, lingerMsWhenTerminated.load()};
        Sleep(blockMs.load());
        linger.slept = true;
    }

    ASIOCallbacks table_{};
    std::atomic<IASIO*> driver_{nullptr};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<HostCall> calls_;
    size_t overflow_ = 0;
    std::vector<HostMessage> messages_;
};

// A driver object on a machine with one card whose clock the test steps,
// with a test host, and tidy-up of the process-wide switches tests turn.
class HostedDriverTest : public DriverTest {
protected:
    void TearDown() override {
        DriverTest::TearDown();
        kwin::SetTimeGetTimeOverride(std::nullopt);
        kwin::SetAvrtPresent(true);
        kwin::ClearInjectedFailures();
    }

    // Adds the card, makes the driver and initialises it as a host does.
    IASIO* OpenDriver(sim::CardModel model = sim::CardModel::Eight, sim::ClockMode clock = sim::ClockMode::Stepped) {
        card = &machine->AddCard({.model = model, .clock = clock});
        return OpenDriverOnCard();
    }
    IASIO* OpenDriverOnCard() {
        driver = CreateDriver();
        if (driver == nullptr) return nullptr;
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        host.Attach(driver);
        return driver;
    }

    // Entries for the given channels: {isInput, channelNum}.
    static std::vector<ASIOBufferInfo> Entries(std::initializer_list<std::pair<ASIOBool, int32_t>> channels) {
        std::vector<ASIOBufferInfo> infos;
        for (auto [isInput, channel] : channels) infos.push_back({isInput, channel, {nullptr, nullptr}});
        return infos;
    }
    ASIOError CreateBuffers(std::vector<ASIOBufferInfo>& infos, int32_t frames) {
        return driver->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), frames, host.table());
    }
    // Buffers for outputs 0 and 1 and input 0, the usual stereo session.
    void CreateStereo(int32_t frames = 256) {
        stereo = Entries({{ASIOFalse, 0}, {ASIOFalse, 1}, {ASIOTrue, 0}});
        ASSERT_EQ(CreateBuffers(stereo, frames), ASE_OK);
    }

    // One stepped half: the card signals it and the host answers in time.
    bool StepHalf() { return card->FireHalf() && card->WaitHostAnswer(2000); }

    korvex::AsioDriver& object() { return Object(driver); }

    TestHost host;  // outlives the driver, which the base releases in TearDown
    sim::Card* card = nullptr;
    IASIO* driver = nullptr;
    std::vector<ASIOBufferInfo> stereo;
};

}  // namespace simtest
