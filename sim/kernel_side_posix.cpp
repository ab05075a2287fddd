#include "sim/kernel_side.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace sim::kernel {

// The default 50 µs timer slack would add to every deadline.
void PrepareClockThread() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

void SleepTowards(uint64_t deadlineNs, uint64_t nowNs, uint64_t sliceNs) {
    const uint64_t until = std::min(deadlineNs, nowNs + sliceNs);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(until / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(until % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace sim::kernel
