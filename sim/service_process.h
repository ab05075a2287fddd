// The service program on the simulated machine: where it is installed, and
// one process of it, started as the service control manager starts it or by
// hand from a console.
//
//     sim::Machine machine;
//     machine.InstallService(KORVEXS_IMAGE);
//     sim::ServiceProcess service;                  // start-pending, then running
//     service.WaitForState(SERVICE_RUNNING);
//     service.Control(SERVICE_CONTROL_STOP);
//     service.WaitForExit();
#pragma once

#include "platform/posix/kernel.h"

#include <future>
#include <string>
#include <vector>

namespace sim {

// Where the product is installed on the simulated machine.
std::wstring ProductFolder();                // C:\Program Files\SAVANTIX\Lyrenta Vazozo
std::wstring ServiceImagePath();             // ...\KorvexS.exe
std::wstring ControlPanelImagePath();        // ...\Korvex.exe

class ServiceProcess {
public:
    enum class StartedBy { ServiceManager, Console };

    // Starts the installed service program. From a console, the command line
    // is the program's quoted path unless one is given.
    explicit ServiceProcess(StartedBy startedBy = StartedBy::ServiceManager, std::wstring commandLine = {});
    // Stops the service if it still runs (a test that failed halfway), waits
    // for the process to end, and terminates it if it has not ended after a
    // while.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    DWORD processId() const { return processId_; }

    // Sends a control and returns the handler's answer.
    DWORD Control(DWORD control, DWORD eventType = 0, void* eventData = nullptr) const;
    // The same from another thread; the event data must outlive the answer.
    std::future<DWORD> ControlAsync(DWORD control, DWORD eventType = 0, void* eventData = nullptr) const;

    std::vector<SERVICE_STATUS> Statuses() const;
    bool WaitForState(DWORD state, DWORD milliseconds = 10000) const;
    bool WaitForExit(DWORD milliseconds = 10000) const;
    // STILL_ACTIVE while it runs.
    DWORD ExitCode() const;
    kwin::ProcessRecord Record() const;

private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
};

}  // namespace sim
