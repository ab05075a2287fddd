// What the card's kernel side needs of the system it runs in: references to
// the events a process hands it, the device-driver interface through which
// its files are opened, and an absolute-deadline sleep for its clock.
//
// On Linux these are the simulated machine's (kwin). In the Windows test
// build of the driver with the card inside, the events are the real event
// handles of the process (sim/win32/kernel_side.cpp).
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <memory>

#ifdef _WIN32

namespace sim::kernel {

// A duplicate of the event handle the process gave; closed with the last reference.
struct EventObject {
    explicit EventObject(HANDLE h) : handle(h) {}
    ~EventObject();
    EventObject(const EventObject&) = delete;
    EventObject& operator=(const EventObject&) = delete;
    HANDLE handle;
};
using EventRef = std::shared_ptr<EventObject>;

// Null when the handle is not an open event.
EventRef ReferenceEvent(HANDLE handle);
void SignalEvent(const EventRef& event);
// Consumes the signal if the event is signalled; returns whether it was.
bool TryConsumeEvent(const EventRef& event);
// Waits up to the time given for the event and consumes it; false on timeout.
bool WaitEvent(const EventRef& event, DWORD milliseconds);

class DeviceDriver {
public:
    virtual ~DeviceDriver() = default;
    virtual DWORD Create(uint64_t fileId) = 0;
    virtual DWORD IoControl(uint64_t fileId, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                            DWORD* bytesReturned) = 0;
    virtual void Close(uint64_t fileId) = 0;
};

// Called once on the clock's thread before its first sleep.
void PrepareClockThread();
// Sleeps towards the monotonic deadline, at most `sliceNs`.
void SleepTowards(uint64_t deadlineNs, uint64_t nowNs, uint64_t sliceNs);

}  // namespace sim::kernel

#else

#include "platform/posix/kernel.h"

namespace sim::kernel {

using kwin::DeviceDriver;
using kwin::EventRef;
using kwin::ReferenceEvent;
using kwin::SignalEvent;
using kwin::TryConsumeEvent;
using kwin::WaitEvent;

void PrepareClockThread();
void SleepTowards(uint64_t deadlineNs, uint64_t nowNs, uint64_t sliceNs);

}  // namespace sim::kernel

#endif
