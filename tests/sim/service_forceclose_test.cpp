// Force-close mode: an instance of the service program started in one
// session with a card's instance ID, and the programs that hold the card.
#include "tests/sim/session_fixture.h"

#include "sim/pnp.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <thread>

namespace korvex::test {
namespace {

const std::wstring kId = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0";
const std::wstring kIdOtherCase = L"pci\\ven_1412&dev_1724&subsys_24011722\\4&2a1b&0&00e0";
const std::wstring kOtherId = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E8";

struct Instance {
    DWORD processId = 0;
    DWORD exitCode = STILL_ACTIVE;
};

// Starts the program as the service does and handles this thread's window
// messages until it has ended.
Instance RunInstance(DWORD session, const std::wstring& commandLine) {
    kwin::ProcessStart start;
    start.imagePath = sim::ServiceImagePath();
    start.commandLine = commandLine;
    start.sessionId = session;
    start.desktop = L"WinSta0\\Default";
    start.creationFlags = kForceCloseFlags;
    PROCESS_INFORMATION info{};
    DWORD error = 0;
    Instance instance;
    if (!kwin::StartProcess(start, &info, &error)) {
        ADD_FAILURE() << "start failed: " << error;
        return instance;
    }
    instance.processId = info.dwProcessId;
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0; }));
    GetExitCodeProcess(info.hProcess, &instance.exitCode);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return instance;
}

struct WindowSpec {
    DWORD session;
    const wchar_t* desktop;
    const std::wstring* property;  // null: none
    bool nullValue = false;
};

struct Case {
    const char* name;
    std::vector<WindowSpec> windows;
    std::vector<size_t> asked;  // indices into windows, in the order asked
    std::vector<LoggedEvent> errors = {};
    std::function<void()> arm = [] {};
    DWORD session = 1;
    std::vector<std::wstring> desktops = {L"WinSta0\\Default", L"WinSta0\\Winlogon"};
};

class ServiceForceCloseTest : public SessionServiceTest {
protected:
    // Three sessions with the user's in 1, and one card.
    sim::Card& OneCardInThreeSessions() {
        ThreeSessions(1);
        return machine_.AddCard();
    }
    // The service is running and the panel it starts for the card is up.
    void RunningWithThePanel(sim::ServiceProcess& service) {
        ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
        ASSERT_TRUE(panels_.WaitForWindows(1));
    }
};

