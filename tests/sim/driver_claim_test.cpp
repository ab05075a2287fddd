// Construction and destruction of the driver object on machines with and
// without cards: what it finds, opens, claims, sends and closes, and what it
// leaves behind when a step of discovery or the claim fails.
#include "tests/sim/card_client.h"
#include "tests/sim/driver_fixture.h"
#include "tests/support/allocation_hooks.h"

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using sim::devctl::kClaim;
using sim::devctl::kControl;
using sim::devctl::kInUse;
using sim::devctl::kStop;
using sim::devctl::kUnmapBuffers;
using IdList = std::vector<uint32_t>;

constexpr const char* kNotPresent = "SAVANTIX Lyrenta Vazozo not present";
constexpr const wchar_t* kSixId = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722";
constexpr const wchar_t* kForeignId = L"PCI\\VEN_8086&DEV_2668&SUBSYS_01231028";

// Runs inside every SetupDiGetClassDevsW that succeeds while it lives.
class ClassDevsHook {
public:
    explicit ClassDevsHook(std::function<void(int)> hook) { kwin::SetClassDevsHook(std::move(hook)); }
    ~ClassDevsHook() { kwin::SetClassDevsHook(nullptr); }
    ClassDevsHook(const ClassDevsHook&) = delete;
    ClassDevsHook& operator=(const ClassDevsHook&) = delete;
};

// Counts the device lists opened while it lives.
class ListCounter {
public:
    ListCounter() : hook_([this](int) { ++opened_; }) {}
    int opened() const { return opened_; }

private:
    int opened_ = 0;
    ClassDevsHook hook_;
};

// avrt.dll missing from the system while it lives.
class AvrtAbsent {
public:
    AvrtAbsent() { kwin::SetAvrtPresent(false); }
    ~AvrtAbsent() { kwin::SetAvrtPresent(true); }
    AvrtAbsent(const AvrtAbsent&) = delete;
    AvrtAbsent& operator=(const AvrtAbsent&) = delete;
};

// Failures armed by a case and not reached do not outlive it.
class InjectedFailures {
public:
    ~InjectedFailures() { kwin::ClearInjectedFailures(); }
};

enum class Entry {
    Unfilled,    // device and instanceId null
    Open,        // an open handle and the card's instance ID
    FailedOpen,  // INVALID_HANDLE_VALUE and the card's instance ID
};

void ExpectEntry(const korvex::DeviceEntry& entry, Entry expected, const sim::Card* card) {
    switch (expected) {
        case Entry::Unfilled:
            EXPECT_EQ(entry.device, nullptr);
            EXPECT_EQ(entry.instanceId, nullptr);
            return;
        case Entry::Open:
        case Entry::FailedOpen:
            if (expected == Entry::Open) {
                EXPECT_NE(entry.device, nullptr);
                EXPECT_NE(entry.device, INVALID_HANDLE_VALUE);
            } else {
                EXPECT_EQ(entry.device, INVALID_HANDLE_VALUE);
            }
            ASSERT_NE(entry.instanceId, nullptr);
            ASSERT_NE(card, nullptr);
            EXPECT_EQ(std::wstring(entry.instanceId), card->InstanceId());
            return;
    }
}

// init's answer and the message of an object that holds no card.
void ExpectInitNotPresent(IASIO* driver) {
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    char message[128];
    memset(message, 'x', sizeof(message));
    driver->getErrorMessage(message);
    EXPECT_STREQ(message, kNotPresent);
}

void ExpectInUse(const sim::CardRequest& request) {
    EXPECT_EQ(request.id, kInUse);
    EXPECT_EQ(request.flags, static_cast<uint32_t>(KSPROPERTY_TYPE_GET));
    EXPECT_FALSE(request.valueNull);
    EXPECT_EQ(request.valueLength, 1u);
}

void ExpectClaim(const sim::CardRequest& request, uint8_t take) {
    EXPECT_EQ(request.id, kClaim);
    EXPECT_EQ(request.flags, static_cast<uint32_t>(KSPROPERTY_TYPE_SET));
    EXPECT_EQ(request.valueLength, 1u);
    EXPECT_EQ(request.value, (std::vector<uint8_t>{take}));
}

// The channel command with every channel off.
void ExpectChannelsOff(const sim::CardRequest& request) {
    EXPECT_EQ(request.id, kControl);
    EXPECT_EQ(request.flags, static_cast<uint32_t>(KSPROPERTY_TYPE_SET));
    ASSERT_EQ(request.value.size(), sim::devctl::kControlBlockSize);
    for (size_t i = 0; i <= 10; ++i) EXPECT_EQ(request.value[i], 0) << "byte " << i;
}

void ExpectStop(const sim::CardRequest& request) {
    EXPECT_EQ(request.id, kStop);
    EXPECT_EQ(request.flags, static_cast<uint32_t>(KSPROPERTY_TYPE_SET));
    EXPECT_TRUE(request.valueNull);
    EXPECT_EQ(request.valueLength, 0u);
}

