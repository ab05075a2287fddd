#include "asio/driver/asio.h"
#include "asio/driver/devctl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

TEST(DeviceControlLayout, InUseHeaderBytes) {
    KSPROPERTY header = korvex::DeviceControlHeader(korvex::DEVCTL_IN_USE, KSPROPERTY_TYPE_GET);
    const unsigned char expected[24] = {0xC2, 0x77, 0xEA, 0x62, 0x74, 0x83, 0x49, 0x4F, 0x9E, 0xE7, 0x5F, 0xCE,
                                        0x00, 0x36, 0x7B, 0x5E, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    ASSERT_EQ(sizeof(header), sizeof(expected));
    EXPECT_EQ(memcmp(&header, expected, sizeof(expected)), 0);
}

TEST(DeviceControlLayout, ControlBlockFieldOffsets) {
    using korvex::ControlBlock;
    EXPECT_EQ(sizeof(ControlBlock), 20u);
    EXPECT_EQ(offsetof(ControlBlock, command), 0u);
    EXPECT_EQ(offsetof(ControlBlock, outputEnable), 1u);
    EXPECT_EQ(offsetof(ControlBlock, inputEnable), 9u);
    EXPECT_EQ(offsetof(ControlBlock, reserved), 11u);
    EXPECT_EQ(offsetof(ControlBlock, rateHz), 12u);
    EXPECT_EQ(offsetof(ControlBlock, bufferFrames), 16u);
}

TEST(AsioLayout, RecordsHaveThePublishedOffsets) {
    EXPECT_EQ(offsetof(AsioTimeInfo, systemTime), 8u);
    EXPECT_EQ(offsetof(AsioTimeInfo, samplePosition), 16u);
    EXPECT_EQ(offsetof(AsioTimeInfo, sampleRate), 24u);
    EXPECT_EQ(offsetof(AsioTimeInfo, flags), 32u);
    EXPECT_EQ(offsetof(ASIOTimeCode, timeCodeSamples), 8u);
    EXPECT_EQ(offsetof(ASIOTimeCode, flags), 16u);
    EXPECT_EQ(offsetof(ASIOChannelInfo, name), 20u);
    EXPECT_EQ(offsetof(ASIOClockSource, name), 16u);
    EXPECT_EQ(offsetof(ASIOCallbacks, bufferSwitchTimeInfo), 3 * sizeof(void*));
}

}  // namespace
