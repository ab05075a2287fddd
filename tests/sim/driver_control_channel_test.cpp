// The driver object's control channel to the card, as the card receives it:
// the request format, the control block that every sender sends whole, and
// what init, setSampleRate, createBuffers, start and stop send.
#include "tests/sim/driver_fixture.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using namespace sim::devctl;
using IdList = std::vector<uint32_t>;

// A host that only answers: no time info, no time code.
ASIOCallbacks hostCallbacks{
    [](int32_t, ASIOBool) {},
    [](ASIOSampleRate) {},
    [](int32_t, int32_t, void*, double*) -> int32_t { return 0; },
    [](ASIOTime* time, int32_t, ASIOBool) { return time; },
};

int32_t Int32At(const ControlBlock& block, size_t offset) {
    int32_t value = 0;
    memcpy(&value, block.data() + offset, sizeof(value));
    return value;
}

// The fields of a control block, the reserved byte left out.
struct BlockFields {
    uint8_t command;
    std::vector<uint8_t> enables;  // outputs 0..7, inputs 0..1
    int32_t rateHz;
    int32_t bufferFrames;
};

void ExpectBlock(const ControlBlock& block, const BlockFields& expected) {
    EXPECT_EQ(block[kCommandOffset], expected.command);
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + kEnableOffset, block.begin() + kEnableOffset + kChannels),
              expected.enables);
    EXPECT_EQ(Int32At(block, kRateOffset), expected.rateHz);
    EXPECT_EQ(Int32At(block, kBufferFramesOffset), expected.bufferFrames);
}

const std::vector<uint8_t> kAllOff(kChannels, 0);

class DriverControlChannel : public simtest::DriverTest {
protected:
    // A driver object that claimed the card and was initialised; the card's
    // log starts empty.
    IASIO* ClaimedDriver(sim::Card& card) {
        IASIO* driver = CreateDriver();
        if (driver == nullptr) return nullptr;
        EXPECT_FALSE(Object(driver).notPresent);
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        card.ClearRequests();
        return driver;
    }
};