// What destruction of an object that found a card sends to it: the channels
// off and a stop, then, only when it held the claim, the claim given back.
void ExpectDestructionRequests(const sim::Card& card, bool claimed) {
    const std::vector<sim::CardRequest> requests = card.Requests();
    ASSERT_EQ(card.RequestIds(), claimed ? (IdList{kControl, kStop, kClaim}) : (IdList{kControl, kStop}));
    ExpectChannelsOff(requests[0]);
    ExpectStop(requests[1]);
    if (claimed) ExpectClaim(requests[2], 0);
}

class DriverClaim : public simtest::DriverTest {
protected:
    // The claim and what goes with it: avrt.dll, its entry points, the 1 ms period.
    void ExpectClaimed(const korvex::AsioDriver& object, bool claimed) {
        EXPECT_EQ(object.notPresent, !claimed);
        EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods + (claimed ? 1 : 0));
        EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt + (claimed ? 1 : 0));
        if (!claimed) {
            EXPECT_EQ(object.avrtModule, nullptr);
            EXPECT_EQ(object.avSetMmThreadCharacteristics, nullptr);
            EXPECT_EQ(object.avRevertMmThreadCharacteristics, nullptr);
        }
    }
    int OpenDeviceFiles() const { return kwin::OpenHandles().deviceFiles - baselineHandles.deviceFiles; }
    int OpenDeviceLists() const { return kwin::OpenHandles().deviceInfoLists - baselineHandles.deviceInfoLists; }
};

TEST_F(DriverClaim, WithoutASupportedCardTheObjectHoldsOnlyItsEvents) {
    struct Case {
        const char* name;
        std::function<void(sim::Machine&)> setUp;
    } cases[] = {
        {"empty machine", [](sim::Machine&) {}},
        {"foreign audio devices", [](sim::Machine& m) {
             m.AddOtherDevice({kForeignId}, 2);
             m.AddOtherDevice({L"HDAUDIO\\FUNC_01&VEN_10EC&DEV_0662"}, 3);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        c.setUp(*machine);
        ListCounter lists;
        const int periodBegins = kwin::TimerPeriodBeginCalls();
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);

        EXPECT_EQ(object.deviceCount, 0);
        EXPECT_EQ(object.devices, nullptr);
        EXPECT_EQ(object.deviceIndex, 0);
        EXPECT_EQ(object.SelectedDevice(), nullptr);
        EXPECT_STREQ(object.errorMessage, "");
        EXPECT_EQ(object.half0Pending.load(), 1);
        EXPECT_EQ(object.sampleRate.load(), 0.0);
        EXPECT_EQ(object.streamThread, nullptr);
        EXPECT_FALSE(object.running.load());
        ExpectClaimed(object, false);
        EXPECT_EQ(lists.opened(), 1) << "no second pass without a counted card";

        // Eight distinct auto-reset events, none signalled, and nothing else open.
        kwin::HandleCounts open = kwin::OpenHandles();
        EXPECT_EQ(open.events, baselineHandles.events + 8);
        EXPECT_EQ(open.total, baselineHandles.total + 8);
        for (size_t i = 0; i < 8; ++i) {
            HANDLE event = *object.events[i];
            ASSERT_NE(event, nullptr) << "event " << i;
            for (size_t j = 0; j < i; ++j) EXPECT_NE(event, *object.events[j]);
            EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "event " << i;
            SetEvent(event);
            EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
            EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not auto-reset";
        }

        ExpectInitNotPresent(driver);
        Release(driver);
        EXPECT_EQ(kwin::OpenHandles(), baselineHandles);
        EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods);
        EXPECT_EQ(kwin::TimerPeriodBeginCalls(), periodBegins);
    }
}

