// The one wait routine, WaitForSingleObject and WaitForMultipleObjects.
//
// A blocked wait puts one node per object on that object's waiter list. A
// signaller satisfies the waits it can while it holds the kernel lock
// (consuming on the waiter's behalf, taking the nodes off every list), then
// wakes their futex words once the lock is released; the woken thread
// returns without taking the lock again.
#include "platform/posix/faults.h"
#include "platform/posix/futex.h"
#include "platform/posix/object.h"
#include "platform/posix/wait.h"

#include <pthread.h>

#include <array>
#include <ctime>

namespace kwin {

struct WaitNode {
    Waiter* waiter;
    KernelObject* object;
    WaitNode* prev;
    WaitNode* next;

    void LinkLocked() {
        prev = object->waitersTail_;
        next = nullptr;
        (prev ? prev->next : object->waiters_) = this;
        object->waitersTail_ = this;
    }
    void UnlinkLocked() {
        (prev ? prev->next : object->waiters_) = next;
        (next ? next->prev : object->waitersTail_) = prev;
    }
};

enum WaitState : uint32_t { kWaiting = 0, kSatisfied = 1, kInterrupted = 2 };

struct Waiter {
    std::atomic<uint32_t> state{kWaiting};  // the futex word
    DWORD result = WAIT_FAILED;             // valid once state is kSatisfied
    DWORD count;
    KernelObject* const* objects;
    bool waitAll;
    WaitNode* nodes;
    WaitInterrupt* interrupt;

    void UnlinkAllLocked() {
        for (DWORD i = 0; i < count; ++i) nodes[i].UnlinkLocked();
        if (interrupt && interrupt->blocked == this) interrupt->blocked = nullptr;
    }
};

namespace {

std::mutex& TheKernelLock() {
    static auto* lock = new std::mutex;  // never destroyed: threads may outlive main
    return *lock;
}

// Futex words to wake once this thread's KernelLockGuard lets go of the lock.
struct DeferredWakes {
    bool active = false;
    int size = 0;
    std::array<std::atomic<uint32_t>*, MAXIMUM_WAIT_OBJECTS> words;
};
thread_local DeferredWakes deferredWakes;
thread_local WaitInterrupt* currentInterrupt = nullptr;

// The wait's outcome if it can be satisfied now, consuming what it takes;
// WAIT_TIMEOUT otherwise.
DWORD TrySatisfyLocked(DWORD count, KernelObject* const* objects, bool waitAll) {
    if (!waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            if (objects[i]->IsSignalledLocked()) {
                objects[i]->ConsumeLocked();
                return WAIT_OBJECT_0 + i;
            }
        }
        return WAIT_TIMEOUT;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!objects[i]->IsSignalledLocked()) return WAIT_TIMEOUT;
    }
    for (DWORD i = 0; i < count; ++i) objects[i]->ConsumeLocked();
    return WAIT_OBJECT_0;
}

timespec DeadlineAfter(DWORD milliseconds) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = now.tv_nsec + static_cast<long long>(milliseconds % 1000) * 1000000LL;
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + milliseconds / 1000 + ns / 1000000000LL;
    deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return deadline;
}

// Leaves a wait that TerminateThread interrupted: the nodes come off the
// lists before the stack unwinds.
[[noreturn]] void AbandonForTermination(Waiter& waiter, std::unique_lock<std::mutex>& lock) {
    waiter.UnlinkAllLocked();
    lock.unlock();
    for (;;) pthread_testcancel();  // the cancellation is already pending
}

}  // namespace

std::mutex& KernelLock() { return TheKernelLock(); }

KernelLockGuard::KernelLockGuard() {
    TheKernelLock().lock();
    deferredWakes.active = true;
}

KernelLockGuard::~KernelLockGuard() {
    DeferredWakes& wakes = deferredWakes;
    wakes.active = false;
    TheKernelLock().unlock();
    // A word may belong to a wait that has returned meanwhile; a stray wake
    // is harmless to any futex sleeper, which rechecks its word.
    for (int i = 0; i < wakes.size; ++i) FutexWake(wakes.words[i], 1);
    wakes.size = 0;
}

void WakeWordLocked(std::atomic<uint32_t>* word) {
    DeferredWakes& wakes = deferredWakes;
    if (wakes.active && wakes.size < static_cast<int>(wakes.words.size())) {
        wakes.words[wakes.size++] = word;
    } else {
        FutexWake(word, 1);
    }
}

