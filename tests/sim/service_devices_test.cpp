// The service's list of cards as Plug and Play changes the machine: start-up
// enumeration, arrivals, removals asked for or not, records that are not
// what they claim, and events that meet the service thread's own walks.
#include "tests/sim/service_fixture.h"

#include "sim/device_paths.h"
#include "sim/pnp.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>

namespace korvex::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kConsoleSession = 1;

// The interface names carry the instance ID in lower case, and an arrival
// lists the card in the name's letter case.
std::wstring Lower(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

std::wstring Upper(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) { return Lower(a) == Lower(b); }

// A broadcast record in an allocation of exactly its bytes, so that a read
// past them is a heap overflow the address sanitizer reports.
class Record {
public:
    explicit Record(size_t bytes) : bytes_(std::make_unique<unsigned char[]>(bytes)), size_(bytes) {}
    void* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    template <class T>
    T* as() const {
        return reinterpret_cast<T*>(bytes_.get());
    }

    // An interface record for the name, with `chars` of it and a terminator
    // unless `terminated` is false; dbcc_size is the record's length.
    static Record Interface(const std::wstring& name, bool terminated = true, const GUID& category = KSCATEGORY_AUDIO) {
        const size_t chars = name.size() + (terminated ? 1 : 0);
        Record record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + chars * sizeof(WCHAR));
        auto* interface = record.as<DEV_BROADCAST_DEVICEINTERFACE_W>();
        interface->dbcc_size = static_cast<DWORD>(record.size());
        interface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        interface->dbcc_classguid = category;
        std::memcpy(interface->dbcc_name, name.data(), name.size() * sizeof(WCHAR));
        return record;
    }
    static Record Handle(HANDLE handle, DWORD size = sizeof(DEV_BROADCAST_HANDLE)) {
        Record record(std::max<size_t>(size, sizeof(DWORD)));
        std::memset(record.data(), 0, record.size());
        record.as<DEV_BROADCAST_HDR>()->dbch_size = size;
        if (size >= offsetof(DEV_BROADCAST_HDR, dbch_reserved)) {
            record.as<DEV_BROADCAST_HDR>()->dbch_devicetype = DBT_DEVTYP_HANDLE;
        }
        if (size >= offsetof(DEV_BROADCAST_HANDLE, dbch_handle) + sizeof(HANDLE)) {
            record.as<DEV_BROADCAST_HANDLE>()->dbch_handle = handle;
        }
        return record;
    }

private:
    std::unique_ptr<unsigned char[]> bytes_;
    size_t size_;
};

struct Launch {
    std::wstring commandLine;
    DWORD sessionId = 0;
    bool operator==(const Launch&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Launch& launch) {
    out << "{\"";
    for (wchar_t c : launch.commandLine) out << (c < 128 ? static_cast<char>(c) : '?');
    return out << "\", session " << launch.sessionId << "}";
}

// Waits, with a limit, until a condition that another thread sets holds.
class Signal {
public:
    void Set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        changed_.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

class ServiceDevices : public ServiceTest {
protected:
    ServiceDevices() {
        kwin::SetSessions({{0, L"Services", WTSDisconnected}, {kConsoleSession, L"Console", WTSActive, L"alice"}},
                          kConsoleSession);
        // The control panel: a program that ends at once.
        kwin::RegisterProgram(sim::ControlPanelImagePath(),
                              [] { return kwin::ProcessEntry([](int, WCHAR**) { return 0; }); });
    }
    ~ServiceDevices() override {
        kwin::SetDeviceNotificationHook(nullptr);
        kwin::SetServiceControlHook(nullptr);
        kwin::SetClassDevsHook(nullptr);
        kwin::ResetSessions();
    }

    // The processes started so far: later readings can start from here.
    static size_t Mark() { return kwin::ProcessHistory().size(); }

    // The control panels started, by the card they were started for.
    static std::vector<Launch> ControlPanels(size_t from = 0) {
        std::vector<Launch> launches;
        const auto history = kwin::ProcessHistory();
        for (size_t i = from; i < history.size(); ++i) {
            const auto& record = history[i];
            if (SameIgnoringCase(record.imagePath, sim::ControlPanelImagePath())) {
                launches.push_back({record.commandLine, record.sessionId});
            }
        }
        return launches;
    }

