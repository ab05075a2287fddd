#include "sim/card_clock.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace sim {
namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
// The longest single sleep, so that a pause never waits long for the thread.
constexpr uint64_t kSleepSliceNs = 4'000'000;

}  // namespace

uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

CardClock::CardClock(size_t stampCapacity)
    : stampCapacity_(std::max<size_t>(stampCapacity, 1)),
      stamps_(std::make_unique<std::atomic<uint64_t>[]>(stampCapacity_)),
      dues_(std::make_unique<std::atomic<uint64_t>[]>(stampCapacity_)),
      checks_(std::make_unique<std::atomic<uint64_t>[]>(stampCapacity_)) {}

CardClock::~CardClock() { PauseThread(); }

void CardClock::Start(const StreamSetup& setup) {
    PauseThread();
    setup_ = setup;
    active_ = true;
    nextHalf_ = 0;
    pending_ = -1;
    late_ = {false, false};
    toneFrame_ = 0;
    // Answers left over from an earlier stream belong to no half of this one.
    for (const auto& event : setup_.outputReady) kernel::TryConsumeEvent(event);
    if (setup_.loopback) {
        // Periods 0 and 1 play what the halves hold at the start.
        setup_.loopback->Reset(setup_.frames);
        for (int half = 0; half < 2; ++half) {
            const int32_t* samples = setup_.buffers[setup_.cable.output];
            if (!samples || !setup_.enables[setup_.cable.output]) samples = nullptr;
            setup_.loopback->Play(static_cast<uint64_t>(half) * setup_.frames,
                                  samples ? samples + static_cast<size_t>(half) * setup_.frames : nullptr,
                                  setup_.frames);
        }
    }
}

void CardClock::Update(const StreamSetup& setup) {
    PauseThread();
    const bool plugged = setup_.loopback == nullptr && setup.loopback != nullptr;
    setup_ = setup;
    // A cable plugged in now carries nothing played before.
    if (setup_.loopback && (plugged || setup_.loopback->frames() != setup_.frames)) {
        setup_.loopback->Reset(setup_.frames);
    }
}

void CardClock::Stop() {
    PauseThread();
    if (active_ && pending_ >= 0 && kernel::TryConsumeEvent(setup_.outputReady[pending_])) AcceptAnswer(pending_);
    pending_ = -1;
    active_ = false;
    setup_ = StreamSetup{};
}

void CardClock::ResumeThread() {
    if (!active_ || thread_.joinable() || setup_.rate == 0 || setup_.frames == 0) return;
    stopThread_.store(false, std::memory_order_relaxed);
    thread_ = std::thread([this] { ThreadMain(); });
}

void CardClock::PauseThread() {
    if (!thread_.joinable()) return;
    stopThread_.store(true, std::memory_order_release);
    thread_.join();
}

bool CardClock::FireHalf() {
    if (!active_ || thread_.joinable()) return false;
    dueNs_ = MonotonicNs();
    Deadline();
    return true;
}

kernel::EventRef CardClock::PendingAnswer(int* half) const {
    *half = pending_;
    return pending_ >= 0 ? setup_.outputReady[pending_] : nullptr;
}

void CardClock::AcceptAnswer(int half) {
    if (half != pending_) return;
    answers_.fetch_add(1, std::memory_order_acq_rel);
    late_[half] = false;  // the host is done with the half
    if (setup_.recorder) setup_.recorder->AppendHalf(setup_.buffers, setup_.enables, half, setup_.frames, false);
    PlayIntoCable(half, false);
    pending_ = -1;
}

// The pending half was signalled at the deadline that began the current
// period, so it plays in the next one.
void CardClock::PlayIntoCable(int half, bool silent) {
    if (!setup_.loopback) return;
    const int output = setup_.cable.output;
    const int32_t* samples = setup_.buffers[output];
    if (silent || !samples || !setup_.enables[output]) samples = nullptr;
    setup_.loopback->Play(toneFrame_ + setup_.frames,
                          samples ? samples + static_cast<size_t>(half) * setup_.frames : nullptr, setup_.frames);
}

// The host has until the next deadline to answer a half.
void CardClock::JudgePending() {
    if (pending_ < 0) return;
    const int half = pending_;
    // The pending half is always the one signalled last.
    const uint64_t sequence = signalled_.load(std::memory_order_relaxed) - 1;
    const bool answered = kernel::TryConsumeEvent(setup_.outputReady[half]);
    checks_[sequence % stampCapacity_].store(MonotonicNs() << 1 | (answered ? 1u : 0u), std::memory_order_relaxed);
    if (answered) {
        AcceptAnswer(half);
        return;
    }
    overruns_.fetch_add(1, std::memory_order_acq_rel);
    late_[half] = true;
    if (setup_.recorder) setup_.recorder->AppendHalf(setup_.buffers, setup_.enables, half, setup_.frames, true);
    PlayIntoCable(half, true);
    pending_ = -1;
}