TEST_F(DriverClaim, OneFreeCardIsClaimedAndGivenBack) {
    sim::Card& card = machine->AddCard();
    const int periodBegins = kwin::TimerPeriodBeginCalls();
    ListCounter lists;
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const korvex::AsioDriver& object = Object(driver);

    EXPECT_EQ(object.deviceCount, 1);
    ASSERT_NE(object.devices, nullptr);
    EXPECT_EQ(object.deviceIndex, 0);
    EXPECT_EQ(object.SelectedDevice(), &object.devices[0]);
    ExpectEntry(object.devices[0], Entry::Open, &card);
    ExpectClaimed(object, true);
    EXPECT_EQ(kwin::TimerPeriodBeginCalls(), periodBegins + 1);
    EXPECT_NE(object.avrtModule, nullptr);
    EXPECT_NE(object.avSetMmThreadCharacteristics, nullptr);
    EXPECT_NE(object.avRevertMmThreadCharacteristics, nullptr);
    EXPECT_STREQ(object.errorMessage, "");
    // Counting pass, opening pass, the card's own interface list; all closed again.
    EXPECT_EQ(lists.opened(), 3);
    EXPECT_EQ(OpenDeviceLists(), 0);
    EXPECT_EQ(OpenDeviceFiles(), 1);
    EXPECT_EQ(card.OpenFiles(), 1);

    std::vector<sim::CardRequest> requests = card.Requests();
    ASSERT_EQ(Ids(card), (IdList{kInUse, kClaim}));
    ExpectInUse(requests[0]);
    EXPECT_EQ(requests[0].value, (std::vector<uint8_t>{0}));
    ExpectClaim(requests[1], 1);
    EXPECT_TRUE(requests[1].Succeeded());
    EXPECT_EQ(requests[0].fileId, requests[1].fileId);
    EXPECT_EQ(card.ClaimedBy(), requests[1].fileId);
    const uint64_t file = requests[1].fileId;

    card.ClearRequests();
    Release(driver);
    ExpectDestructionRequests(card, true);
    for (const sim::CardRequest& request : card.Requests()) {
        EXPECT_EQ(request.fileId, file);
        EXPECT_TRUE(request.Succeeded()) << "request " << request.id;
    }
    EXPECT_FALSE(card.ClaimedBy().has_value());
    EXPECT_EQ(card.OpenFiles(), 0);
    EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods);
    EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt);
}

// The card's claim is held through a handle of this test, as another
// program's driver would hold it.
TEST_F(DriverClaim, CardHeldByAnotherClientIsNotClaimed) {
    sim::Card& card = machine->AddCard();
    simtest::CardFile other(card);
    ASSERT_TRUE(other.IsOpen());
    ASSERT_EQ(other.Claim(1), static_cast<DWORD>(ERROR_SUCCESS));
    const uint64_t otherFile = card.Requests().at(0).fileId;
    card.ClearRequests();

    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const korvex::AsioDriver& object = Object(driver);
    EXPECT_EQ(object.deviceCount, 1);
    ASSERT_NE(object.devices, nullptr);
    ExpectEntry(object.devices[0], Entry::Open, &card);
    ExpectClaimed(object, false);
    EXPECT_EQ(card.OpenFiles(), 2);
    std::vector<sim::CardRequest> requests = card.Requests();
    ASSERT_EQ(Ids(card), (IdList{kInUse}));
    ExpectInUse(requests[0]);
    EXPECT_EQ(requests[0].value, (std::vector<uint8_t>{1}));
    EXPECT_NE(requests[0].fileId, otherFile);
    ExpectInitNotPresent(driver);
    EXPECT_EQ(card.RequestCount(), 1u) << "init of an object without the claim asks the card nothing";

    card.ClearRequests();
    Release(driver);
    ExpectDestructionRequests(card, false);
    EXPECT_EQ(card.ClaimedBy(), otherFile);
    EXPECT_EQ(card.OpenFiles(), 1);
    EXPECT_EQ(other.Claim(0), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(DriverClaim, SecondDriverObjectFindsTheCardTaken) {
    sim::Card& card = machine->AddCard();
    IASIO* first = CreateDriver();
    ASSERT_NE(first, nullptr);
    ASSERT_FALSE(Object(first).notPresent);
    const uint64_t firstFile = card.Requests().at(1).fileId;
    card.ClearRequests();

    IASIO* second = CreateDriver();
    ASSERT_NE(second, nullptr);
    const korvex::AsioDriver& object = Object(second);
    EXPECT_TRUE(object.notPresent);
    EXPECT_EQ(object.avrtModule, nullptr);
    EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods + 1) << "only the first object's period";
    EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt + 1);
    ASSERT_EQ(Ids(card), (IdList{kInUse}));
    EXPECT_EQ(card.Requests()[0].value, (std::vector<uint8_t>{1}));
    ExpectInitNotPresent(second);

    card.ClearRequests();
    Release(second);
    ExpectDestructionRequests(card, false);
    EXPECT_EQ(card.ClaimedBy(), firstFile);
    EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods + 1);
    EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt + 1);

    card.ClearRequests();
    Release(first);
    ExpectDestructionRequests(card, true);
    EXPECT_FALSE(card.ClaimedBy().has_value());
}

TEST_F(DriverClaim, FailedClaimRequestLeavesTheCardUnclaimed) {
    struct Case {
        uint32_t failing;
        IdList sent;
    } cases[] = {
        {kInUse, {kInUse}},
        {kClaim, {kInUse, kClaim}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "failing property " << c.failing);
        machine.emplace();
        sim::Card& card = machine->AddCard();
        card.FailRequest(c.failing, ERROR_GEN_FAILURE);
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);
        EXPECT_EQ(object.deviceCount, 1);
        ASSERT_NE(object.devices, nullptr);
        ExpectEntry(object.devices[0], Entry::Open, &card);
        ExpectClaimed(object, false);
        ASSERT_EQ(Ids(card), c.sent);
        EXPECT_FALSE(card.Requests().back().Succeeded());
        if (c.failing == kClaim) ExpectClaim(card.Requests()[1], 1);
        EXPECT_FALSE(card.ClaimedBy().has_value());
        ExpectInitNotPresent(driver);

        card.ClearRequests();
        Release(driver);
        ExpectDestructionRequests(card, false);
        EXPECT_EQ(card.OpenFiles(), 0);
    }
}

