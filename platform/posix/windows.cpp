// Top-level windows, their properties, and messages sent to them: SendMessageW
// and SendMessageTimeoutW hand the message to the owner thread's queue and
// wait until the owner has handled it (or, with a time-out, until the time is
// up), or call the procedure directly when the sender is the owner. A message
// reaches only a window on the sender thread's own desktop.
#include "platform/posix/windowing.h"

#include "platform/posix/device_tree.h"
#include "platform/posix/events.h"
#include "platform/posix/faults.h"
#include "platform/posix/process.h"

#include <chrono>
#include <new>

namespace kwin {
namespace {

// Drops the thread's windows and answers what still waits for it when the
// thread ends (returns or is terminated).
struct ThreadWindowsCleanup {
    DWORD threadId = 0;
    ~ThreadWindowsCleanup();
};
thread_local ThreadWindowsCleanup threadCleanup;

void CompleteLocked(SentMessage& message, LRESULT result) {
    message.result = result;
    KernelLockGuard kernel;
    message.done->SetLocked();
}

std::shared_ptr<MessageQueue> QueueForLocked(WindowingState& state, DWORD threadId) {
    auto& queue = state.queues[threadId];
    if (!queue) {
        queue = std::make_shared<MessageQueue>();
        queue->threadId = threadId;
        queue->arrived = std::make_shared<KernelEvent>(false, false);
        queue->lastLooked = MachineMilliseconds();
    }
    return queue;
}

std::shared_ptr<MessageQueue> OwnQueue() {
    const DWORD threadId = GetCurrentThreadId();
    threadCleanup.threadId = threadId;
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    return QueueForLocked(state, threadId);
}

WindowData* FindWindowLocked(WindowingState& state, HWND window) {
    auto it = state.windows.find(window);
    return it == state.windows.end() ? nullptr : it->second.get();
}

void RecordDeliveryLocked(WindowingState& state, const SentMessage& message) {
    try {
        state.delivered.push_back({message.window, message.message, message.wParam, message.lParam,
                                   message.senderProcessId, message.senderThreadId});
    } catch (const std::bad_alloc&) {
    }
}

// Runs the window procedure for a message taken from the queue.
void HandleSent(SentMessage& message) {
    WindowingState& state = Windowing();
    WindowProcedure procedure = nullptr;
    {
        std::lock_guard lock(state.mutex);
        WindowData* window = FindWindowLocked(state, message.window);
        if (!window) {
            CompleteLocked(message, 0);
            return;
        }
        RecordDeliveryLocked(state, message);
        procedure = window->procedure;
    }
    const LRESULT result = procedure ? procedure(message.window, message.message, message.wParam, message.lParam) : 0;
    std::lock_guard lock(state.mutex);
    CompleteLocked(message, result);
}

// A thread waiting for messages is not hung, however long it waits.
void SetWaiting(MessageQueue& queue, bool waiting) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    queue.waiting = waiting;
    queue.lastLooked = MachineMilliseconds();
}

bool IsHungLocked(const MessageQueue& queue) {
    return queue.markedHung || (!queue.waiting && MachineMilliseconds() - queue.lastLooked >= kHungAfterMs);
}

enum class PumpEnd { Timeout, Quit };

// Handles messages until the deadline or a quit; counts them in `handled`.
PumpEnd Pump(DWORD milliseconds, bool consumeQuit, int& handled, int& quitCode) {
    auto queue = OwnQueue();
    WindowingState& state = Windowing();
    const ULONGLONG start = MachineMilliseconds();
    for (;;) {
        std::shared_ptr<SentMessage> message;
        {
            std::lock_guard lock(state.mutex);
            queue->lastLooked = MachineMilliseconds();
            if (!queue->sent.empty()) {
                message = std::move(queue->sent.front());
                queue->sent.pop_front();
            } else if (queue->quit) {
                quitCode = queue->quitCode;
                if (consumeQuit) queue->quit = false;
                return PumpEnd::Quit;
            }
        }
        if (message) {
            HandleSent(*message);
            ++handled;
            continue;
        }
        DWORD wait = INFINITE;
        if (milliseconds != INFINITE) {
            const ULONGLONG spent = MachineMilliseconds() - start;
            if (spent >= milliseconds) return PumpEnd::Timeout;
            wait = static_cast<DWORD>(milliseconds - spent);
        }
        KernelObject* arrived = queue->arrived.get();
        SetWaiting(*queue, true);
        WaitForObjects(1, &arrived, true, wait);
        SetWaiting(*queue, false);
    }
}

}  // namespace

ThreadWindowsCleanup::~ThreadWindowsCleanup() {
    if (threadId == 0) return;
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    std::vector<HWND> owned;
    for (const auto& [handle, window] : state.windows) {
        if (window->ownerThreadId == threadId) owned.push_back(handle);
    }
    for (HWND handle : owned) DestroyWindowLocked(state, handle);
    auto it = state.queues.find(threadId);
    if (it == state.queues.end()) return;
    for (auto& message : it->second->sent) CompleteLocked(*message, 0);
    state.queues.erase(it);
}

