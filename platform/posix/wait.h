// Internals of the wait routine that the thread code needs: pulling a thread
// out of a wait (TerminateThread), sleeping, and waking futex words once the
// kernel lock is released.
#pragma once

#include "platform/posix/object.h"

#include <atomic>
#include <cstdint>

namespace kwin {

struct Waiter;

// Per-thread link between a thread's kernel object and the wait it is
// blocked in. Guarded by KernelLock().
struct WaitInterrupt {
    bool requested = false;     // the thread is being terminated
    Waiter* blocked = nullptr;  // the wait it sleeps in, if any
};

// Which WaitInterrupt the calling thread's waits honour (null: none).
void SetCurrentWaitInterrupt(WaitInterrupt* interrupt);

// Marks the thread as being terminated and wakes it if it sleeps in a wait;
// the wait then acts on the pending cancellation. KernelLock() held.
void InterruptLocked(WaitInterrupt& interrupt);

// Sleeps for the time given (INFINITE: for ever); TerminateThread ends the
// sleep and the thread. Not nanosleep: a thread cancelled inside nanosleep
// unwinds unseen by ThreadSanitizer, which then reports false races.
void SleepInterruptibly(DWORD milliseconds);

// A wait's time on the machine's clock as real time (rounded up; INFINITE
// and 0 unchanged). Safe for real time.
DWORD RealMillisecondsFor(DWORD machineMilliseconds);

// Wakes one sleeper on the word: after the KernelLockGuard of this thread is
// released when one is active, at once otherwise.
void WakeWordLocked(std::atomic<uint32_t>* word);

}  // namespace kwin
