// Force-close mode: a short-lived instance of the program, started by the
// service in one session with a card's instance ID as its whole command line,
// that sends "ForceClose" to every window that has declared it holds the card
// (a window property named by the instance ID, with a value that is not
// null), on every desktop of every window station of the session.
#pragma once

#include "platform/win32.h"

// How long one window may take to answer "ForceClose". A window whose thread
// is hung (it has not looked for messages for five seconds) is not waited for.
inline constexpr UINT kForceCloseSendTimeoutMs = 5000;

// One pass over the window stations, desktops and windows of this session.
void RunForceCloseMode(LPWSTR instanceId);

// Enumeration callbacks; `instanceId` carries the ID as an LPARAM.
BOOL CALLBACK ForceCloseWindowStation(LPWSTR name, LPARAM instanceId);
BOOL CALLBACK ForceCloseDesktop(LPWSTR name, LPARAM instanceId);
BOOL CALLBACK ForceCloseWindow(HWND window, LPARAM instanceId);
