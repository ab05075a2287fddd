// When the service holds a card and when it lets go: cards that appear while
// the service starts, cards that cannot be opened at first, handle events
// when handle values are reused, and removals that meet the shut-down.
#include "tests/sim/service_devices_fixture.h"

#include "sim/pnp.h"

#include <functional>
#include <future>
#include <thread>

namespace korvex::test {
namespace {

using namespace std::chrono_literals;

// What one step of the shut-down is given in the stop-pending reports.
constexpr DWORD kStopStepHintMs = 20000;
constexpr DWORD kAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;

// Handles until the condition holds or the patience runs out.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds patience = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Every process but the running service has ended (control panels,
// force-close instances), so none of them opens or closes handles now.
bool OnlyTheServiceRuns() {
    return Eventually([] {
        for (const auto& record : kwin::ProcessHistory()) {
            if (!record.startedByServiceManager && !record.finished) return false;
        }
        return true;
    });
}

// The device files the process holds on the card.
int FilesHeldOn(DWORD processId, const std::wstring& instanceId) {
    int files = 0;
    for (const auto& handle : kwin::OpenHandlesOf(processId)) {
        files += handle.type == "device file" && SameIgnoringCase(handle.deviceInstanceId, instanceId);
    }
    return files;
}

// Events created by the test until one of them has the value, which must be
// free: the value is then the test's. The others stay open until Release.
class HandleValueTaker {
public:
    ~HandleValueTaker() { Release(); }
    // The event now holding `value`, or null when it did not come up.
    HANDLE Take(HANDLE value) {
        for (int i = 0; i < 10000; ++i) {
            HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            if (event == nullptr) return nullptr;
            if (event == value) return event;
            spare_.push_back(event);
        }
        return nullptr;
    }
    void Release() {
        for (HANDLE event : spare_) CloseHandle(event);
        spare_.clear();
    }

private:
    std::vector<HANDLE> spare_;
};

// A thread of the test program that owns one window on the console's
// default desktop, marked for the given cards, and handles its messages
// until destroyed.
class MarkedWindow {
public:
    MarkedWindow(kwin::WindowProcedure procedure, const std::vector<std::wstring>& cards) {
        thread_ = std::thread([this, procedure, cards] {
            HWND window = kwin::CreateTestWindow(kConsoleSession, L"WinSta0\\Default", procedure);
            for (const auto& id : cards) SetPropW(window, id.c_str(), reinterpret_cast<HANDLE>(1));
            ready_.set_value(kwin::WindowOwnerThread(window));
            kwin::RunMessageLoop();
            kwin::DestroyTestWindow(window);
        });
        owner_ = ready_.get_future().get();
    }
    ~MarkedWindow() {
        kwin::PostQuit(owner_);
        thread_.join();
    }

private:
    std::promise<DWORD> ready_;
    DWORD owner_ = 0;
    std::thread thread_;
};

// Stops the service while a window marked with the cards answers with the
// procedure; the window is gone when it returns.
void StopWithMarkedWindow(sim::ServiceProcess& service, kwin::WindowProcedure procedure,
                          const std::vector<std::wstring>& cards) {
    MarkedWindow window(procedure, cards);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
    ASSERT_TRUE(service.WaitForExit(60000));
}

size_t ForceCloseInstancesStarted() {
    size_t started = 0;
    for (const auto& record : kwin::ProcessHistory()) {
        started += !record.startedByServiceManager && SameIgnoringCase(record.imagePath, sim::ServiceImagePath());
    }
    return started;
}

// Stops the service when a test leaves early (a failed assertion), so that
// a failure costs no wait for a service that nobody stops.
class StopAtExit {
public:
    explicit StopAtExit(const sim::ServiceProcess& service) : service_(service) {}
    ~StopAtExit() { service_.Control(SERVICE_CONTROL_STOP); }
    StopAtExit(const StopAtExit&) = delete;
    StopAtExit& operator=(const StopAtExit&) = delete;

private:
    const sim::ServiceProcess& service_;
};

bool IsForceClose(UINT message) { return message == RegisterWindowMessageW(L"ForceClose"); }

// ---- Shut-down ---------------------------------------------------------------

// A query-remove that comes while the shut-down's pass for the card is held
// up by a window: the card is still listed, so the query-remove is logged,
// asks the sessions itself, and closes the service's handle before it is
// answered.
struct QueryDuringStop {
    std::wstring card;
    DWORD serviceId = 0;
    std::future<int> filesWhenAnswered;
    bool asked = false;
};
QueryDuringStop* queryDuringStop = nullptr;

LRESULT QueryDuringStopProcedure(HWND, UINT message, WPARAM, LPARAM) {
    QueryDuringStop& state = *queryDuringStop;
    if (!IsForceClose(message) || state.asked) return 0;
    state.asked = true;
    state.filesWhenAnswered = std::async(std::launch::async, [&state] {
        kwin::QueryDeviceRemoval(state.card, false);
        return FilesHeldOn(state.serviceId, state.card);
    });
    // Held until the query-remove's own pass has begun (its instance for this
    // session is asked after this answer), or for a while if it never does.
    Eventually([] { return ForceCloseInstancesStarted() >= 3; }, 3s);
    return 0;
}

TEST_F(ServiceDevices, QueryRemoveDuringShutDownClosesTheHandleBeforeItIsAnswered) {
    sim::Card& card = machine_.AddCard();
    sim::ServiceProcess service;
    StopAtExit stopAtExit(service);
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    QueryDuringStop state;
    state.card = card.InstanceId();
    state.serviceId = service.processId();
    queryDuringStop = &state;
    ASSERT_NO_FATAL_FAILURE(StopWithMarkedWindow(service, QueryDuringStopProcedure, {card.InstanceId()}));
    queryDuringStop = nullptr;
    ASSERT_TRUE(state.filesWhenAnswered.valid());
    ASSERT_EQ(state.filesWhenAnswered.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(state.filesWhenAnswered.get(), 0) << "the service's handle was open when the removal was consented";
    EXPECT_TRUE(sim::CompleteRemoval(machine_, card).removed);

    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, card.InstanceId()),
                                                        Info(MSG_QUERY_REMOVE, card.InstanceId())}));
    std::vector<Launch> passes = Pass(card.InstanceId());
    for (const auto& launch : Pass(card.InstanceId())) passes.push_back(launch);
    EXPECT_EQ(ForceCloses(), passes);
    ExpectNothingLeftOpen(service);
    ExpectEveryEventAnsweredNoError();
}

