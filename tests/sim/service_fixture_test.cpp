// The service tests' own machinery: a test that fails halfway, with the
// service running, its control panels up and a card held, must leave the
// simulated machine clean for the next test, and end without waiting on
// anything unbounded.
#include "tests/sim/session_fixture.h"

#include "sim/pnp.h"

namespace korvex::test {
namespace {

// A service test whose body gave up after its first checks (as a failed
// ASSERT does): nothing stopped, nothing closed.
class AbandonedServiceTest : public SessionServiceTest {
public:
    void TestBody() override {}
    DWORD StartAndGiveUp() {
        ThreeSessions(1);
        machine_.AddCard();
        machine_.AddCard({.model = sim::CardModel::Pico});
        sim::ServiceProcess service;
        if (!service.WaitForState(SERVICE_RUNNING) || !panels_.WaitForWindows(2)) return 0;
        return service.processId();
    }
};

TEST(ServiceTestFixture, AFailedTestStopsItsServiceAndLeavesTheMachineClean) {
    const kwin::HandleCounts fresh = kwin::OpenHandles();
    DWORD abandoned = 0;
    {
        AbandonedServiceTest failed;
        abandoned = failed.StartAndGiveUp();
        ASSERT_NE(abandoned, 0u);
    }
    // The service was stopped, not left to run until it was killed.
    bool found = false;
    for (const auto& record : kwin::ProcessHistory()) {
        if (record.processId != abandoned) continue;
        found = true;
        EXPECT_TRUE(record.finished);
        EXPECT_FALSE(record.terminated);
        EXPECT_EQ(record.exitCode, 0u);
        EXPECT_EQ(record.handlesLeftAtExit, 0);
    }
    EXPECT_TRUE(found);
    const auto statuses = kwin::ServiceStatusHistory(abandoned);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(kwin::ServiceProcesses().empty());
    EXPECT_TRUE(kwin::WaitAllProcessesEnded(0));
    EXPECT_EQ(kwin::OpenHandles(), fresh);
    EXPECT_TRUE(kwin::DeviceNotificationRegistrations().empty());
    EXPECT_EQ(kwin::TimeScale(), 1u);

    // The next test starts on a clean machine and runs as usual.
    AbandonedServiceTest next;
    EXPECT_TRUE(kwin::ProcessHistory().empty());
    EXPECT_TRUE(kwin::EventLog().empty());
    EXPECT_NE(next.StartAndGiveUp(), 0u);
}

}  // namespace
}  // namespace korvex::test
