// The service's sweep scenarios. Only the calls of the service program's own
// processes (the service and its force-close instances) are counted and
// failed: the control panels and the test make the same calls, and their
// failures are not the product's.
#include "tests/sweep/service_scenarios.h"

#include "platform/posix/kernel.h"
#include "platform/posix/kernel_pnp.h"
#include "platform/posix/kernel_sessions.h"
#include "sim/control_panel.h"
#include "sim/machine.h"
#include "sim/marked_window_program.h"
#include "sim/pnp.h"
#include "sim/service_process.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace sweep {
namespace {

using Clock = std::chrono::steady_clock;

// The machine's clock runs this much faster: the force-close bounds of
// seconds pass in tenths of that.
constexpr DWORD kTimeScale = 10;
// Every control is answered within this (machine time).
constexpr ULONGLONG kAnswerBoundMs = 20000;

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// The text the service logs when the call fails, for the calls whose every
// failure it logs; nullopt for the others, which it may log (a control
// panel's CreateProcessAsUserW) or not (a force-close instance's).
std::optional<std::wstring> AlwaysLogged(const std::string& function) {
    static const std::map<std::string, std::wstring> kLogged = {
        {"StartServiceCtrlDispatcherW", L"StartServiceCtrlDispatcher"},
        {"RegisterServiceCtrlHandlerExW", L"RegisterServiceCtrlHandler"},
        {"CreateEventW", L"CreateEvent"},
        {"OpenProcessToken", L"OpenProcessToken"},
        {"CreateRestrictedToken", L"CreateRestrictedToken"},
        {"SetTokenInformation", L"SetTokenInformation"},
        {"WTSQueryUserToken", L"WTSQueryUserToken"},
        {"CreateEnvironmentBlock", L"CreateEnvironmentBlock"},
        {"SHGetSpecialFolderPathW", L"SHGetSpecialFolderPath"},
        {"EnumWindowStationsW", L"EnumWindowStations"},
        {"OpenWindowStationW", L"OpenWindowStation"},
        {"OpenDesktopW", L"OpenDesktop"},
    };
    const auto found = kLogged.find(function);
    if (found == kLogged.end()) return std::nullopt;
    return found->second;
}

// The text a failure of the call is logged with when it is logged at all.
std::wstring LoggedName(const std::string& function) {
    if (auto always = AlwaysLogged(function)) return *always;
    if (function == "CreateProcessAsUserW") return L"CreateProcessAsUser";
    if (function == "RegisterDeviceNotificationW") return L"RegisterDeviceNotification";
    return std::wstring(function.begin(), function.end());
}

// Every failure the service is to log is logged once, with the call's name,
// and nothing else is logged as an error.
void CheckLog(Run& run) {
    std::vector<std::wstring> errors;
    for (const auto& entry : kwin::EventLog()) {
        if (entry.type != EVENTLOG_ERROR_TYPE) continue;
        errors.push_back(entry.strings.size() == 2 ? entry.strings[1] : L"?");
    }
    std::string listed;
    for (const auto& error : errors) listed += " \"" + Narrow(error) + "\"";
    if (!run.armed() || !run.point()) {
        run.Check(errors.empty(), "errors logged with no failure injected:" + listed);
        return;
    }
    const std::string& function = run.point()->function;
    run.Check(errors.size() <= 1, "more than one error logged for one failure:" + listed);
    if (!errors.empty()) {
        run.Check(errors.front() == LoggedName(function), "the failure of " + function + " logged as" + listed);
    }
}

bool CheckLoggedIfFired(Run& run) {
    if (!run.armed() || !run.fired()) return true;
    const auto expected = AlwaysLogged(run.point()->function);
    if (!expected) return true;
    int found = 0;
    for (const auto& entry : kwin::EventLog()) {
        found += entry.type == EVENTLOG_ERROR_TYPE && entry.strings.size() == 2 && entry.strings[1] == *expected;
    }
    return run.Check(found == 1, "the failure of " + run.point()->function + " logged " + std::to_string(found) +
                                     " times instead of once");
}

std::string Text(const kwin::HandleCounts& c) {
    return "total " + std::to_string(c.total) + ", events " + std::to_string(c.events) + ", threads " +
           std::to_string(c.threads) + ", device files " + std::to_string(c.deviceFiles) + ", processes " +
           std::to_string(c.processes) + ", tokens " + std::to_string(c.tokens) + ", notifications " +
           std::to_string(c.notifications) + ", stations " + std::to_string(c.windowStations) + ", desktops " +
           std::to_string(c.desktops) + ", other " + std::to_string(c.other);
}

// Every control sent to the process was answered, within the bound.
void CheckAnswers(Run& run, DWORD processId) {
    for (const auto& control : kwin::ServiceControls(processId)) {
        const std::string what = "control " + std::to_string(control.control) + " (event " +
                                 std::to_string(control.eventType) + ")";
        if (!run.Check(control.answeredAt != 0, what + " never answered")) continue;
        const ULONGLONG took = control.answeredAt - control.sentAt;
        run.Check(took <= kAnswerBoundMs && !control.timedOut,
                  what + " answered after " + std::to_string(took) + " ms");
    }
}

// What every scenario leaves: nothing running, nothing open, nothing
// registered, against the counts taken before the product started.
void CheckBackToBaseline(Run& run, const kwin::HandleCounts& before) {
    run.Check(kwin::WaitAllProcessesEnded(20000), "a process still runs");
    for (const auto& record : kwin::ProcessHistory()) {
        // A process ended from outside leaves its handles to the system.
        if (record.terminated) continue;
        run.Check(record.handlesLeftAtExit == 0, Narrow(record.imagePath) + " (" + Narrow(record.commandLine) +
                                                     ") left " + std::to_string(record.handlesLeftAtExit) +
                                                     " handles open at its end");
        // A station or desktop can be left current only by a switch back
        // that failed; otherwise the program was to return to its own.
        const bool switchBackFailed =
            run.armed() && run.fired() &&
            (run.point()->function == "SetProcessWindowStation" || run.point()->function == "SetThreadDesktop");
        run.Check(record.currentStationAndDesktopAtExit == 0 || switchBackFailed,
                  Narrow(record.imagePath) + " (" + Narrow(record.commandLine) + ") ended in a window station or "
                  "desktop not its own");
    }
    // A thread on its way out is given a moment.
    bool threadsEnded = false;
    for (const auto until = Clock::now() + std::chrono::seconds(3); !threadsEnded && Clock::now() < until;) {
        threadsEnded = true;
        for (const auto& thread : kwin::ThreadHistory()) threadsEnded = threadsEnded && thread.finished;
        if (!threadsEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    run.Check(threadsEnded, "a thread still runs");
    const kwin::HandleCounts handles = kwin::OpenHandles();
    run.Check(handles == before, "handles " + Text(handles) + " instead of " + Text(before));
    run.Check(kwin::DeviceNotificationRegistrations().empty(), "device notifications still registered");
    run.Check(kwin::Tokens().environmentBlocks == 0, "environment blocks not destroyed");
}

// Every panel started so far has its window up or has ended.
bool PanelsSettled(const sim::ControlPanelProgram& panels) { return panels.WaitSettled(); }

// The device files the process holds on the card.
int FilesHeldOn(DWORD processId, const std::wstring& instanceId) {
    int files = 0;
    for (const auto& handle : kwin::OpenHandlesOf(processId)) {
        files += handle.type == "device file" && handle.deviceInstanceId == instanceId;
    }
    return files;
}

// A removal the service consented to: the service's own handle was closed
// first, and with no failure injected nobody else held the card either
// (the panels, asked by force-close, let go of it). With a failure in the
// way of the asking, a panel may still hold it; the service never.
void CheckRemoval(Run& run, const kwin::RemovalResult& result, int serviceFiles, const char* which) {
    run.Check(serviceFiles == 0, std::string(which) + ": the card removed with the service's handle open");
    if (!run.armed()) {
        run.Check(result.handlesStillOpen == 0, std::string(which) + ": the card removed with " +
                                                    std::to_string(result.handlesStillOpen) + " handles open");
    }
}

void SetUpSessions() {
    kwin::SetSessions({{0, L"Services", WTSDisconnected},
                       {1, L"Console", WTSActive, L"alice"},
                       {2, L"RDP-Tcp#0", WTSActive, L"bob"}},
                      1);
}

// Until the service runs or has ended (its start-up failed).
void AwaitStartedOrEnded(const sim::ServiceProcess& service) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until && !service.WaitForExit(0)) {
        const auto statuses = service.Statuses();
        if (!statuses.empty() && (statuses.back().dwCurrentState == SERVICE_RUNNING ||
                                  statuses.back().dwCurrentState == SERVICE_STOPPED)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Reported(const std::vector<SERVICE_STATUS>& statuses, DWORD state) {
    for (const auto& status : statuses) {
        if (status.dwCurrentState == state) return true;
    }
    return false;
}

// The status reports end in SERVICE_STOPPED with the right exit code: 0
// after a stop, the failing call's error after a failed start-up.
void CheckStopped(Run& run, const std::vector<SERVICE_STATUS>& statuses) {
    const bool statusFailed = run.armed() && run.point()->function == "SetServiceStatus";
    const bool handlerFailed = run.armed() && (run.point()->function == "RegisterServiceCtrlHandlerExW" ||
                                               run.point()->function == "StartServiceCtrlDispatcherW");
    if (handlerFailed && run.fired()) {
        run.Check(statuses.empty(), "a status reported with no handler registered");
        return;
    }
    if (statusFailed) return;  // a report that failed is missing; the process's end says the rest
    if (!run.Check(!statuses.empty() && statuses.back().dwCurrentState == SERVICE_STOPPED,
                   "the service did not report SERVICE_STOPPED last")) {
        return;
    }
    const DWORD exitCode = statuses.back().dwWin32ExitCode;
    if (Reported(statuses, SERVICE_RUNNING)) {
        run.Check(exitCode == NO_ERROR, "stopped with exit code " + std::to_string(exitCode) + " after running");
    } else {
        run.Check(run.armed() && run.fired(), "the start-up failed with no failure injected");
        const DWORD expected = run.armed() && run.point()->error != 0 ? run.point()->error : ERROR_NOT_ENOUGH_MEMORY;
        run.Check(exitCode == expected, "a failed start-up reported exit code " + std::to_string(exitCode) +
                                            " instead of " + std::to_string(expected));
    }
}

// ---- The service's life -----------------------------------------------------------------

void ServiceLife(Run& run) {
    sim::Machine machine;
    machine.InstallService(KORVEXS_IMAGE);
    kwin::SetTimeScale(kTimeScale);
    SetUpSessions();
    sim::ControlPanelProgram panels;
    const std::wstring first = machine.AddCard({.model = sim::CardModel::Six}).InstanceId();
    machine.AddCard({.model = sim::CardModel::Pico});
    kwin::CountCallsOfImage(sim::ServiceImagePath());
    const kwin::HandleCounts before = kwin::OpenHandles();

    run.Begin();
    DWORD processId = 0;
    std::vector<SERVICE_STATUS> statuses;
    {
        sim::ServiceProcess service;
        if (!run.Check(service.started(), "the service process did not start")) return;
        processId = service.processId();
        AwaitStartedOrEnded(service);
        if (Reported(service.Statuses(), SERVICE_RUNNING)) {
            run.Check(PanelsSettled(panels), "a control panel did not come up");
            // A card whose interfaces are enabled one by one.
            sim::Card& arrived = sim::ArriveCardInterfaceByInterface(
                machine, {.model = sim::CardModel::Eight, .streamingInterfaces = true});
            const std::wstring arrivedId = arrived.InstanceId();
            run.Check(PanelsSettled(panels), "a control panel did not come up");
            // A removal another program refuses, then one that is granted.
            sim::RequestRemoval(machine, machine.card(0), true);
            run.Check(PanelsSettled(panels), "a control panel did not come up");
            kwin::RemovalResult granted = sim::RequestRemoval(machine, machine.card(0), false);
            CheckRemoval(run, granted, FilesHeldOn(processId, first), "granted removal");
            // The arrived card is pulled without warning.
            for (sim::Card* card : machine.Cards()) {
                if (card->InstanceId() == arrivedId) sim::SurpriseRemoval(machine, *card);
            }
            run.Check(FilesHeldOn(processId, arrivedId) == 0, "surprise removal: the service still holds the card");
            service.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON);
            service.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT);
            run.Check(PanelsSettled(panels), "a control panel did not come up");
            service.Control(SERVICE_CONTROL_INTERROGATE);
        }
        // The stop: a force-close pass for each card that is left; sent
        // also when the start-up went wrong, as the service manager would.
        // A stop the service refuses is sent again, as an administrator would.
        if (!service.WaitForExit(0) && service.Control(SERVICE_CONTROL_STOP) != NO_ERROR) {
            const auto shown = service.Statuses();
            run.Check(service.WaitForExit(0) || shown.empty() || shown.back().dwCurrentState != SERVICE_STOP_PENDING,
                      "a refused stop left the service shown stopping");
            if (!service.WaitForExit(0)) service.Control(SERVICE_CONTROL_STOP);
        }
        run.Check(service.WaitForExit(30000), "the service did not end");
        statuses = service.Statuses();
    }
    run.End();
    run.Check(panels.CloseAll(), "a control panel did not close");

    CheckStopped(run, statuses);
    CheckAnswers(run, processId);
    CheckLog(run);
    CheckLoggedIfFired(run);
    CheckBackToBaseline(run, before);
}

// ---- Force-close mode on its own ------------------------------------------------------------

// The instance as the service starts it: the session's default desktop,
// the service's account with every privilege removed, no window.
HANDLE StartInstance(DWORD sessionId, const std::wstring& instanceId, DWORD* processId) {
    kwin::ProcessStart start;
    start.imagePath = sim::ServiceImagePath();
    start.commandLine = instanceId;
    start.sessionId = sessionId;
    start.desktop = L"WinSta0\\Default";
    start.creationFlags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS;
    start.user = kwin::kLocalSystem;
    PROCESS_INFORMATION info{};
    DWORD error = 0;
    if (!kwin::StartProcess(start, &info, &error)) return nullptr;
    CloseHandle(info.hThread);
    *processId = info.dwProcessId;
    return info.hProcess;
}

void ForceCloseMode(Run& run) {
    sim::Machine machine;
    machine.InstallService(KORVEXS_IMAGE);
    kwin::SetTimeScale(kTimeScale);
    SetUpSessions();
    kwin::AddDesktop(1, L"WinSta0", L"Second");
    sim::ControlPanelProgram panels;
    const std::wstring id = machine.AddCard({.model = sim::CardModel::Duo}).InstanceId();
    kwin::CountCallsOfImage(sim::ServiceImagePath());
    const kwin::HandleCounts before = kwin::OpenHandles();
    // Two panels for the card in session 1 (a second one started at a later
    // logon), a decoy in session 2.
    for (int i = 0; i < 2; ++i) {
        kwin::ProcessStart start;
        start.imagePath = sim::ControlPanelImagePath();
        start.commandLine = id;
        start.sessionId = 1;
        start.user = L"alice";
        PROCESS_INFORMATION info{};
        DWORD error = 0;
        if (!run.Check(kwin::StartProcess(start, &info, &error), "a control panel did not start")) return;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    if (!run.Check(panels.WaitForWindows(2), "the control panels did not come up")) return;
    sim::MarkedWindowProgram decoy(sim::MarkedWindowProgram::Decoy, 2, id);

    run.Begin();
    DWORD exitCode = STILL_ACTIVE;
    for (DWORD session : {1u, 2u}) {
        DWORD processId = 0;
        HANDLE instance = StartInstance(session, id, &processId);
        if (!run.Check(instance != nullptr, "the instance did not start")) break;
        run.Check(WaitForSingleObject(instance, 30000 * kTimeScale) == WAIT_OBJECT_0, "the instance did not end");
        GetExitCodeProcess(instance, &exitCode);
        run.Check(exitCode == 0, "the instance ended with " + std::to_string(exitCode));
        CloseHandle(instance);
    }
    run.End();
    if (!run.armed()) {
        for (const auto& panel : panels.Panels()) {
            run.Check(panel.forceCloseMessages == 1 && panel.cardClosedOnForceClose,
                      "a panel asked " + std::to_string(panel.forceCloseMessages) + " times");
        }
        run.Check(decoy.Asked() == 1, "the decoy asked " + std::to_string(decoy.Asked()) + " times");
    }
    run.Check(panels.CloseAll(), "a control panel did not close");
    CheckLog(run);
    CheckLoggedIfFired(run);
    CheckBackToBaseline(run, before);
}

}  // namespace

std::vector<Scenario> ServiceScenarios() {
    return {
        {"service-life",
         "start with 2 cards and 3 sessions, a card arriving interface by interface, a refused and a granted "
         "removal, a surprise removal, logon, console connect, interrogate, stop",
         ServiceLife},
        {"force-close-mode",
         "force-close instances in sessions 1 and 2: two control panels, a second desktop, a decoy window",
         ForceCloseMode},
    };
}

}  // namespace sweep
