// Force-close mode: a short-lived instance of the program, started by the
// service in one session with a card's instance ID as its whole command line,
// that sends "ForceClose" to the window of each desktop that has declared it
// holds the card (a window property named by the instance ID).
#pragma once

#include "platform/win32.h"

// One pass over the window stations, desktops and windows of this session.
void RunForceCloseMode(LPWSTR instanceId);

// Enumeration callbacks; `instanceId` carries the ID as an LPARAM.
BOOL CALLBACK ForceCloseWindowStation(LPWSTR name, LPARAM instanceId);
BOOL CALLBACK ForceCloseDesktop(LPWSTR name, LPARAM instanceId);
BOOL CALLBACK ForceCloseWindow(HWND window, LPARAM instanceId);
