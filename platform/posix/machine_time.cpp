// The machine's clock: real time, or real time run faster by a factor that a
// test sets, so that bounds of tens of seconds pass in a fraction of that.
// Timed waits, Sleep, GetTickCount64, the service manager's bound on a
// control handler and the time after which a window's thread counts as hung
// are all measured on it; timeGetTime is not (the card's clock and the
// stream keep to real time).
#include "platform/posix/faults.h"
#include "platform/posix/kernel.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace kwin {
namespace {

std::atomic<DWORD> scale{1};

ULONGLONG RealMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000u;
}

struct ClockState {
    std::mutex mutex;
    ULONGLONG machineAtChange = 0;                   // machine milliseconds when the factor last changed
    ULONGLONG realAtChange = RealMicroseconds();     // real microseconds then
};
ClockState& Clock() {
    static auto* state = new ClockState;  // never destroyed: threads may outlive main
    return *state;
}

ULONGLONG MachineMillisecondsLocked(ClockState& state) {
    const ULONGLONG realElapsedUs = RealMicroseconds() - state.realAtChange;
    return state.machineAtChange + realElapsedUs * scale.load(std::memory_order_relaxed) / 1000u;
}

}  // namespace

void SetTimeScale(DWORD factor) {
    ClockState& state = Clock();
    std::lock_guard lock(state.mutex);
    state.machineAtChange = MachineMillisecondsLocked(state);
    state.realAtChange = RealMicroseconds();
    scale.store(factor == 0 ? 1 : factor, std::memory_order_relaxed);
}

DWORD TimeScale() { return scale.load(std::memory_order_relaxed); }

ULONGLONG MachineMilliseconds() {
    ClockState& state = Clock();
    std::lock_guard lock(state.mutex);
    return MachineMillisecondsLocked(state);
}

// Safe for real time: no lock, no allocation.
DWORD RealMillisecondsFor(DWORD machineMilliseconds) {
    if (machineMilliseconds == INFINITE || machineMilliseconds == 0) return machineMilliseconds;
    const DWORD factor = scale.load(std::memory_order_relaxed);
    return factor <= 1 ? machineMilliseconds : (machineMilliseconds + factor - 1) / factor;
}

}  // namespace kwin

extern "C" ULONGLONG WINAPI GetTickCount64(void) { return kwin::MachineMilliseconds(); }
