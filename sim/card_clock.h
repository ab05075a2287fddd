// The card's sample clock: at each half-buffer deadline it judges the host's
// answer to the previous half, fills the next half of the inputs with the
// test tone (or what a loopback cable brings back) and sets that half's ready
// event. It runs on its own thread at the pace of the sample rate, or one
// deadline per FireHalf under a test.
//
// The card's timeline, in periods of one half (F frames) from the start of
// the stream: during period m the card plays half m % 2 of the outputs and
// records half m % 2 of the inputs. Deadline m ends period m: the half's
// inputs are complete, its outputs have been played, and its ready event
// lets the host read the one and refill the other. The host does so during
// period m + 1, while the card works on the other half, and the card plays
// what it wrote in period m + 2. So:
//   - the first frame of an input half is one block (F) old when the host
//     gets it;
//   - the half the host fills starts to sound one block after its buffer
//     switch, however early outputReady comes: the card is busy with the
//     other half until then and never starts a half sooner. An answer that
//     misses the deadline ending period m + 1 finds the half due to play,
//     and the card plays it silent.
// With a loopback cable (LoopbackLine) the analog path adds 15 frames on the
// way out and 71 on the way in, so what the host writes as its n-th output
// frame (counting from the first buffer switch) comes back as its
// (n + 2F + 86)-th input frame: input latency F + 71 plus output latency F + 15.
//
// The card serialises every call here with its own lock; the real-time
// thread is stopped (PauseThread) before any state below changes.
#pragma once

#include "sim/kernel_side.h"
#include "sim/devctl.h"
#include "sim/loopback_line.h"
#include "sim/recorder.h"
#include "sim/tone.h"

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>

namespace sim {

// What the clock works with while it runs; it does not change under it.
struct StreamSetup {
    std::array<kernel::EventRef, 2> halfReady;    // set by the card
    std::array<kernel::EventRef, 2> outputReady;  // set by the host
    std::array<int32_t*, devctl::kChannels> buffers{};  // the mapped double buffers, null without a mapping
    uint32_t frames = 0;                        // per half
    uint32_t rate = 0;                          // Hz
    devctl::Enables enables{};
    ToneConfig tone;
    OutputRecorder* recorder = nullptr;         // null: not recording
    LoopbackLine* loopback = nullptr;           // null: no cable plugged in
    LoopbackCable cable{};                      // where the cable goes
};

struct HalfStamp {
    uint64_t sequence = 0;  // 0 for the first half the card ever signalled
    int half = 0;
    uint64_t ns = 0;        // CLOCK_MONOTONIC when the ready event was set
    uint64_t dueNs = 0;     // the clock's deadline for the signal (the set time in stepped mode)
    uint64_t checkNs = 0;   // when the card judged the host's answer; 0 while not judged
    bool answered = false;  // the answer was there at that check
};

class CardClock {
public:
    explicit CardClock(size_t stampCapacity);
    ~CardClock();
    CardClock(const CardClock&) = delete;
    CardClock& operator=(const CardClock&) = delete;

    // A new stream: the next half is 0 and the tone starts at frame 0.
    void Start(const StreamSetup& setup);
    // The same stream with a new setup: halves and tone continue.
    void Update(const StreamSetup& setup);
    // Ends the stream. An answer already given to the last half is recorded.
    void Stop();
    bool Active() const { return active_; }

    // The real-time thread; ResumeThread needs an active stream.
    void ResumeThread();
    void PauseThread();

    // One deadline, now (stepped mode; the thread must be paused).
    bool FireHalf();
    // The host-answer event of the half signalled last and not yet judged.
    kernel::EventRef PendingAnswer(int* half) const;
    // Takes an answer that the caller consumed from PendingAnswer's event.
    void AcceptAnswer(int half);
    int NextHalf() const { return nextHalf_; }

    uint64_t HalvesSignalled() const { return signalled_.load(std::memory_order_acquire); }
    uint64_t Overruns() const { return overruns_.load(std::memory_order_acquire); }
    uint64_t Answers() const { return answers_.load(std::memory_order_acquire); }
    uint64_t LastSignalNs(int half) const;
    // The stamp of a signalled half while it is among the last stampCapacity.
    std::optional<HalfStamp> Stamp(uint64_t sequence) const;
    size_t StampCapacity() const { return stampCapacity_; }

private:
    void Deadline();
    void JudgePending();
    // The half the host answered (or failed to) goes into the cable as the
    // card plays it, two periods after it was signalled.
    void PlayIntoCable(int half, bool silent);
    void Signal(int half);
    void ThreadMain();
    bool SleepUntil(uint64_t deadlineNs);

    StreamSetup setup_;
    bool active_ = false;
    int nextHalf_ = 0;
    int pending_ = -1;                       // signalled, answer not yet judged
    std::array<bool, 2> late_{false, false};  // answer missed its deadline and has not come yet
    uint64_t toneFrame_ = 0;                  // card frames clocked since the start: period m starts at m * F

    std::thread thread_;
    std::atomic<bool> stopThread_{false};

    std::atomic<uint64_t> signalled_{0};
    std::atomic<uint64_t> overruns_{0};
    std::atomic<uint64_t> answers_{0};
    std::array<std::atomic<uint64_t>, 2> lastNs_{};
    const size_t stampCapacity_;
    std::unique_ptr<std::atomic<uint64_t>[]> stamps_;  // ns << 1 | half, by sequence modulo capacity
    // Where each half's time went, for the benchmark; same indexing as stamps_.
    uint64_t dueNs_ = 0;                               // the deadline being served
    std::unique_ptr<std::atomic<uint64_t>[]> dues_;    // dueNs
    std::unique_ptr<std::atomic<uint64_t>[]> checks_;  // checkNs << 1 | answered, 0 while not judged
};

uint64_t MonotonicNs();

}  // namespace sim