void KernelObject::WakeWaitersLocked() {
    for (WaitNode* node = waiters_; node && IsSignalledLocked();) {
        Waiter* waiter = node->waiter;
        WaitNode* next = node->next;
        while (next && next->waiter == waiter) next = next->next;  // those leave with it
        if (waiter->state.load(std::memory_order_relaxed) == kWaiting) {
            DWORD result = TrySatisfyLocked(waiter->count, waiter->objects, waiter->waitAll);
            if (result != WAIT_TIMEOUT) {
                waiter->UnlinkAllLocked();
                waiter->result = result;
                waiter->state.store(kSatisfied, std::memory_order_release);
                WakeWordLocked(&waiter->state);
            }
        }
        node = next;
    }
}

void SetCurrentWaitInterrupt(WaitInterrupt* interrupt) { currentInterrupt = interrupt; }

void InterruptLocked(WaitInterrupt& interrupt) {
    interrupt.requested = true;
    if (Waiter* waiter = interrupt.blocked) {
        interrupt.blocked = nullptr;
        waiter->state.store(kInterrupted, std::memory_order_release);
        WakeWordLocked(&waiter->state);
    }
}

namespace {

// Blocks until the wait is satisfied, the time runs out or TerminateThread
// ends the thread. With no objects it is an interruptible sleep.
DWORD Block(DWORD count, KernelObject* const* objects, bool waitAll, DWORD machineMilliseconds) {
    const DWORD milliseconds = RealMillisecondsFor(machineMilliseconds);
    timespec deadline{};
    const bool timed = milliseconds != INFINITE;
    if (timed && milliseconds != 0) deadline = DeadlineAfter(milliseconds);

    WaitNode nodes[MAXIMUM_WAIT_OBJECTS];  // left uninitialised: only count are used
    Waiter waiter;
    waiter.count = count;
    waiter.objects = objects;
    waiter.waitAll = waitAll;
    waiter.nodes = nodes;
    waiter.interrupt = currentInterrupt;

    std::unique_lock lock(TheKernelLock());
    DWORD result = count ? TrySatisfyLocked(count, objects, waitAll) : WAIT_TIMEOUT;
    if (result != WAIT_TIMEOUT || milliseconds == 0) return result;
    for (DWORD i = 0; i < count; ++i) {
        nodes[i].waiter = &waiter;
        nodes[i].object = objects[i];
        nodes[i].LinkLocked();
    }
    if (waiter.interrupt) {
        if (waiter.interrupt->requested) AbandonForTermination(waiter, lock);
        waiter.interrupt->blocked = &waiter;
    }
    lock.unlock();

    for (;;) {
        bool timedOut = !FutexWait(&waiter.state, kWaiting, timed ? &deadline : nullptr);
        uint32_t state = waiter.state.load(std::memory_order_acquire);
        if (state == kSatisfied) return waiter.result;
        if (state == kWaiting && !timedOut) continue;  // spurious wake
        lock.lock();
        state = waiter.state.load(std::memory_order_acquire);
        if (state == kSatisfied) return waiter.result;  // satisfied as the time ran out
        if (state == kInterrupted) AbandonForTermination(waiter, lock);
        waiter.UnlinkAllLocked();
        return WAIT_TIMEOUT;
    }
}

}  // namespace

DWORD WaitForObjects(DWORD count, KernelObject* const* objects, bool waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return Block(count, objects, waitAll, milliseconds);
}

void SleepInterruptibly(DWORD milliseconds) { Block(0, nullptr, false, milliseconds); }

}  // namespace kwin

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (kwin::ShouldFail("WaitForMultipleObjects")) return WAIT_FAILED;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::array<std::shared_ptr<kwin::KernelObject>, MAXIMUM_WAIT_OBJECTS> references;
    if (!kwin::ReferenceHandles(count, handles, references.data())) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::array<kwin::KernelObject*, MAXIMUM_WAIT_OBJECTS> objects;
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = references[i].get();
        // Waiting for all of a list that names one object twice is refused.
        for (DWORD j = 0; waitAll && j < i; ++j) {
            if (objects[j] == objects[i]) {
                kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    return kwin::WaitForObjects(count, objects.data(), waitAll != FALSE, milliseconds);
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD milliseconds) {
    if (kwin::ShouldFail("WaitForSingleObject")) return WAIT_FAILED;
    auto reference = kwin::ReferenceHandle(hHandle);
    if (!reference) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    kwin::KernelObject* object = reference.get();
    return kwin::WaitForObjects(1, &object, false, milliseconds);
}
