// The sample rate on the simulated card: what the driver accepts, what it
// sends to the card and tells the host when the rate changes, and the buffer
// sizes and latencies that follow from the rate and the card's buffer length.
#include "tests/sim/driver_fixture.h"

#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <thread>

namespace {

using sim::devctl::kControl;
using IdList = std::vector<uint32_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Sizes {
    int32_t minimum, maximum, preferred, granularity, inputLatency, outputLatency;
    bool operator==(const Sizes&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Sizes& s) {
    return os << "{" << s.minimum << ", " << s.maximum << ", " << s.preferred << ", " << s.granularity << "; "
              << s.inputLatency << ", " << s.outputLatency << "}";
}

Sizes SizesOf(IASIO* driver) {
    Sizes s{-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(driver->getBufferSize(&s.minimum, &s.maximum, &s.preferred, &s.granularity), ASE_OK);
    EXPECT_EQ(driver->getLatencies(&s.inputLatency, &s.outputLatency), ASE_OK);
    return s;
}

double RateOf(IASIO* driver) {
    ASIOSampleRate rate = -1.0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    return rate;
}

int32_t RateHz(const sim::devctl::ControlBlock& block) {
    int32_t hz = 0;
    memcpy(&hz, &block[sim::devctl::kRateOffset], sizeof hz);
    return hz;
}

int32_t BufferFrames(const sim::devctl::ControlBlock& block) {
    int32_t frames = 0;
    memcpy(&frames, &block[sim::devctl::kBufferFramesOffset], sizeof frames);
    return frames;
}

// A host whose asioMessage answers 0 and whose sampleRateDidChange records
// each call.
struct RateCalls {
    int count = 0;
    double rate = 0.0;
    std::thread::id thread;
};
RateCalls rateCalls;

int32_t AnswerNo(int32_t, int32_t, void*, double*) { return 0; }
void NoSwitch(int32_t, ASIOBool) {}
ASIOTime* NoSwitchTimeInfo(ASIOTime* params, int32_t, ASIOBool) { return params; }
void RecordRateChange(ASIOSampleRate rate) {
    ++rateCalls.count;
    rateCalls.rate = rate;
    rateCalls.thread = std::this_thread::get_id();
}

class DriverRate : public simtest::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        rateCalls = {};
    }

    // A driver on `card` after a successful init, with the request log cleared.
    IASIO* InitialisedDriver(sim::Card& card) {
        IASIO* driver = CreateDriver();
        EXPECT_NE(driver, nullptr);
        if (driver != nullptr) {
            EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        }
        card.ClearRequests();
        return driver;
    }

    // Buffers for output 0, with the host table given.
    static void CreateBuffers(IASIO* driver, ASIOCallbacks* host, int32_t frames = 256) {
        ASIOBufferInfo info{0, 0, {}};
        ASSERT_EQ(driver->createBuffers(&info, 1, frames, host), ASE_OK);
    }

    ASIOCallbacks host{NoSwitch, RecordRateChange, AnswerNo, NoSwitchTimeInfo};
};

TEST_F(DriverRate, SizesFollowTheRateAndBufferLengthReadFromTheCard) {
    struct Row {
        uint32_t rate;
        uint32_t bufferMs;
        Sizes expected;
    };
    const Row rows[] = {
        {44100, 10, {88, 4400, 440, 8, 511, 455}},
        {48000, 10, {96, 4800, 480, 8, 551, 495}},
        {96000, 10, {192, 9600, 960, 8, 1031, 975}},
        {192000, 10, {384, 19200, 1920, 8, 1991, 1935}},
        {44100, 5, {88, 4400, 220, 8, 291, 235}},
        {48000, 3, {96, 4800, 144, 8, 215, 159}},
        {96000, 0, {192, 9600, 0, 8, 71, 15}},
        {32000, 10, {64, 3200, 320, 8, 391, 335}},  // outside the accepted range, taken as it comes
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.rate << " Hz, " << row.bufferMs << " ms");
        sim::Card& card = machine->AddCard({.sampleRate = row.rate, .bufferMs = row.bufferMs});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        // Before init nothing has been read: no rate, no buffer length.
        EXPECT_EQ(RateOf(driver), 0.0);
        EXPECT_EQ(SizesOf(driver), (Sizes{0, 0, 0, 8, 71, 15}));

        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        EXPECT_EQ(RateOf(driver), static_cast<double>(row.rate));
        EXPECT_EQ(SizesOf(driver), row.expected);
        Release(driver);
        machine->RemoveCard(card);
    }
}

