#include "service/service.h"

#include "service/devices.h"
#include "service/eventlog.h"
#include "service/forceclose.h"
#include "service/launch.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
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
// What one step of the shut-down may take: a card's force-close pass, with
// room for the release that follows it.
constexpr DWORD kStopStepWaitHintMs = kForceClosePassBoundMs + 5000;
constexpr int kStoppedReportRetries = 3;
constexpr DWORD kStoppedReportRetryMs = 100;

// Fills serviceStatus and reports it; the caller holds statusLock.
bool ReportServiceStatusLocked(DWORD state, DWORD exitCode, DWORD waitHint) {
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
    return SetServiceStatus(statusHandle, &serviceStatus) != FALSE;
}

// Closes the stop event and reports SERVICE_STOPPED in one step, so that a
// stop control never sets a closed event.
void ReportStopped(DWORD exitCode) {
    std::lock_guard<std::mutex> guard(statusLock);
    HANDLE event = stopEvent.exchange(nullptr);
    if (event != nullptr) CloseHandle(event);
    // The dispatcher returns only after a stop has been reported: a report
    // out of resources is tried again a few times; if it still fails, with
    // everything released, the process ends, and the service manager learns
    // of the stop from that.
    for (int attempt = 0; !ReportServiceStatusLocked(SERVICE_STOPPED, exitCode, 0); ++attempt) {
        if (attempt == kStoppedReportRetries) {
            TerminateProcess(GetCurrentProcess(), exitCode);
            return;
        }
        Sleep(kStoppedReportRetryMs);
    }
}

// A start-up that cannot go on: logged, and the service stops with the
// call's error as its exit code, so that the service manager and `sc query`
// show a failure and not a clean stop.
void FailStartUp(LPCWSTR call, DWORD error) {
    LogEvent(call, EVENTLOG_ERROR_TYPE, MSG_ERROR);
    ReportStopped(error != NO_ERROR ? error : ERROR_GEN_FAILURE);
}

void FreeDeviceListHead() {
    std::lock_guard<std::mutex> guard(deviceListLock);
    FreeDeviceNode(deviceList);
    deviceList = nullptr;
}

// A writable copy of the ID, for a pass that runs while the list is not
// held; null when memory runs out.
LPWSTR CopyInstanceId(const WCHAR* id) {
    const size_t bytes = (wcslen(id) + 1) * sizeof(WCHAR);
    auto* copy = static_cast<LPWSTR>(malloc(bytes));
    if (copy != nullptr) memcpy(copy, id, bytes);
    return copy;
}

// One card of the shut-down: its force-close pass, then its release. The
// card stays listed, its handle open, until the pass has ended, so that a
// query-remove for it meanwhile finds it and closes the handle before the
// removal is consented. Returns false once no card is left.
bool ShutDownFirstCard() {
    LPWSTR id = nullptr;
    DeviceNode* released = nullptr;
    {
        std::lock_guard<std::mutex> guard(deviceListLock);
        if (deviceList == nullptr || deviceList->next == nullptr) return false;
        id = CopyInstanceId(deviceList->next->instanceId);
        if (id == nullptr) {
            // No memory for a copy: the pass runs on the node's own ID, with
            // events held back until it has ended.
            ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, kStopStepWaitHintMs);
            released = deviceList->next;
            LaunchForceCloseInstances(released->instanceId);
            UnlistCard(released);
        }
    }
    if (id != nullptr) {
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, kStopStepWaitHintMs);
        LaunchForceCloseInstances(id);
        std::lock_guard<std::mutex> guard(deviceListLock);
        // Gone already when its removal completed during the pass.
        released = FindCard(id);
        if (released != nullptr) UnlistCard(released);
    }
    if (released != nullptr) ForgetCard(released);
    free(id);
    return true;
}

void ShutDown() {
    while (ShutDownFirstCard()) {
    }
    FreeDeviceListHead();
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
        FailStartUp(L"CreateEvent", GetLastError());
        return;
    }
    stopEvent.store(event);

    {
        // Held until the start-up launch is done: device events that arrive
        // meanwhile wait, and then find every card listed.
        std::unique_lock<std::mutex> guard(deviceListLock);
        deviceList = AllocateDeviceNode(1);
        if (deviceList == nullptr) {
            guard.unlock();
            FailStartUp(L"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        // Registered before the enumeration, so that no card whose
        // interfaces appear in between goes unannounced; a card both
        // enumerated and announced is listed once.
        interfaceNotify = RegisterInterfaceNotification();
        if (interfaceNotify == nullptr) {
            const DWORD error = GetLastError();
            guard.unlock();
            FreeDeviceListHead();
            FailStartUp(L"RegisterDeviceNotification", error);
            return;
        }
        BuildDeviceList();
        for (DeviceNode* node = deviceList->next; node != nullptr; node = node->next) OpenAndWatchCard(node);
        LaunchControlPanel(deviceList->next, nullptr);
    }

    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    WaitForSingleObject(event, INFINITE);

    ShutDown();
    ReportStopped(NO_ERROR);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    try {
        switch (control) {
            case SERVICE_CONTROL_STOP: {
                std::lock_guard<std::mutex> guard(statusLock);
                // A stop the service thread cannot be told of is refused: the
                // service goes on running and says so, rather than showing a
                // stop that never comes.
                HANDLE event = stopEvent.load();
                if (event != nullptr && !SetEvent(event)) {
                    const DWORD error = GetLastError();
                    return error != NO_ERROR ? error : ERROR_GEN_FAILURE;
                }
                // Answered at once: the shut-down runs on the service thread,
                // which reports each of its steps (after this one: it needs
                // the status lock).
                ReportServiceStatusLocked(SERVICE_STOP_PENDING, NO_ERROR, kStopStepWaitHintMs);
                return NO_ERROR;
            }
            case SERVICE_CONTROL_INTERROGATE: {
                std::lock_guard<std::mutex> guard(statusLock);
                // A pending state keeps its wait hint: waiters that poll
                // would otherwise give up on a stop that is on its way.
                const DWORD state = serviceStatus.dwCurrentState;
                const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
                ReportServiceStatusLocked(state, NO_ERROR, pending ? serviceStatus.dwWaitHint : 0);
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
