// The card's kernel driver through Win32: its private property set, request
// checks, the claim between opens, buffers, events and the request log.
#include "sim/machine.h"
#include "tests/sim/card_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

using simtest::CardFile;
using simtest::Enable;
namespace devctl = sim::devctl;

class CardRequests : public simtest::LeakCheck {
protected:
    sim::Machine machine;
    sim::Card& card = machine.AddCard({.clock = sim::ClockMode::Stepped});
};

TEST_F(CardRequests, LogKeepsTheExactRequestAsSentAndAnswered) {
    CardFile file(card);
    uint8_t inUse = 0xFF;
    ASSERT_EQ(file.InUse(&inUse), ERROR_SUCCESS);
    ASSERT_EQ(file.Claim(1), ERROR_SUCCESS);
    uint32_t rate = 0;
    ASSERT_EQ(file.Get(devctl::kSampleRate, &rate, 4), ERROR_SUCCESS);
    ASSERT_EQ(file.Stop(), ERROR_SUCCESS);

    const auto requests = card.Requests();
    ASSERT_EQ(requests.size(), 4u);
    const std::vector<uint8_t> inUseHeader = {0xC2, 0x77, 0xEA, 0x62, 0x74, 0x83, 0x49, 0x4F, 0x9E, 0xE7, 0x5F, 0xCE,
                                              0x00, 0x36, 0x7B, 0x5E, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(requests[0].header, inUseHeader);
    EXPECT_EQ(requests[0].code, IOCTL_KS_PROPERTY);
    EXPECT_TRUE(requests[0].IsGet());
    EXPECT_EQ(requests[0].value, std::vector<uint8_t>{0});
    EXPECT_EQ(requests[1].id, devctl::kClaim);
    EXPECT_TRUE(requests[1].IsSet());
    EXPECT_EQ(requests[1].value, std::vector<uint8_t>{1});
    EXPECT_EQ(requests[2].value, (std::vector<uint8_t>{0x80, 0xBB, 0x00, 0x00}));  // 48000, as answered
    EXPECT_TRUE(requests[3].valueNull);
    EXPECT_EQ(requests[3].valueLength, 0u);
    for (const auto& request : requests) {
        EXPECT_TRUE(request.Succeeded());
        EXPECT_EQ(request.fileId, requests[0].fileId);
    }
    EXPECT_EQ(card.RequestIds(), (std::vector<uint32_t>{devctl::kInUse, devctl::kClaim, devctl::kSampleRate, devctl::kStop}));
    card.ClearRequests();
    EXPECT_EQ(card.RequestCount(), 0u);
}

TEST_F(CardRequests, ClaimHeldByOneOpenIsSeenByTheOthers) {
    CardFile first(card);
    CardFile second(card);
    uint8_t inUse = 0;
    ASSERT_EQ(first.Claim(1), ERROR_SUCCESS);
    ASSERT_EQ(second.InUse(&inUse), ERROR_SUCCESS);
    EXPECT_EQ(inUse, 1);
    ASSERT_EQ(first.InUse(&inUse), ERROR_SUCCESS);
    EXPECT_EQ(inUse, 0);  // its own claim
    EXPECT_NE(second.Claim(1), ERROR_SUCCESS);
    EXPECT_NE(second.Claim(0), ERROR_SUCCESS);  // cannot give back what it does not hold
    // While claimed, only the holder drives the card.
    EXPECT_EQ(second.Channels({}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(second.Stop(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(first.Stop(), ERROR_SUCCESS);

    ASSERT_EQ(first.Claim(0), ERROR_SUCCESS);
    ASSERT_EQ(second.InUse(&inUse), ERROR_SUCCESS);
    EXPECT_EQ(inUse, 0);
    ASSERT_EQ(second.Claim(1), ERROR_SUCCESS);
    EXPECT_EQ(card.ClaimedBy(), card.Requests().back().fileId);
    second.Close();  // closing the holder frees the card
    EXPECT_FALSE(card.ClaimedBy().has_value());
    ASSERT_EQ(first.InUse(&inUse), ERROR_SUCCESS);
    EXPECT_EQ(inUse, 0);
}

TEST_F(CardRequests, MalformedRequestsAreRefusedAndStillRecorded) {
    CardFile file(card);
    uint8_t value[96] = {};
    struct Case {
        const char* what;
        DWORD code;
        KSPROPERTY header;
        DWORD headerSize;
        bool nullValue;
        DWORD length;
        DWORD error;
    } cases[] = {
        {"other control code", 0x002F0007, devctl::MakeHeader(devctl::kInUse, KSPROPERTY_TYPE_GET), 24, false, 1, 1},
        {"short header", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kInUse, KSPROPERTY_TYPE_GET), 20, false, 1,
         ERROR_INVALID_PARAMETER},
        {"other set", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kInUse, KSPROPERTY_TYPE_GET, KSCATEGORY_AUDIO), 24,
         false, 1, ERROR_NOT_SUPPORTED},
        {"id below", IOCTL_KS_PROPERTY, devctl::MakeHeader(7, KSPROPERTY_TYPE_GET), 24, false, 4, ERROR_NOT_SUPPORTED},
        {"id above", IOCTL_KS_PROPERTY, devctl::MakeHeader(17, KSPROPERTY_TYPE_SET), 24, false, 4, ERROR_NOT_SUPPORTED},
        {"SET of a GET property", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kSampleRate, KSPROPERTY_TYPE_SET), 24,
         false, 4, ERROR_NOT_SUPPORTED},
        {"GET of a SET property", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kClaim, KSPROPERTY_TYPE_GET), 24, false,
         1, ERROR_NOT_SUPPORTED},
        {"GET too short", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kSampleRate, KSPROPERTY_TYPE_GET), 24, false, 3,
         ERROR_INSUFFICIENT_BUFFER},
        {"GET without a buffer", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kInUse, KSPROPERTY_TYPE_GET), 24, true,
         1, ERROR_INVALID_PARAMETER},
        {"SET too long", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kControl, KSPROPERTY_TYPE_SET), 24, false, 21,
         ERROR_INVALID_PARAMETER},
        {"SET too short", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kEvents, KSPROPERTY_TYPE_SET), 24, false, 16,
         ERROR_INSUFFICIENT_BUFFER},
        {"STOP with a value", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kStop, KSPROPERTY_TYPE_SET), 24, false, 4,
         ERROR_INVALID_PARAMETER},
        {"map without a size", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kMapBuffers, KSPROPERTY_TYPE_GET), 24,
         false, 80, 21},
        {"unknown command", IOCTL_KS_PROPERTY, devctl::MakeHeader(devctl::kControl, KSPROPERTY_TYPE_SET), 24, false, 20,
         ERROR_INVALID_PARAMETER},
    };
    value[0] = 3;  // the command byte of the control block: none such
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        card.ClearRequests();
        DWORD returned = 0;
        KSPROPERTY header = c.header;
        EXPECT_FALSE(DeviceIoControl(file.handle(), c.code, &header, c.headerSize, c.nullValue ? nullptr : value,
                                     c.length, &returned, nullptr));
        EXPECT_EQ(GetLastError(), c.error);
        const auto requests = card.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].error, c.error);
        EXPECT_EQ(requests[0].header.size(), c.headerSize);
        EXPECT_EQ(requests[0].valueLength, c.length);
    }
    EXPECT_EQ(card.Mappings(), 0);
}

