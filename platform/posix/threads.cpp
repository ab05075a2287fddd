// CreateThread and the calls on thread handles, and the thread history.
//
// Each thread is a detached pthread whose kernel object is kept alive by its
// handle and by the thread itself. TerminateThread cancels the pthread: the
// cancellation unwinds the thread's stack as a forced exception, so nothing
// on the way may swallow it, and the end of the thread is recorded by a guard
// that also runs during that unwinding. ExitThread does not unwind: as on
// Windows, the frames of the caller are abandoned, destructors and all, by a
// jump back to the thread's start in the stand-in.
#include "platform/posix/threads.h"

#include "platform/posix/faults.h"
#include "platform/posix/futex.h"
#include "platform/posix/kernel.h"

#include <csetjmp>
#include <mutex>
#include <new>
#include <vector>

namespace kwin {
namespace {

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(-2);

// The calling thread's object when CreateThread made it; its start routine
// keeps the object alive.
thread_local ThreadObject* currentThread = nullptr;
thread_local DWORD currentThreadId = 0;
// Priority of a thread that CreateThread did not make (the main thread).
thread_local int foreignThreadPriority = THREAD_PRIORITY_NORMAL;

std::atomic<DWORD> lastThreadId{0x1000};
DWORD NextThreadId() { return lastThreadId.fetch_add(4, std::memory_order_relaxed) + 4; }

struct History {
    std::mutex mutex;
    std::vector<std::shared_ptr<ThreadObject>> threads;
};
History& TheHistory() {
    static auto* history = new History;  // never destroyed: threads may outlive main
    return *history;
}

// The thread object behind a handle or the current-thread pseudo-handle;
// null when there is none. `keep` holds it for a real handle.
ThreadObject* ResolveThread(HANDLE handle, std::shared_ptr<ThreadObject>& keep) {
    if (handle == kCurrentThreadPseudoHandle) return currentThread;
    keep = ReferenceHandleAs<ThreadObject>(handle, ObjectType::Thread);
    return keep.get();
}

bool IsValidPriority(int priority) {
    return priority == -15 /* idle */ || priority == THREAD_PRIORITY_TIME_CRITICAL ||
           (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

// Records the end of the thread, whether its start routine returned or its
// stack is being unwound by TerminateThread.
class ThreadEndGuard {
public:
    explicit ThreadEndGuard(ThreadObject& thread) : thread_(thread) {}
    ThreadEndGuard(const ThreadEndGuard&) = delete;
    ThreadEndGuard& operator=(const ThreadEndGuard&) = delete;
    ~ThreadEndGuard() {
        KernelLockGuard lock;
        thread_.finished = true;
        thread_.terminated = thread_.interrupt.requested;
        thread_.exitCode = thread_.terminated ? thread_.terminateExitCode : returned_;
        thread_.WakeWaitersLocked();
    }
    void SetReturned(DWORD code) { returned_ = code; }

private:
    ThreadObject& thread_;
    DWORD returned_ = 0;
};

// Where ExitThread leaves a thread that CreateThread made: the end guard
// that records its exit code, the point in RunStartRoutine it jumps back to,
// and the module FreeLibraryAndExitThread gives back once it is there.
struct ThreadExit {
    ThreadEndGuard* guard = nullptr;
    std::jmp_buf* point = nullptr;
    HMODULE moduleToFree = nullptr;
};
thread_local ThreadExit currentExit;

// Runs the start routine; returns when it returns or when the thread calls
// ExitThread, which jumps back here. Only trivially destructible state may
// live in this frame: the jump skips nothing of it.
void RunStartRoutine(ThreadObject& self, ThreadEndGuard& guard) {
    std::jmp_buf exitPoint;
    currentExit.guard = &guard;
    currentExit.point = &exitPoint;
    if (setjmp(exitPoint) == 0) {
        guard.SetReturned(self.start(self.parameter));
    } else if (HMODULE module = currentExit.moduleToFree) {
        // FreeLibraryAndExitThread: the thread has left the module's code,
        // so it may go now, before the thread counts as ended.
        currentExit.moduleToFree = nullptr;
        FreeLibrary(module);
    }
    currentExit = {};
}

// Must not be noexcept and must not catch: the cancellation passes through.
void* ThreadMain(void* argument) {
    auto* owned = static_cast<std::shared_ptr<ThreadObject>*>(argument);
    std::shared_ptr<ThreadObject> self = std::move(*owned);
    delete owned;
    currentThread = self.get();
    currentThreadId = self->id;
    SetCurrentProcess(self->process);
    SetCurrentWaitInterrupt(&self->interrupt);

    ThreadEndGuard guard(*self);
    uint32_t gate;
    while ((gate = self->gate.load(std::memory_order_acquire)) == ThreadObject::kGateClosed) {
        FutexWait(&self->gate, ThreadObject::kGateClosed, nullptr);
    }
    if (gate == ThreadObject::kGateTerminated) {
        for (;;) pthread_testcancel();  // TerminateThread has cancelled us
    }
    RunStartRoutine(*self, guard);
    return nullptr;
}

size_t DefaultStackSize() {
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size;
}

}  // namespace

std::vector<ThreadRecord> ThreadHistory() {
    std::vector<std::shared_ptr<ThreadObject>> threads;
    {
        std::lock_guard lock(TheHistory().mutex);
        threads = TheHistory().threads;
    }
    std::vector<ThreadRecord> records;
    records.reserve(threads.size());
    KernelLockGuard lock;
    for (const auto& thread : threads) {
        ThreadRecord record;
        record.threadId = thread->id;
        record.priority = thread->priority;
        record.prioritySetWhileSuspended = thread->prioritySetWhileSuspended;
        record.terminated = thread->terminated;
        record.finished = thread->finished;
        record.exitCode = thread->exitCode;
        records.push_back(record);
    }
    return records;
}

void ResetThreadHistory() {
    std::vector<std::shared_ptr<ThreadObject>> dropped;  // released after the unlock
    std::lock_guard lock(TheHistory().mutex);
    dropped.swap(TheHistory().threads);
}

}  // namespace kwin

using kwin::ThreadObject;

namespace kwin {
namespace {
HANDLE CreateThreadWithStack(const std::shared_ptr<ProcessObject>& process, SIZE_T stackSize,
                             LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                             LPDWORD threadId);
}  // namespace

ThreadObject* CurrentThreadObject() { return currentThread; }

HANDLE CreateThreadIn(const std::shared_ptr<ProcessObject>& process, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD creationFlags, LPDWORD threadId) {
    return CreateThreadWithStack(process, 0, start, parameter, creationFlags, threadId);
}

void TerminateThreadObject(ThreadObject& thread, DWORD exitCode) {
    KernelLockGuard lock;
    // Once finished the pthread may be gone; a second terminate changes nothing.
    if (thread.finished || thread.interrupt.requested || !thread.pthreadValid) return;
    thread.terminateExitCode = exitCode;
    pthread_cancel(thread.pthread);  // our waits and Sleep act on it at once:
    InterruptLocked(thread.interrupt);
    if (thread.gate.load(std::memory_order_relaxed) == ThreadObject::kGateClosed) {
        thread.gate.store(ThreadObject::kGateTerminated, std::memory_order_release);
        WakeWordLocked(&thread.gate);
    }
}

namespace {
HANDLE CreateThreadWithStack(const std::shared_ptr<ProcessObject>& process, SIZE_T stackSize,
                             LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                             LPDWORD threadId) {
    if (!startAddress) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<ThreadObject> thread;
    std::shared_ptr<ThreadObject>* argument = nullptr;
    auto& history = kwin::TheHistory();
    try {
        thread = std::make_shared<ThreadObject>(kwin::NextThreadId(), startAddress, parameter,
                                                (creationFlags & CREATE_SUSPENDED) != 0);
        thread->process = process;
        argument = new std::shared_ptr<ThreadObject>(thread);
        std::lock_guard lock(history.mutex);
        history.threads.push_back(thread);
        if (process) {
            KernelLockGuard kernel;
            process->threads.push_back(thread);
        }
    } catch (const std::bad_alloc&) {
        delete argument;
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto fail = [&] {
        delete argument;
        std::lock_guard lock(history.mutex);
        std::erase(history.threads, thread);
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    };
    HANDLE handle = kwin::InsertHandle(thread);
    if (!handle) return fail();

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Below the host's default the request is ignored, as Windows rounds small
    // stacks up to its reservation.
    if (stackSize > kwin::DefaultStackSize()) pthread_attr_setstacksize(&attr, stackSize);
    pthread_t pthread;
    int rc = pthread_create(&pthread, &attr, kwin::ThreadMain, argument);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        kwin::RemoveHandle(handle);
        return fail();
    }
    {
        kwin::KernelLockGuard lock;
        thread->pthread = pthread;
        thread->pthreadValid = true;
    }
    if (threadId) *threadId = thread->id;
    return handle;
}
}  // namespace
}  // namespace kwin

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                                      LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (kwin::ShouldFail("CreateThread")) return nullptr;
    return kwin::CreateThreadWithStack(kwin::CurrentProcessShared(), stackSize, startAddress, parameter,
                                       creationFlags, threadId);
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
    if (kwin::ShouldFail("ResumeThread")) return static_cast<DWORD>(-1);
    std::shared_ptr<ThreadObject> keep;
    ThreadObject* thread = kwin::ResolveThread(hThread, keep);
    if (!thread) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    kwin::KernelLockGuard lock;
    DWORD previous = thread->suspendCount;
    if (previous > 0 && --thread->suspendCount == 0 &&
        thread->gate.load(std::memory_order_relaxed) == ThreadObject::kGateClosed) {
        thread->gate.store(ThreadObject::kGateOpen, std::memory_order_release);
        kwin::WakeWordLocked(&thread->gate);
    }
    return previous;
}

extern "C" BOOL WINAPI SetThreadPriority(HANDLE hThread, int priority) {
    if (kwin::ShouldFail("SetThreadPriority")) return FALSE;
    if (!kwin::IsValidPriority(priority)) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<ThreadObject> keep;
    ThreadObject* thread = kwin::ResolveThread(hThread, keep);
    if (!thread) {
        if (hThread != kwin::kCurrentThreadPseudoHandle) {
            kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        kwin::foreignThreadPriority = priority;
        return TRUE;
    }
    kwin::KernelLockGuard lock;
    thread->priority = priority;
    if (thread->suspendCount > 0) thread->prioritySetWhileSuspended = true;
    return TRUE;
}

extern "C" int WINAPI GetThreadPriority(HANDLE hThread) {
    if (kwin::ShouldFail("GetThreadPriority")) return THREAD_PRIORITY_ERROR_RETURN;
    std::shared_ptr<ThreadObject> keep;
    ThreadObject* thread = kwin::ResolveThread(hThread, keep);
    if (!thread) {
        if (hThread == kwin::kCurrentThreadPseudoHandle) return kwin::foreignThreadPriority;
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    kwin::KernelLockGuard lock;
    return thread->priority;
}

extern "C" BOOL WINAPI TerminateThread(HANDLE hThread, DWORD exitCode) {
    if (kwin::ShouldFail("TerminateThread")) return FALSE;
    std::shared_ptr<ThreadObject> keep;
    ThreadObject* thread = kwin::ResolveThread(hThread, keep);
    if (!thread) {
        // The pseudo-handle of a thread CreateThread did not make: not supported.
        kwin::SetLastErrorValue(hThread == kwin::kCurrentThreadPseudoHandle ? ERROR_NOT_SUPPORTED
                                                                             : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    kwin::TerminateThreadObject(*thread, exitCode);
    if (thread == kwin::currentThread) {
        for (;;) pthread_testcancel();
    }
    return TRUE;
}

namespace kwin {
// Ends the calling thread with the exit code without running the destructors
// of its frames, as Windows does; a module given is freed once the thread is
// back in ThreadMain. A thread that CreateThread did not make (the program's
// main thread, a std::thread) can only leave through pthread_exit, which
// unwinds.
[[noreturn]] void EndCallingThread(DWORD exitCode, HMODULE moduleToFree) {
    if (currentExit.point != nullptr) {
        currentExit.guard->SetReturned(exitCode);
        currentExit.moduleToFree = moduleToFree;
        std::longjmp(*currentExit.point, 1);
    }
    if (moduleToFree != nullptr) FreeLibrary(moduleToFree);
    pthread_exit(nullptr);
}
}  // namespace kwin

extern "C" void WINAPI ExitThread(DWORD exitCode) { kwin::EndCallingThread(exitCode, nullptr); }

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD exitCode) {
    if (kwin::ShouldFail("GetExitCodeThread")) return FALSE;
    std::shared_ptr<ThreadObject> keep;
    ThreadObject* thread = kwin::ResolveThread(hThread, keep);
    if (!thread && hThread != kwin::kCurrentThreadPseudoHandle) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!exitCode) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!thread) {
        *exitCode = STILL_ACTIVE;  // the calling thread runs
        return TRUE;
    }
    kwin::KernelLockGuard lock;
    *exitCode = thread->finished ? thread->exitCode : STILL_ACTIVE;
    return TRUE;
}

extern "C" HANDLE WINAPI GetCurrentThread(void) { return kwin::kCurrentThreadPseudoHandle; }

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
    if (kwin::currentThreadId == 0) kwin::currentThreadId = kwin::NextThreadId();
    return kwin::currentThreadId;
}
