// Kernel objects of the stand-in and the process's handle table.
//
// Every object type says whether it is signalled and what a wait that returns
// it consumes; one wait routine (wait.cpp) serves every wait. All object state
// that a wait looks at is guarded by the one kernel lock.
#pragma once

#include "win32_posix.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kwin {

enum class ObjectType {
    Event,
    Thread,
    DeviceFile,
    DeviceInfoList,
    Process,
    Token,
    EventSource,
    Notification,
    WindowStation,
    Desktop,
    Other,
    Count
};
const char* ObjectTypeName(ObjectType type);

struct WaitNode;

// Guards the signal state of every object and the waiter lists.
std::mutex& KernelLock();

// Holds KernelLock() and, once it is released, wakes the threads whose waits
// were satisfied meanwhile, so a woken thread does not run into the lock
// still held by its signaller. Prefer it to a plain lock of KernelLock().
class KernelLockGuard {
public:
    KernelLockGuard();
    ~KernelLockGuard();
    KernelLockGuard(const KernelLockGuard&) = delete;
    KernelLockGuard& operator=(const KernelLockGuard&) = delete;
};

class KernelObject {
public:
    explicit KernelObject(ObjectType type) : type_(type) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectType type() const { return type_; }

    // Called with KernelLock() held.
    virtual bool IsSignalledLocked() const { return false; }
    // Called with KernelLock() held, by the wait that returns this object.
    virtual void ConsumeLocked() {}

    // The device instance ID the object is about (a device file, a handle
    // notification on one); empty for the others.
    virtual std::wstring DeviceInstanceId() const { return {}; }

    // Wakes every waiter of this object; KernelLock() must be held.
    void WakeWaitersLocked();

private:
    friend struct WaitNode;
    friend DWORD WaitForObjects(DWORD, KernelObject* const*, bool, DWORD);
    ObjectType type_;
    WaitNode* waiters_ = nullptr;  // intrusive FIFO list, no allocation while waiting
    WaitNode* waitersTail_ = nullptr;
};

// Inserts an object into the handle table, owned by the calling thread's
// process; returns its new handle, or null when memory runs out.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Closes every handle that the process still owns (what process exit does);
// returns how many there were.
int CloseHandlesOwnedBy(DWORD processId);
// Looks a handle up; null when the handle is not open. Allocation-free.
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle);
// Looks several handles up under one lock; false (and out cleared) when one
// of them is not open. Allocation-free.
bool ReferenceHandles(DWORD count, const HANDLE* handles, std::shared_ptr<KernelObject>* out);
template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle, ObjectType type) {
    auto object = ReferenceHandle(handle);
    if (!object || object->type() != type) return nullptr;
    return std::static_pointer_cast<T>(object);
}
// Removes the handle; false when it was not open.
bool RemoveHandle(HANDLE handle);

// The one wait routine. With waitAll false the lowest signalled index wins and
// only that object is consumed. Returns WAIT_OBJECT_0 + index, WAIT_TIMEOUT or
// WAIT_FAILED. Allocation-free. The caller keeps the objects alive.
DWORD WaitForObjects(DWORD count, KernelObject* const* objects, bool waitAll, DWORD milliseconds);

// The ID of the simulated process the calling thread belongs to; 0 for the
// threads of the host program itself (tests, tools).
DWORD CurrentProcessIdValue();

// The calling thread's last-error value.
void SetLastErrorValue(DWORD error);

}  // namespace kwin
