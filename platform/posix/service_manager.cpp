// The service control manager as a service process meets it: the dispatcher
// (StartServiceCtrlDispatcherW), the handler registration, status reports,
// and the controls that the machine sends.
#include "platform/posix/service_manager.h"

#include "platform/posix/faults.h"
#include "platform/posix/process.h"

#include <chrono>

namespace kwin {
namespace {

constexpr DWORD kErrorServiceCannotAcceptCtrl = 1061;
constexpr DWORD kErrorInvalidAddress = 487;

struct Services {
    std::mutex mutex;
    std::vector<std::shared_ptr<ServiceConnection>> connections;  // in the order their handlers registered
    std::vector<std::shared_ptr<ServiceConnection>> all;
    std::function<void(DWORD, DWORD, DWORD)> hook;
};
Services& TheServices() {
    static auto* services = new Services;  // never destroyed: threads may outlive main
    return *services;
}

std::shared_ptr<ServiceConnection> FindByProcess(DWORD processId) {
    Services& services = TheServices();
    std::lock_guard lock(services.mutex);
    for (auto it = services.all.rbegin(); it != services.all.rend(); ++it) {
        if ((*it)->processId == processId) return *it;
    }
    return nullptr;
}

struct ServiceThreadStart {
    std::shared_ptr<ServiceConnection> service;
    LPSERVICE_MAIN_FUNCTIONW main;
    std::wstring name;
};

// Records the end of ServiceMain, also when TerminateProcess unwinds it.
class ServiceThreadEndGuard {
public:
    explicit ServiceThreadEndGuard(ServiceConnection& service) : service_(service) {}
    ServiceThreadEndGuard(const ServiceThreadEndGuard&) = delete;
    ServiceThreadEndGuard& operator=(const ServiceThreadEndGuard&) = delete;
    ~ServiceThreadEndGuard() {
        std::lock_guard lock(service_.mutex);
        service_.serviceThreadEnded = true;
        service_.changed.notify_all();
    }

private:
    ServiceConnection& service_;
};

DWORD WINAPI ServiceThreadMain(LPVOID parameter) {
    std::unique_ptr<ServiceThreadStart> start(static_cast<ServiceThreadStart*>(parameter));
    ServiceThreadEndGuard guard(*start->service);
    WCHAR* argv[] = {start->name.data(), nullptr};
    start->main(1, argv);
    return 0;
}

// The dispatcher ends once the service thread has ended and the service has
// reported SERVICE_STOPPED, or never registered a handler to report with.
bool DispatcherDoneLocked(const ServiceConnection& service) {
    return service.serviceThreadEnded && (service.stopped || !service.handler);
}

}  // namespace

std::shared_ptr<ServiceConnection> FindServiceConnection(SERVICE_STATUS_HANDLE handle) {
    Services& services = TheServices();
    std::lock_guard lock(services.mutex);
    for (const auto& service : services.all) {
        if (reinterpret_cast<SERVICE_STATUS_HANDLE>(service.get()) == handle) return service;
    }
    return nullptr;
}

// Waits for the answer however long it takes (the event data stays valid),
// and records how long that was.
DWORD DeliverServiceControl(ServiceConnection& service, DWORD control, DWORD eventType, void* eventData,
                            bool* timedOut) {
    ServiceConnection::Request request{control, eventType, eventData, 0, false};
    std::unique_lock lock(service.mutex);
    if (!service.dispatching || service.stopped) return ERROR_SERVICE_NOT_ACTIVE;
    const size_t index = service.controls.size();
    ControlRecord record;
    record.control = control;
    record.eventType = eventType;
    record.sentAt = MachineMilliseconds();
    service.controls.push_back(record);
    service.queue.push_back(&request);
    service.changed.notify_all();
    service.changed.wait(lock, [&] { return request.done; });
    ControlRecord& answered = service.controls[index];
    answered.answeredAt = MachineMilliseconds();
    answered.result = request.result;
    answered.timedOut = answered.answeredAt - answered.sentAt > kControlHandlerBoundMs;
    if (timedOut) *timedOut = answered.timedOut;
    return request.result;
}

DWORD SendServiceControl(DWORD processId, DWORD control, DWORD eventType, void* eventData) {
    auto service = FindByProcess(processId);
    if (!service) return ERROR_SERVICE_NOT_ACTIVE;
    bool timedOut = false;
    const DWORD result = DeliverServiceControl(*service, control, eventType, eventData, &timedOut);
    return timedOut ? ERROR_SERVICE_REQUEST_TIMEOUT : result;
}

std::vector<ControlRecord> ServiceControls(DWORD processId) {
    auto service = FindByProcess(processId);
    if (!service) return {};
    std::lock_guard lock(service->mutex);
    return service->controls;
}

std::vector<SERVICE_STATUS> ServiceStatusHistory(DWORD processId) {
    auto service = FindByProcess(processId);
    if (!service) return {};
    std::lock_guard lock(service->mutex);
    return service->history;
}

bool WaitServiceState(DWORD processId, DWORD state, DWORD milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::shared_ptr<ServiceConnection> service;
    while (!(service = FindByProcess(processId))) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::unique_lock lock(service->mutex);
    return service->changed.wait_until(lock, deadline, [&] {
        for (const auto& status : service->history) {
            if (status.dwCurrentState == state) return true;
        }
        return false;
    });
}

std::vector<DWORD> ServiceProcesses() {
    Services& services = TheServices();
    std::lock_guard lock(services.mutex);
    std::vector<DWORD> ids;
    for (const auto& service : services.connections) {
        std::lock_guard serviceLock(service->mutex);
        if (service->dispatching && !service->stopped) ids.push_back(service->processId);
    }
    return ids;
}

void SetServiceControlHook(std::function<void(DWORD, DWORD, DWORD)> hook) {
    Services& services = TheServices();
    std::lock_guard lock(services.mutex);
    services.hook = std::move(hook);
}

}  // namespace kwin

