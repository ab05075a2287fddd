// The card's kernel side on Windows: the events are the process's own event
// handles, held by duplicates so that a host closing its handle early does
// not pull the object from under the clock.
#include "sim/kernel_side.h"

namespace sim::kernel {

EventObject::~EventObject() { CloseHandle(handle); }

EventRef ReferenceEvent(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    auto event = std::make_shared<EventObject>(duplicate);  // owns the duplicate from here
    return event;
}

void SignalEvent(const EventRef& event) {
    if (event) SetEvent(event->handle);
}

bool TryConsumeEvent(const EventRef& event) {
    return event && WaitForSingleObject(event->handle, 0) == WAIT_OBJECT_0;
}

bool WaitEvent(const EventRef& event, DWORD milliseconds) {
    return event && WaitForSingleObject(event->handle, milliseconds) == WAIT_OBJECT_0;
}

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;
// Below this the clock yields instead of sleeping another millisecond.
constexpr uint64_t kYieldBelowNs = 500'000;

// The clock thread's 1 ms timer period, ended with the thread.
struct ClockPeriod {
    bool begun = false;
    ~ClockPeriod() {
        if (begun) timeEndPeriod(1);
    }
};
thread_local ClockPeriod clockPeriod;

}  // namespace

// Above normal, not time-critical: the clock sleeps between deadlines and
// must not take the processor from the driver's stream thread.
void PrepareClockThread() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
    if (!clockPeriod.begun) clockPeriod.begun = timeBeginPeriod(1) == TIMERR_NOERROR;
}

// Whole milliseconds are slept; a remainder of half a millisecond or more
// costs one more millisecond (the signal comes less than half a millisecond
// late), a shorter one is yielded away. Under Wine 8, Sleep sleeps in the
// process to within about 0.1 ms, where a waitable timer fires on the Wine
// server's millisecond tick: 0.3 to 1.2 ms after its due time (p50 0.65 ms),
// so that at 2 ms halves one wake in twelve came more than half a period late.
void SleepTowards(uint64_t deadlineNs, uint64_t nowNs, uint64_t sliceNs) {
    uint64_t remaining = deadlineNs - nowNs;
    if (remaining > sliceNs) remaining = sliceNs;
    if (remaining >= kNsPerMs) {
        Sleep(static_cast<DWORD>(remaining / kNsPerMs));
    } else if (remaining >= kYieldBelowNs) {
        Sleep(1);
    } else {
        SwitchToThread();
    }
}

}  // namespace sim::kernel