// A device that is not ours comes first; the cards follow in enumeration order.
TEST_F(DriverClaim, TwoCardsBothOpenedFirstClaimed) {
    machine->AddOtherDevice({kForeignId}, 2);
    sim::Card& first = machine->AddCard({.model = sim::CardModel::Eight});
    machine->AddOtherDevice({kForeignId}, 2);
    sim::Card& second = machine->AddCard({.model = sim::CardModel::Pico});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const korvex::AsioDriver& object = Object(driver);

    EXPECT_EQ(object.deviceCount, 2);
    ASSERT_NE(object.devices, nullptr);
    ExpectEntry(object.devices[0], Entry::Open, &first);
    ExpectEntry(object.devices[1], Entry::Open, &second);
    EXPECT_NE(object.devices[0].device, object.devices[1].device);
    EXPECT_EQ(object.deviceIndex, 0);
    ExpectClaimed(object, true);
    EXPECT_EQ(first.OpenFiles(), 1);
    EXPECT_EQ(second.OpenFiles(), 1);
    EXPECT_EQ(OpenDeviceFiles(), 2) << "the foreign devices are not opened";
    EXPECT_EQ(Ids(first), (IdList{kInUse, kClaim}));
    EXPECT_EQ(Ids(second), IdList{});
    EXPECT_TRUE(first.ClaimedBy().has_value());
    EXPECT_FALSE(second.ClaimedBy().has_value());

    first.ClearRequests();
    Release(driver);
    ExpectDestructionRequests(first, true);
    EXPECT_EQ(Ids(second), IdList{});
    EXPECT_EQ(first.OpenFiles(), 0);
    EXPECT_EQ(second.OpenFiles(), 0);
}