TEST_F(ServiceForceCloseTest, AsksEveryMarkedWindowOfEveryDesktopOfItsSession) {
    const Case cases[] = {
        {"two marked windows on one desktop", {{1, L"WinSta0\\Default", &kId}, {1, L"WinSta0\\Default", &kId}}, {0, 1}},
        {"marked windows on two desktops", {{1, L"WinSta0\\Default", &kId}, {1, L"WinSta0\\Winlogon", &kId}}, {0, 1}},
        {"a null value is not a mark",
         {{1, L"WinSta0\\Default", &kId, true}, {1, L"WinSta0\\Default", &kId}}, {1}},
        {"the ID in other letter case", {{1, L"WinSta0\\Default", &kIdOtherCase}}, {0}},
        {"no marked window",
         {{1, L"WinSta0\\Default", nullptr}, {1, L"WinSta0\\Default", &kOtherId}, {2, L"WinSta0\\Default", &kId}},
         {}},
        {"a window station that cannot be opened",
         {{1, L"WinSta0\\Default", &kId}, {1, L"WinSta1\\Default", &kId}},
         {1},
         {Error(L"OpenWindowStation")},
         [] {
             kwin::AddWindowStation(1, L"WinSta1");
             kwin::AddDesktop(1, L"WinSta1", L"Default");
             kwin::FailOpenWindowStation(1, L"WinSta0", ERROR_ACCESS_DENIED);
         },
         1,
         {L"WinSta1\\Default"}},
        {"a desktop that cannot be opened",
         {{1, L"WinSta0\\Default", &kId}, {1, L"WinSta0\\Winlogon", &kId}},
         {1},
         {Error(L"OpenDesktop")},
         [] { kwin::FailOpenDesktop(1, L"WinSta0\\Default", ERROR_ACCESS_DENIED); },
         1,
         {L"WinSta0\\Winlogon"}},
        {"the window stations cannot be listed",
         {{1, L"WinSta0\\Default", &kId}},
         {},
         {Error(L"EnumWindowStations")},
         [] { kwin::FailCall("EnumWindowStationsW", 1, ERROR_ACCESS_DENIED); },
         1,
         {}},
        {"the services session's own window station",
         {{0, L"Service-0x0-3e7$\\Default", &kId}, {1, L"WinSta0\\Default", &kId}},
         {0},
         {},
         [] {},
         0,
         {L"WinSta0\\Default", L"WinSta0\\Winlogon", L"Service-0x0-3e7$\\Default"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeSessions(1);
        kwin::ClearEventLog();
        c.arm();
        std::vector<HWND> windows;
        for (const auto& planned : c.windows) {
            HWND window = kwin::CreateTestWindow(planned.session, planned.desktop, nullptr);
            ASSERT_NE(window, nullptr);
            if (planned.property) {
                ASSERT_TRUE(SetPropW(window, planned.property->c_str(),
                                     planned.nullValue ? nullptr : reinterpret_cast<HANDLE>(0x5A)));
            }
            windows.push_back(window);
        }
        const kwin::HandleCounts before = kwin::OpenHandles();

        const Instance instance = RunInstance(c.session, kId);
        kwin::ClearInjectedFailures();
        EXPECT_EQ(instance.exitCode, 0u);
        std::vector<Asked> expected;
        for (size_t index : c.asked) expected.push_back({windows[index], 0, 0});
        EXPECT_EQ(ForceCloseMessages(), expected);
        for (const auto& message : kwin::DeliveredMessages()) EXPECT_EQ(message.senderProcessId, instance.processId);
        EXPECT_EQ(Errors(), c.errors);

        const VisitReport visits = Visits(instance.processId);
        EXPECT_EQ(visits.desktops, c.desktops);
        EXPECT_EQ(visits.faults, std::vector<std::string>{});
        EXPECT_EQ(kwin::OpenHandles(), before);
        EXPECT_EQ(StartedFrom(sim::ServiceImagePath()).back().handlesLeftAtExit, 0);
        kwin::ResetSessions();
        kwin::ResetProcessHistory();
    }
}

// The whole removal: a panel holds the card; the service is asked; the
// force-close instance asks the panel, which lets go; only then does the
// service close its own handle and answer, and the card goes with no handle
// left open on it.
TEST_F(ServiceForceCloseTest, ARemovalRequestMakesThePanelLetGoFirst) {
    sim::Card& card = OneCardInThreeSessions();
    const std::wstring id = card.InstanceId();
    sim::ServiceProcess service;
    ASSERT_NO_FATAL_FAILURE(RunningWithThePanel(service));
    ASSERT_TRUE(panels_.Panels()[0].cardOpened);
    EXPECT_EQ(card.OpenFiles(), 2) << "the service's handle and the panel's";

    // Sessions are served at once, so the panel may or may not have let go
    // when this window in another session is asked; the service's own handle
    // is open either way, since it closes it only after every instance ended.
    static sim::Card* witnessed = nullptr;
    static int openWhenAsked = -1;
    witnessed = &card;
    openWhenAsked = -1;
    HWND witness = kwin::CreateTestWindow(2, L"WinSta0\\Default", [](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        openWhenAsked = witnessed->OpenFiles();
        return 0;
    });
    ASSERT_TRUE(SetPropW(witness, id.c_str(), reinterpret_cast<HANDLE>(1)));

    auto removal = std::async(std::launch::async, [&] { return sim::RequestRemoval(machine_, card, false); });
    ASSERT_TRUE(PumpUntil([&] { return removal.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const kwin::RemovalResult result = removal.get();
    EXPECT_TRUE(result.removed);
    EXPECT_FALSE(result.vetoedByRecipient);
    EXPECT_EQ(result.handlesStillOpen, 0);
    EXPECT_GE(openWhenAsked, 1) << "the service's handle is closed only after every session was served";
    EXPECT_LE(openWhenAsked, 2);

    const auto panels = panels_.Panels();
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0].forceCloseMessages, 1);
    EXPECT_TRUE(panels[0].cardClosedOnForceClose);
    EXPECT_EQ(SessionsOf(ForceCloseInstances()), (std::vector<DWORD>{0, 1, 2}));
    const auto events = LoggedEvents();
    EXPECT_NE(std::find(events.begin(), events.end(), Info(MSG_QUERY_REMOVE, id)), events.end());
    EXPECT_EQ(Errors(), std::vector<LoggedEvent>{});

    EXPECT_TRUE(kwin::DestroyTestWindow(witness));
    StopAndCheckNothingLeaks(service);
    EXPECT_EQ(kwin::OpenHandles().windowStations, 0);
    EXPECT_EQ(kwin::OpenHandles().desktops, 0);
    EXPECT_EQ(kwin::OpenHandles().tokens, 0);
}

// A marked window on a thread of its own that never looks for messages,
// until End(), which ends the thread and with it the window.
class SilentWindow {
public:
    SilentWindow(DWORD session, const std::wstring& id) {
        std::promise<HWND> created;
        auto window = created.get_future();
        std::shared_future<void> released = released_.get_future().share();
        thread_ = std::thread([session, id, released, created = std::move(created)]() mutable {
            HWND handle = kwin::CreateTestWindow(session, L"WinSta0\\Default", nullptr);
            if (handle) SetPropW(handle, id.c_str(), reinterpret_cast<HANDLE>(1));
            created.set_value(handle);
            released.wait();
        });
        window_ = window.get();
    }
    ~SilentWindow() { End(); }
    HWND window() const { return window_; }
    void End() {
        if (!thread_.joinable()) return;
        released_.set_value();
        thread_.join();
    }

private:
    std::promise<void> released_;
    std::thread thread_;
    HWND window_ = nullptr;
};

// A window whose thread never looks for messages, in session 2, while a
// removal request and then a stop arrive: each control is answered well
// within the service manager's bound, the other sessions' panels are still
// asked, and the silent window's instance does not hold the others up.
TEST_F(ServiceForceCloseTest, AWindowThatNeverAnswersHoldsNoControlPastTheBound) {
    sim::Card& card = OneCardInThreeSessions();
    const std::wstring id = card.InstanceId();
    sim::ServiceProcess service;
    ASSERT_NO_FATAL_FAILURE(RunningWithThePanel(service));

    SilentWindow silent(2, id);
    ASSERT_NE(silent.window(), nullptr);
    auto removal = std::async(std::launch::async, [&] { return kwin::RequestDeviceRemoval(id, false); });
    // The stop is queued behind the removal request, whose handler is busy.
    ASSERT_TRUE(PumpUntil([&] { return !ForceCloseInstances().empty(); }));
    auto stop = service.ControlAsync(SERVICE_CONTROL_STOP);
    ASSERT_EQ(stop.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(removal.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(stop.get(), NO_ERROR);
    const kwin::RemovalResult result = removal.get();
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(result.handlesStillOpen, 0) << "the panel let go; the service closed its handle";
    ASSERT_TRUE(service.WaitForExit(60000));

    bool timedOut = true;
    const ULONGLONG longest = LongestAnswer(service.processId(), &timedOut);
    EXPECT_FALSE(timedOut);
    EXPECT_LE(longest, 20000u);
    std::printf("longest answer to a control: %llu ms (machine time)\n", static_cast<unsigned long long>(longest));
    // The stop may find the card still listed and ask again: the panel answers each time.
    EXPECT_GE(panels_.Panels()[0].forceCloseMessages, 1);
    EXPECT_TRUE(panels_.Panels()[0].cardClosedOnForceClose);
    for (const auto& asked : ForceCloseMessages()) EXPECT_EQ(asked.window, panels_.Panels()[0].window);
    silent.End();
    EXPECT_EQ(kwin::PendingMessages(), 0);
    ASSERT_TRUE(panels_.CloseAll());
    ExpectNothingLeftOpen(service);
}

// The service starts a panel for the card at start-up and again at a logon;
// a program of its own marks a window with the card's ID too. At the removal
// request every marked window is asked once, and no handle is left on the
// card when it goes.
TEST_F(ServiceForceCloseTest, EveryPanelAndEveryOtherMarkedWindowIsAskedOnce) {
    sim::Card& card = OneCardInThreeSessions();
    const std::wstring id = card.InstanceId();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON), NO_ERROR);
    ASSERT_TRUE(panels_.WaitForWindows(2));
    EXPECT_EQ(card.OpenFiles(), 3) << "the service's handle and two panels'";
    HWND decoy = kwin::CreateTestWindow(1, L"WinSta0\\Default", nullptr);
    ASSERT_TRUE(SetPropW(decoy, id.c_str(), reinterpret_cast<HANDLE>(7)));

    auto removal = std::async(std::launch::async, [&] { return kwin::RequestDeviceRemoval(id, false); });
    ASSERT_TRUE(PumpUntil([&] { return removal.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const kwin::RemovalResult result = removal.get();
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(result.handlesStillOpen, 0);

    const auto panels = panels_.Panels();
    ASSERT_EQ(panels.size(), 2u);
    std::vector<HWND> asked;
    for (const auto& message : ForceCloseMessages()) asked.push_back(message.window);
    std::sort(asked.begin(), asked.end());
    std::vector<HWND> marked = {panels[0].window, panels[1].window, decoy};
    std::sort(marked.begin(), marked.end());
    EXPECT_EQ(asked, marked) << "each marked window once";
    for (const auto& panel : panels) EXPECT_TRUE(panel.cardClosedOnForceClose);
    EXPECT_TRUE(kwin::DestroyTestWindow(decoy));
    StopAndCheckNothingLeaks(service);
}

}  // namespace
}  // namespace korvex::test
