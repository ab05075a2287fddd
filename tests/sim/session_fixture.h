// The service tests that involve users' sessions: a machine with sessions set
// by the test, the control panel installed, and readings of what was started
// where and which windows were asked to let go of a card.
#pragma once

#include "platform/posix/kernel.h"
#include "sim/control_panel.h"
#include "tests/sim/service_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

namespace korvex::test {

inline constexpr DWORD kForceCloseFlags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS;

inline bool SamePath(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

// The processes started from the image, in start order.
inline std::vector<kwin::ProcessRecord> StartedFrom(const std::wstring& image) {
    std::vector<kwin::ProcessRecord> found;
    for (auto& record : kwin::ProcessHistory()) {
        if (SamePath(record.imagePath, image)) found.push_back(record);
    }
    return found;
}

// Force-close instances: the service program started with an instance ID.
inline std::vector<kwin::ProcessRecord> ForceCloseInstances() {
    std::vector<kwin::ProcessRecord> found;
    for (auto& record : StartedFrom(sim::ServiceImagePath())) {
        if (!record.startedByServiceManager) found.push_back(record);
    }
    return found;
}

// How long each control sent to the process took to be answered, on the
// machine's clock, and whether the service manager counted it as timed out.
inline ULONGLONG LongestAnswer(DWORD processId, bool* anyTimedOut = nullptr) {
    ULONGLONG longest = 0;
    if (anyTimedOut) *anyTimedOut = false;
    for (const auto& control : kwin::ServiceControls(processId)) {
        EXPECT_NE(control.answeredAt, 0u) << "control " << control.control << " unanswered";
        if (control.answeredAt > control.sentAt) longest = std::max(longest, control.answeredAt - control.sentAt);
        if (anyTimedOut && control.timedOut) *anyTimedOut = true;
    }
    return longest;
}

inline std::vector<LoggedEvent> Errors() {
    std::vector<LoggedEvent> errors;
    for (const auto& event : LoggedEvents()) {
        if (event.type == EVENTLOG_ERROR_TYPE) errors.push_back(event);
    }
    return errors;
}

inline std::vector<DWORD> SessionsOf(const std::vector<kwin::ProcessRecord>& records) {
    std::vector<DWORD> sessions;
    for (const auto& record : records) sessions.push_back(record.sessionId);
    return sessions;
}

// The "ForceClose" messages handled, as (window, wParam, lParam) rows.
struct Asked {
    HWND window;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Asked&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Asked& asked) {
    return out << "{window " << asked.window << ", " << asked.wParam << ", " << asked.lParam << "}";
}
inline std::vector<Asked> ForceCloseMessages() {
    const UINT forceClose = RegisterWindowMessageW(L"ForceClose");
    std::vector<Asked> asked;
    for (const auto& message : kwin::DeliveredMessages()) {
        if (message.message == forceClose) asked.push_back({message.window, message.wParam, message.lParam});
    }
    return asked;
}

// Handles the calling thread's window messages until `done` holds; false
// when it did not within the time given.
template <class Done>
bool PumpUntil(Done done, DWORD milliseconds = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        kwin::PumpMessages(5);
    }
    return true;
}

// What one process did with window stations and desktops: which it opened,
// and whether it kept to the rule "switch to it, visit, switch back, close".
struct VisitReport {
    std::vector<std::wstring> stations;  // opened, in order
    std::vector<std::wstring> desktops;  // opened, in order
    std::vector<std::string> faults;
};

inline VisitReport Visits(DWORD processId) {
    VisitReport report;
    HANDLE station = nullptr;  // current; null: initial
    HANDLE desktop = nullptr;
    std::set<HANDLE> openStations, openDesktops;
    std::wstring stationName;
    for (const auto& call : kwin::WindowingCalls()) {
        if (call.processId != processId) continue;
        const std::string where = call.function + " of " + std::string(call.name.begin(), call.name.end());
        if (call.function == "OpenWindowStationW" && call.succeeded) {
            report.stations.push_back(call.name);
            openStations.insert(call.handle);
        } else if (call.function == "SetProcessWindowStation") {
            if (!call.succeeded) report.faults.push_back(where + " failed");
            station = call.initial ? nullptr : call.handle;
            stationName = call.name;
        } else if (call.function == "CloseWindowStation") {
            if (!call.succeeded || !openStations.erase(call.handle)) report.faults.push_back(where + " failed");
        } else if (call.function == "OpenDesktopW" && call.succeeded) {
            report.desktops.push_back(call.name);
            openDesktops.insert(call.handle);
            if (station == nullptr || call.name.rfind(stationName + L"\\", 0) != 0) {
                report.faults.push_back(where + " outside the station made current for it");
            }
        } else if (call.function == "SetThreadDesktop") {
            if (!call.succeeded) report.faults.push_back(where + " failed");
            desktop = call.initial ? nullptr : call.handle;
        } else if (call.function == "CloseDesktop") {
            if (!call.succeeded || !openDesktops.erase(call.handle)) report.faults.push_back(where + " failed");
        } else if (call.function == "OpenWindowStationW" || call.function == "OpenDesktopW") {
            continue;
        }
    }
    if (station != nullptr) report.faults.push_back("window station not switched back");
    if (desktop != nullptr) report.faults.push_back("desktop not switched back");
    if (!openStations.empty()) report.faults.push_back("window station left open");
    if (!openDesktops.empty()) report.faults.push_back("desktop left open");
    return report;
}

class SessionServiceTest : public ServiceTest {
protected:
    // The machine's clock runs ten times faster, so that bounds of seconds
    // pass in tenths of that.
    SessionServiceTest() {
        kwin::SetTimeScale(kTimeScale);
        kwin::ResetSessions();
        handlesBefore_ = kwin::OpenHandles();
    }
    ~SessionServiceTest() override {
        panels_.CloseAll();
        kwin::ResetSessions();
        kwin::SetProgramFilesFolder(L"C:\\Program Files");
    }

    static constexpr DWORD kTimeScale = 10;

    // The services session, a console user and a remote user.
    static void ThreeSessions(DWORD console) {
        kwin::SetSessions({{0, L"Services", WTSDisconnected},
                           {1, L"Console", WTSActive, L"alice"},
                           {2, L"RDP-Tcp#0", WTSActive, L"bob"}},
                          console);
    }

    // What every test ends with: the service stopped, the panels closed, and
    // every handle and token that was opened is closed again.
    void StopAndCheckNothingLeaks(sim::ServiceProcess& service) {
        service.Control(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(PumpUntil([&] { return service.WaitForExit(0); }, 60000));
        ASSERT_TRUE(panels_.CloseAll());
        ASSERT_TRUE(kwin::WaitAllProcessesEnded(10000));
        ExpectNothingLeftOpen(service);
        for (const auto& record : kwin::ProcessHistory()) {
            EXPECT_EQ(record.handlesLeftAtExit, 0) << "process " << record.processId;
        }
    }

    sim::ControlPanelProgram panels_;
};

}  // namespace korvex::test