// Only the start of the first string of the hardware-ID list is matched.
TEST_F(DriverClaim, OnlyTheFirstHardwareIdDecidesSupport) {
    struct Case {
        const char* name;
        std::vector<std::wstring> hardwareIds;
        bool supported;
    } cases[] = {
        {"lower case", {L"pci\\ven_1412&dev_1724&subsys_24021722"}, true},
        {"mixed case", {L"Pci\\Ven_1412&Dev_1724&SubSys_00000000"}, true},
        {"revision suffix", {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011721&REV_02", L"PCI\\VEN_1412&DEV_1724"}, true},
        {"supported first, foreign second", {kSixId, kForeignId}, true},
        {"other subsystem", {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24031722"}, false},
        {"vendor and device only", {L"PCI\\VEN_1412&DEV_1724", kSixId}, false},
        {"supported only second", {kForeignId, kSixId}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        sim::Card& card = machine->AddCard({.hardwareIds = c.hardwareIds});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);
        EXPECT_EQ(object.deviceCount, c.supported ? 1 : 0);
        EXPECT_EQ(object.devices != nullptr, c.supported);
        if (object.devices != nullptr) ExpectEntry(object.devices[0], Entry::Open, &card);
        ExpectClaimed(object, c.supported);
        EXPECT_EQ(card.OpenFiles(), c.supported ? 1 : 0);
        EXPECT_EQ(Ids(card), c.supported ? (IdList{kInUse, kClaim}) : IdList{});
        Release(driver);
        EXPECT_EQ(card.RequestCount(), c.supported ? 5u : 0u);
    }
}

// Both passes list present devices only: a card the system knows but that is
// not plugged in is neither counted nor given an entry.
TEST_F(DriverClaim, CardNotPresentIsNotCounted) {
    sim::Card& absent = machine->AddCard({.present = false});
    sim::Card& present = machine->AddCard({.model = sim::CardModel::Eight});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const korvex::AsioDriver& object = Object(driver);
    EXPECT_EQ(object.deviceCount, 1);
    ASSERT_NE(object.devices, nullptr);
    ExpectEntry(object.devices[0], Entry::Open, &present);
    ExpectClaimed(object, true);
    EXPECT_EQ(Ids(present), (IdList{kInUse, kClaim}));
    Release(driver);
    EXPECT_EQ(Ids(absent), IdList{});
    EXPECT_EQ(absent.OpenFiles(), 0);
}

// The opening pass takes each card's second audio interface; a card without
// one ends the pass, and entries filled before stay as they are.
TEST_F(DriverClaim, CardWithOneAudioInterfaceAbandonsTheOpeningPass) {
    struct Case {
        const char* name;
        bool goodCardFirst;
    } cases[] = {{"single card", false}, {"after a good card", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        sim::Card* good = c.goodCardFirst ? &machine->AddCard() : nullptr;
        sim::Card& single = machine->AddCard({.audioInterfaces = 1});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);

        EXPECT_EQ(object.deviceCount, c.goodCardFirst ? 2 : 1);
        ASSERT_NE(object.devices, nullptr);
        if (good != nullptr) {
            ExpectEntry(object.devices[0], Entry::Open, good);
            ExpectEntry(object.devices[1], Entry::Unfilled, nullptr);
            EXPECT_EQ(good->OpenFiles(), 1);
            EXPECT_EQ(Ids(*good), IdList{}) << "nothing is claimed after an abandoned pass";
        } else {
            ExpectEntry(object.devices[0], Entry::Unfilled, nullptr);
        }
        ExpectClaimed(object, false);
        EXPECT_EQ(single.OpenFiles(), 0);
        EXPECT_EQ(OpenDeviceLists(), 0);
        ExpectInitNotPresent(driver);

        Release(driver);
        // The stop of destruction reaches a filled selected entry, and no more.
        if (good != nullptr) {
            ExpectDestructionRequests(*good, false);
            EXPECT_EQ(good->OpenFiles(), 0);
        }
        EXPECT_EQ(Ids(single), IdList{});
    }
}

TEST_F(DriverClaim, FailedOpenOfACardLeavesAnInvalidHandleInItsEntry) {
    struct Case {
        const char* name;
        std::vector<DWORD> openErrors;  // one card each, in order
        std::vector<Entry> entries;
        bool claimed;
    } cases[] = {
        {"single card", {ERROR_ACCESS_DENIED}, {Entry::FailedOpen}, false},
        {"first of two", {ERROR_ACCESS_DENIED, ERROR_SUCCESS}, {Entry::FailedOpen, Entry::Open}, false},
        {"second of two", {ERROR_SUCCESS, ERROR_GEN_FAILURE}, {Entry::Open, Entry::FailedOpen}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        std::vector<sim::Card*> cards;
        for (DWORD error : c.openErrors) cards.push_back(&machine->AddCard({.openError = error}));
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);

        ASSERT_EQ(object.deviceCount, static_cast<int32_t>(cards.size()));
        ASSERT_NE(object.devices, nullptr);
        int opened = 0;
        for (size_t i = 0; i < cards.size(); ++i) {
            ExpectEntry(object.devices[i], c.entries[i], cards[i]);
            if (c.entries[i] == Entry::Open) ++opened;
        }
        EXPECT_EQ(OpenDeviceFiles(), opened);
        ExpectClaimed(object, c.claimed);
        EXPECT_EQ(Ids(*cards[0]), c.claimed ? (IdList{kInUse, kClaim}) : IdList{});
        for (size_t i = 1; i < cards.size(); ++i) EXPECT_EQ(Ids(*cards[i]), IdList{});
        if (!c.claimed) ExpectInitNotPresent(driver);

        for (sim::Card* card : cards) card->ClearRequests();
        Release(driver);
        if (c.claimed) {
            ExpectDestructionRequests(*cards[0], true);
        } else {
            EXPECT_EQ(Ids(*cards[0]), IdList{}) << "the selected card was never opened";
        }
        for (size_t i = 1; i < cards.size(); ++i) EXPECT_EQ(Ids(*cards[i]), IdList{});
        for (sim::Card* card : cards) EXPECT_EQ(card->OpenFiles(), 0);
    }
}

// A hardware-ID query that fails other than with ERROR_INSUFFICIENT_BUFFER,
// or a read that fails, ends the counting pass with what it counted.
TEST_F(DriverClaim, HardwareIdFailureEndsTheCountingPass) {
    struct Case {
        const char* name;
        bool supportedCardFirst;
        sim::CardConfig failing;
        int32_t count;
    } cases[] = {
        {"query fails after a counted card", true, {.hardwareIdQueryError = ERROR_INVALID_DATA}, 1},
        {"read fails after a counted card", true, {.hardwareIdReadError = ERROR_GEN_FAILURE}, 1},
        {"query fails before any card", false, {.hardwareIdQueryError = ERROR_GEN_FAILURE}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        sim::Card* counted = c.supportedCardFirst ? &machine->AddCard() : nullptr;
        sim::Card& failing = machine->AddCard(c.failing);
        sim::Card& after = machine->AddCard();
        ListCounter lists;
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);

        EXPECT_EQ(object.deviceCount, c.count);
        EXPECT_EQ(object.devices, nullptr);
        EXPECT_EQ(lists.opened(), 1) << "no opening pass";
        ExpectClaimed(object, false);
        EXPECT_EQ(OpenDeviceFiles(), 0);
        EXPECT_EQ(OpenDeviceLists(), 0);
        ExpectInitNotPresent(driver);

        Release(driver);
        if (counted != nullptr) {
            EXPECT_EQ(Ids(*counted), IdList{});
        }
        EXPECT_EQ(Ids(failing), IdList{});
        EXPECT_EQ(Ids(after), IdList{});
    }
}

// One card; the n-th call of a platform function fails. In the order in
// which construction makes them: the counting pass (list, device, hardware-ID
// size and read), the opening pass (the same, then the instance ID, the
// card's interface list, interface, detail size and read, the open).
TEST_F(DriverClaim, PlatformFailureAtEachStepOfDiscovery) {
    struct Case {
        const char* function;
        int nthCall;
        int32_t count;  // deviceCount
        bool devices;   // the array exists
        Entry entry;    // entry 0, when it does
    } cases[] = {
        {"SetupDiGetClassDevsW", 1, 0, false, Entry::Unfilled},
        {"SetupDiEnumDeviceInfo", 1, 0, false, Entry::Unfilled},
        {"SetupDiGetDeviceRegistryPropertyW", 1, 0, false, Entry::Unfilled},
        {"SetupDiGetDeviceRegistryPropertyW", 2, 0, false, Entry::Unfilled},
        {"SetupDiGetClassDevsW", 2, 1, true, Entry::Unfilled},
        {"SetupDiEnumDeviceInfo", 3, 1, true, Entry::Unfilled},
        {"SetupDiGetDeviceRegistryPropertyW", 3, 1, true, Entry::Unfilled},
        {"SetupDiGetDeviceRegistryPropertyW", 4, 1, true, Entry::Unfilled},
        {"SetupDiGetDeviceInstanceIdW", 1, 1, true, Entry::Unfilled},
        {"SetupDiGetDeviceInstanceIdW", 2, 1, true, Entry::Unfilled},
        {"SetupDiGetClassDevsW", 3, 1, true, Entry::Unfilled},
        {"SetupDiEnumDeviceInterfaces", 1, 1, true, Entry::Unfilled},
        {"SetupDiGetDeviceInterfaceDetailW", 1, 1, true, Entry::Unfilled},
        {"SetupDiGetDeviceInterfaceDetailW", 2, 1, true, Entry::Unfilled},
        {"CreateFileW", 1, 1, true, Entry::FailedOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.function << " call " << c.nthCall);
        machine.emplace();
        sim::Card& card = machine->AddCard();
        InjectedFailures cleanup;
        kwin::FailCall(c.function, c.nthCall, ERROR_GEN_FAILURE);
        IASIO* driver = CreateDriver();
        kwin::ClearInjectedFailures();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);

        EXPECT_EQ(object.deviceCount, c.count);
        ASSERT_EQ(object.devices != nullptr, c.devices);
        if (c.devices) ExpectEntry(object.devices[0], c.entry, &card);
        ExpectClaimed(object, false);
        EXPECT_EQ(OpenDeviceLists(), 0) << "a list left open";
        EXPECT_EQ(OpenDeviceFiles(), 0);
        EXPECT_EQ(card.OpenFiles(), 0);
        EXPECT_EQ(Ids(card), IdList{});
        ExpectInitNotPresent(driver);
        Release(driver);
        EXPECT_EQ(Ids(card), IdList{});
    }
}

// The claim stands without MMCSS; the entry points found are the ones asked for.
TEST_F(DriverClaim, MmcssEntryPointsAreLookedUpAfterTheClaim) {
    struct Case {
        const char* name;
        const char* failing;  // a platform function whose first call fails, or null
        bool avrtAbsent;
        bool module, set, revert;
    } cases[] = {
        {"avrt present", nullptr, false, true, true, true},
        {"avrt absent", nullptr, true, false, false, false},
        {"LoadLibraryW fails", "LoadLibraryW", false, false, false, false},
        {"GetModuleHandleW fails", "GetModuleHandleW", false, true, false, false},
        {"first lookup fails", "GetProcAddress", false, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        sim::Card& card = machine->AddCard();
        std::optional<AvrtAbsent> absent;
        if (c.avrtAbsent) absent.emplace();
        InjectedFailures cleanup;
        if (c.failing != nullptr) kwin::FailCall(c.failing, 1, ERROR_MOD_NOT_FOUND);
        IASIO* driver = CreateDriver();
        kwin::ClearInjectedFailures();
        ASSERT_NE(driver, nullptr);
        korvex::AsioDriver& object = Object(driver);

        ASSERT_FALSE(object.notPresent);
        EXPECT_EQ(Ids(card), (IdList{kInUse, kClaim}));
        EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods + 1);
        EXPECT_EQ(object.avrtModule != nullptr, c.module);
        EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt + (c.module ? 1 : 0));
        EXPECT_EQ(object.avSetMmThreadCharacteristics != nullptr, c.set);
        EXPECT_EQ(object.avRevertMmThreadCharacteristics != nullptr, c.revert);
        const kwin::AvrtCalls before = kwin::Avrt();
        if (c.set && c.revert && object.avSetMmThreadCharacteristics != nullptr &&
            object.avRevertMmThreadCharacteristics != nullptr) {
            DWORD taskIndex = 0;
            HANDLE task = object.avSetMmThreadCharacteristics(L"Pro Audio", &taskIndex);
            ASSERT_NE(task, nullptr);
            EXPECT_EQ(kwin::Avrt().setCalls, before.setCalls + 1);
            EXPECT_EQ(kwin::Avrt().lastTask, L"Pro Audio");
            EXPECT_TRUE(object.avRevertMmThreadCharacteristics(task));
            EXPECT_EQ(kwin::Avrt().revertCalls, before.revertCalls + 1);
        }

        card.ClearRequests();
        Release(driver);
        ExpectDestructionRequests(card, true);
        EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt);
    }
}

// Creation order: stopHalf0, half0Ready, stopHalf1, half1Ready, output0Ready,
// output1Ready, stopOutput, hostOutput. A failed creation leaves a null
// handle; the rest of construction goes on.
TEST_F(DriverClaim, FailedEventCreationLeavesThatEventNull) {
    sim::Card& card = machine->AddCard();
    for (int failing = 1; failing <= 8; ++failing) {
        SCOPED_TRACE(testing::Message() << "event " << failing);
        card.ClearRequests();
        InjectedFailures cleanup;
        kwin::FailCall("CreateEventW", failing, ERROR_NOT_ENOUGH_MEMORY);
        IASIO* driver = CreateDriver();
        kwin::ClearInjectedFailures();
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);
        const HANDLE* const fields[8] = {
            &object.stopHalf0Event,    &object.half0ReadyEvent,   &object.stopHalf1Event,  &object.half1ReadyEvent,
            &object.output0ReadyEvent, &object.output1ReadyEvent, &object.stopOutputEvent, &object.hostOutputEvent};
        for (int i = 0; i < 8; ++i) EXPECT_EQ(*fields[i] == nullptr, i + 1 == failing) << "event field " << i;
        EXPECT_EQ(kwin::OpenHandles().events, baselineHandles.events + 7);
        ExpectClaimed(object, true);
        card.ClearRequests();
        Release(driver);
        ExpectDestructionRequests(card, true);
        EXPECT_EQ(kwin::OpenHandles(), baselineHandles);
    }
}