void DestroyWindowLocked(WindowingState& state, HWND handle) {
    auto it = state.windows.find(handle);
    if (it == state.windows.end()) return;
    auto& list = it->second->desktop->windows;
    std::erase(list, handle);
    state.windows.erase(it);
    for (auto& [threadId, queue] : state.queues) {
        for (auto message = queue->sent.begin(); message != queue->sent.end();) {
            if ((*message)->window == handle) {
                CompleteLocked(**message, 0);
                message = queue->sent.erase(message);
            } else {
                ++message;
            }
        }
    }
}

void DestroyWindowsLocked(WindowingState& state) {
    while (!state.windows.empty()) DestroyWindowLocked(state, state.windows.begin()->first);
    for (auto& [threadId, queue] : state.queues) {
        for (auto& message : queue->sent) CompleteLocked(*message, 0);
        queue->sent.clear();
    }
}

int WindowsOwnedByCallerLocked(WindowingState& state) {
    const DWORD threadId = GetCurrentThreadId();
    int count = 0;
    for (const auto& [handle, window] : state.windows) {
        if (window->ownerThreadId == threadId) ++count;
    }
    return count;
}

HWND CreateTestWindow(DWORD sessionId, const std::wstring& desktop, WindowProcedure procedure) {
    const DWORD threadId = GetCurrentThreadId();
    threadCleanup.threadId = threadId;
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    auto data = FindDesktopLocked(state, sessionId, desktop);
    if (!data) return nullptr;
    auto window = std::make_shared<WindowData>();
    state.nextWindow += 0x10;
    window->handle = reinterpret_cast<HWND>(state.nextWindow);
    window->desktop = data;
    window->ownerThreadId = threadId;
    window->procedure = procedure;
    QueueForLocked(state, threadId);
    data->windows.push_back(window->handle);
    state.windows.emplace(window->handle, window);
    return window->handle;
}

bool DestroyTestWindow(HWND window) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    if (!FindWindowLocked(state, window)) return false;
    DestroyWindowLocked(state, window);
    return true;
}

DWORD WindowOwnerThread(HWND handle) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    WindowData* window = FindWindowLocked(state, handle);
    return window ? window->ownerThreadId : 0;
}

int PumpMessages(DWORD milliseconds) {
    int handled = 0, code = 0;
    Pump(milliseconds, false, handled, code);
    return handled;
}

int RunMessageLoop() {
    int handled = 0, code = 0;
    Pump(INFINITE, true, handled, code);
    return code;
}

void PostQuit(DWORD threadId, int exitCode) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    auto queue = QueueForLocked(state, threadId);
    queue->quit = true;
    queue->quitCode = exitCode;
    KernelLockGuard kernel;
    queue->arrived->SetLocked();
}

bool WaitForMessage(DWORD milliseconds) {
    auto queue = OwnQueue();
    WindowingState& state = Windowing();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::lock_guard lock(state.mutex);
            if (!queue->sent.empty() || queue->quit) return true;
        }
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (milliseconds != INFINITE && spent.count() >= milliseconds) return false;
        KernelObject* arrived = queue->arrived.get();
        const DWORD wait = milliseconds == INFINITE ? INFINITE : static_cast<DWORD>(milliseconds - spent.count());
        if (WaitForObjects(1, &arrived, true, wait) == WAIT_OBJECT_0) {
            // Put the signal back for the pump that handles the message.
            KernelLockGuard kernel;
            queue->arrived->SetLocked();
            return true;
        }
    }
}

void MarkThreadHung(DWORD threadId, bool hung) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    QueueForLocked(state, threadId)->markedHung = hung;
}

std::vector<DeliveredMessage> DeliveredMessages() {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    return state.delivered;
}

int PendingMessages() {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    int count = 0;
    for (const auto& [threadId, queue] : state.queues) count += static_cast<int>(queue->sent.size());
    return count;
}

}  // namespace kwin

using kwin::WindowingState;

namespace {

bool InvalidName(LPCWSTR name) {
    if (name) return false;
    kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return true;
}

kwin::WindowData* WindowOrError(WindowingState& state, HWND window) {
    kwin::WindowData* data = kwin::FindWindowLocked(state, window);
    if (!data) kwin::SetLastErrorValue(ERROR_INVALID_WINDOW_HANDLE);
    return data;
}

std::pair<std::wstring, HANDLE>* FindProperty(kwin::WindowData& window, LPCWSTR name) {
    const std::wstring wanted(name);
    for (auto& property : window.properties) {
        if (kwin::EqualsIgnoringAsciiCase(property.first, wanted)) return &property;
    }
    return nullptr;
}

}  // namespace

// Null both for a property that is absent and for one whose value is null.
extern "C" HANDLE WINAPI GetPropW(HWND hWnd, LPCWSTR lpString) {
    if (kwin::ShouldFail("GetPropW") || InvalidName(lpString)) return nullptr;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    kwin::WindowData* window = WindowOrError(state, hWnd);
    if (!window) return nullptr;
    auto* property = FindProperty(*window, lpString);
    return property ? property->second : nullptr;
}

