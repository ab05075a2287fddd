#include "service/forceclose.h"

#include "service/eventlog.h"
#include "service/service.h"

// The callbacks call only Win32 and LogEvent, none of which throws.

void RunForceCloseMode(LPWSTR instanceId) {
    if (!EnumWindowStationsW(ForceCloseWindowStation, reinterpret_cast<LPARAM>(instanceId))) {
        LogEvent(L"EnumWindowStations", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    }
}

// A station or desktop the instance cannot switch back from stays current
// and cannot be closed: the system releases it when the instance ends. One
// it cannot switch back to is never entered.

BOOL CALLBACK ForceCloseWindowStation(LPWSTR name, LPARAM instanceId) {
    HWINSTA previous = GetProcessWindowStation();
    if (previous == nullptr) {
        LogEvent(L"GetProcessWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    HWINSTA station = OpenWindowStationW(name, FALSE, MAXIMUM_ALLOWED);
    if (station == nullptr) {
        LogEvent(L"OpenWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    if (!SetProcessWindowStation(station)) {
        LogEvent(L"SetProcessWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        CloseWindowStation(station);
        return TRUE;
    }
    // Desktop names are resolved in the process's current window station.
    EnumDesktopsW(station, ForceCloseDesktop, instanceId);
    if (!SetProcessWindowStation(previous)) {
        LogEvent(L"SetProcessWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    CloseWindowStation(station);
    return TRUE;
}

BOOL CALLBACK ForceCloseDesktop(LPWSTR name, LPARAM instanceId) {
    HDESK previous = GetThreadDesktop(GetCurrentThreadId());
    if (previous == nullptr) {
        LogEvent(L"GetThreadDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    HDESK desktop = OpenDesktopW(name, 0, FALSE, MAXIMUM_ALLOWED);
    if (desktop == nullptr) {
        LogEvent(L"OpenDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
    if (!SetThreadDesktop(desktop)) {
        LogEvent(L"SetThreadDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        CloseDesktop(desktop);
        return TRUE;
    }
    EnumDesktopWindows(desktop, ForceCloseWindow, instanceId);
    if (!SetThreadDesktop(previous)) {
        LogEvent(L"SetThreadDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return TRUE;
    }
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