// A card that appears between the two passes: the array holds what the
// first pass counted, and the extra card is not opened.
TEST_F(DriverClaim, CardArrivingBetweenThePassesIsNotOpened) {
    sim::Card& counted = machine->AddCard();
    sim::Card* arrived = nullptr;
    ClassDevsHook hook([&](int call) {
        if (call == 1) arrived = &machine->AddCard({.model = sim::CardModel::Eight});
    });
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_NE(arrived, nullptr);
    const korvex::AsioDriver& object = Object(driver);

    EXPECT_EQ(object.deviceCount, 1);
    ASSERT_NE(object.devices, nullptr);
    ExpectEntry(object.devices[0], Entry::Open, &counted);
    ExpectClaimed(object, true);
    EXPECT_EQ(arrived->OpenFiles(), 0);
    EXPECT_EQ(OpenDeviceFiles(), 1);
    EXPECT_EQ(OpenDeviceLists(), 0);
    EXPECT_EQ(Ids(counted), (IdList{kInUse, kClaim}));
    EXPECT_EQ(Ids(*arrived), IdList{});

    Release(driver);
    EXPECT_EQ(Ids(*arrived), IdList{});
    EXPECT_EQ(counted.OpenFiles(), 0);
}

// A counted card gone by the second pass: the next card fills entry 0 and is
// the one selected; the last entry stays unfilled.
TEST_F(DriverClaim, CardLeavingBetweenThePassesLeavesAnEntryUnfilled) {
    sim::Card& leaving = machine->AddCard();
    sim::Card& staying = machine->AddCard({.model = sim::CardModel::Eight});
    ClassDevsHook hook([&](int call) {
        if (call == 1) machine->RemoveCard(leaving);
    });
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const korvex::AsioDriver& object = Object(driver);

    EXPECT_EQ(object.deviceCount, 2);
    ASSERT_NE(object.devices, nullptr);
    ExpectEntry(object.devices[0], Entry::Open, &staying);
    ExpectEntry(object.devices[1], Entry::Unfilled, nullptr);
    ExpectClaimed(object, true);
    EXPECT_EQ(Ids(staying), (IdList{kInUse, kClaim}));
    EXPECT_EQ(Ids(leaving), IdList{});
    EXPECT_EQ(leaving.OpenFiles(), 0);

    staying.ClearRequests();
    Release(driver);
    ExpectDestructionRequests(staying, true);
    EXPECT_EQ(staying.OpenFiles(), 0);
}