// The stop is answered at once with a wait hint for the first step; each
// card's pass is announced by a further stop-pending report with the next
// check point; an interrogation while a pass is held up is answered at once
// and keeps the hint.
struct StopReports {
    DWORD serviceId = 0;
    std::vector<std::wstring> cards;
    std::vector<SERVICE_STATUS> latestWhenAsked;  // per card, in the order asked
    DWORD interrogateAnswer = 0;
};
StopReports* stopReports = nullptr;

LRESULT StopReportsProcedure(HWND, UINT message, WPARAM, LPARAM) {
    if (!IsForceClose(message)) return 0;
    StopReports& state = *stopReports;
    state.latestWhenAsked.push_back(kwin::ServiceStatusHistory(state.serviceId).back());
    if (state.latestWhenAsked.size() == 1) {
        state.interrogateAnswer = kwin::SendServiceControl(state.serviceId, SERVICE_CONTROL_INTERROGATE);
    }
    return 0;
}

TEST_F(ServiceDevices, StopReportsEachCardsPassWithAWaitHintAndTheNextCheckPoint) {
    sim::Card& first = machine_.AddCard();
    sim::Card& second = machine_.AddCard();
    sim::ServiceProcess service;
    StopAtExit stopAtExit(service);
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    StopReports state;
    state.serviceId = service.processId();
    state.cards = {first.InstanceId(), second.InstanceId()};
    stopReports = &state;
    ASSERT_NO_FATAL_FAILURE(StopWithMarkedWindow(service, StopReportsProcedure, state.cards));
    stopReports = nullptr;

    const StatusRow stopStep{SERVICE_STOP_PENDING, 0, kStopStepHintMs, kAccepted, 0};
    auto at = [&](DWORD checkPoint) {
        StatusRow row = stopStep;
        row.checkPoint = checkPoint;
        return row;
    };
    EXPECT_EQ(Rows(service.Statuses()),
              (std::vector<StatusRow>{{SERVICE_START_PENDING, 0, 3000, 0, 1},
                                      {SERVICE_RUNNING, 0, 0, kAccepted, 0},
                                      at(2),  // the stop control
                                      at(3),  // the first card's pass
                                      at(4),  // the interrogation during it
                                      at(5),  // the second card's pass
                                      {SERVICE_STOPPED, 0, 0, kAccepted, 0}}));
    EXPECT_EQ(state.interrogateAnswer, NO_ERROR);
    ASSERT_EQ(state.latestWhenAsked.size(), 2u);
    EXPECT_EQ(state.latestWhenAsked[0].dwCheckPoint, 3u);
    EXPECT_EQ(state.latestWhenAsked[1].dwCheckPoint, 5u);
    ExpectNothingLeftOpen(service);
}

// ---- Start-up ------------------------------------------------------------------

