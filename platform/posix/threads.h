// Thread objects: what a thread handle refers to.
#pragma once

#include "platform/posix/object.h"
#include "platform/posix/process.h"
#include "platform/posix/wait.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace kwin {

struct ThreadObject final : KernelObject {
    ThreadObject(DWORD id, LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
        : KernelObject(ObjectType::Thread),
          id(id),
          start(start),
          parameter(parameter),
          suspendCount(suspended ? 1 : 0),
          gate(suspended ? kGateClosed : kGateOpen) {}

    bool IsSignalledLocked() const override { return finished; }

    // Values of the gate a suspended thread waits at before its start routine.
    static constexpr uint32_t kGateClosed = 0;
    static constexpr uint32_t kGateOpen = 1;
    static constexpr uint32_t kGateTerminated = 2;  // terminated before it ever ran

    const DWORD id;
    const LPTHREAD_START_ROUTINE start;
    const LPVOID parameter;
    std::shared_ptr<ProcessObject> process;  // null: a thread of the host program

    // Guarded by KernelLock().
    pthread_t pthread{};
    bool pthreadValid = false;
    DWORD suspendCount;
    int priority = THREAD_PRIORITY_NORMAL;
    bool prioritySetWhileSuspended = false;
    bool finished = false;
    bool terminated = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD terminateExitCode = 0;
    WaitInterrupt interrupt;

    std::atomic<uint32_t> gate;  // futex word; written under KernelLock()
};

// ExitThread, and FreeLibraryAndExitThread with the module to free after the
// thread has left the caller's code.
[[noreturn]] void EndCallingThread(DWORD exitCode, HMODULE moduleToFree);

}  // namespace kwin
