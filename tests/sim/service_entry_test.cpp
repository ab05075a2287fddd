// The service's entry, status reports and control dispatch on the simulated
// machine, through the program image that Windows would start.
#include "tests/sim/service_fixture.h"

#include <condition_variable>
#include <mutex>

namespace korvex::test {
namespace {

constexpr DWORD kAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;

const StatusRow kStartPending{SERVICE_START_PENDING, 0, 3000, 0, 1};
const StatusRow kRunning{SERVICE_RUNNING, 0, 0, kAccepted, 0};
const StatusRow kStopped{SERVICE_STOPPED, 0, 0, kAccepted, 0};
// The stop is answered with the wait hint of one shut-down step.
StatusRow StopPending(DWORD checkPoint) { return {SERVICE_STOP_PENDING, 0, 20000, kAccepted, checkPoint}; }

using ServiceEntryTest = ServiceTest;

// Holds the service thread inside its start-up (the first device enumeration)
// until released, so that controls meet a start-pending service.
class StartUpGate {
public:
    StartUpGate() {
        kwin::SetClassDevsHook([this](int callNumber) {
            if (callNumber != 1) return;
            std::unique_lock lock(mutex_);
            entered_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        });
    }
    ~StartUpGate() {
        Release();
        kwin::SetClassDevsHook(nullptr);
    }
    void WaitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

struct ReportScenario {
    const char* name;
    // Arms the machine, drives the service, and returns once it has ended.
    void (*drive)(sim::ServiceProcess& service);
    const char* failingCall;  // injected at its first call, or null
    std::vector<StatusRow> rows;
    std::vector<LoggedEvent> events;
};

void StartAndStop(sim::ServiceProcess& service) {
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
}

void JustRun(sim::ServiceProcess&) {}

void InterrogateWhileStarting(sim::ServiceProcess& service) {
    // The gate was armed before the start (see the scenario runner).
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), NO_ERROR);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), NO_ERROR);
}

void InterrogateWhileRunning(sim::ServiceProcess& service) {
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), NO_ERROR);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
}

void UnhandledControls(sim::ServiceProcess& service) {
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_SHUTDOWN,
                          SERVICE_CONTROL_PARAMCHANGE, 200u}) {
        EXPECT_EQ(service.Control(control), ERROR_CALL_NOT_IMPLEMENTED) << "control " << control;
    }
    EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
}

TEST_F(ServiceEntryTest, ReportsRowByRowInEveryScenario) {
    const std::vector<ReportScenario> scenarios = {
        {"normal start and stop", StartAndStop, nullptr, {kStartPending, kRunning, StopPending(2), kStopped}, {}},
        {"handler registration fails", JustRun, "RegisterServiceCtrlHandlerExW", {},
         {Error(L"RegisterServiceCtrlHandler")}},
        {"stop event not created",
         JustRun,
         "CreateEventW",
         {kStartPending, {SERVICE_STOPPED, ERROR_NOT_ENOUGH_MEMORY, 0, kAccepted, 0}},
         {Error(L"CreateEvent")}},
        {"interrogated while start-pending",
         InterrogateWhileStarting,
         nullptr,
         {kStartPending, {SERVICE_START_PENDING, 0, 3000, 0, 2}, {SERVICE_START_PENDING, 0, 3000, 0, 3}, kRunning,
          StopPending(4), kStopped},
         {}},
        {"interrogated while running",
         InterrogateWhileRunning,
         nullptr,
         {kStartPending, kRunning, kRunning, StopPending(2), kStopped},
         {}},
        {"pause, continue, shutdown, parameter change, 200",
         UnhandledControls,
         nullptr,
         {kStartPending, kRunning, StopPending(2), kStopped},
         {}},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        sim::Machine machine;
        machine.InstallService(KORVEXS_IMAGE);
        const kwin::HandleCounts before = kwin::OpenHandles();
        if (scenario.failingCall) kwin::FailCall(scenario.failingCall, 1, ERROR_NOT_ENOUGH_MEMORY);
        const bool gated = scenario.drive == InterrogateWhileStarting;
        std::optional<StartUpGate> gate;
        if (gated) gate.emplace();
        {
            sim::ServiceProcess service;
            ASSERT_TRUE(service.started());
            if (gated) gate->WaitEntered();
            scenario.drive(service);
            if (gated) {
                gate->Release();
                ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
                EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
            }
            ASSERT_TRUE(service.WaitForExit());
            EXPECT_EQ(service.ExitCode(), 0u);
            EXPECT_EQ(Rows(service.Statuses()), scenario.rows);
            EXPECT_EQ(LoggedEvents(), scenario.events);
            EXPECT_EQ(service.Record().handlesLeftAtExit, 0);
            // The service thread and dispatcher have ended; nothing answers.
            EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), ERROR_SERVICE_NOT_ACTIVE);
        }
        kwin::HandleCounts after = kwin::OpenHandles();
        EXPECT_EQ(after, before);
        EXPECT_EQ(kwin::EventSources().registered, kwin::EventSources().deregistered);
    }
}

