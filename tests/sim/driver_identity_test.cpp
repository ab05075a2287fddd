// What the driver tells a host about itself and the card: init, name,
// version, error message, channels, channel records, clock sources, the
// future selectors and the control panel; and that every query of this area
// and of the rate area gives a defined answer in every state a host can
// reach.
#include "tests/sim/card_client.h"
#include "tests/sim/driver_fixture.h"

#include <cmath>
#include <cstring>
#include <cwctype>
#include <limits>
#include <string>

namespace {

using sim::devctl::kBufferMs;
using sim::devctl::kSampleRate;
using IdList = std::vector<uint32_t>;

constexpr char kNotPresent[] = "SAVANTIX Lyrenta Vazozo not present";
constexpr uint8_t kSentinel = 0xA5;
constexpr int32_t kUntouched = 0x5A5A5A5A;

// A host buffer of `n` bytes full of the sentinel; the string the driver
// wrote into it, or "<untouched>" / "<unterminated>".
std::string Written(const char* buffer, size_t n) {
    bool all = true;
    for (size_t i = 0; i < n; ++i) all = all && static_cast<uint8_t>(buffer[i]) == kSentinel;
    if (all) return "<untouched>";
    size_t length = strnlen(buffer, n);
    return length == n ? "<unterminated>" : std::string(buffer, length);
}

// A host table that answers "not supported" to both questions and is never
// called otherwise in these tests.
int32_t AnswerNo(int32_t, int32_t, void*, double*) { return 0; }
void NoSwitch(int32_t, ASIOBool) {}
ASIOTime* NoSwitchTimeInfo(ASIOTime* params, int32_t, ASIOBool) { return params; }
ASIOCallbacks MinimalHost() { return ASIOCallbacks{NoSwitch, nullptr, AnswerNo, NoSwitchTimeInfo}; }

class DriverIdentity : public simtest::DriverTest {
protected:
    // The host's record for one channel, otherwise full of the sentinel.
    static ASIOChannelInfo ChannelRecord(ASIOBool isInput, int32_t channel) {
        ASIOChannelInfo info;
        memset(&info, kSentinel, sizeof info);
        info.isInput = isInput;
        info.channel = channel;
        return info;
    }
};

TEST_F(DriverIdentity, EachModelReportsItsNameAndChannels) {
    struct Row {
        sim::CardModel model;
        const char* name;
        int32_t inputs;
        int32_t outputs;
    };
    const Row rows[] = {
        {sim::CardModel::Pico, "SAVANTIX Lyrenta Pico", 2, 2},
        {sim::CardModel::Six, "SAVANTIX Lyrenta Six", 2, 6},
        {sim::CardModel::Duo0, "SAVANTIX Lyrenta Duo", 2, 2},
        {sim::CardModel::Duo, "SAVANTIX Lyrenta Duo", 2, 2},
        {sim::CardModel::Eight, "SAVANTIX Lyrenta Eight", 2, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Card& card = machine->AddCard({.model = row.model});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        char name[32];
        memset(name, kSentinel, sizeof name);
        driver->getDriverName(name);
        EXPECT_EQ(Written(name, sizeof name), row.name);
        int32_t inputs = kUntouched, outputs = kUntouched;
        EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
        EXPECT_EQ(inputs, row.inputs);
        EXPECT_EQ(outputs, row.outputs);
        Release(driver);
        machine->RemoveCard(card);
    }
}

TEST_F(DriverIdentity, ModelLookupIgnoresCaseAndLeavesUnknownCardsUntouched) {
    struct Row {
        const char* label;
        std::wstring instanceId;
        const char* name;  // null: the host's variables stay as they were
        int32_t inputs;
        int32_t outputs;
    };
    std::wstring lower = sim::Model(sim::CardModel::Six).hardwareId;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    const Row rows[] = {
        {"lower-case instance ID", lower + L"\\4&2a1b&0&00e0", "SAVANTIX Lyrenta Six", 2, 6},
        {"instance ID of no model", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24031722\\4&2A1B&0&00E0", nullptr, 0, 0},
        {"prefix cut short", L"PCI\\VEN_1412&DEV_1724&SUBSYS_2401172", nullptr, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        // The hardware ID decides support; the instance ID decides the model.
        sim::Card& card = machine->AddCard({.model = sim::CardModel::Six, .instanceId = row.instanceId});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(Object(driver).deviceCount, 1);
        char name[32];
        memset(name, kSentinel, sizeof name);
        driver->getDriverName(name);
        int32_t inputs = kUntouched, outputs = kUntouched;
        EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
        if (row.name != nullptr) {
            EXPECT_EQ(Written(name, sizeof name), row.name);
            EXPECT_EQ(inputs, row.inputs);
            EXPECT_EQ(outputs, row.outputs);
        } else {
            EXPECT_EQ(Written(name, sizeof name), "<untouched>");
            EXPECT_EQ(inputs, kUntouched);
            EXPECT_EQ(outputs, kUntouched);
        }
        Release(driver);
        machine->RemoveCard(card);
    }
}

TEST_F(DriverIdentity, InitWithoutAUsableCardReportsNotPresentOnce) {
    struct Row {
        const char* label;
        bool card;
        bool heldElsewhere;
    };
    const Row rows[] = {{"no card", false, false}, {"card held by another client", true, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        sim::Card* card = row.card ? &machine->AddCard() : nullptr;
        std::optional<simtest::CardFile> other;
        if (row.heldElsewhere) {
            other.emplace(*card);
            ASSERT_EQ(other->Claim(1), ERROR_SUCCESS);
        }
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        if (card != nullptr) card->ClearRequests();

        char message[128];
        memset(message, kSentinel, sizeof message);
        driver->getErrorMessage(message);
        EXPECT_EQ(Written(message, sizeof message), "") << "empty before init";

        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        if (card != nullptr) {
            EXPECT_EQ(card->RequestCount(), 0u) << "init sent something";
        }
        memset(message, kSentinel, sizeof message);
        driver->getErrorMessage(message);
        EXPECT_EQ(Written(message, sizeof message), kNotPresent);
        memset(message, kSentinel, sizeof message);
        driver->getErrorMessage(message);
        EXPECT_EQ(Written(message, sizeof message), "") << "the message is reported once";

        // What a failed init leaves: nothing read from the card.
        ASIOSampleRate rate = -1.0;
        EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, 0.0);
        EXPECT_EQ(Object(driver).bufferMs, 0);

        // A second failed init leaves the message again.
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        memset(message, kSentinel, sizeof message);
        driver->getErrorMessage(message);
        EXPECT_EQ(Written(message, sizeof message), kNotPresent);

        Release(driver);
        other.reset();
        if (card != nullptr) machine->RemoveCard(*card);
    }
}

TEST_F(DriverIdentity, InitReadsRateAndBufferLengthEveryTime) {
    sim::Card& card = machine->AddCard({.sampleRate = 44100, .bufferMs = 10});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    card.ClearRequests();

    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(Ids(card), (IdList{kSampleRate, kBufferMs}));
    EXPECT_EQ(Object(driver).sampleRate.load(), 44100.0);
    EXPECT_EQ(Object(driver).bufferMs, 10);

    // Moved on the card by other means: the next init picks both up.
    card.SetSampleRate(192000);
    card.SetBufferMs(3);
    card.ClearRequests();
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(Ids(card), (IdList{kSampleRate, kBufferMs}));
    EXPECT_EQ(Object(driver).sampleRate.load(), 192000.0);
    EXPECT_EQ(Object(driver).bufferMs, 3);

    char message[128];
    memset(message, kSentinel, sizeof message);
    driver->getErrorMessage(message);
    EXPECT_EQ(Written(message, sizeof message), "");
}

TEST_F(DriverIdentity, FailedReadInInitKeepsWhatWasStored) {
    struct Row {
        const char* label;
        uint32_t failing;
        IdList sent;
        double rateAfter;
        int32_t bufferMsAfter;
    };
    // The first init read 44100 Hz and 10 ms; the card then moved to 96000 Hz and 5 ms.
    const Row rows[] = {
        {"rate read fails", kSampleRate, {kSampleRate}, 44100.0, 10},
        {"buffer length read fails", kBufferMs, {kSampleRate, kBufferMs}, 96000.0, 10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        sim::Card& card = machine->AddCard({.sampleRate = 44100, .bufferMs = 10});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        card.SetSampleRate(96000);
        card.SetBufferMs(5);
        card.FailRequest(row.failing, ERROR_GEN_FAILURE);
        card.ClearRequests();

        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        EXPECT_EQ(Ids(card), row.sent);
        EXPECT_EQ(Object(driver).sampleRate.load(), row.rateAfter);
        EXPECT_EQ(Object(driver).bufferMs, row.bufferMsAfter);
        char message[128];
        memset(message, kSentinel, sizeof message);
        driver->getErrorMessage(message);
        EXPECT_EQ(Written(message, sizeof message), "") << "a failed read leaves no message";

        Release(driver);
        machine->RemoveCard(card);
    }
}

TEST_F(DriverIdentity, ChannelIndexOutsideItsDirectionWritesNothing) {
    machine->AddCard({.model = sim::CardModel::Eight});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    struct Row {
        ASIOBool isInput;
        int32_t channel;
    };
    const Row rows[] = {
        {0, -1}, {0, 8}, {0, kMin}, {0, kMax},         // outputs: 0..7 on every model
        {1, -1}, {1, 2}, {7, 2}, {-1, 2}, {1, kMin},  // inputs: 0..1
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "isInput " << row.isInput << ", channel " << row.channel);
        ASIOChannelInfo info = ChannelRecord(row.isInput, row.channel);
        const ASIOChannelInfo before = info;
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
        EXPECT_EQ(memcmp(&info, &before, sizeof info), 0) << "the record was written";
    }
}

TEST_F(DriverIdentity, ChannelRecordsNameEveryChannelOfTheBlock) {
    // A two-output card: the output range is still that of the control block.
    machine->AddCard({.model = sim::CardModel::Pico});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    struct Row {
        ASIOBool isInput;
        int32_t channel;
        const char* name;
    };
    const Row rows[] = {
        {0, 0, "Left"},          {0, 1, "Right"},          {0, 2, "Center"},    {0, 3, "LFE"},
        {0, 4, "Surround Left"}, {0, 5, "Surround Right"}, {0, 6, "Side Left"}, {0, 7, "Side Right"},
        {1, 0, "Left"},          {1, 1, "Right"},          {7, 1, "Right"},     {-1, 0, "Left"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "isInput " << row.isInput << ", channel " << row.channel);
        ASIOChannelInfo info = ChannelRecord(row.isInput, row.channel);
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.channel, row.channel);
        EXPECT_EQ(info.isInput, row.isInput);
        EXPECT_EQ(info.isActive, 0);
        EXPECT_EQ(info.channelGroup, 0);
        EXPECT_EQ(info.type, 18);
        EXPECT_EQ(Written(info.name, sizeof info.name), row.name);
    }
}

TEST_F(DriverIdentity, ChannelRecordsFollowTheBuffersCreated) {
    machine->AddCard({.model = sim::CardModel::Pico});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);

    // Which channels report active; outputs 0..7 then inputs 0..1.
    auto active = [&] {
        std::vector<int32_t> flags;
        for (ASIOBool isInput : {0, 1}) {
            for (int32_t channel = 0; channel < (isInput ? 2 : 8); ++channel) {
                ASIOChannelInfo info = ChannelRecord(isInput, channel);
                EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
                flags.push_back(info.isActive);
            }
        }
        return flags;
    };
    const std::vector<int32_t> none(10, 0);
    EXPECT_EQ(active(), none);

    // Output 5 lies beyond the Pico's two outputs, yet has a buffer and a flag.
    ASIOCallbacks host = MinimalHost();
    ASIOBufferInfo infos[] = {{0, 3, {}}, {0, 5, {}}, {1, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 3, 256, &host), ASE_OK);
    EXPECT_EQ(active(), (std::vector<int32_t>{0, 0, 0, 1, 0, 1, 0, 0, 0, 1}));
    ASIOChannelInfo info = ChannelRecord(0, 5);
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(Written(info.name, sizeof info.name), "Surround Right");

    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(active(), none);
}

TEST_F(DriverIdentity, OneInternalClockSourceWhateverCountTheHostPasses) {
    sim::Card& card = machine->AddCard();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    card.ClearRequests();
    for (int32_t passed : {0, 1, 4, -1}) {
        SCOPED_TRACE(testing::Message() << "numSources passed " << passed);
        ASIOClockSource clocks[2];
        memset(clocks, kSentinel, sizeof clocks);
        const ASIOClockSource second = clocks[1];
        int32_t numSources = passed;
        EXPECT_EQ(driver->getClockSources(clocks, &numSources), ASE_OK);
        EXPECT_EQ(numSources, 1);
        EXPECT_EQ(clocks[0].index, 0);
        EXPECT_EQ(clocks[0].associatedChannel, 0);
        EXPECT_EQ(clocks[0].associatedGroup, 0);
        EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
        EXPECT_EQ(Written(clocks[0].name, sizeof clocks[0].name), "Internal");
        EXPECT_EQ(memcmp(&clocks[1], &second, sizeof second), 0) << "only the first entry is filled";
    }
    EXPECT_EQ(card.RequestCount(), 0u);
}

TEST_F(DriverIdentity, SelectingTheClockSourceSetsItsFlag) {
    sim::Card& card = machine->AddCard();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    card.ClearRequests();
    uint32_t& flags = Object(driver).asioTime.timeInfo.flags;

    for (int32_t reference : {1, 2, -1, std::numeric_limits<int32_t>::min()}) {
        SCOPED_TRACE(reference);
        EXPECT_EQ(driver->setClockSource(reference), ASE_NoClock);
        EXPECT_EQ(flags, 0u);
    }

    flags = kSystemTimeValid | kSampleRateChanged;
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(flags, kSystemTimeValid | kSampleRateChanged | kClockSourceChanged);
    EXPECT_EQ(driver->setClockSource(1), ASE_NoClock);
    EXPECT_EQ(flags, kSystemTimeValid | kSampleRateChanged | kClockSourceChanged);

    // Selecting the current source again still sets the bit.
    flags = 0;
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(flags, 0x20u);
    EXPECT_EQ(card.RequestCount(), 0u);
}

TEST_F(DriverIdentity, FutureHandlesTheTimeCodeSelectorsOnly) {
    sim::Card& card = machine->AddCard();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    card.ClearRequests();
    korvex::AsioDriver& object = Object(driver);

    // opt is never read nor written: a pointer to a sentinel block stays as it was.
    uint8_t optBlock[64];
    memset(optBlock, kSentinel, sizeof optBlock);
    const auto optUntouched = [&] {
        for (uint8_t byte : optBlock) {
            if (byte != kSentinel) return false;
        }
        return true;
    };

    struct Step {
        int32_t selector;
        int32_t timeCodeReadAfter;
    };
    // In order: enable, the two questions, disable, and each once more.
    const Step steps[] = {{1, 1}, {10, 1}, {11, 1}, {2, 0}, {10, 0}, {11, 0}, {1, 1}, {1, 1}, {2, 0}, {2, 0}};
    for (void* opt : {static_cast<void*>(nullptr), static_cast<void*>(optBlock)}) {
        for (const Step& step : steps) {
            SCOPED_TRACE(testing::Message() << "selector " << step.selector << (opt ? ", opt set" : ", opt null"));
            EXPECT_EQ(driver->future(step.selector, opt), 1061701536);
            EXPECT_EQ(object.timeCodeRead.load(), step.timeCodeReadAfter);
        }
    }
    EXPECT_TRUE(optUntouched());

    // Every other selector changes nothing, whichever way time code reading stands.
    const int32_t others[] = {0, 3, 4, 5, 6, 7, 8, 9, 12, 13, -1, std::numeric_limits<int32_t>::max(),
                              std::numeric_limits<int32_t>::min()};
    for (int32_t standing : {0, 1}) {
        object.timeCodeRead.store(standing);
        object.asioTime.timeInfo.flags = kSampleRateValid;
        ASIOTime timeBefore;
        memcpy(&timeBefore, &object.asioTime, sizeof timeBefore);
        for (int32_t selector : others) {
            SCOPED_TRACE(testing::Message() << "selector " << selector << ", timeCodeRead " << standing);
            EXPECT_EQ(driver->future(selector, optBlock), -1000);
            EXPECT_EQ(driver->future(selector, nullptr), -1000);
            EXPECT_EQ(object.timeCodeRead.load(), standing);
            EXPECT_EQ(memcmp(&object.asioTime, &timeBefore, sizeof timeBefore), 0);
        }
    }
    EXPECT_TRUE(optUntouched());
    EXPECT_EQ(card.RequestCount(), 0u);
}

TEST_F(DriverIdentity, VersionAndControlPanelWithAndWithoutACard) {
    IASIO* noCard = CreateDriver();
    ASSERT_NE(noCard, nullptr);
    sim::Card& card = machine->AddCard();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    card.ClearRequests();
    for (IASIO* d : {noCard, driver}) {
        EXPECT_EQ(d->getDriverVersion(), 2);
        EXPECT_EQ(d->controlPanel(), ASE_NotPresent);
    }
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    card.ClearRequests();
    EXPECT_EQ(driver->getDriverVersion(), 2);
    EXPECT_EQ(driver->controlPanel(), ASE_NotPresent);
    EXPECT_EQ(card.RequestCount(), 0u);
}

// Each query of the identity and rate areas, called twice in each state a
// host can bring the object into, with real and with null pointers: a
// defined answer every time and nothing read that is not there (the
// sanitizer builds catch a stray read).
TEST_F(DriverIdentity, EveryQueryInEveryStateIsDefined) {
    enum class Card { None, HeldElsewhere, Free };
    enum class Init { Never, Failed, Twice };
    struct State {
        const char* label;
        Card card;
        Init init;
    };
    const State states[] = {
        {"no card, before init", Card::None, Init::Never},
        {"no card, after failed init", Card::None, Init::Failed},
        {"card held elsewhere, before init", Card::HeldElsewhere, Init::Never},
        {"card held elsewhere, after failed init", Card::HeldElsewhere, Init::Failed},
        {"card, before init", Card::Free, Init::Never},
        {"card, after a failed rate read", Card::Free, Init::Failed},
        {"card, after init twice", Card::Free, Init::Twice},
    };
    const auto nullOrInvalid = [](ASIOError e) { return e == ASE_OK || e == ASE_InvalidParameter; };

    for (const State& state : states) {
        SCOPED_TRACE(state.label);
        sim::Card* card = state.card == Card::None ? nullptr : &machine->AddCard({.sampleRate = 48000});
        std::optional<simtest::CardFile> other;
        if (state.card == Card::HeldElsewhere) {
            other.emplace(*card);
            ASSERT_EQ(other->Claim(1), ERROR_SUCCESS);
        }
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        const bool usable = state.card == Card::Free;
        if (state.init == Init::Failed && usable) card->FailRequest(kSampleRate, ERROR_GEN_FAILURE);
        const bool initialised = usable && state.init == Init::Twice;
        const int inits = state.init == Init::Never ? 0 : state.init == Init::Failed ? 1 : 2;
        for (int i = 0; i < inits; ++i) EXPECT_EQ(driver->init(nullptr), initialised ? ASIOTrue : ASIOFalse);

        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round == 0 ? "first call" : "second call");
            char name[32];
            memset(name, kSentinel, sizeof name);
            driver->getDriverName(name);
            const std::string written = Written(name, sizeof name);
            if (state.card == Card::None) {
                EXPECT_EQ(written, "<untouched>");
            } else {
                EXPECT_EQ(written, "SAVANTIX Lyrenta Six");
            }
            driver->getDriverName(nullptr);
            EXPECT_EQ(driver->getDriverVersion(), 2);

            char message[128];
            memset(message, kSentinel, sizeof message);
            driver->getErrorMessage(message);
            EXPECT_NE(Written(message, sizeof message), "<unterminated>");
            driver->getErrorMessage(nullptr);

            int32_t inputs = kUntouched, outputs = kUntouched;
            EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
            if (state.card == Card::None) {
                EXPECT_EQ(inputs, kUntouched);
                EXPECT_EQ(outputs, kUntouched);
            } else {
                EXPECT_EQ(inputs, 2);
                EXPECT_EQ(outputs, 6);
            }
            EXPECT_PRED1(nullOrInvalid, driver->getChannels(nullptr, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getChannels(&inputs, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getChannels(nullptr, &outputs));

            ASIOChannelInfo info = ChannelRecord(0, 7);
            EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
            EXPECT_EQ(info.isActive, 0);
            EXPECT_EQ(Written(info.name, sizeof info.name), "Side Right");
            EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);

            ASIOClockSource clock;
            memset(&clock, kSentinel, sizeof clock);
            int32_t numSources = 0;
            EXPECT_EQ(driver->getClockSources(&clock, &numSources), ASE_OK);
            EXPECT_EQ(numSources, 1);
            EXPECT_PRED1(nullOrInvalid, driver->getClockSources(nullptr, &numSources));
            EXPECT_PRED1(nullOrInvalid, driver->getClockSources(&clock, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getClockSources(nullptr, nullptr));
            EXPECT_EQ(driver->setClockSource(0), ASE_OK);
            EXPECT_EQ(driver->setClockSource(1), ASE_NoClock);
            EXPECT_EQ(driver->controlPanel(), ASE_NotPresent);
            EXPECT_EQ(driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
            EXPECT_EQ(driver->future(kAsioSetInputMonitor, nullptr), ASE_NotPresent);

            EXPECT_EQ(driver->canSampleRate(48000.0), ASE_OK);
            EXPECT_EQ(driver->canSampleRate(std::nan("")), ASE_NoClock);
            ASIOSampleRate rate = -1.0;
            EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
            EXPECT_EQ(rate, initialised ? 48000.0 : 0.0);
            EXPECT_PRED1(nullOrInvalid, driver->getSampleRate(nullptr));

            int32_t minSize = kUntouched, maxSize = kUntouched, preferred = kUntouched, granularity = kUntouched;
            EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
            EXPECT_EQ(minSize, initialised ? 96 : 0);
            EXPECT_EQ(maxSize, initialised ? 4800 : 0);
            EXPECT_EQ(preferred, initialised ? 480 : 0);
            EXPECT_EQ(granularity, 8);
            EXPECT_PRED1(nullOrInvalid, driver->getBufferSize(nullptr, nullptr, nullptr, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getBufferSize(&minSize, &maxSize, &preferred, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getBufferSize(nullptr, &maxSize, &preferred, &granularity));
            int32_t inputLatency = kUntouched, outputLatency = kUntouched;
            EXPECT_EQ(driver->getLatencies(&inputLatency, &outputLatency), ASE_OK);
            EXPECT_EQ(inputLatency, initialised ? 551 : 71);
            EXPECT_EQ(outputLatency, initialised ? 495 : 15);
            EXPECT_PRED1(nullOrInvalid, driver->getLatencies(nullptr, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getLatencies(&inputLatency, nullptr));
            EXPECT_PRED1(nullOrInvalid, driver->getLatencies(nullptr, &outputLatency));

            // A refused rate changes nothing anywhere.
            EXPECT_EQ(driver->setSampleRate(0.0), ASE_NoClock);
        }
        // A rate change reaches the card only through the claim.
        const ASIOError set = driver->setSampleRate(96000.0);
        EXPECT_EQ(set, usable ? ASE_OK : ASE_NoClock);
        if (card != nullptr) {
            EXPECT_EQ(card->SampleRate(), usable ? 96000u : 48000u);
        }

        Release(driver);
        other.reset();
        if (card != nullptr) machine->RemoveCard(*card);
    }
}

}  // namespace
