// The service control manager's side of a service process: its dispatcher's
// queue of controls, the registered handler and the reported statuses. Device
// notifications find their recipient here.
#pragma once

#include "platform/posix/kernel.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kwin {

struct ServiceConnection {
    struct Request {
        DWORD control = 0;
        DWORD eventType = 0;
        void* eventData = nullptr;
        DWORD result = 0;
        bool done = false;
    };

    DWORD processId = 0;
    std::wstring serviceName;

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    std::deque<Request*> queue;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    std::vector<SERVICE_STATUS> history;
    std::vector<ControlRecord> controls;
    bool dispatching = false;
    bool stopped = false;
    bool serviceThreadEnded = false;
};

// The connection a status handle names; null when it names none.
std::shared_ptr<ServiceConnection> FindServiceConnection(SERVICE_STATUS_HANDLE handle);
// Queues a control for the dispatcher and waits for the handler's answer
// (ERROR_SERVICE_NOT_ACTIVE when the service no longer takes controls).
// `timedOut`, if given, tells whether the answer came later than the bound.
DWORD DeliverServiceControl(ServiceConnection& service, DWORD control, DWORD eventType, void* eventData,
                            bool* timedOut = nullptr);

}  // namespace kwin
