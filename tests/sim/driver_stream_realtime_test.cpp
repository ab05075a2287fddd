// A short stream on a card whose clock runs at the pace of its sample rate:
// the host is called half after half on one thread, the count advances by
// one buffer per callback, and the stream thread allocates nothing while it
// runs.
#include "tests/sim/test_host.h"

namespace {

class DriverStreamRealTime : public simtest::HostedDriverTest {};

TEST_F(DriverStreamRealTime, HalfSecondAtFortyEightKilohertz) {
    ASSERT_NE(OpenDriver(sim::CardModel::Eight, sim::ClockMode::RealTime), nullptr);
    ASSERT_EQ(card->SampleRate(), 48000u);
    ASSERT_EQ(card->BufferMs(), 10u);
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    ASSERT_GT(preferred, 0);
    host.countAllocations = true;
    CreateStereo(preferred);

    // Half a second of halves, with room for a slow machine.
    const size_t halves = static_cast<size_t>(48000 / 2 / preferred);
    ASSERT_EQ(driver->start(), ASE_OK);
    const bool reached = host.WaitCalls(halves, 10000);
    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_TRUE(reached) << host.CallCount() << " of " << halves << " callbacks";

    const std::vector<simtest::HostCall> calls = host.Calls();
    for (size_t k = 0; k < calls.size(); ++k) {
        SCOPED_TRACE("callback " + std::to_string(k));
        ASSERT_EQ(calls[k].half, static_cast<int32_t>(k % 2));
        ASSERT_EQ(simtest::Words(calls[k].position), static_cast<uint64_t>(preferred) * (k + 1));
        ASSERT_EQ(simtest::Words(calls[k].infoPosition), static_cast<uint64_t>(preferred) * (k + 1));
        ASSERT_EQ(calls[k].threadId, calls[0].threadId);
    }
    // The stamps follow the wall clock: never backwards.
    for (size_t k = 1; k < calls.size(); ++k) {
        EXPECT_GE(simtest::Words(calls[k].stamp), simtest::Words(calls[k - 1].stamp)) << k;
    }
    EXPECT_EQ(calls.back().allocations, 0);
    EXPECT_GE(card->Answers(), 1u);
}

}  // namespace