    // The force-close instances started: the service program not started as
    // a service, with an instance ID as its command line.
    static std::vector<Launch> ForceCloses(size_t from = 0) {
        std::vector<Launch> launches;
        const auto history = kwin::ProcessHistory();
        for (size_t i = from; i < history.size(); ++i) {
            const auto& record = history[i];
            if (record.startedByServiceManager) continue;
            if (!SameIgnoringCase(record.imagePath, sim::ServiceImagePath())) continue;
            launches.push_back({record.commandLine, record.sessionId});
        }
        return launches;
    }
    // One force-close pass for the card: an instance in every session.
    static std::vector<Launch> Pass(const std::wstring& instanceId) {
        return {{instanceId, 0}, {instanceId, kConsoleSession}};
    }

    static void ExpectEveryEventAnsweredNoError() {
        for (const auto& delivery : kwin::DeviceEventHistory()) {
            EXPECT_EQ(delivery.result, NO_ERROR) << "event 0x" << std::hex << delivery.eventType;
        }
    }

    // Handle registrations of the service, in registration order.
    static std::vector<kwin::DeviceNotificationInfo> HandleRegistrations() {
        std::vector<kwin::DeviceNotificationInfo> found;
        for (const auto& info : kwin::DeviceNotificationRegistrations()) {
            if (info.deviceType == DBT_DEVTYP_HANDLE) found.push_back(info);
        }
        return found;
    }

    // Stops the service and checks that it let go of everything: card
    // handles, registrations, and every other handle it opened.
    void StopAndExpectClean(sim::ServiceProcess& service) {
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
        ExpectNothingLeftOpen(service);
        EXPECT_EQ(kwin::OpenHandles().deviceFiles, 0);
        EXPECT_EQ(kwin::OpenHandles().notifications, 0);
        EXPECT_TRUE(kwin::DeviceNotificationRegistrations().empty());
        const kwin::DeviceNotificationCalls calls = kwin::DeviceNotifications();
        EXPECT_EQ(calls.registered, calls.unregistered);
        ExpectEveryEventAnsweredNoError();
    }
};

TEST_F(ServiceDevices, NoCardAtAllRunsAndShutsDownWithTheInterfaceRegistrationOnly) {
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    const auto registrations = kwin::DeviceNotificationRegistrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].deviceType, DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_TRUE(registrations[0].allInterfaceClasses);
    EXPECT_EQ(registrations[0].processId, service.processId());
    // The class named "Media" (it narrows nothing with every class asked for).
    constexpr GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    EXPECT_TRUE(IsEqualGUID(registrations[0].classGuid, kMediaClass));

    StopAndExpectClean(service);
    EXPECT_TRUE(LoggedEvents().empty());
    EXPECT_TRUE(ControlPanels().empty());
    EXPECT_TRUE(ForceCloses().empty());
    EXPECT_EQ(kwin::DeviceNotifications().registered, 1);
}

TEST_F(ServiceDevices, TwoCardsAtStartUpAreListedOpenedAndWatchedInEnumerationOrder) {
    sim::Card& first = machine_.AddCard({.model = sim::CardModel::Eight});
    sim::Card& second = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));

    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, first.InstanceId()),
                                                        Info(MSG_DEVICE_FOUND, second.InstanceId())}));
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 2);
    const auto watched = HandleRegistrations();
    ASSERT_EQ(watched.size(), 2u);
    EXPECT_EQ(watched[0].instanceId, first.InstanceId());
    EXPECT_EQ(watched[1].instanceId, second.InstanceId());
    EXPECT_EQ(ControlPanels(), (std::vector<Launch>{{first.InstanceId(), kConsoleSession},
                                                    {second.InstanceId(), kConsoleSession}}));

    StopAndExpectClean(service);
    std::vector<Launch> expected = Pass(first.InstanceId());
    for (const auto& launch : Pass(second.InstanceId())) expected.push_back(launch);
    EXPECT_EQ(ForceCloses(), expected);
}

