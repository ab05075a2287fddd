// What the service writes to the event log, driven through LogEvent itself.
#include "platform/posix/kernel.h"
#include "service/eventlog.h"
#include "sim/machine.h"
#include "tests/sim/service_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace korvex::test {
namespace {

class ServiceEventLogTest : public ::testing::Test {
protected:
    sim::Machine machine_;
    const kwin::HandleCounts before_ = kwin::OpenHandles();
};

TEST_F(ServiceEventLogTest, EntriesCarryTypeIdAndTheTwoInsertionStrings) {
    const std::wstring id = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0";
    LogEvent(id.c_str(), EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_FOUND);
    LogEvent(L"SetTokenInformation", EVENTLOG_ERROR_TYPE, MSG_ERROR);

    const auto entries = kwin::EventLog();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].eventId & 0xFFFF, 6u) << "event number a viewer shows";
    EXPECT_EQ(entries[1].eventId & 0xFFFF, 1u);
    EXPECT_EQ(LoggedEvents(), (std::vector{Info(MSG_DEVICE_FOUND, id), Error(L"SetTokenInformation")}));

    // One source registered and deregistered per report; none stays open.
    EXPECT_EQ(kwin::EventSources().registered, 2);
    EXPECT_EQ(kwin::EventSources().deregistered, 2);
    EXPECT_EQ(kwin::OpenHandles(), before_);
}

TEST_F(ServiceEventLogTest, LongTextsAreCutTo259Characters) {
    const struct {
        size_t length;
        size_t logged;
    } cases[] = {{0, 0}, {258, 258}, {259, 259}, {260, 259}, {300, 259}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        kwin::ClearEventLog();
        std::wstring text;
        for (size_t i = 0; i < c.length; ++i) text.push_back(static_cast<wchar_t>(L'A' + i % 26));
        LogEvent(text.c_str(), EVENTLOG_ERROR_TYPE, MSG_ERROR);
        EXPECT_EQ(LoggedEvents(), std::vector{Error(text.substr(0, c.logged))});
    }
}

TEST_F(ServiceEventLogTest, AReportIsDroppedWhenTheSourceCannotBeRegistered) {
    kwin::FailCall("RegisterEventSourceW", 1, ERROR_ACCESS_DENIED);
    LogEvent(L"RegisterDeviceNotification", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    EXPECT_TRUE(kwin::EventLog().empty());
    EXPECT_EQ(kwin::OpenHandles(), before_);

    // The next report registers afresh and is written.
    LogEvent(L"OpenDesktop", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    EXPECT_EQ(LoggedEvents(), std::vector{Error(L"OpenDesktop")});
}

TEST_F(ServiceEventLogTest, AFailedReportStillDeregistersTheSource) {
    kwin::FailCall("ReportEventW", 1, ERROR_INVALID_PARAMETER);
    LogEvent(L"OpenWindowStation", EVENTLOG_ERROR_TYPE, MSG_ERROR);
    EXPECT_TRUE(kwin::EventLog().empty());
    EXPECT_EQ(kwin::EventSources().deregistered, 1);
    EXPECT_EQ(kwin::OpenHandles(), before_);
}

}  // namespace
}  // namespace korvex::test