extern "C" BOOL WINAPI SetPropW(HWND hWnd, LPCWSTR lpString, HANDLE hData) {
    if (kwin::ShouldFail("SetPropW") || InvalidName(lpString)) return FALSE;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    kwin::WindowData* window = WindowOrError(state, hWnd);
    if (!window) return FALSE;
    if (auto* property = FindProperty(*window, lpString)) {
        property->second = hData;
        return TRUE;
    }
    try {
        window->properties.emplace_back(lpString, hData);
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

extern "C" HANDLE WINAPI RemovePropW(HWND hWnd, LPCWSTR lpString) {
    if (kwin::ShouldFail("RemovePropW") || InvalidName(lpString)) return nullptr;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    kwin::WindowData* window = WindowOrError(state, hWnd);
    if (!window) return nullptr;
    auto* property = FindProperty(*window, lpString);
    if (!property) return nullptr;
    HANDLE value = property->second;
    window->properties.erase(window->properties.begin() + (property - window->properties.data()));
    return value;
}

namespace {

enum class SendEnd { Answered, TimedOut, Failed };

// Sends the message and waits up to the time given (INFINITE: without a
// bound) for the owner's answer; with `abortIfHung` a hung owner is not
// waited for. A window destroyed or an owner that ends meanwhile answers 0.
SendEnd Send(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, DWORD milliseconds, bool abortIfHung,
             LRESULT* result) {
    *result = 0;
    WindowingState& state = kwin::Windowing();
    std::shared_ptr<kwin::SentMessage> message;
    try {
        message = std::make_shared<kwin::SentMessage>();
        message->done = std::make_shared<kwin::KernelEvent>(true, false);
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return SendEnd::Failed;
    }
    message->window = hWnd;
    message->message = Msg;
    message->wParam = wParam;
    message->lParam = lParam;
    message->senderProcessId = kwin::CurrentProcessIdValue();
    message->senderThreadId = GetCurrentThreadId();
    bool direct = false;
    kwin::WindowProcedure procedure = nullptr;
    {
        std::lock_guard lock(state.mutex);
        kwin::WindowData* window = WindowOrError(state, hWnd);
        if (!window) return SendEnd::Failed;
        if (window->ownerThreadId == message->senderThreadId) {
            kwin::RecordDeliveryLocked(state, *message);
            direct = true;
            procedure = window->procedure;
        } else {
            // Windows of another desktop are out of the sender's reach.
            if (kwin::CallerDesktopLocked(state) != window->desktop) {
                kwin::SetLastErrorValue(ERROR_ACCESS_DENIED);
                return SendEnd::Failed;
            }
            try {
                auto queue = kwin::QueueForLocked(state, window->ownerThreadId);
                if (abortIfHung && kwin::IsHungLocked(*queue)) {
                    kwin::SetLastErrorValue(ERROR_TIMEOUT);
                    return SendEnd::TimedOut;
                }
                queue->sent.push_back(message);
                kwin::KernelLockGuard kernel;
                queue->arrived->SetLocked();
            } catch (const std::bad_alloc&) {
                kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
                return SendEnd::Failed;
            }
        }
    }
    if (direct) {
        *result = procedure ? procedure(hWnd, Msg, wParam, lParam) : 0;
        return SendEnd::Answered;
    }
    kwin::KernelObject* done = message->done.get();
    if (kwin::WaitForObjects(1, &done, true, milliseconds) != WAIT_OBJECT_0) {
        // The message stays queued: the owner handles it when it looks again.
        kwin::SetLastErrorValue(ERROR_TIMEOUT);
        return SendEnd::TimedOut;
    }
    std::lock_guard lock(state.mutex);
    *result = message->result;
    return SendEnd::Answered;
}

}  // namespace

// Waits, without a bound, until the owner thread has handled the message, as
// Windows does.
extern "C" LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (kwin::ShouldFail("SendMessageW")) return 0;
    LRESULT result = 0;
    Send(hWnd, Msg, wParam, lParam, INFINITE, false, &result);
    return result;
}

// Nonzero once answered (the answer in *lpdwResult); 0 with ERROR_TIMEOUT when
// the time ran out, or at once when the owner is hung and SMTO_ABORTIFHUNG
// was given.
extern "C" LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                              UINT uTimeout, PDWORD_PTR lpdwResult) {
    if (kwin::ShouldFail("SendMessageTimeoutW")) return 0;
    LRESULT result = 0;
    const DWORD milliseconds = (fuFlags & SMTO_NOTIMEOUTIFNOTHUNG) ? INFINITE : uTimeout;
    if (Send(hWnd, Msg, wParam, lParam, milliseconds, (fuFlags & SMTO_ABORTIFHUNG) != 0, &result) !=
        SendEnd::Answered) {
        return 0;
    }
    if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(result);
    return 1;
}