struct StartUpArrivalCase {
    const char* name;
    bool afterTheEnumeration;  // else: before it, once the interface registration is made
    DWORD logged;
};
void PrintTo(const StartUpArrivalCase& c, std::ostream* out) { *out << c.name; }

class ServiceDevicesStartUpArrival : public ServiceDevices,
                                     public ::testing::WithParamInterface<StartUpArrivalCase> {};

// A card whose interfaces appear while the service starts is listed once,
// opened, watched, given one control panel and one pass at the stop.
TEST_P(ServiceDevicesStartUpArrival, CardIsListedOnceAndWatched) {
    const StartUpArrivalCase& c = GetParam();
    sim::Card* card = nullptr;
    std::future<int> arrival;
    auto arrive = [&] {
        card = &machine_.AddCard();
        // Not awaited: the service thread holds the list while it starts.
        arrival = kwin::AnnounceDeviceArrivalAsync(card->InstanceId());
    };
    if (c.afterTheEnumeration) {
        // Inside the enumeration, once its class list is built.
        kwin::SetClassDevsHook([&](int call) {
            if (call == 1) arrive();
        });
    } else {
        kwin::SetDeviceNotificationHook([&](const char* call, HDEVNOTIFY handle) {
            if (std::strcmp(call, "registered") != 0 || card != nullptr) return;
            for (const auto& info : kwin::DeviceNotificationRegistrations()) {
                if (info.notify == handle && info.deviceType == DBT_DEVTYP_DEVICEINTERFACE) arrive();
            }
        });
    }
    sim::ServiceProcess service;
    StopAtExit stopAtExit(service);
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_NE(card, nullptr);
    ASSERT_EQ(arrival.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(arrival.get(), 2) << "both audio interfaces announced to the service";
    kwin::SetClassDevsHook(nullptr);
    kwin::SetDeviceNotificationHook(nullptr);

    const std::wstring id = c.logged == MSG_DEVICE_FOUND ? card->InstanceId() : Lower(card->InstanceId());
    EXPECT_EQ(LoggedEvents(), std::vector<LoggedEvent>{Info(c.logged, id)});
    EXPECT_EQ(FilesHeldOn(service.processId(), card->InstanceId()), 1);
    ASSERT_EQ(HandleRegistrations().size(), 1u);
    EXPECT_EQ(HandleRegistrations()[0].instanceId, card->InstanceId());
    EXPECT_EQ(ControlPanels(), (std::vector<Launch>{{id, kConsoleSession}}));

    const size_t mark = Mark();
    StopAndExpectClean(service);
    EXPECT_EQ(ForceCloses(mark), Pass(id));
}

INSTANTIATE_TEST_SUITE_P(ServiceDevices, ServiceDevicesStartUpArrival,
                         ::testing::Values(StartUpArrivalCase{"BeforeTheEnumeration", false, MSG_DEVICE_FOUND},
                                           StartUpArrivalCase{"DuringTheEnumeration", true, MSG_DEVICE_ARRIVED}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Cards that cannot be opened at once ----------------------------------------

struct LateOpenCase {
    const char* name;
    sim::CardConfig config;
    bool presentAtStartUp;  // else: arrives interface by interface
};
void PrintTo(const LateOpenCase& c, std::ostream* out) { *out << c.name; }

class ServiceDevicesLateOpen : public ServiceDevices, public ::testing::WithParamInterface<LateOpenCase> {};

// The card cannot be opened at its first arrival (or at start-up); a later
// arrival of one of its interfaces opens and watches it, so that its removal
// request reaches the service, which lets go before consenting.
TEST_P(ServiceDevicesLateOpen, CardIsOpenedAtALaterArrival) {
    const LateOpenCase& c = GetParam();
    sim::Card* card = c.presentAtStartUp ? &machine_.AddCard(c.config) : nullptr;
    sim::ServiceProcess service;
    StopAtExit stopAtExit(service);
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    int filesAfterFirst = -1;
    if (card != nullptr) {
        filesAfterFirst = kwin::OpenHandles().deviceFiles;
        card->SetOpenError(ERROR_SUCCESS);
        EXPECT_EQ(kwin::AnnounceDeviceArrival(card->InstanceId()), 2);
    } else {
        card = &sim::ArriveCardInterfaceByInterface(machine_, c.config, [&](size_t k) {
            if (k != 1) return;
            filesAfterFirst = kwin::OpenHandles().deviceFiles;
            machine_.Cards().back()->SetOpenError(ERROR_SUCCESS);
        });
    }
    EXPECT_EQ(filesAfterFirst, 0) << "the first try must fail for this case to mean anything";

    const std::wstring id = c.presentAtStartUp ? card->InstanceId() : Lower(card->InstanceId());
    const DWORD listed = c.presentAtStartUp ? MSG_DEVICE_FOUND : MSG_DEVICE_ARRIVED;
    EXPECT_EQ(LoggedEvents(), std::vector<LoggedEvent>{Info(listed, id)});
    EXPECT_EQ(ControlPanels(), (std::vector<Launch>{{id, kConsoleSession}}));
    EXPECT_EQ(FilesHeldOn(service.processId(), card->InstanceId()), 1);
    ASSERT_EQ(HandleRegistrations().size(), 1u);

    const kwin::RemovalResult removal = sim::RequestRemoval(machine_, *card, false);
    EXPECT_TRUE(removal.removed);
    EXPECT_EQ(removal.handlesStillOpen, 0);
    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(listed, id), Info(MSG_QUERY_REMOVE, id),
                                                        Info(MSG_REMOVE_COMPLETE, id)}));
    EXPECT_EQ(ForceCloses(), Pass(id));
    StopAndExpectClean(service);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceDevices, ServiceDevicesLateOpen,
    ::testing::Values(
        // Render and capture come first: no audio interface to open yet.
        LateOpenCase{"InterfacesEnabledOneByOne", {.streamingInterfaces = true}, false},
        LateOpenCase{"LockedAtTheFirstArrival", {.openError = ERROR_SHARING_VIOLATION}, false},
        LateOpenCase{"LockedAtStartUp", {.openError = ERROR_SHARING_VIOLATION}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Reused handle values ---------------------------------------------------------

// The first card's removal is consented (its handle closed) but not yet
// complete when a second card arrives and is given the same handle value.
// Each card's events reach that card, and the first card's late
// remove-complete closes nothing that now has its old value.
TEST_F(ServiceDevices, HandleEventsReachTheirOwnCardWhenHandleValuesAreReused) {
    sim::Card& first = machine_.AddCard();
    sim::ServiceProcess service;
    StopAtExit stopAtExit(service);
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_EQ(HandleRegistrations().size(), 1u);
    const HANDLE reusedValue = HandleRegistrations()[0].deviceHandle;

    const kwin::RemovalResult query = sim::QueryRemoval(machine_, first, false);
    EXPECT_FALSE(query.vetoedByRecipient);
    ASSERT_TRUE(OnlyTheServiceRuns());
    EXPECT_EQ(FilesHeldOn(service.processId(), first.InstanceId()), 0);
    {
        // Lay the free values out so that the second card's open gets the
        // first card's old value: the arrival's event-log source and device
        // list take the value freed last, the open the one before it.
        HandleValueTaker taker;
        HANDLE holder = taker.Take(reusedValue);
        ASSERT_NE(holder, nullptr);
        HANDLE spare = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CloseHandle(holder);
        CloseHandle(spare);
        taker.Release();
    }
    sim::Card& second = sim::ArriveCard(machine_);
    const auto watched = HandleRegistrations();
    ASSERT_EQ(watched.size(), 2u);
    ASSERT_EQ(watched[1].instanceId, second.InstanceId());
    ASSERT_EQ(watched[1].deviceHandle, reusedValue) << "the second card did not get the reused value";

    // The second card's removal, while the first card's node is still listed.
    const kwin::RemovalResult removal = sim::RequestRemoval(machine_, second, false);
    EXPECT_TRUE(removal.removed);
    EXPECT_EQ(removal.handlesStillOpen, 0);

    // The first card's late completion, with its old value held by the test.
    HandleValueTaker taker;
    HANDLE bystander = taker.Take(reusedValue);
    ASSERT_NE(bystander, nullptr);
    EXPECT_TRUE(sim::CompleteRemoval(machine_, first).removed);
    EXPECT_EQ(WaitForSingleObject(bystander, 0), WAIT_OBJECT_0) << "the late completion closed another object";
    EXPECT_TRUE(CloseHandle(bystander));
    taker.Release();

    const std::wstring secondId = Lower(second.InstanceId());
    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, first.InstanceId()),
                                                        Info(MSG_QUERY_REMOVE, first.InstanceId()),
                                                        Info(MSG_DEVICE_ARRIVED, secondId),
                                                        Info(MSG_QUERY_REMOVE, secondId),
                                                        Info(MSG_REMOVE_COMPLETE, secondId),
                                                        Info(MSG_REMOVE_COMPLETE, first.InstanceId())}));
    std::vector<Launch> passes = Pass(first.InstanceId());
    for (const auto& launch : Pass(secondId)) passes.push_back(launch);
    EXPECT_EQ(ForceCloses(), passes);
    StopAndExpectClean(service);
}

}  // namespace
}  // namespace korvex::test