TEST_F(DriverRate, HugeRateFromTheCardGivesSaturatedSizes) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    sim::Card& card = machine->AddCard({.sampleRate = 0xFFFFFFFFu, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    // An unsigned rate: positive, not -1.
    EXPECT_EQ(RateOf(driver), 4294967295.0);
    // k = 4294967.
    EXPECT_EQ(SizesOf(driver), (Sizes{8589934, 429496700, 42949670, 8, 42949741, 42949685}));

    // With a long buffer the preferred size leaves the 32-bit range.
    card.SetBufferMs(1000);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(SizesOf(driver), (Sizes{8589934, 429496700, kMax, 8, kMax, kMax}));
}

TEST_F(DriverRate, AcceptedRangeIsInclusiveAndRefusesEverythingElse) {
    // A driver with no card answers canSampleRate the same: the argument alone decides.
    IASIO* noCard = CreateDriver();
    ASSERT_NE(noCard, nullptr);
    sim::Card& card = machine->AddCard({.sampleRate = 48000, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    korvex::AsioDriver& object = Object(driver);

    struct Row {
        double rate;
        bool accepted;
    };
    // Accepted rows differ from the row before, so each is a change.
    const Row rows[] = {
        {44100.0, true},
        {192000.0, true},
        {50000.0, true},
        {44100.7, true},
        {191999.99, true},
        {std::nextafter(44100.0, 0.0), false},
        {44099.99, false},
        {192000.01, false},
        {std::nextafter(192000.0, kInf), false},
        {0.0, false},
        {-0.0, false},
        {-44100.0, false},
        {-192000.0, false},
        {kNaN, false},
        {-kNaN, false},
        {kInf, false},
        {-kInf, false},
        {1e300, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::setprecision(17) << row.rate);
        const ASIOError expected = row.accepted ? ASE_OK : ASE_NoClock;
        EXPECT_EQ(noCard->canSampleRate(row.rate), expected);
        EXPECT_EQ(driver->canSampleRate(row.rate), expected);
        EXPECT_EQ(card.RequestCount(), 0u) << "canSampleRate asked the card";

        const double rateBefore = RateOf(driver);
        const uint32_t cardRateBefore = card.SampleRate();
        object.asioTime.timeInfo.flags = 0;
        EXPECT_EQ(driver->setSampleRate(row.rate), expected);
        if (row.accepted) {
            EXPECT_EQ(RateOf(driver), row.rate);
            const std::vector<sim::CardRequest> sent = card.Requests();
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(Block(sent[0])[0], sim::devctl::kCmdSampleRate);
            EXPECT_EQ(RateHz(Block(sent[0])), static_cast<int32_t>(std::trunc(row.rate)));
            EXPECT_EQ(object.asioTime.timeInfo.flags, kSampleRateChanged);
        } else {
            EXPECT_EQ(RateOf(driver), rateBefore);
            EXPECT_EQ(card.RequestCount(), 0u);
            EXPECT_EQ(card.SampleRate(), cardRateBefore);
            EXPECT_EQ(object.asioTime.timeInfo.flags, 0u);
        }
        card.ClearRequests();
    }
}

TEST_F(DriverRate, FractionalRateIsSentTruncatedAndKeptWhole) {
    sim::Card& card = machine->AddCard({.sampleRate = 48000, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    korvex::AsioDriver& object = Object(driver);
    // The buffer-size command leaves its frame count in the block.
    CreateBuffers(driver, &host, 256);
    card.ClearRequests();
    object.asioTime.timeInfo.flags = kSystemTimeValid | kClockSourceChanged;

    EXPECT_EQ(driver->setSampleRate(44100.7), ASE_OK);
    ASSERT_EQ(Ids(card), (IdList{kControl}));
    const sim::devctl::ControlBlock block = Block(card.Requests()[0]);
    EXPECT_EQ(block[sim::devctl::kCommandOffset], sim::devctl::kCmdSampleRate);
    EXPECT_EQ(RateHz(block), 44100);
    EXPECT_EQ(BufferFrames(block), 256) << "the other fields keep what the last command left";
    EXPECT_EQ(card.SampleRate(), 44100u);

    EXPECT_EQ(RateOf(driver), 44100.7);
    EXPECT_EQ(object.asioTime.timeInfo.sampleRate, 44100.7);
    EXPECT_EQ(object.asioTime.timeInfo.flags, kSystemTimeValid | kClockSourceChanged | kSampleRateChanged);
    // k = 44; the latencies are those of the 256-sample buffers in place.
    EXPECT_EQ(SizesOf(driver), (Sizes{88, 4400, 440, 8, 256 + 71, 256 + 15}));
    EXPECT_EQ(rateCalls.count, 1);
    EXPECT_EQ(rateCalls.rate, 44100.7);

    // The same rate again: nothing sent, no flag, no call.
    card.ClearRequests();
    object.asioTime.timeInfo.flags = 0;
    object.asioTime.timeInfo.sampleRate = 0.0;
    EXPECT_EQ(driver->setSampleRate(44100.7), ASE_OK);
    EXPECT_EQ(card.RequestCount(), 0u);
    EXPECT_EQ(object.asioTime.timeInfo.flags, 0u);
    EXPECT_EQ(object.asioTime.timeInfo.sampleRate, 0.0);
    EXPECT_EQ(rateCalls.count, 1);

    // Whole 44100 differs from 44100.7: a change, although rateHz is the same.
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(Ids(card), (IdList{kControl}));
    EXPECT_EQ(rateCalls.count, 2);
}

TEST_F(DriverRate, RateReadByInitIsNotSentAgain) {
    sim::Card& card = machine->AddCard({.sampleRate = 48000, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    CreateBuffers(driver, &host);
    card.ClearRequests();
    Object(driver).asioTime.timeInfo.flags = 0;

    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(card.RequestCount(), 0u);
    EXPECT_EQ(Object(driver).asioTime.timeInfo.flags, 0u);
    EXPECT_EQ(rateCalls.count, 0);
}

TEST_F(DriverRate, RefusedSendKeepsTheNewRateAndTellsNobody) {
    struct Row {
        const char* label;
        void (*refuse)(sim::Card&);
    };
    const Row rows[] = {
        {"card cannot switch", [](sim::Card& card) { card.RefuseRateChange(); }},
        {"control request fails", [](sim::Card& card) { card.FailRequest(kControl, ERROR_GEN_FAILURE); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        rateCalls = {};
        sim::Card& card = machine->AddCard({.sampleRate = 48000, .bufferMs = 10});
        IASIO* driver = InitialisedDriver(card);
        ASSERT_NE(driver, nullptr);
        korvex::AsioDriver& object = Object(driver);
        CreateBuffers(driver, &host);
        row.refuse(card);
        card.ClearRequests();
        object.asioTime.timeInfo.flags = kSystemTimeValid;
        ASIOTime timeBefore;
        memcpy(&timeBefore, &object.asioTime, sizeof timeBefore);

        EXPECT_EQ(driver->setSampleRate(96000.0), ASE_NoClock);
        ASSERT_EQ(Ids(card), (IdList{kControl}));
        EXPECT_EQ(RateHz(Block(card.Requests()[0])), 96000);
        EXPECT_EQ(card.SampleRate(), 48000u);
        EXPECT_EQ(object.control.command, korvex::DEVCTL_CMD_SAMPLE_RATE);
        EXPECT_EQ(object.control.rateHz, 96000);
        EXPECT_EQ(RateOf(driver), 96000.0);
        // The latencies are those of the 256-sample buffers that exist.
        EXPECT_EQ(SizesOf(driver), (Sizes{192, 9600, 960, 8, 256 + 71, 256 + 15}));
        EXPECT_EQ(memcmp(&object.asioTime, &timeBefore, sizeof timeBefore), 0) << "asioTime was touched";
        EXPECT_EQ(rateCalls.count, 0);

        Release(driver);
        machine->RemoveCard(card);
    }
}

// A refused rate leaves the driver reporting a rate the card does not run
// at; a host that asks for it again must see the command tried again, not a
// success that changes nothing.
TEST_F(DriverRate, RateAskedForAgainAfterARefusalIsSentAgain) {
    sim::Card& card = machine->AddCard({.sampleRate = 48000, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    card.RefuseRateChange();
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_NoClock);
    EXPECT_EQ(Ids(card), (IdList{kControl, kControl}));

    card.RefuseRateChange(false);
    card.ClearRequests();
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(card.SampleRate(), 96000u);
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);  // now current: nothing sent
    EXPECT_EQ(Ids(card), (IdList{kControl}));

    // init re-reads the card's own rate, which also ends a refusal.
    card.RefuseRateChange();
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    card.ClearRequests();
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_TRUE(Ids(card).empty());
}

TEST_F(DriverRate, HostIsToldOnlyWhileBuffersExist) {
    sim::Card& card = machine->AddCard({.sampleRate = 44100, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    korvex::AsioDriver& object = Object(driver);

    // Before buffers: the card and asioTime change, the host is not called.
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(card.SampleRate(), 96000u);
    EXPECT_EQ(object.asioTime.timeInfo.flags & kSampleRateChanged, kSampleRateChanged);
    EXPECT_EQ(object.asioTime.timeInfo.sampleRate, 96000.0);
    EXPECT_EQ(rateCalls.count, 0);
    EXPECT_EQ(SizesOf(driver), (Sizes{192, 9600, 960, 8, 1031, 975}));

    // With buffers: once, on this thread, with the new rate, before returning.
    CreateBuffers(driver, &host);
    EXPECT_EQ(driver->setSampleRate(192000.0), ASE_OK);
    EXPECT_EQ(rateCalls.count, 1);
    EXPECT_EQ(rateCalls.rate, 192000.0);
    EXPECT_EQ(rateCalls.thread, std::this_thread::get_id());
    EXPECT_EQ(object.asioTime.timeInfo.flags & kSampleRateChanged, kSampleRateChanged);
    EXPECT_EQ(object.asioTime.timeInfo.sampleRate, 192000.0);

    // After disposal the table is no longer used.
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(rateCalls.count, 1);
    EXPECT_EQ(card.SampleRate(), 48000u);
}

// The card runs at the size the buffers were created with, so once they
// exist the latencies are that size's; before and after, the preferred
// size's. The other sizes never depend on the buffers.
TEST_F(DriverRate, LatenciesAreThoseOfTheCreatedBuffers) {
    sim::Card& card = machine->AddCard({.sampleRate = 192000, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    const Sizes preferred{384, 19200, 1920, 8, 1991, 1935};
    EXPECT_EQ(SizesOf(driver), preferred);

    // Sizes the host may pick, including ones off the granularity or outside the limits.
    for (int32_t frames : {384, 1000, 1920, 19200, 4, 20000}) {
        SCOPED_TRACE(frames);
        CreateBuffers(driver, &host, frames);
        EXPECT_EQ(SizesOf(driver), (Sizes{384, 19200, 1920, 8, frames + 71, frames + 15}));
        // A new rate changes the limits, not the buffers the card runs at.
        ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
        EXPECT_EQ(SizesOf(driver), (Sizes{96, 4800, 480, 8, frames + 71, frames + 15}));
        ASSERT_EQ(driver->setSampleRate(192000.0), ASE_OK);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(SizesOf(driver), preferred);
    }

    // A creation refused for a channel that does not exist leaves no buffers.
    ASIOBufferInfo bad{0, 8, {}};
    EXPECT_EQ(driver->createBuffers(&bad, 1, 384, &host), ASE_InvalidParameter);
    EXPECT_EQ(SizesOf(driver), preferred);
}

TEST_F(DriverRate, HostTableWithoutRateEntryIsNotCalled) {
    sim::Card& card = machine->AddCard({.sampleRate = 44100, .bufferMs = 10});
    IASIO* driver = InitialisedDriver(card);
    ASSERT_NE(driver, nullptr);
    ASIOCallbacks partial{NoSwitch, nullptr, AnswerNo, NoSwitchTimeInfo};
    CreateBuffers(driver, &partial);
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(card.SampleRate(), 96000u);
    EXPECT_EQ(Object(driver).asioTime.timeInfo.flags, kSampleRateChanged);
    EXPECT_EQ(Object(driver).asioTime.timeInfo.sampleRate, 96000.0);
}

TEST_F(DriverRate, NoCardToSendToIsNoClock) {
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(Object(driver).deviceCount, 0);
    // A card that arrives later is not the driver's: nothing reaches it.
    sim::Card& card = machine->AddCard({.sampleRate = 48000});
    Object(driver).asioTime.timeInfo.flags = 0;
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_NoClock);
    EXPECT_EQ(card.RequestCount(), 0u);
    EXPECT_EQ(card.SampleRate(), 48000u);
    EXPECT_EQ(Object(driver).asioTime.timeInfo.flags, 0u);
}

}  // namespace