TEST_F(ServiceDevices, ArrivalsOfEveryInterfaceClassOfOneCardGiveOneCard) {
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    sim::Card& card = sim::ArriveCard(machine_, {.streamingInterfaces = true});
    const std::wstring listedId = Lower(card.InstanceId());

    // Two audio interfaces, a render and a capture one.
    EXPECT_EQ(kwin::DeviceEventHistory().size(), 4u);
    // The same card in other letters arrives once more.
    Record shouted = Record::Interface(Upper(sim::InterfacePath(card.InstanceId(), KSCATEGORY_AUDIO, 0)));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, shouted.data()), NO_ERROR);

    EXPECT_EQ(LoggedEvents(), std::vector<LoggedEvent>{Info(MSG_DEVICE_ARRIVED, listedId)});
    EXPECT_EQ(ControlPanels(), (std::vector<Launch>{{listedId, kConsoleSession}}));
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 1);
    ASSERT_EQ(HandleRegistrations().size(), 1u);
    EXPECT_EQ(HandleRegistrations()[0].instanceId, card.InstanceId());

    StopAndExpectClean(service);
    EXPECT_EQ(ForceCloses(), Pass(listedId));
}

TEST_F(ServiceDevices, OtherDevicesComeAndGoUnnoticed) {
    const std::vector<std::vector<std::wstring>> others = {
        {L"PCI\\VEN_8086&DEV_293E&SUBSYS_20F217AA"},  // another vendor
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24031721"},  // ours, a subsystem not supported
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_2401172"},   // one character short of a supported ID
        {L"USB\\VID_0D8C&PID_0014&MI_00"},
    };
    sim::Card& card = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    kwin::ClearEventLog();
    const size_t mark = Mark();

    for (const auto& hardwareIds : others) {
        const std::wstring id = sim::ArriveOtherDevice(machine_, hardwareIds, 2);
        EXPECT_TRUE(sim::DepartOtherDevice(machine_, id));
    }
    EXPECT_EQ(kwin::DeviceEventHistory().size(), others.size() * 4);
    EXPECT_TRUE(LoggedEvents().empty());
    EXPECT_TRUE(ControlPanels(mark).empty());
    EXPECT_TRUE(ForceCloses(mark).empty());
    // Only our card is held.
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 1);

    StopAndExpectClean(service);
    EXPECT_EQ(ForceCloses(mark), Pass(card.InstanceId()));
}

struct RemovalCase {
    const char* name;
    bool surprise;
    bool vetoed;
    std::vector<DWORD> logged;  // after MSG_DEVICE_FOUND
    bool removed;
    int controlPanels;          // including the one at start-up
};
void PrintTo(const RemovalCase& c, std::ostream* out) { *out << c.name; }

class ServiceDevicesRemoval : public ServiceDevices, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(ServiceDevicesRemoval, ForceClosesOnceAndLetsGoOfTheCard) {
    const RemovalCase& c = GetParam();
    sim::Card& card = machine_.AddCard();
    sim::Card& bystander = machine_.AddCard();
    const std::wstring id = card.InstanceId();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    const auto before = HandleRegistrations();
    ASSERT_EQ(before.size(), 2u);

    // What the service holds when the second notification reaches it: the
    // query-remove has closed the card's handle already.
    int filesAtSecondEvent = -1;
    int events = 0;
    kwin::SetServiceControlHook([&](DWORD, DWORD control, DWORD) {
        if (control == SERVICE_CONTROL_DEVICEEVENT && ++events == 2) filesAtSecondEvent = kwin::OpenHandles().deviceFiles;
    });
    const kwin::RemovalResult result =
        c.surprise ? sim::SurpriseRemoval(machine_, card) : sim::RequestRemoval(machine_, card, c.vetoed);
    kwin::SetServiceControlHook(nullptr);

    EXPECT_EQ(result.removed, c.removed);
    EXPECT_FALSE(result.vetoedByRecipient);
    EXPECT_EQ(result.handlesStillOpen, 0);
    if (!c.surprise) {
        EXPECT_EQ(filesAtSecondEvent, 1) << "only the bystander's handle is open";
    }

    std::vector<LoggedEvent> expected = {Info(MSG_DEVICE_FOUND, id), Info(MSG_DEVICE_FOUND, bystander.InstanceId())};
    for (DWORD logged : c.logged) expected.push_back(Info(logged, id));
    EXPECT_EQ(LoggedEvents(), expected);
    // One pass, whether asked first or not.
    EXPECT_EQ(ForceCloses(), Pass(id));
    int panels = 0;
    for (const auto& launch : ControlPanels()) panels += launch.commandLine == id;
    EXPECT_EQ(panels, c.controlPanels);

