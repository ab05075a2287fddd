// CreateEventW, SetEvent, ResetEvent and the driver's view of events.
#include "platform/posix/events.h"

#include "platform/posix/faults.h"

#include <atomic>
#include <new>

namespace {

std::atomic<kwin::EventSetHook> eventSetHook{nullptr};

std::shared_ptr<kwin::KernelEvent> ReferenceEventHandle(HANDLE handle) {
    auto event = kwin::ReferenceHandleAs<kwin::KernelEvent>(handle, kwin::ObjectType::Event);
    if (!event) kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace

// The name is ignored: every event is private to its creator.
extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    if (kwin::ShouldFail("CreateEventW")) return nullptr;
    std::shared_ptr<kwin::KernelEvent> event;
    try {
        event = std::make_shared<kwin::KernelEvent>(manualReset != FALSE, initialState != FALSE);
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = kwin::InsertHandle(std::move(event));
    kwin::SetLastErrorValue(handle ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    if (kwin::ShouldFail("SetEvent")) return FALSE;
    auto event = ReferenceEventHandle(hEvent);
    if (!event) return FALSE;
    {
        kwin::KernelLockGuard lock;
        event->SetLocked();
    }
    if (kwin::EventSetHook hook = eventSetHook.load(std::memory_order_acquire)) hook(hEvent);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    if (kwin::ShouldFail("ResetEvent")) return FALSE;
    auto event = ReferenceEventHandle(hEvent);
    if (!event) return FALSE;
    kwin::KernelLockGuard lock;
    event->signalled = false;
    return TRUE;
}

namespace kwin {

void SetEventSetHook(EventSetHook hook) { eventSetHook.store(hook, std::memory_order_release); }

EventRef ReferenceEvent(HANDLE handle) { return ReferenceHandleAs<KernelEvent>(handle, ObjectType::Event); }

void SignalEvent(const EventRef& event) {
    if (!event) return;
    KernelLockGuard lock;
    event->SetLocked();
}

bool TryConsumeEvent(const EventRef& event) {
    if (!event) return false;
    KernelLockGuard lock;
    if (!event->IsSignalledLocked()) return false;
    event->ConsumeLocked();
    return true;
}

bool WaitEvent(const EventRef& event, DWORD milliseconds) {
    if (!event) return false;
    KernelObject* object = event.get();
    return WaitForObjects(1, &object, false, milliseconds) == WAIT_OBJECT_0;
}

}  // namespace kwin