// Every start-up failure after the handler is registered is logged, and the
// service stops with the failing call's error as its exit code, before any
// card is opened or any program started.
TEST_F(ServiceEntryTest, StartUpFailuresStopWithTheirErrorAsExitCode) {
    struct Case {
        const char* call;
        DWORD injected;
        const wchar_t* logged;
        DWORD exitCode;
    };
    const Case cases[] = {
        {"CreateEventW", ERROR_NO_SYSTEM_RESOURCES, L"CreateEvent", ERROR_NO_SYSTEM_RESOURCES},
        // The head node of the card list; the heap gives no error of its own.
        {"HeapAlloc", ERROR_NO_SYSTEM_RESOURCES, L"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"RegisterDeviceNotificationW", ERROR_ACCESS_DENIED, L"RegisterDeviceNotification", ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        sim::Machine machine;
        machine.InstallService(KORVEXS_IMAGE);
        machine.AddCard();
        const kwin::HandleCounts before = kwin::OpenHandles();
        kwin::FailCall(c.call, 1, c.injected);
        {
            sim::ServiceProcess service;
            ASSERT_TRUE(service.WaitForExit());
            EXPECT_EQ(service.ExitCode(), 0u);
            EXPECT_EQ(Rows(service.Statuses()),
                      (std::vector<StatusRow>{kStartPending, {SERVICE_STOPPED, c.exitCode, 0, kAccepted, 0}}));
            EXPECT_EQ(LoggedEvents(), std::vector<LoggedEvent>{Error(c.logged)});
            EXPECT_EQ(service.Record().handlesLeftAtExit, 0);
            EXPECT_EQ(kwin::ProcessHistory().size(), 1u) << "nothing started but the service";
        }
        EXPECT_EQ(kwin::OpenHandles(), before);
    }
}

TEST_F(ServiceEntryTest, StartedFromAConsoleLogsTheDispatcherFailureAndExitsZero) {
    sim::ServiceProcess service(sim::ServiceProcess::StartedBy::Console);
    ASSERT_TRUE(service.WaitForExit());
    EXPECT_EQ(service.ExitCode(), 0u);
    EXPECT_TRUE(service.Statuses().empty());
    EXPECT_EQ(LoggedEvents(), std::vector{Error(L"StartServiceCtrlDispatcher")});
    ExpectNothingLeftOpen(service);
}

// Argument zero decides the mode: an instance ID (its first three letters
// P, C, I in any case) is force-close mode, which never connects to the
// service manager; anything else is the service, which fails to connect
// from a console and says so.
TEST_F(ServiceEntryTest, ArgumentZeroChoosesTheMode) {
    const struct {
        const wchar_t* commandLine;
        bool forceClose;
    } cases[] = {
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0", true},
        {L"pci\\ven_1412&dev_1724&subsys_24011722\\4&2a1b&0&00e0", true},
        {L"pCi", true},
        {L"PCIX and more", true},
        {L"PC", false},
        {L"\"\"", false},
        {L"\"C:\\Program Files\\SAVANTIX\\Lyrenta Vazozo\\KorvexS.exe\"", false},
        {L"ROOT\\MEDIA\\0000", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.commandLine)));
        kwin::ClearEventLog();
        sim::ServiceProcess process(sim::ServiceProcess::StartedBy::Console, c.commandLine);
        ASSERT_TRUE(process.WaitForExit());
        EXPECT_EQ(process.ExitCode(), 0u);
        const auto expected = c.forceClose ? std::vector<LoggedEvent>{} : std::vector{Error(L"StartServiceCtrlDispatcher")};
        EXPECT_EQ(LoggedEvents(), expected);
        EXPECT_EQ(process.Record().handlesLeftAtExit, 0);
    }
}

// Two processes of the one program each have their own process-wide state:
// the second service's first report carries check point 1 again.
TEST_F(ServiceEntryTest, EachProcessHasItsOwnState) {
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        sim::ServiceProcess service;
        StartAndStop(service);
        ASSERT_TRUE(service.WaitForExit());
        EXPECT_EQ(Rows(service.Statuses()),
                  (std::vector<StatusRow>{kStartPending, kRunning, StopPending(2), kStopped}));
    }
}

}  // namespace
}  // namespace korvex::test