    const auto after = HandleRegistrations();
    if (c.removed) {
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].instanceId, bystander.InstanceId());
        EXPECT_EQ(kwin::OpenHandles().deviceFiles, 1);
    } else {
        // Opened again and watched by a new registration; the old one is gone.
        ASSERT_EQ(after.size(), 2u);
        EXPECT_EQ(after[1].instanceId, id);
        EXPECT_EQ(kwin::DeviceNotifications().registered, 4);
        EXPECT_EQ(kwin::DeviceNotifications().unregistered, 1);
        EXPECT_EQ(kwin::OpenHandles().deviceFiles, 2);
        // The new handle and registration carry the next removal.
        kwin::ResetDeviceEventHistory();
        const kwin::RemovalResult second = sim::RequestRemoval(machine_, card, false);
        EXPECT_TRUE(second.removed);
        EXPECT_EQ(second.handlesStillOpen, 0);
        const auto history = kwin::DeviceEventHistory();
        ASSERT_FALSE(history.empty());
        EXPECT_EQ(history[0].eventType, DBT_DEVICEQUERYREMOVE);
        EXPECT_EQ(history[0].handle, after[1].deviceHandle);
        EXPECT_EQ(history[0].notify, after[1].notify);
        EXPECT_EQ(LoggedEvents().back(), Info(MSG_REMOVE_COMPLETE, id));
    }

    const size_t mark = Mark();
    StopAndExpectClean(service);
    // The shut-down force-closes only the card still listed.
    EXPECT_EQ(ForceCloses(mark), Pass(bystander.InstanceId()));
}

INSTANTIATE_TEST_SUITE_P(
    ServiceDevices, ServiceDevicesRemoval,
    ::testing::Values(RemovalCase{"QueryRemoveThenFailed", false, true, {MSG_QUERY_REMOVE, MSG_QUERY_REMOVE_FAILED},
                                  false, 2},
                      RemovalCase{"QueryRemoveThenComplete", false, false, {MSG_QUERY_REMOVE, MSG_REMOVE_COMPLETE},
                                  true, 1},
                      RemovalCase{"Surprise", true, false, {MSG_REMOVE_COMPLETE}, true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceDevices, CardThatCannotBeOpenedIsListedUnwatchedAndRemovedThroughItsInterfaces) {
    sim::Card& card = machine_.AddCard({.openError = ERROR_ACCESS_DENIED});
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 0);
    EXPECT_TRUE(HandleRegistrations().empty());
    EXPECT_EQ(kwin::DeviceNotifications().registered, 1);
    // A handle event for INVALID_HANDLE_VALUE finds no card.
    Record invalid = Record::Handle(INVALID_HANDLE_VALUE);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, invalid.data()), NO_ERROR);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, invalid.data()), NO_ERROR);
    EXPECT_EQ(LoggedEvents(), std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, card.InstanceId())});

    const kwin::RemovalResult result = sim::RequestRemoval(machine_, card, false);
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, card.InstanceId()),
                                                        Info(MSG_REMOVE_COMPLETE, card.InstanceId())}));
    EXPECT_EQ(ForceCloses(), Pass(card.InstanceId()));

    const size_t mark = Mark();
    StopAndExpectClean(service);
    EXPECT_TRUE(ForceCloses(mark).empty());
}

TEST_F(ServiceDevices, InterfaceRegistrationFailureStopsTheService) {
    sim::Card& card = machine_.AddCard();
    // The card's handle registration is the first call, the interface one the second.
    kwin::FailCall("RegisterDeviceNotificationW", 2, ERROR_NOT_ENOUGH_MEMORY);
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForExit());
    EXPECT_EQ(Rows(service.Statuses()), (std::vector<StatusRow>{{SERVICE_START_PENDING, 0, 3000, 0, 1},
                                                                {SERVICE_STOPPED, 0, 0, 129, 0}}));
    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, card.InstanceId()),
                                                        Error(L"RegisterDeviceNotification")}));
    EXPECT_TRUE(ControlPanels().empty());
    EXPECT_TRUE(ForceCloses().empty());
    // Whatever the process still held went with it.
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 0);
    EXPECT_EQ(kwin::OpenHandles().notifications, 0);
    EXPECT_EQ(kwin::OpenHandles().total, handlesBefore_.total + 1);
}

struct UnreadableCase {
    const char* name;
    sim::CardConfig config;
    const char* failingCall;  // armed after the good card's reads, or null
    int nthCall;
    bool listed;
    bool opened;
};
void PrintTo(const UnreadableCase& c, std::ostream* out) { *out << c.name; }