void CardClock::Deadline() {
    JudgePending();
    const int half = nextHalf_;
    // A late answer to this half's previous round clears the way; without
    // it the host may still be reading the half, so its inputs stay as they are.
    if (late_[half] && kernel::TryConsumeEvent(setup_.outputReady[half])) late_[half] = false;
    if (!late_[half]) {
        for (int input = 0; input < devctl::kInputChannels; ++input) {
            const int channel = devctl::kOutputChannels + input;
            int32_t* buffer = setup_.buffers[channel];
            if (!buffer || !setup_.enables[channel]) continue;
            int32_t* out = buffer + static_cast<size_t>(half) * setup_.frames;
            if (setup_.loopback && setup_.cable.input == input) {
                setup_.loopback->Capture(toneFrame_, out, setup_.frames);
            } else {
                FillTone(setup_.tone, setup_.rate, toneFrame_, out, setup_.frames);
            }
        }
    }
    toneFrame_ += setup_.frames;
    Signal(half);
    pending_ = half;
    nextHalf_ = half ^ 1;
}

void CardClock::Signal(int half) {
    const uint64_t sequence = signalled_.load(std::memory_order_relaxed);
    const uint64_t now = MonotonicNs();
    stamps_[sequence % stampCapacity_].store(now << 1 | static_cast<uint64_t>(half), std::memory_order_relaxed);
    dues_[sequence % stampCapacity_].store(dueNs_, std::memory_order_relaxed);
    checks_[sequence % stampCapacity_].store(0, std::memory_order_relaxed);
    lastNs_[half].store(now, std::memory_order_relaxed);
    signalled_.store(sequence + 1, std::memory_order_release);
    kernel::SignalEvent(setup_.halfReady[half]);
}

uint64_t CardClock::LastSignalNs(int half) const {
    return (half == 0 || half == 1) ? lastNs_[half].load(std::memory_order_acquire) : 0;
}

std::optional<HalfStamp> CardClock::Stamp(uint64_t sequence) const {
    if (sequence >= signalled_.load(std::memory_order_acquire)) return std::nullopt;
    const uint64_t value = stamps_[sequence % stampCapacity_].load(std::memory_order_relaxed);
    // Overwritten meanwhile by a newer half?
    if (sequence + stampCapacity_ < signalled_.load(std::memory_order_acquire)) return std::nullopt;
    const uint64_t due = dues_[sequence % stampCapacity_].load(std::memory_order_relaxed);
    const uint64_t check = checks_[sequence % stampCapacity_].load(std::memory_order_relaxed);
    return HalfStamp{sequence, static_cast<int>(value & 1), value >> 1, due, check >> 1, (check & 1) != 0};
}

// Deadlines are absolute and computed from the start, so the pace does not
// drift however late a single wake is. A card's clock never sets two halves
// back to back: a wake more than half a period late serves its deadline and
// skips the next ones that are less than half a period away (each a late
// signal of the simulated clock, seen as a gap in the stamps' deadlines).
void CardClock::ThreadMain() {
    kernel::PrepareClockThread();
    const uint64_t start = MonotonicNs();
    const uint64_t rate = static_cast<uint64_t>(setup_.rate);
    const uint64_t frames = static_cast<uint64_t>(setup_.frames);
    // Nanoseconds that `total` frames take, exactly (floor), without a
    // product that could overflow 64 bits (x86 has no 128-bit integers).
    const auto framesNs = [rate](uint64_t total) {
        return total / rate * kNsPerSecond + total % rate * kNsPerSecond / rate;
    };
    const uint64_t halfPeriod = frames * kNsPerSecond / rate / 2;
    uint64_t elapsed = 0;  // frames
    for (;;) {
        elapsed += frames;
        dueNs_ = start + framesNs(elapsed);
        if (!SleepUntil(dueNs_)) return;
        const uint64_t now = MonotonicNs();
        while (start + framesNs(elapsed + frames) < now + halfPeriod) elapsed += frames;
        Deadline();
    }
}

bool CardClock::SleepUntil(uint64_t deadlineNs) {
    for (;;) {
        if (stopThread_.load(std::memory_order_acquire)) return false;
        const uint64_t now = MonotonicNs();
        if (now >= deadlineNs) return true;
        kernel::SleepTowards(deadlineNs, now, kSleepSliceNs);
    }
}

}  // namespace sim