TEST_F(CardRequests, ControlCommandsReadOnlyTheirOwnFields) {
    CardFile file(card);
    devctl::ControlBlock block;
    block.fill(0xEE);  // every field the command does not own is garbage

    block[0] = devctl::kCmdBufferSize;
    const int32_t frames = 256;
    std::memcpy(&block[devctl::kBufferFramesOffset], &frames, 4);
    ASSERT_EQ(file.Control(block), ERROR_SUCCESS);
    EXPECT_EQ(card.BufferFrames(), 256u);
    EXPECT_EQ(card.SampleRate(), 48000u);
    EXPECT_EQ(card.ChannelEnables(), devctl::Enables{});

    block[0] = devctl::kCmdSampleRate;
    const int32_t rate = 96000;
    std::memcpy(&block[devctl::kRateOffset], &rate, 4);
    ASSERT_EQ(file.Control(block), ERROR_SUCCESS);
    EXPECT_EQ(card.SampleRate(), 96000u);
    EXPECT_EQ(card.BufferFrames(), 256u);
    EXPECT_EQ(card.LastControlBlock(), block);

    card.RefuseRateChange();
    EXPECT_EQ(file.Rate(44100), ERROR_GEN_FAILURE);
    EXPECT_EQ(card.SampleRate(), 96000u);
    card.RefuseRateChange(false);
    EXPECT_EQ(file.Rate(0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(file.BufferSize(0), ERROR_INVALID_PARAMETER);

    card.SetSampleRate(44100);
    card.SetBufferMs(5);
    uint32_t answer = 0;
    ASSERT_EQ(file.Get(devctl::kSampleRate, &answer, 4), ERROR_SUCCESS);
    EXPECT_EQ(answer, 44100u);
    ASSERT_EQ(file.Get(devctl::kBufferMs, &answer, 4), ERROR_SUCCESS);
    EXPECT_EQ(answer, 5u);

    block[0] = devctl::kCmdChannels;
    ASSERT_EQ(file.Control(block), ERROR_SUCCESS);
    devctl::Enables all;
    all.fill(0xEE);
    EXPECT_EQ(card.ChannelEnables(), all);
    ASSERT_EQ(file.Channels({}), ERROR_SUCCESS);
    EXPECT_EQ(card.ChannelEnables(), devctl::Enables{});
}

TEST_F(CardRequests, MapGivesTenSeparateDoubleBuffersThatUnmapTakesBack) {
    CardFile file(card);
    ASSERT_EQ(file.BufferSize(64), ERROR_SUCCESS);
    devctl::BufferMap map{};
    ASSERT_EQ(file.Map(&map), ERROR_SUCCESS);
    EXPECT_EQ(card.MappedBuffers(), map);
    EXPECT_EQ(card.Requests().back().value.size(), devctl::kBufferMapSize);
    std::set<uint64_t> distinct(map.begin(), map.end());
    EXPECT_EQ(distinct.size(), 10u);
    for (int channel = 0; channel < devctl::kChannels; ++channel) {
        int32_t* buffer = simtest::Buffer(map, channel);
        ASSERT_NE(buffer, nullptr);
        for (int i = 0; i < 2 * 64; ++i) {
            EXPECT_EQ(buffer[i], 0);
            buffer[i] = i;  // both halves are the host's to write
        }
    }

    devctl::BufferMap wrong = map;
    std::swap(wrong[0], wrong[1]);
    EXPECT_EQ(file.Unmap(wrong), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(file.Unmap(map), ERROR_SUCCESS);
    EXPECT_EQ(card.Mappings(), 0);
    EXPECT_EQ(card.MappedBuffers(), devctl::BufferMap{});
    EXPECT_EQ(file.Unmap(map), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(file.Map(&map), ERROR_SUCCESS);
    file.Close();  // the open's mapping goes with it
    EXPECT_EQ(card.Mappings(), 0);
}

TEST_F(CardRequests, EventsMustBeEventHandles) {
    CardFile file(card);
    simtest::StreamEvents events;
    std::array<HANDLE, 4> handles = events.handles;
    handles[3] = file.handle();
    EXPECT_EQ(file.Events(handles), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(card.EventsRegistered());
    ASSERT_EQ(file.Events(events.handles), ERROR_SUCCESS);
    EXPECT_TRUE(card.EventsRegistered());
    EXPECT_EQ(card.RegisteredEventHandles()[2], reinterpret_cast<uintptr_t>(events.outputReady(0)));
    ASSERT_EQ(file.Stop(), ERROR_SUCCESS);
    EXPECT_FALSE(card.EventsRegistered());
}

TEST_F(CardRequests, InjectedFailuresHitTheirPropertyAndRunOut) {
    CardFile file(card);
    uint8_t inUse = 0;
    card.FailRequest(devctl::kClaim, ERROR_GEN_FAILURE, 2);
    card.FailRequest(devctl::kStop, ERROR_NOT_ENOUGH_MEMORY, sim::kAlways);
    EXPECT_EQ(file.InUse(&inUse), ERROR_SUCCESS);
    EXPECT_EQ(file.Claim(1), ERROR_GEN_FAILURE);
    EXPECT_EQ(file.Claim(1), ERROR_GEN_FAILURE);
    EXPECT_FALSE(card.ClaimedBy().has_value());  // a failed request does nothing
    EXPECT_EQ(file.Claim(1), ERROR_SUCCESS);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(file.Stop(), ERROR_NOT_ENOUGH_MEMORY);
    card.ClearRequestFailures();
    EXPECT_EQ(file.Stop(), ERROR_SUCCESS);
    const auto requests = card.Requests();
    EXPECT_EQ(requests[1].error, ERROR_GEN_FAILURE);
    EXPECT_TRUE(requests.back().Succeeded());
}

}  // namespace