// Every request of a whole life, on the selected card of two: one
// IOCTL_KS_PROPERTY with a 24-byte header of the set, the property's verb and
// a value of the property's length.
TEST_F(DriverControlChannel, EveryRequestIsOnePropertyOfTheSetOnTheSelectedCard) {
    sim::Card& card = machine->AddCard({.clock = sim::ClockMode::Stepped});
    sim::Card& other = machine->AddCard();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    ASIOBufferInfo infos[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 3, 256, &hostCallbacks), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    Release(driver);

    const IdList expectedIds = {kInUse, kClaim,          kSampleRate, kBufferMs, kControl,
                                kControl, kMapBuffers,   kEvents,     kControl,  kControl,
                                kStop,    kUnmapBuffers, kControl,    kStop,     kClaim};
    ASSERT_EQ(card.RequestIds(), expectedIds);
    EXPECT_EQ(other.RequestCount(), 0u);

    struct Shape {
        uint32_t flags;
        DWORD length;
    };
    auto shapeOf = [](uint32_t id) -> Shape {
        switch (id) {
            case kControl: return {KSPROPERTY_TYPE_SET, 20};
            case kInUse: return {KSPROPERTY_TYPE_GET, 1};
            case kClaim: return {KSPROPERTY_TYPE_SET, 1};
            case kSampleRate: return {KSPROPERTY_TYPE_GET, 4};
            case kBufferMs: return {KSPROPERTY_TYPE_GET, 4};
            case kMapBuffers: return {KSPROPERTY_TYPE_GET, 80};
            case kUnmapBuffers: return {KSPROPERTY_TYPE_SET, 80};
            case kEvents: return {KSPROPERTY_TYPE_SET, 32};
            case kStop: return {KSPROPERTY_TYPE_SET, 0};
            default: return {0, 0};
        }
    };
    // The header of DEVCTL_IN_USE, byte for byte: the set's GUID in memory
    // order, the property number, the GET flag.
    const std::vector<uint8_t> inUseHeader = {0xC2, 0x77, 0xEA, 0x62, 0x74, 0x83, 0x49, 0x4F, 0x9E, 0xE7, 0x5F, 0xCE,
                                              0x00, 0x36, 0x7B, 0x5E, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    const std::vector<sim::CardRequest> requests = card.Requests();
    EXPECT_EQ(requests[0].header, inUseHeader);
    for (size_t i = 0; i < requests.size(); ++i) {
        const sim::CardRequest& request = requests[i];
        SCOPED_TRACE(testing::Message() << "request " << i << ", property " << request.id);
        const Shape shape = shapeOf(request.id);
        EXPECT_EQ(request.code, 0x2F0003u);
        ASSERT_EQ(request.header.size(), 24u);
        EXPECT_TRUE(std::equal(inUseHeader.begin(), inUseHeader.begin() + 16, request.header.begin()));
        const uint8_t idAndFlags[8] = {static_cast<uint8_t>(request.id), 0, 0, 0,
                                       static_cast<uint8_t>(shape.flags), 0, 0, 0};
        EXPECT_EQ(memcmp(request.header.data() + 16, idAndFlags, 8), 0);
        EXPECT_EQ(request.flags, shape.flags);
        EXPECT_EQ(request.valueLength, shape.length);
        EXPECT_EQ(request.valueNull, shape.length == 0);
        EXPECT_EQ(request.fileId, requests[0].fileId);
        EXPECT_TRUE(request.Succeeded());
    }
}

// Each sender writes its own fields; the block keeps the others' fields.
TEST_F(DriverControlChannel, ControlBlockIsSentWholeWithTheOtherCommandsFieldsKept) {
    sim::Card& card = machine->AddCard({.clock = sim::ClockMode::Stepped});
    IASIO* driver = ClaimedDriver(card);
    ASSERT_NE(driver, nullptr);
    auto lastBlock = [&] {
        const std::vector<sim::CardRequest> requests = card.Requests();
        for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
            if (it->id == kControl) return Block(*it);
        }
        ADD_FAILURE() << "no control block sent";
        return ControlBlock{};
    };

    ASSERT_EQ(driver->setSampleRate(192000.0), ASE_OK);
    ASSERT_EQ(card.RequestIds(), (IdList{kControl}));
    EXPECT_EQ(lastBlock()[kCommandOffset], kCmdSampleRate);
    EXPECT_EQ(Int32At(lastBlock(), kRateOffset), 192000);
    EXPECT_EQ(card.SampleRate(), 192000u);

    ASIOBufferInfo infos[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 3, {}}, {ASIOTrue, 1, {}}};
    card.ClearRequests();
    ASSERT_EQ(driver->createBuffers(infos, 3, 512, &hostCallbacks), ASE_OK);
    ASSERT_EQ(card.RequestIds(), (IdList{kControl, kMapBuffers}));
    EXPECT_EQ(lastBlock()[kCommandOffset], kCmdBufferSize);
    EXPECT_EQ(Int32At(lastBlock(), kBufferFramesOffset), 512);
    EXPECT_EQ(Int32At(lastBlock(), kRateOffset), 192000);
    EXPECT_EQ(card.BufferFrames(), 512u);

    card.ClearRequests();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_EQ(card.RequestIds(), (IdList{kEvents, kControl}));
    ExpectBlock(lastBlock(), {kCmdChannels, {1, 0, 0, 1, 0, 0, 0, 0, 0, 1}, 192000, 512});

    card.ClearRequests();
    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(card.RequestIds(), (IdList{kControl, kStop}));
    ExpectBlock(lastBlock(), {kCmdChannels, kAllOff, 192000, 512});

    // A fractional rate goes out with the fraction dropped.
    card.ClearRequests();
    ASSERT_EQ(driver->setSampleRate(44100.75), ASE_OK);
    ExpectBlock(lastBlock(), {kCmdSampleRate, kAllOff, 44100, 512});
    EXPECT_EQ(card.SampleRate(), 44100u);

    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    card.ClearRequests();
    ASSERT_EQ(driver->createBuffers(infos, 3, 128, &hostCallbacks), ASE_OK);
    ExpectBlock(lastBlock(), {kCmdBufferSize, kAllOff, 44100, 128});
}