// The n-th nothrow allocation fails, for n = 1 (the object) until
// construction no longer reaches the failure. Each run ends claimed only when
// it did not reach it, with whole entries only, and leaves nothing behind.
TEST_F(DriverClaim, AllocationFailureAtEachStepOfConstruction) {
    machine->AddOtherDevice({kForeignId}, 2);
    sim::Card& first = machine->AddCard();
    sim::Card& second = machine->AddCard({.model = sim::CardModel::Eight});
    const sim::Card* cards[] = {&first, &second};
    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);

    bool reached = true;
    int n = 1;
    for (; reached; ++n) {
        SCOPED_TRACE(testing::Message() << "allocation " << n);
        first.ClearRequests();
        second.ClearRequests();
        IASIO* driver = nullptr;
        const long before = testsupport::NothrowAllocations();
        testsupport::FailNthNothrowAllocation(n);
        const HRESULT created = factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver));
        testsupport::FailNthNothrowAllocation(0);
        reached = testsupport::NothrowAllocations() - before >= n;

        if (n == 1) {
            EXPECT_EQ(created, E_OUTOFMEMORY);
            EXPECT_EQ(driver, nullptr);
            EXPECT_EQ(kwin::OpenHandles(), baselineHandles);
            EXPECT_EQ(korvex::liveObjectCount, baselineLive);
            continue;
        }
        ASSERT_EQ(created, S_OK);
        ASSERT_NE(driver, nullptr);
        const korvex::AsioDriver& object = Object(driver);
        EXPECT_EQ(kwin::OpenHandles().events, baselineHandles.events + 8);
        EXPECT_EQ(OpenDeviceLists(), 0);

        int filled = 0;
        if (object.devices != nullptr) {
            EXPECT_EQ(object.deviceCount, 2);
            for (int i = 0; i < object.deviceCount; ++i) {
                const bool unfilled = object.devices[i].device == nullptr && object.devices[i].instanceId == nullptr;
                if (unfilled) continue;
                EXPECT_EQ(i, filled) << "filled entries come first";
                ExpectEntry(object.devices[i], Entry::Open, cards[i]);
                ++filled;
            }
        }
        EXPECT_EQ(OpenDeviceFiles(), filled);
        const bool claimed = !reached;
        ExpectClaimed(object, claimed);
        EXPECT_EQ(Ids(first), claimed ? (IdList{kInUse, kClaim}) : IdList{});
        if (!claimed) ExpectInitNotPresent(driver);

        first.ClearRequests();
        EXPECT_EQ(driver->Release(), 0u);
        if (filled > 0) {
            ExpectDestructionRequests(first, claimed);
        } else {
            EXPECT_EQ(Ids(first), IdList{});
        }
        EXPECT_EQ(Ids(second), IdList{});
        EXPECT_FALSE(first.ClaimedBy().has_value());
        EXPECT_EQ(kwin::OpenHandles(), baselineHandles);
        EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods);
        EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt);
        EXPECT_EQ(korvex::liveObjectCount, baselineLive);
    }
    // Runs that failed: the object, three hardware-ID buffers, the array, and
    // for each card one more hardware-ID buffer, its instance ID, its detail.
    EXPECT_GE(n - 2, 12);
    factory->Release();
}

