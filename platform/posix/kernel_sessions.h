// The machine's terminal-services sessions, their window stations and
// desktops, and the top-level windows that threads create on them, as the
// tests and the simulated machine set them up and look at them.
//
//     kwin::SetSessions({{0, L"Services", WTSDisconnected}, {1, L"Console", WTSActive}}, 1);
//     HWND window = kwin::CreateTestWindow(1, L"WinSta0\\Default", Procedure);
//     SetPropW(window, L"ROOT\\MEDIA\\0000", reinterpret_cast<HANDLE>(1));
//     kwin::PumpMessages(100);  // the owner thread handles messages sent to it
//
// Every session has the window station "WinSta0" with the desktops "Default"
// and "Winlogon"; session 0 also has the services' station
// "Service-0x0-3e7$" with "Default". A process's initial window station is
// the one named by its start-up desktop (a service's: its session's service
// station), a thread's initial desktop its process's start-up desktop; the
// host program's threads count as session 0, "WinSta0\Default". The handles
// GetProcessWindowStation and GetThreadDesktop return for those initial
// objects belong to the process and thread and are not in the handle table;
// every handle OpenWindowStationW and OpenDesktopW return is.
#pragma once

#include "platform/posix/win32_posix.h"
#include "platform/posix/win32_posix_service.h"

#include <string>
#include <vector>

#if !defined(KWIN_EXPORT)
#if defined(KWIN_BUILDING)
#define KWIN_EXPORT __attribute__((visibility("default")))
#else
#define KWIN_EXPORT
#endif
#endif

namespace kwin {

// ---- Sessions ------------------------------------------------------------------

inline constexpr DWORD kNoSession = 0xFFFFFFFFu;

struct KWIN_EXPORT SessionInfo {
    SessionInfo() = default;
    SessionInfo(DWORD id, std::wstring name, WTS_CONNECTSTATE_CLASS state = WTSActive, std::wstring user = {})
        : id(id), name(std::move(name)), state(state), user(std::move(user)) {}
    DWORD id = 0;
    std::wstring name;  // what WTSEnumerateSessionsW reports as pWinStationName
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring user;  // the user logged on to it; empty: nobody
};

// The machine's sessions, in enumeration order, and the one attached to the
// console (kNoSession: none). Each session gets its window stations and
// desktops afresh; windows on the sessions dropped are destroyed.
KWIN_EXPORT void SetSessions(const std::vector<SessionInfo>& sessions, DWORD consoleSessionId);
KWIN_EXPORT void SetConsoleSession(DWORD sessionId);
// A user logs on to the session (empty: logs off); false when it is unknown.
KWIN_EXPORT bool SetSessionUser(DWORD sessionId, const std::wstring& user);
// The user logged on to the session (empty: nobody); false when it is unknown.
KWIN_EXPORT bool SessionUser(DWORD sessionId, std::wstring* user);
KWIN_EXPORT std::vector<SessionInfo> Sessions();
// Back to the default machine: session 0 ("Services", disconnected) only, no
// console session, no windows, no injected failures, empty records.
KWIN_EXPORT void ResetSessions();

// ---- Window stations and desktops ---------------------------------------------------

// Adds a window station (with no desktops) to the session, or a desktop to a
// window station of it; false when the session or station is unknown.
KWIN_EXPORT bool AddWindowStation(DWORD sessionId, const std::wstring& name);
KWIN_EXPORT bool AddDesktop(DWORD sessionId, const std::wstring& station, const std::wstring& name);

// Makes every OpenWindowStationW of the named station of the session fail
// with the error (e.g. ERROR_ACCESS_DENIED), or every OpenDesktopW of the
// desktop ("WinSta0\\Winlogon"), until ResetSessions.
KWIN_EXPORT void FailOpenWindowStation(DWORD sessionId, const std::wstring& station, DWORD error);
KWIN_EXPORT void FailOpenDesktop(DWORD sessionId, const std::wstring& desktop, DWORD error);

// One call on a window station or a desktop, as the stand-in saw it.
struct KWIN_EXPORT WindowingCall {
    DWORD processId = 0;
    DWORD threadId = 0;
    std::string function;  // "OpenWindowStationW", "SetProcessWindowStation", "CloseWindowStation",
                           // "GetProcessWindowStation", "OpenDesktopW", "SetThreadDesktop",
                           // "CloseDesktop", "GetThreadDesktop"
    HANDLE handle = nullptr;  // the handle returned or passed
    std::wstring name;        // the object's name, "WinSta0" or "WinSta0\\Default"; empty when unknown
    bool initial = false;     // the handle is the process's initial station or the thread's initial desktop
    bool succeeded = false;
};
KWIN_EXPORT std::vector<WindowingCall> WindowingCalls();

// ---- Windows -------------------------------------------------------------------------

using WindowProcedure = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A top-level window on the desktop ("WinSta0\\Default") of the session,
// owned by the calling thread; null when the session or desktop is unknown.
// The procedure may be null (messages are then answered with 0). The window
// is destroyed with DestroyTestWindow, when its owner thread ends, or by
// SetSessions/ResetSessions.
KWIN_EXPORT HWND CreateTestWindow(DWORD sessionId, const std::wstring& desktop, WindowProcedure procedure);
KWIN_EXPORT bool DestroyTestWindow(HWND window);
// The window's owner thread; 0 when no such window exists.
KWIN_EXPORT DWORD WindowOwnerThread(HWND window);

// Handles the messages sent to the calling thread's windows for the time
// given (INFINITE: until a quit); returns how many it handled. A quit posted
// to the thread ends it early.
KWIN_EXPORT int PumpMessages(DWORD milliseconds);
// Handles messages until a quit is posted to the thread; returns the quit's
// exit code.
KWIN_EXPORT int RunMessageLoop();
// Posts a quit to the thread's message loop (also before the loop runs).
KWIN_EXPORT void PostQuit(DWORD threadId, int exitCode = 0);
// Waits until the calling thread has a message to handle; false on timeout.
KWIN_EXPORT bool WaitForMessage(DWORD milliseconds);

// One message a window procedure was given, in the order they were handled.
struct KWIN_EXPORT DeliveredMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD senderProcessId = 0;  // 0: the host program
    DWORD senderThreadId = 0;
};
KWIN_EXPORT std::vector<DeliveredMessage> DeliveredMessages();
// A thread counts as hung, for SendMessageTimeoutW's SMTO_ABORTIFHUNG, when it
// has not looked for messages for this long (machine time) and is not
// waiting for one, or when a test has marked it so.
inline constexpr DWORD kHungAfterMs = 5000;
KWIN_EXPORT void MarkThreadHung(DWORD threadId, bool hung = true);

// Messages sent to windows whose owner has not handled them yet.
KWIN_EXPORT int PendingMessages();

}  // namespace kwin