using kwin::ServiceConnection;

// Only a process that the machine started as a service connects; any other
// fails at once (Windows takes a while to say so).
extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
    if (kwin::ShouldFail("StartServiceCtrlDispatcherW")) return FALSE;
    auto process = kwin::CurrentProcessShared();
    if (!process || !process->start.startedByServiceManager) {
        kwin::SetLastErrorValue(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (process->service) {
        kwin::SetLastErrorValue(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto service = std::make_shared<ServiceConnection>();
    service->processId = process->id;
    service->serviceName = lpServiceStartTable[0].lpServiceName;
    service->dispatching = true;
    process->service = service;
    {
        kwin::Services& services = kwin::TheServices();
        std::lock_guard lock(services.mutex);
        services.all.push_back(service);
    }

    auto* start = new kwin::ServiceThreadStart{service, lpServiceStartTable[0].lpServiceProc, service->serviceName};
    HANDLE serviceThread = kwin::CreateThreadIn(process, kwin::ServiceThreadMain, start, 0, nullptr);
    if (!serviceThread) {
        delete start;
        std::lock_guard lock(service->mutex);
        service->dispatching = false;
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    std::unique_lock lock(service->mutex);
    for (;;) {
        service->changed.wait(lock, [&] { return !service->queue.empty() || kwin::DispatcherDoneLocked(*service); });
        if (service->queue.empty()) break;
        ServiceConnection::Request* request = service->queue.front();
        service->queue.pop_front();
        LPHANDLER_FUNCTION_EX handler = service->handler;
        LPVOID context = service->context;
        lock.unlock();
        std::function<void(DWORD, DWORD, DWORD)> hook;
        {
            kwin::Services& services = kwin::TheServices();
            std::lock_guard hookLock(services.mutex);
            hook = services.hook;
        }
        if (hook) hook(service->processId, request->control, request->eventType);
        const DWORD result = handler ? handler(request->control, request->eventType, request->eventData, context)
                                     : kwin::kErrorServiceCannotAcceptCtrl;
        lock.lock();
        request->result = result;
        request->done = true;
        service->changed.notify_all();
    }
    service->dispatching = false;
    lock.unlock();

    WaitForSingleObject(serviceThread, INFINITE);
    CloseHandle(serviceThread);
    return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                                      LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                                      LPVOID lpContext) {
    if (kwin::ShouldFail("RegisterServiceCtrlHandlerExW")) return nullptr;
    kwin::ProcessObject* process = kwin::CurrentProcess();
    std::shared_ptr<ServiceConnection> service = process ? process->service : nullptr;
    if (!service || !lpServiceName || service->serviceName != lpServiceName) {
        kwin::SetLastErrorValue(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!lpHandlerProc) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    {
        std::lock_guard lock(service->mutex);
        service->handler = lpHandlerProc;
        service->context = lpContext;
    }
    kwin::Services& services = kwin::TheServices();
    std::lock_guard lock(services.mutex);
    services.connections.push_back(service);
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(service.get());
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    if (kwin::ShouldFail("SetServiceStatus")) return FALSE;
    auto service = kwin::FindServiceConnection(hServiceStatus);
    if (!service) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpServiceStatus) {
        kwin::SetLastErrorValue(kwin::kErrorInvalidAddress);
        return FALSE;
    }
    if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED || lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        kwin::SetLastErrorValue(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::lock_guard lock(service->mutex);
    service->history.push_back(*lpServiceStatus);
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) service->stopped = true;
    service->changed.notify_all();
    return TRUE;
}