class ServiceDevicesUnreadable : public ServiceDevices, public ::testing::WithParamInterface<UnreadableCase> {};

// The bad device comes first; the good card after it is still found.
TEST_P(ServiceDevicesUnreadable, DeviceIsSkippedOrLeftUnopened) {
    const UnreadableCase& c = GetParam();
    sim::Card& bad = machine_.AddCard(c.config);
    sim::Card& good = machine_.AddCard();
    if (c.failingCall) kwin::FailCall(c.failingCall, c.nthCall, ERROR_INVALID_DATA);
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));

    std::vector<LoggedEvent> expected;
    if (c.listed) expected.push_back(Info(MSG_DEVICE_FOUND, bad.InstanceId()));
    expected.push_back(Info(MSG_DEVICE_FOUND, good.InstanceId()));
    EXPECT_EQ(LoggedEvents(), expected);
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, c.opened ? 2 : 1);
    const auto watched = HandleRegistrations();
    ASSERT_FALSE(watched.empty());
    EXPECT_EQ(watched.back().instanceId, good.InstanceId());
    StopAndExpectClean(service);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceDevices, ServiceDevicesUnreadable,
    ::testing::Values(
        UnreadableCase{"HardwareIdSizeQueryFails", {.hardwareIdQueryError = ERROR_INVALID_DATA}, nullptr, 0, false, false},
        UnreadableCase{"HardwareIdReadFails", {.hardwareIdReadError = ERROR_INVALID_DATA}, nullptr, 0, false, false},
        UnreadableCase{"InstanceIdLengthQueryFails", {}, "SetupDiGetDeviceInstanceIdW", 1, false, false},
        UnreadableCase{"InstanceIdReadFails", {}, "SetupDiGetDeviceInstanceIdW", 2, false, false},
        UnreadableCase{"InterfaceDetailSizeQueryFails", {}, "SetupDiGetDeviceInterfaceDetailW", 1, true, false},
        UnreadableCase{"InterfaceDetailReadFails", {}, "SetupDiGetDeviceInterfaceDetailW", 2, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Records that do not hold what their header promises, in allocations of
// exactly their size: nothing happens, nothing is read outside them.
TEST_F(ServiceDevices, MalformedAndUnexpectedRecordsAreIgnored) {
    sim::Card& card = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    const auto watched = HandleRegistrations();
    ASSERT_EQ(watched.size(), 1u);
    const HANDLE cardHandle = watched[0].deviceHandle;
    const std::wstring cardInterface = sim::InterfacePath(card.InstanceId(), KSCATEGORY_AUDIO, 0);
    kwin::ClearEventLog();
    const size_t mark = Mark();

    struct Case {
        const char* name;
        DWORD eventType;
        Record record;
        bool nullData = false;
    };
    std::vector<Case> cases;
    for (DWORD type : {DBT_DEVICEARRIVAL, DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVECOMPLETE}) {
        cases.push_back({"null data", type, Record(4), true});
    }
    for (DWORD type : {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}) {
        cases.push_back({"name shorter than its prefix", type, Record::Interface(L"\\\\?")});
        cases.push_back({"empty name", type, Record::Interface(L"")});
        cases.push_back({"name not terminated", type, Record::Interface(cardInterface, false)});
        cases.push_back({"name without '#'", type, Record::Interface(L"\\\\?\\PCI")});
        Record shortInterface = Record::Interface(cardInterface);
        shortInterface.as<DEV_BROADCAST_HDR>()->dbch_size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) - 1;
        cases.push_back({"interface record without a name", type, std::move(shortInterface)});
    }
    for (DWORD type : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVECOMPLETE}) {
        cases.push_back({"size field only", type, Record::Handle(cardHandle, sizeof(DWORD))});
        cases.push_back({"shorter than its header", type, Record::Handle(cardHandle, sizeof(DEV_BROADCAST_HDR) - 1)});
        cases.push_back({"handle record cut before its handle", type,
                         Record::Handle(cardHandle, offsetof(DEV_BROADCAST_HANDLE, dbch_handle) + 4)});
        cases.push_back({"handle of no card", type, Record::Handle(reinterpret_cast<HANDLE>(0x7ff0))});
        if (type != DBT_DEVICEREMOVECOMPLETE) {
            cases.push_back({"interface record where a handle one belongs", type, Record::Interface(cardInterface)});
        }
    }
    // Well-formed records of the card, with events the list does not act on.
    for (DWORD type : {DBT_DEVICEREMOVEPENDING, DBT_CUSTOMEVENT, DBT_DEVICEARRIVAL, 0x0007u}) {
        cases.push_back({"other event for the card's handle", type, Record::Handle(cardHandle)});
    }
    cases.push_back({"query-remove by interface", DBT_DEVICEQUERYREMOVE, Record::Interface(cardInterface)});

    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", event 0x" + std::to_string(c.eventType));
        EXPECT_EQ(service.Control(SERVICE_CONTROL_DEVICEEVENT, c.eventType, c.nullData ? nullptr : c.record.data()),
                  NO_ERROR);
    }
    EXPECT_TRUE(LoggedEvents().empty());
    EXPECT_TRUE(ControlPanels(mark).empty());
    EXPECT_TRUE(ForceCloses(mark).empty());
    // The card is still listed, open and watched.
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 1);
    ASSERT_EQ(HandleRegistrations().size(), 1u);
    EXPECT_EQ(HandleRegistrations()[0].deviceHandle, cardHandle);

    StopAndExpectClean(service);
    EXPECT_EQ(ForceCloses(mark), Pass(card.InstanceId()));
}