// stop sends the channels off and DEVCTL_STOP whether or not a stream ran,
// every time, and keeps the rate and buffer fields of the block.
TEST_F(DriverControlChannel, StopWithoutStartSendsChannelsOffAndStopEachTime) {
    sim::Card& card = machine->AddCard();
    IASIO* driver = ClaimedDriver(card);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    card.ClearRequests();

    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->stop(), ASE_OK);
    const std::vector<sim::CardRequest> requests = card.Requests();
    ASSERT_EQ(card.RequestIds(), (IdList{kControl, kStop, kControl, kStop}));
    for (size_t i : {0u, 2u}) {
        SCOPED_TRACE(testing::Message() << "stop " << i / 2);
        const ControlBlock block = Block(requests[i]);
        for (size_t b = 0; b <= 10; ++b) EXPECT_EQ(block[b], 0) << "byte " << b;
        EXPECT_EQ(Int32At(block, kRateOffset), 96000);
        EXPECT_TRUE(requests[i + 1].valueNull);
        EXPECT_EQ(requests[i + 1].valueLength, 0u);
    }
    EXPECT_EQ(requests[0].value, requests[2].value);
    EXPECT_EQ(Object(driver).streamThread, nullptr);
}

// A refused channel command is ignored; a refused DEVCTL_STOP is reported,
// after the channels were switched off.
TEST_F(DriverControlChannel, StopReportsOnlyAFailedStopRequest) {
    struct Case {
        uint32_t failing;
        ASIOError result;
    } cases[] = {
        {kControl, ASE_OK},
        {kStop, ASE_NoMemory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "failing property " << c.failing);
        machine.emplace();
        sim::Card& card = machine->AddCard();
        IASIO* driver = ClaimedDriver(card);
        ASSERT_NE(driver, nullptr);
        card.FailRequest(c.failing, ERROR_GEN_FAILURE);
        EXPECT_EQ(driver->stop(), c.result);
        ASSERT_EQ(card.RequestIds(), (IdList{kControl, kStop}));
        EXPECT_EQ(card.Requests()[0].Succeeded(), c.failing != kControl);
        EXPECT_EQ(card.Requests()[1].Succeeded(), c.failing != kStop);
        Release(driver);
    }
}

// init reads the rate, then the buffer length; the rate is unsigned.
TEST_F(DriverControlChannel, InitReadsTheRateAsUnsignedThenTheBufferLength) {
    struct Case {
        const char* name;
        uint32_t cardRate;
        uint32_t failing;  // 0: none
        ASIOBool result;
        IdList sent;
        double rate;  // sampleRate afterwards
        int32_t bufferMs;
    } cases[] = {
        {"48 kHz", 48000, 0, ASIOTrue, {kSampleRate, kBufferMs}, 48000.0, 7},
        {"top bit set", 0x80000000u, 0, ASIOTrue, {kSampleRate, kBufferMs}, 2147483648.0, 7},
        {"all bits set", 0xFFFFFFFFu, 0, ASIOTrue, {kSampleRate, kBufferMs}, 4294967295.0, 7},
        {"rate request fails", 48000, kSampleRate, ASIOFalse, {kSampleRate}, 0.0, 0},
        {"buffer request fails", 96000, kBufferMs, ASIOFalse, {kSampleRate, kBufferMs}, 96000.0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.emplace();
        sim::Card& card = machine->AddCard({.bufferMs = 7});
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        card.SetSampleRate(c.cardRate);
        if (c.failing != 0) card.FailRequest(c.failing, ERROR_GEN_FAILURE);
        card.ClearRequests();

        EXPECT_EQ(driver->init(nullptr), c.result);
        EXPECT_EQ(card.RequestIds(), c.sent);
        for (const sim::CardRequest& request : card.Requests()) {
            EXPECT_EQ(request.flags, static_cast<uint32_t>(KSPROPERTY_TYPE_GET));
            EXPECT_EQ(request.valueLength, 4u);
        }
        ASIOSampleRate rate = -1.0;
        ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, c.rate);
        EXPECT_EQ(Object(driver).bufferMs, c.bufferMs);
        card.SetSampleRate(48000);
        Release(driver);
    }
}

}  // namespace
