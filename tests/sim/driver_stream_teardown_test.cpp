// Tearing a stream down the hard ways: a host that drops its last reference
// to the driver from inside its own buffer switch, and a callback that is
// still running when the stream is stopped and has to be terminated.
#include "tests/sim/test_host.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using sim::devctl::kClaim;
using sim::devctl::kControl;
using sim::devctl::kStop;
using sim::devctl::kUnmapBuffers;
using IdList = std::vector<uint32_t>;
using namespace std::chrono_literals;

class DriverStreamTeardown : public simtest::HostedDriverTest {
protected:
    void SetUp() override {
        HostedDriverTest::SetUp();
        kwin::ResetThreadHistory();
    }

    static std::vector<kwin::ThreadRecord> Threads() { return kwin::ThreadHistory(); }

    static bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    // Read while the stream thread may change it.
    static LONG LiveObjects() {
        return std::atomic_ref<LONG>(const_cast<LONG&>(korvex::liveObjectCount)).load(std::memory_order_relaxed);
    }
    static bool ThreadFinished(size_t index) {
        const std::vector<kwin::ThreadRecord> threads = Threads();
        return threads.size() > index && threads[index].finished;
    }
};

TEST_F(DriverStreamTeardown, LastReleaseInsideTheCallbackLeavesTheRestToTheStreamThread) {
    struct Row {
        const char* what;
        int callback;  // index of the callback that lets go
        bool stopFirst;
        IdList requests;  // what the card sees from that callback on
    };
    const Row rows[] = {
        {"released in the first callback", 0, false, {kControl, kStop, kUnmapBuffers, kClaim}},
        {"released in a half-1 callback", 1, false, {kControl, kStop, kUnmapBuffers, kClaim}},
        {"stopped, then released", 0, true, {kControl, kStop, kControl, kStop, kUnmapBuffers, kClaim}},
    };
    card = &machine->AddCard({.model = sim::CardModel::Eight, .clock = sim::ClockMode::Stepped});
    for (size_t r = 0; r < std::size(rows); ++r) {
        const Row& row = rows[r];
        SCOPED_TRACE(row.what);
        const kwin::AvrtCalls avrtBefore = kwin::Avrt();
        const kwin::ModuleReferenceCalls modulesBefore = kwin::ModuleReferenceCounts();
        ASSERT_NE(OpenDriverOnCard(), nullptr);
        CreateStereo();
        const size_t first = host.CallCount();
        host.releaseInCall = static_cast<int>(first) + row.callback;
        host.stopInCall = row.stopFirst ? host.releaseInCall.load() : -1;
        host.releaseResult = ~0u;
        host.canUnloadAfterRelease = E_FAIL;
        ASSERT_EQ(driver->start(), ASE_OK);
        Forget(driver);  // the host's reference goes inside the callback
        for (int i = 0; i < row.callback; ++i) ASSERT_TRUE(StepHalf());
        card->ClearRequests();
        ASSERT_TRUE(card->FireHalf());

        ASSERT_TRUE(WaitUntil([&] { return LiveObjects() == baselineLive; })) << "the object was never freed";
        ASSERT_TRUE(WaitUntil([&] { return ThreadFinished(r); }));
        EXPECT_FALSE(Threads()[r].terminated);
        EXPECT_EQ(host.releaseResult.load(), 0u);
        EXPECT_EQ(host.canUnloadAfterRelease.load(), S_FALSE) << "the stream thread still runs in the library";
        EXPECT_EQ(host.CallCount(), first + static_cast<size_t>(row.callback) + 1);

        // Everything was given back, in the order of a release on a host thread.
        EXPECT_EQ(Ids(*card), row.requests);
        EXPECT_FALSE(card->ClaimedBy().has_value());
        EXPECT_FALSE(card->Streaming());
        // The thread left its MMCSS task and ended its timer period, and the
        // events, the card's file and the thread's own handle are closed.
        EXPECT_EQ(kwin::Avrt().revertCalls, avrtBefore.revertCalls + 1);
        EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt);
        EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods);
        EXPECT_EQ(kwin::OpenHandles(), baselineHandles);
        // The thread held the library (here: the test program) while it ran,
        // and gave that reference back once, as it ended.
        const kwin::ModuleReferenceCalls modules = kwin::ModuleReferenceCounts();
        EXPECT_EQ(modules.processTaken, modulesBefore.processTaken + 1);
        EXPECT_EQ(modules.processReleased, modulesBefore.processReleased + 1);
        EXPECT_EQ(Threads()[r].exitCode, 0u);
        host.stopInCall = -1;
        host.releaseInCall = -1;
    }
}

// A callback that blocks past stop's second is terminated. Termination
// completes after TerminateThread returns; until then the thread may still
// run and touch the driver, so neither its handle nor the object may go
// before it has ended.
TEST_F(DriverStreamTeardown, TerminatedThreadHasEndedBeforeItsHandleOrTheObjectGoes) {
    struct Row {
        const char* what;
        int lingerMs;
        bool endedWhenStopReturns;
    };
    const Row rows[] = {
        {"ends soon after termination", 40, true},
        {"runs on past stop's bound", 400, false},
    };
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    host.outputReadyCalls = 0;
    host.blockMs = 3000;
    const kwin::ModuleReferenceCalls modulesBefore = kwin::ModuleReferenceCounts();
    for (size_t r = 0; r < std::size(rows); ++r) {
        const Row& row = rows[r];
        SCOPED_TRACE(row.what);
        host.blockInCall = static_cast<int>(host.CallCount());
        host.lingerMsWhenTerminated = row.lingerMs;
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(card->FireHalf());
        ASSERT_TRUE(host.WaitCalls(r + 1));

        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(driver->stop(), ASE_OK);
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(elapsed, 950ms);
        EXPECT_LE(elapsed, 1350ms) << "stop waits at most 1.1 s";
        ASSERT_EQ(Threads().size(), r + 1);
        EXPECT_EQ(ThreadFinished(r), row.endedWhenStopReturns);
        if (row.endedWhenStopReturns) {
            EXPECT_TRUE(Threads()[r].terminated);
            EXPECT_EQ(object().streamThread, nullptr);
        } else {
            EXPECT_NE(object().streamThread, nullptr) << "the handle of a thread that still runs stays open";
            // Destruction waits for it before it frees anything.
            Release(driver);
            EXPECT_TRUE(ThreadFinished(r));
            EXPECT_TRUE(Threads()[r].terminated);
        }
        // A terminated thread never gives back its library reference either:
        // whoever closes its handle does, once.
        const kwin::ModuleReferenceCalls modules = kwin::ModuleReferenceCounts();
        EXPECT_EQ(modules.processTaken, modulesBefore.processTaken + static_cast<int>(r) + 1);
        EXPECT_EQ(modules.processReleased, modulesBefore.processReleased + static_cast<int>(r) + 1);
        // A terminated thread never ends its timer period: do it on its behalf.
        timeEndPeriod(1);
    }
}

}  // namespace
