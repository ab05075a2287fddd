#include "service/service.h"

#include "service/devices.h"
#include "service/eventlog.h"
#include "service/forceclose.h"
#include "service/launch.h"

#include <cstdlib>
#include <exception>

UINT forceCloseMessage = 0;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS serviceStatus = {};
DWORD checkPointCounter = 1;
std::atomic<HANDLE> stopEvent{nullptr};
std::mutex statusLock;

// Only std::exception is caught at the edges (the standard library's locks
// are all that can throw here): a thread cancellation on the simulated
// machine unwinds as a foreign exception that must pass.

namespace {

constexpr WCHAR kServiceName[] = L"KorvexS";
constexpr DWORD kStartPendingWaitHintMs = 3000;

// Fills serviceStatus and reports it; the caller holds statusLock.
void ReportServiceStatusLocked(DWORD state, DWORD exitCode, DWORD waitHint) {
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE);
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        serviceStatus.dwCheckPoint = 0;
    } else {
        serviceStatus.dwCheckPoint = checkPointCounter++;
    }
    SetServiceStatus(statusHandle, &serviceStatus);
}

// Closes the stop event and reports SERVICE_STOPPED in one step, so that a
// stop control never sets a closed event.
void ReportStopped() {
    std::lock_guard<std::mutex> guard(statusLock);
    HANDLE event = stopEvent.exchange(nullptr);
    if (event != nullptr) CloseHandle(event);
    ReportServiceStatusLocked(SERVICE_STOPPED, NO_ERROR, 0);
}

// Takes the first card off the list, or null when none is left.
DeviceNode* UnlinkFirstCard() {
    std::lock_guard<std::mutex> guard(deviceListLock);
    if (deviceList == nullptr) return nullptr;
    DeviceNode* node = deviceList->next;
    if (node != nullptr) deviceList->next = node->next;
    return node;
}

void ReleaseCard(DeviceNode* node) {
    if (!node->closedForRemoval && node->deviceHandle != INVALID_HANDLE_VALUE && node->deviceHandle != nullptr) {
        CloseHandle(node->deviceHandle);
    }
    if (node->notifyHandle != nullptr) UnregisterDeviceNotification(node->notifyHandle);
    free(node);
}

// Start-up has failed after the cards were opened and watched: release them
// without a force-close pass (no control panel has been started for them).
void ReleaseDeviceList() {
    std::lock_guard<std::mutex> guard(deviceListLock);
    if (deviceList == nullptr) return;
    DeviceNode* node = deviceList->next;
    while (node != nullptr) {
        DeviceNode* next = node->next;
        ReleaseCard(node);
        node = next;
    }
    free(deviceList);
    deviceList = nullptr;
}

void ShutDown() {
    // Each card leaves the list before its force-close pass, so that device
    // events and session changes are served meanwhile without seeing it.
    while (DeviceNode* node = UnlinkFirstCard()) {
        LaunchForceCloseInstances(node->instanceId);
        ReleaseCard(node);
    }
    {
        std::lock_guard<std::mutex> guard(deviceListLock);
        free(deviceList);
        deviceList = nullptr;
    }
    if (interfaceNotify != nullptr) UnregisterDeviceNotification(interfaceNotify);
    interfaceNotify = nullptr;
}

}  // namespace

bool IsForceCloseArgument(const WCHAR* argument) {
    if (argument == nullptr) return false;
    static constexpr WCHAR kPrefix[] = L"PCI";
    for (size_t i = 0; i < 3; ++i) {
        WCHAR c = argument[i];
        if (c >= L'a' && c <= L'z') c = static_cast<WCHAR>(c - L'a' + L'A');
        // The terminator of a shorter argument differs from every letter.
        if (c != kPrefix[i]) return false;
    }
    return true;
}

int ServiceEntry(int argc, wchar_t** argv) {
    try {
        forceCloseMessage = RegisterWindowMessageW(L"ForceClose");
        if (argc > 0 && argv != nullptr && IsForceCloseArgument(argv[0])) {
            RunForceCloseMode(argv[0]);
            return 0;
        }
        SERVICE_TABLE_ENTRYW table[] = {
            {const_cast<LPWSTR>(kServiceName), ServiceMain},
            {nullptr, nullptr},
        };
        if (!StartServiceCtrlDispatcherW(table)) {
            LogEvent(L"StartServiceCtrlDispatcher", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        }
    } catch (const std::exception&) {
    }
    return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    try {
        SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(kServiceName, ServiceControlHandler, nullptr);
        if (handle == nullptr) {
            LogEvent(L"RegisterServiceCtrlHandler", EVENTLOG_ERROR_TYPE, MSG_ERROR);
            return;
        }
        {
            std::lock_guard<std::mutex> guard(statusLock);
            statusHandle = handle;
            serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            serviceStatus.dwServiceSpecificExitCode = 0;
            ReportServiceStatusLocked(SERVICE_START_PENDING, NO_ERROR, kStartPendingWaitHintMs);
        }
        ServiceRun();
    } catch (const std::exception&) {
    }
}

void ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    std::lock_guard<std::mutex> guard(statusLock);
    ReportServiceStatusLocked(state, exitCode, waitHint);
}

void ServiceRun() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
        return;
    }
    stopEvent.store(event);

    // Device events for handles watched here wait until the walk is done.
    {
        std::lock_guard<std::mutex> guard(deviceListLock);
        BuildDeviceList();
        for (DeviceNode* node = deviceList->next; node != nullptr; node = node->next) {
            OpenCard(node);
            WatchHandle(node);
        }
    }

    {
        // Held from before the interface registration: a card that arrives
        // meanwhile is handled after the start-up launch, which therefore
        // does not start its control panel a second time.
        std::unique_lock<std::mutex> guard(deviceListLock);
        interfaceNotify = RegisterInterfaceNotification();
        if (interfaceNotify == nullptr) {
            guard.unlock();
            LogEvent(L"RegisterDeviceNotification", EVENTLOG_ERROR_TYPE, MSG_ERROR);
            ReleaseDeviceList();
            ReportStopped();
            return;
        }
        LaunchControlPanel(deviceList->next, nullptr);
    }

    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    WaitForSingleObject(event, INFINITE);

    ShutDown();
    ReportStopped();
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    try {
        switch (control) {
            case SERVICE_CONTROL_STOP: {
                std::lock_guard<std::mutex> guard(statusLock);
                ReportServiceStatusLocked(SERVICE_STOP_PENDING, NO_ERROR, 0);
                HANDLE event = stopEvent.load();
                if (event != nullptr) SetEvent(event);
                return NO_ERROR;
            }
            case SERVICE_CONTROL_INTERROGATE: {
                std::lock_guard<std::mutex> guard(statusLock);
                ReportServiceStatusLocked(serviceStatus.dwCurrentState, NO_ERROR, 0);
                return NO_ERROR;
            }
            case SERVICE_CONTROL_DEVICEEVENT:
                OnDeviceEvent(eventType, eventData);
                return NO_ERROR;
            case SERVICE_CONTROL_SESSIONCHANGE:
                OnSessionChange(eventType);
                return NO_ERROR;
            default:
                return ERROR_CALL_NOT_IMPLEMENTED;
        }
    } catch (const std::exception&) {
        // A removal is never vetoed, whatever happened here.
        return NO_ERROR;
    }
}