// Start-up walks the list holding it: a query-remove that reaches the
// handler while the second card is being opened waits for the walk, then
// finds the first card listed, opened and watched.
TEST_F(ServiceDevices, EventDeliveredWhileStartUpWalksTheList) {
    sim::Card& first = machine_.AddCard();
    sim::Card& second = machine_.AddCard();
    Signal delivered;
    std::future<kwin::RemovalResult> removal;
    kwin::SetServiceControlHook([&](DWORD, DWORD control, DWORD eventType) {
        if (control == SERVICE_CONTROL_DEVICEEVENT && eventType == DBT_DEVICEQUERYREMOVE) delivered.Set();
    });
    // Class lists: 1 the enumeration, 2 opening the first card, 3 the second.
    kwin::SetClassDevsHook([&](int call) {
        if (call != 3) return;
        removal = kwin::RequestDeviceRemovalAsync(first.InstanceId(), false);
        EXPECT_TRUE(delivered.Wait());
    });
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(removal.valid());
    ASSERT_EQ(removal.wait_for(20s), std::future_status::ready);
    const kwin::RemovalResult result = removal.get();
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(result.handlesStillOpen, 0);
    machine_.RemoveCard(first);
    kwin::SetClassDevsHook(nullptr);

    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, first.InstanceId()),
                                                        Info(MSG_DEVICE_FOUND, second.InstanceId()),
                                                        Info(MSG_QUERY_REMOVE, first.InstanceId()),
                                                        Info(MSG_REMOVE_COMPLETE, first.InstanceId())}));
    EXPECT_EQ(ForceCloses(), Pass(first.InstanceId()));
    ASSERT_EQ(HandleRegistrations().size(), 1u);
    EXPECT_EQ(HandleRegistrations()[0].instanceId, second.InstanceId());

    const size_t mark = Mark();
    StopAndExpectClean(service);
    EXPECT_EQ(ForceCloses(mark), Pass(second.InstanceId()));
}

// A card that arrives while start-up registers for interfaces is handled
// after the start-up launch: one control panel for it, not two.
TEST_F(ServiceDevices, ArrivalDuringStartUpStartsOneControlPanel) {
    sim::Card& present = machine_.AddCard();
    Signal delivered;
    std::future<int> arrival;
    sim::Card* arriving = nullptr;
    kwin::SetServiceControlHook([&](DWORD, DWORD control, DWORD eventType) {
        if (control == SERVICE_CONTROL_DEVICEEVENT && eventType == DBT_DEVICEARRIVAL) delivered.Set();
    });
    kwin::SetDeviceNotificationHook([&](const char* call, HDEVNOTIFY) {
        // The second registration is the interface one.
        if (std::strcmp(call, "registered") != 0 || kwin::DeviceNotifications().registered != 2) return;
        arriving = &machine_.AddCard();
        arrival = kwin::AnnounceDeviceArrivalAsync(arriving->InstanceId());
        EXPECT_TRUE(delivered.Wait());
    });
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(arrival.valid());
    ASSERT_EQ(arrival.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(arrival.get(), 2);
    kwin::SetDeviceNotificationHook(nullptr);

    const std::wstring arrivedId = Lower(arriving->InstanceId());
    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, present.InstanceId()),
                                                        Info(MSG_DEVICE_ARRIVED, arrivedId)}));
    EXPECT_EQ(ControlPanels(), (std::vector<Launch>{{present.InstanceId(), kConsoleSession},
                                                    {arrivedId, kConsoleSession}}));
    StopAndExpectClean(service);
}

