// A simulated machine with the service program installed, and the readings
// that the service tests compare: status reports as rows, event-log entries.
#pragma once

#include "platform/posix/kernel.h"
#include "service/eventlog.h"
#include "sim/machine.h"
#include "sim/service_process.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace korvex::test {

// One status report as a person reads it.
struct StatusRow {
    DWORD state = 0;
    DWORD exitCode = 0;
    DWORD waitHint = 0;
    DWORD controlsAccepted = 0;
    DWORD checkPoint = 0;
    bool operator==(const StatusRow&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const StatusRow& row) {
    return out << "{state " << row.state << ", exit " << row.exitCode << ", hint " << row.waitHint << ", accepted "
               << row.controlsAccepted << ", checkpoint " << row.checkPoint << "}";
}

inline std::vector<StatusRow> Rows(const std::vector<SERVICE_STATUS>& statuses) {
    std::vector<StatusRow> rows;
    for (const auto& status : statuses) {
        rows.push_back({status.dwCurrentState, status.dwWin32ExitCode, status.dwWaitHint, status.dwControlsAccepted,
                        status.dwCheckPoint});
    }
    return rows;
}

// An entry reduced to what the service decides: type, ID, and its text %2.
struct LoggedEvent {
    WORD type = 0;
    DWORD eventId = 0;
    std::wstring text;
    bool operator==(const LoggedEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LoggedEvent& event) {
    out << "{type " << event.type << ", id 0x" << std::hex << event.eventId << std::dec << ", \"";
    for (wchar_t c : event.text) out << (c < 128 ? static_cast<char>(c) : '?');
    return out << "\"}";
}

// The entries of the source "KorvexS"; each must carry exactly the two
// insertion strings "KorvexS" and its text, no SID and no data.
inline std::vector<LoggedEvent> LoggedEvents() {
    std::vector<LoggedEvent> events;
    for (const auto& entry : kwin::EventLog()) {
        EXPECT_EQ(entry.source, L"KorvexS");
        EXPECT_EQ(entry.category, 0);
        EXPECT_FALSE(entry.hasUserSid);
        EXPECT_EQ(entry.rawDataSize, 0u);
        EXPECT_EQ(entry.strings.size(), 2u);
        if (entry.strings.size() != 2) continue;
        EXPECT_EQ(entry.strings[0], L"KorvexS");
        events.push_back({entry.type, entry.eventId, entry.strings[1]});
    }
    return events;
}

inline LoggedEvent Error(const std::wstring& call) { return {EVENTLOG_ERROR_TYPE, MSG_ERROR, call}; }
inline LoggedEvent Info(DWORD id, const std::wstring& instanceId) { return {EVENTLOG_INFORMATION_TYPE, id, instanceId}; }

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() {
        machine_.InstallService(KORVEXS_IMAGE);
        handlesBefore_ = kwin::OpenHandles();
    }

    // Every handle the ended service had opened, it closed again itself;
    // what is open is the test's handle on the service process.
    void ExpectNothingLeftOpen(const sim::ServiceProcess& service) const {
        ASSERT_TRUE(service.WaitForExit());
        EXPECT_EQ(service.Record().handlesLeftAtExit, 0);
        kwin::HandleCounts expected = handlesBefore_;
        ++expected.processes;
        ++expected.total;
        EXPECT_EQ(kwin::OpenHandles(), expected);
    }

    sim::Machine machine_;
    kwin::HandleCounts handlesBefore_;
};

}  // namespace korvex::test
