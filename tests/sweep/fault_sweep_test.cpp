// The sweep machinery on small scenarios made of stand-in calls: it injects
// every counted call but the release calls, each with its function's error,
// and tells a point that survived from one that broke an invariant, crashed,
// hung or drew a sanitizer report, without the sweep itself going down.
#include "tests/sweep/fault_sweep.h"

#include "platform/posix/kernel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using sweep::Outcome;

// Creates three events, sets two of them and closes all three; with
// `fault` it misbehaves in one way when one given call fails.
enum class Fault { None, LeakWhenSecondCreateFails, CrashWhenSetFails, HangWhenSetFails, UseAfterFreeWhenSetFails };

void ThreeEvents(sweep::Run& run, Fault fault) {
    const kwin::HandleCounts before = kwin::OpenHandles();
    run.Begin();
    HANDLE events[3] = {};
    for (HANDLE& event : events) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const bool leak = fault == Fault::LeakWhenSecondCreateFails && events[1] == nullptr;
    for (int i = 0; i < 2; ++i) {
        if (events[i] == nullptr || SetEvent(events[i])) continue;
        run.Check(GetLastError() == ERROR_INVALID_HANDLE, "SetEvent failed with another error");
        if (i != 0) continue;  // the faults below are the first SetEvent's
        if (fault == Fault::CrashWhenSetFails) std::abort();
        if (fault == Fault::HangWhenSetFails) WaitForSingleObject(events[2], INFINITE);
        if (fault == Fault::UseAfterFreeWhenSetFails) {
            int* volatile freed = new int(1);
            delete freed;
            run.Check(*freed != 12345, "unreachable");
        }
    }
    for (HANDLE event : events) {
        if (event != nullptr && !leak) CloseHandle(event);
    }
    run.End();
    run.Check(kwin::OpenHandles() == before, "handles left open");
}

sweep::Scenario Make(Fault fault) {
    return {"three-events", "three events", [fault](sweep::Run& run) { ThreeEvents(run, fault); }};
}

TEST(FaultSweep, CountsEveryCallAndInjectsEachOneThatIsNotARelease) {
    const sweep::ScenarioReport report = sweep::Sweep(Make(Fault::None), {}, nullptr);
    ASSERT_EQ(report.clean.outcome, Outcome::Survived) << report.clean.detail;
    const std::vector<std::pair<std::string, int>> counted = {{"CreateEventW", 3}, {"SetEvent", 2}, {"CloseHandle", 3}};
    EXPECT_EQ(report.clean.calls, counted);
    EXPECT_EQ(report.skipped, (std::vector<std::pair<std::string, int>>{{"CloseHandle", 3}}));

    const std::vector<std::pair<std::string, int>> points = {
        {"CreateEventW", 1}, {"CreateEventW", 2}, {"CreateEventW", 3}, {"SetEvent", 1}, {"SetEvent", 2}};
    ASSERT_EQ(report.points.size(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        const sweep::PointResult& point = report.points[i];
        SCOPED_TRACE(point.point.function + " " + std::to_string(point.point.call));
        EXPECT_EQ(std::make_pair(point.point.function, point.point.call), points[i]);
        EXPECT_EQ(point.point.error, sweep::PlausibleError(point.point.function));
        EXPECT_TRUE(point.result.fired);
        EXPECT_EQ(point.result.outcome, Outcome::Survived) << point.result.detail;
    }
    EXPECT_TRUE(report.ok());
    EXPECT_EQ(report.survived(), 5);
    EXPECT_NE(sweep::SummaryLine(report).find("5 failure points injected (5 reached), 5 survived; 2 functions: "
                                              "CreateEventW×3 SetEvent×2; release calls counted, not injected: "
                                              "CloseHandle×3"),
              std::string::npos)
        << sweep::SummaryLine(report);
}

TEST(FaultSweep, EachWayAPointCanFailIsRecordedAgainstThatPointAlone) {
    struct Row {
        Fault fault;
        sweep::Point point;  // the one that does not survive
        Outcome outcome;
        const char* detail;  // part of what the report says
    };
    const Row rows[] = {
        {Fault::LeakWhenSecondCreateFails, {"CreateEventW", 2, 0}, Outcome::Broken, "handles left open"},
        {Fault::CrashWhenSetFails, {"SetEvent", 1, 0}, Outcome::Crashed, "signal"},
        {Fault::HangWhenSetFails, {"SetEvent", 1, 0}, Outcome::Hung, "killed after 3000 ms"},
    };
    sweep::Options options;
    options.runTimeoutMs = 3000;  // the other runs take a few ms, even on a busy machine
    for (const Row& row : rows) {
        SCOPED_TRACE(row.detail);
        const sweep::ScenarioReport report = sweep::Sweep(Make(row.fault), options, nullptr);
        ASSERT_EQ(report.points.size(), 5u);
        EXPECT_FALSE(report.ok());
        EXPECT_EQ(report.survived(), 4);
        for (const sweep::PointResult& point : report.points) {
            const bool isTheOne = point.point.function == row.point.function && point.point.call == row.point.call;
            EXPECT_EQ(point.result.outcome, isTheOne ? row.outcome : Outcome::Survived)
                << point.point.function << " " << point.point.call << ": " << point.result.detail;
            if (isTheOne) {
                EXPECT_NE(point.result.detail.find(row.detail), std::string::npos) << point.result.detail;
            }
        }
    }
}

TEST(FaultSweep, ASanitizerReportIsAnOutcomeOfItsOwn) {
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "needs the address sanitizer (asan preset)";
#else
    sweep::Point point{"SetEvent", 1, sweep::PlausibleError("SetEvent")};
    const sweep::RunResult result = sweep::RunIsolated(Make(Fault::UseAfterFreeWhenSetFails), &point, {});
    EXPECT_EQ(result.outcome, Outcome::Sanitizer);
    EXPECT_NE(result.detail.find("heap-use-after-free"), std::string::npos) << result.detail;
#endif
}

}  // namespace
