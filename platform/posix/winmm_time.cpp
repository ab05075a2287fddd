// timeGetTime with its test override, and the counted timer periods.
#include "platform/posix/faults.h"
#include "platform/posix/kernel.h"

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>

namespace kwin {
namespace {

// Bit 32 says an override is set; the low 32 bits hold it. One word, so the
// real-time readers never see half an update.
constexpr uint64_t kOverrideSet = uint64_t{1} << 32;
std::atomic<uint64_t> timeOverride{0};

struct TimerPeriods {
    std::mutex mutex;
    std::map<UINT, int> active;  // period -> begins minus ends
    int beginCalls = 0;
};
TimerPeriods& Periods() {
    static auto* periods = new TimerPeriods;  // never destroyed: threads may outlive main
    return *periods;
}

// What the multimedia timer allows, in milliseconds.
constexpr UINT kMinPeriod = 1;
constexpr UINT kMaxPeriod = 1000000;

}  // namespace

void SetTimeGetTimeOverride(std::optional<DWORD> milliseconds) {
    timeOverride.store(milliseconds ? (kOverrideSet | *milliseconds) : 0, std::memory_order_release);
}

int ActiveTimerPeriods() {
    std::lock_guard lock(Periods().mutex);
    int sum = 0;
    for (const auto& [period, count] : Periods().active) sum += count;
    return sum;
}

int TimerPeriodBeginCalls() {
    std::lock_guard lock(Periods().mutex);
    return Periods().beginCalls;
}

}  // namespace kwin

extern "C" DWORD WINAPI timeGetTime(void) {
    uint64_t override = kwin::timeOverride.load(std::memory_order_acquire);
    if (override & kwin::kOverrideSet) return static_cast<DWORD>(override);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);  // wraps after 49.7 days, as on Windows
}

// Every call is counted, also one that fails.
extern "C" MMRESULT WINAPI timeBeginPeriod(UINT period) {
    auto& periods = kwin::Periods();
    {
        std::lock_guard lock(periods.mutex);
        ++periods.beginCalls;
    }
    if (kwin::ShouldFail("timeBeginPeriod")) return TIMERR_NOCANDO;
    if (period < kwin::kMinPeriod || period > kwin::kMaxPeriod) return TIMERR_NOCANDO;
    std::lock_guard lock(periods.mutex);
    ++periods.active[period];
    return TIMERR_NOERROR;
}

extern "C" MMRESULT WINAPI timeEndPeriod(UINT period) {
    if (kwin::ShouldFail("timeEndPeriod")) return TIMERR_NOCANDO;
    auto& periods = kwin::Periods();
    std::lock_guard lock(periods.mutex);
    auto it = periods.active.find(period);
    if (it == periods.active.end()) return TIMERR_NOCANDO;  // no matching timeBeginPeriod
    if (--it->second == 0) periods.active.erase(it);
    return TIMERR_NOERROR;
}
