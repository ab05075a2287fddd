// Program entry, the service's main function, status reporting and the
// control handler of the service "KorvexS".
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <mutex>

// The number registered for the window message "ForceClose".
extern UINT forceCloseMessage;
extern SERVICE_STATUS_HANDLE statusHandle;
// The one record passed to every SetServiceStatus call.
extern SERVICE_STATUS serviceStatus;
// The next check point of a pending report; starts at 1, never reset.
extern DWORD checkPointCounter;
// Set by the stop control; the service thread waits on it. Null until the
// service thread has created it and after it has been closed.
extern std::atomic<HANDLE> stopEvent;
// Serialises the reports of the service thread and the control handler.
extern std::mutex statusLock;

// The program's entry: force-close mode when argument zero is a device
// instance ID (it begins with "PCI" in any case), otherwise the service
// dispatcher. Always returns 0.
int ServiceEntry(int argc, wchar_t** argv);
// True when argument zero selects force-close mode.
bool IsForceCloseArgument(const WCHAR* argument);

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
void ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);
// Start-up, the wait for the stop event and shut-down; returns after
// SERVICE_STOPPED has been reported.
void ServiceRun();
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