// Shut-down takes each card off the list before letting go of it: a removal
// delivered meanwhile finds the cards still listed, and one delivered after
// the list is freed finds none.
TEST_F(ServiceDevices, EventsDeliveredDuringShutDown) {
    sim::Card& first = machine_.AddCard();
    sim::Card& second = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    HDEVNOTIFY interfaceRegistration = nullptr;
    for (const auto& info : kwin::DeviceNotificationRegistrations()) {
        if (info.deviceType == DBT_DEVTYP_DEVICEINTERFACE) interfaceRegistration = info.notify;
    }
    ASSERT_NE(interfaceRegistration, nullptr);
    const size_t mark = Mark();

    kwin::RemovalResult secondRemoval;
    std::atomic<bool> removalStarted{false};
    int lateArrivals = -1;
    sim::Card* late = nullptr;
    kwin::SetDeviceNotificationHook([&](const char* call, HDEVNOTIFY handle) {
        if (std::strcmp(call, "unregister") != 0) return;
        if (handle == interfaceRegistration) {
            // The list is freed: a new card is not taken up any more.
            late = &machine_.AddCard();
            lateArrivals = kwin::AnnounceDeviceArrivalAsync(late->InstanceId()).get();
        } else if (!removalStarted.exchange(true)) {
            // The first card is off the list and being let go of; the
            // removal's own unregistration comes back here and is let be.
            secondRemoval = kwin::SurpriseRemoveDeviceAsync(second.InstanceId()).get();
        }
    });
    EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
    ASSERT_TRUE(service.WaitForExit());
    kwin::SetDeviceNotificationHook(nullptr);

    EXPECT_TRUE(secondRemoval.removed);
    EXPECT_EQ(secondRemoval.handlesStillOpen, 0);
    EXPECT_EQ(lateArrivals, 2);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(LoggedEvents(), (std::vector<LoggedEvent>{Info(MSG_DEVICE_FOUND, first.InstanceId()),
                                                        Info(MSG_DEVICE_FOUND, second.InstanceId()),
                                                        Info(MSG_REMOVE_COMPLETE, second.InstanceId())}));
    // Each card force-closed once: the first by the shut-down, the second by its removal.
    std::vector<Launch> expected = Pass(first.InstanceId());
    for (const auto& launch : Pass(second.InstanceId())) expected.push_back(launch);
    EXPECT_EQ(ForceCloses(mark), expected);
    EXPECT_TRUE(ControlPanels(mark).empty());
    EXPECT_EQ(service.Record().handlesLeftAtExit, 0);
    EXPECT_EQ(kwin::OpenHandles().deviceFiles, 0);
    EXPECT_EQ(kwin::OpenHandles().notifications, 0);
    ExpectEveryEventAnsweredNoError();
}

TEST(ServiceDevicesSetupClasses, MediaClassByName) {
    constexpr GUID kMedia = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    GUID guid{};
    DWORD required = 7;
    ASSERT_TRUE(SetupDiClassGuidsFromNameW(L"media", &guid, 1, &required));
    EXPECT_EQ(required, 1u);
    EXPECT_TRUE(IsEqualGUID(guid, kMedia));

    required = 7;
    SetLastError(0);
    EXPECT_FALSE(SetupDiClassGuidsFromNameW(L"Media", nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 1u);

    required = 7;
    guid = GUID{};
    EXPECT_TRUE(SetupDiClassGuidsFromNameW(L"NoSuchClass", &guid, 1, &required));
    EXPECT_EQ(required, 0u);
    EXPECT_TRUE(IsEqualGUID(guid, GUID{}));
}

TEST(ServiceDevicesNotifications, RecipientMustBeAServiceStatusHandle) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SetLastError(0);
    EXPECT_EQ(RegisterDeviceNotificationW(reinterpret_cast<HANDLE>(0x1234), &filter, DEVICE_NOTIFY_SERVICE_HANDLE),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(RegisterDeviceNotificationW(reinterpret_cast<HANDLE>(0x1234), &filter, DEVICE_NOTIFY_WINDOW_HANDLE),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(0x1234)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace korvex::test
