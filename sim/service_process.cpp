#include "sim/service_process.h"

#include <thread>

namespace sim {

std::wstring ProductFolder() { return L"C:\\Program Files\\SAVANTIX\\Lyrenta Vazozo"; }
std::wstring ServiceImagePath() { return ProductFolder() + L"\\KorvexS.exe"; }
std::wstring ControlPanelImagePath() { return ProductFolder() + L"\\Korvex.exe"; }

ServiceProcess::ServiceProcess(StartedBy startedBy, std::wstring commandLine) {
    kwin::ProcessStart start;
    start.imagePath = ServiceImagePath();
    // The service control manager starts the program by its quoted path.
    start.commandLine = commandLine.empty() ? L"\"" + start.imagePath + L"\"" : commandLine;
    start.sessionId = 0;
    start.desktop = L"";
    start.startedByServiceManager = startedBy == StartedBy::ServiceManager;
    PROCESS_INFORMATION info{};
    DWORD error = 0;
    if (!kwin::StartProcess(start, &info, &error)) return;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
}

ServiceProcess::~ServiceProcess() {
    if (!process_) return;
    // A test that gave up halfway leaves its service running: it is stopped
    // as the service manager stops it (every answer and pass of the service
    // is bounded), and ended only if it has not stopped after all.
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        kwin::SendServiceControl(processId_, SERVICE_CONTROL_STOP);
        if (WaitForSingleObject(process_, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
        }
    }
    CloseHandle(process_);
}

DWORD ServiceProcess::Control(DWORD control, DWORD eventType, void* eventData) const {
    return kwin::SendServiceControl(processId_, control, eventType, eventData);
}

std::future<DWORD> ServiceProcess::ControlAsync(DWORD control, DWORD eventType, void* eventData) const {
    const DWORD processId = processId_;
    return std::async(std::launch::async, [=] { return kwin::SendServiceControl(processId, control, eventType, eventData); });
}

std::vector<SERVICE_STATUS> ServiceProcess::Statuses() const { return kwin::ServiceStatusHistory(processId_); }

bool ServiceProcess::WaitForState(DWORD state, DWORD milliseconds) const {
    return kwin::WaitServiceState(processId_, state, milliseconds);
}

bool ServiceProcess::WaitForExit(DWORD milliseconds) const {
    return process_ && WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0;
}

DWORD ServiceProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_, &code);
    return code;
}

kwin::ProcessRecord ServiceProcess::Record() const {
    return kwin::ProcessRecordOf(processId_).value_or(kwin::ProcessRecord{});
}

}  // namespace sim
