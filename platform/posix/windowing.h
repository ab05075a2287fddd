// Internals shared by the session, window-station and window code: the one
// state of the machine's sessions, guarded by one mutex. Lock order: the
// windowing mutex before the handle table and the kernel lock; no callback of
// the program runs with it held.
#pragma once

#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kwin {

struct KernelEvent;

struct DesktopData {
    DWORD sessionId = 0;
    std::wstring station;
    std::wstring name;
    std::vector<HWND> windows;  // top-level windows in creation order
    std::wstring FullName() const { return station + L"\\" + name; }
};

struct StationData {
    DWORD sessionId = 0;
    std::wstring name;
    std::vector<std::shared_ptr<DesktopData>> desktops;
};

struct SessionData {
    SessionInfo info;
    std::vector<std::shared_ptr<StationData>> stations;
};

struct SentMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD senderProcessId = 0;
    DWORD senderThreadId = 0;
    LRESULT result = 0;
    std::shared_ptr<KernelEvent> done;  // manual reset; set once handled or dropped
};

// The messages waiting for one thread.
struct MessageQueue {
    DWORD threadId = 0;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quit = false;
    int quitCode = 0;
    std::shared_ptr<KernelEvent> arrived;  // auto reset
    // When the thread last looked for messages (machine milliseconds), and
    // whether it is waiting for one now: a thread that has not looked for
    // five seconds and is not waiting counts as hung.
    ULONGLONG lastLooked = 0;
    bool waiting = false;
    bool markedHung = false;  // set by a test
};

struct WindowData {
    HWND handle = nullptr;
    std::shared_ptr<DesktopData> desktop;
    DWORD ownerThreadId = 0;
    WindowProcedure procedure = nullptr;
    std::vector<std::pair<std::wstring, HANDLE>> properties;
};

struct OpenFailure {
    DWORD sessionId;
    std::wstring name;
    DWORD error;
};

struct WindowingState {
    std::mutex mutex;
    std::vector<SessionData> sessions;
    DWORD consoleSessionId = kNoSession;
    std::vector<OpenFailure> stationFailures;
    std::vector<OpenFailure> desktopFailures;
    std::vector<WindowingCall> calls;
    std::map<HWND, std::shared_ptr<WindowData>> windows;
    std::map<DWORD, std::shared_ptr<MessageQueue>> queues;  // by thread ID
    std::vector<DeliveredMessage> delivered;
    uintptr_t nextWindow = 0x10000;
    HANDLE hostStation = nullptr;  // the host program's current station (null: initial)
};
WindowingState& Windowing();

// Destroys the window; the state is locked. Messages still waiting for it
// are answered with 0.
void DestroyWindowLocked(WindowingState& state, HWND window);
// Drops every window and queued message (ResetSessions, SetSessions).
void DestroyWindowsLocked(WindowingState& state);
// How many windows the calling thread owns; the state is locked.
int WindowsOwnedByCallerLocked(WindowingState& state);
// The calling thread's current desktop; the state is locked.
std::shared_ptr<DesktopData> CallerDesktopLocked(WindowingState& state);
// The desktop ("WinSta0\\Default") of the session; null when unknown. The state is locked.
std::shared_ptr<DesktopData> FindDesktopLocked(WindowingState& state, DWORD sessionId, const std::wstring& path);

}  // namespace kwin
