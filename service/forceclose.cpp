#include "service/forceclose.h"

#include "service/eventlog.h"
#include "service/service.h"

// The callbacks call only Win32 and LogEvent, none of which throws.

void RunForceCloseMode(LPWSTR instanceId) {
    if (!EnumWindowStationsW(ForceCloseWindowStation, reinterpret_cast<LPARAM>(instanceId))) {
        LogEvent(L"EnumWindowStations", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    }
}

BOOL CALLBACK ForceCloseWindowStation(LPWSTR name, LPARAM instanceId) {
    HWINSTA previous = GetProcessWindowStation();
    HWINSTA station = OpenWindowStationW(name, FALSE, MAXIMUM_ALLOWED);
    if (station == nullptr) {
        LogEvent(L"OpenWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    SetProcessWindowStation(station);
    // Desktop names are resolved in the process's current window station.
    EnumDesktopsW(station, ForceCloseDesktop, instanceId);
    SetProcessWindowStation(previous);
    CloseWindowStation(station);
    return TRUE;
}

BOOL CALLBACK ForceCloseDesktop(LPWSTR name, LPARAM instanceId) {
    HDESK previous = GetThreadDesktop(GetCurrentThreadId());
    HDESK desktop = OpenDesktopW(name, 0, FALSE, MAXIMUM_ALLOWED);
    if (desktop == nullptr) {
        LogEvent(L"OpenDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    SetThreadDesktop(desktop);
    EnumDesktopWindows(desktop, ForceCloseWindow, instanceId);
    SetThreadDesktop(previous);
    CloseDesktop(desktop);
    return TRUE;
}

BOOL CALLBACK ForceCloseWindow(HWND window, LPARAM instanceId) {
    if (GetPropW(window, reinterpret_cast<LPCWSTR>(instanceId)) == nullptr) return TRUE;
    // Bounded: a window that never answers must not keep the others from
    // being asked, nor hold up the removal.
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, forceCloseMessage, 0, 0, SMTO_ABORTIFHUNG, kForceCloseSendTimeoutMs, &answer);
    // Any program may hold the card (several panels, other programs): every
    // marked window is asked.
    return TRUE;
}