// Destruction of an object with buffers and a running stream: the channels
// off, the stream thread ended, the stop, the buffers given back, then the claim.
TEST_F(DriverClaim, DestructionStopsTheStreamAndUnmapsBeforeGivingBackTheClaim) {
    sim::Card& card = machine->AddCard({.clock = sim::ClockMode::Stepped});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    static ASIOCallbacks callbacks{
        [](int32_t, ASIOBool) {},
        [](ASIOSampleRate) {},
        [](int32_t, int32_t, void*, double*) -> int32_t { return 0; },
        [](ASIOTime* time, int32_t, ASIOBool) { return time; },
    };
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOTrue, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, &callbacks), ASE_OK);
    kwin::ResetThreadHistory();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(card.Streaming());
    const sim::devctl::BufferMap mapped = card.MappedBuffers();

    card.ClearRequests();
    Release(driver);
    const std::vector<sim::CardRequest> requests = card.Requests();
    ASSERT_EQ(Ids(card), (IdList{kControl, kStop, kUnmapBuffers, kClaim}));
    ExpectChannelsOff(requests[0]);
    ExpectStop(requests[1]);
    ASSERT_EQ(requests[2].value.size(), sim::devctl::kBufferMapSize);
    EXPECT_EQ(memcmp(requests[2].value.data(), mapped.data(), sim::devctl::kBufferMapSize), 0);
    ExpectClaim(requests[3], 0);
    for (const sim::CardRequest& request : requests) EXPECT_TRUE(request.Succeeded()) << "request " << request.id;
    EXPECT_EQ(card.Mappings(), 0);
    EXPECT_FALSE(card.Streaming());
    const std::vector<kwin::ThreadRecord> threads = kwin::ThreadHistory();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_TRUE(threads[0].finished);
    EXPECT_FALSE(threads[0].terminated);
}

}  // namespace
