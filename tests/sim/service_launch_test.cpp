// Starting the control panel in the console session and the force-close
// instances in every session, as the service does on the simulated machine.
#include "tests/sim/session_fixture.h"

#include "service/launch.h"
#include "sim/pnp.h"

#include <algorithm>
#include <functional>
#include <future>
#include <ostream>

namespace korvex::test {
namespace {

using ServiceLaunchTest = SessionServiceTest;

TEST_F(ServiceLaunchTest, StartsOnePanelPerCardOnTheConsoleSessionsDefaultDesktopAsItsUser) {
    kwin::SetSessions({{0, L"Services", WTSDisconnected}, {1, L"Console", WTSActive, L"alice"}}, 1);
    sim::Card& first = machine_.AddCard();
    sim::Card& second = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(panels_.WaitForWindows(2));

    const auto started = StartedFrom(sim::ControlPanelImagePath());
    ASSERT_EQ(started.size(), 2u);
    const std::wstring ids[] = {first.InstanceId(), second.InstanceId()};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(started[i].commandLine, ids[i]);  // the whole command line: no program name, no quotes
        EXPECT_EQ(started[i].argv, std::vector<std::wstring>{ids[i]});
        EXPECT_EQ(started[i].sessionId, 1u);
        EXPECT_EQ(started[i].desktop, L"WinSta0\\Default");
        EXPECT_EQ(started[i].creationFlags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT));
        EXPECT_EQ(started[i].parentProcessId, service.processId());
    }
    // The console user, with that user's privileges and environment; not the service's account.
    for (const auto& panel : panels_.Panels()) {
        EXPECT_TRUE(panel.cardOpened) << "the ID it was given opens the card";
        EXPECT_EQ(panel.user, L"alice");
        EXPECT_EQ(panel.privileges, kwin::UserPrivileges());
        EXPECT_EQ(panel.userName, L"alice");
    }
    EXPECT_EQ(Errors(), std::vector<LoggedEvent>{});
    EXPECT_EQ(kwin::OpenHandles().tokens, 0);
    const kwin::TokenCalls tokens = kwin::Tokens();
    EXPECT_EQ(tokens.userTokens, 1);
    EXPECT_EQ(tokens.opened + tokens.duplicated, 0) << "no copy of the service's own token";
    EXPECT_EQ(tokens.environmentBlocks, 0) << "the environment block was destroyed";
    StopAndCheckNothingLeaks(service);
}

// Every way the start-up launch can fail: the service goes on to run, with
// the panels that could be started and one entry per failure.
struct StartUpCase {
    const char* name;
    std::function<void()> arm;
    size_t panels;
    std::vector<LoggedEvent> errors;
};

TEST_F(ServiceLaunchTest, StartUpLaunchFailuresLeaveTheServiceRunning) {
    const std::wstring tooLong(226, L'x');  // folder + subpath: 261 characters
    const std::wstring truncatedPath = (L"C:\\" + tooLong + L"\\SAVANTIX\\Lyrenta Vazozo\\Korvex.exe").substr(0, 259);
    const StartUpCase cases[] = {
        {"no console session", [] { kwin::SetConsoleSession(kwin::kNoSession); }, 0, {}},
        // The logon screen: nothing is started and nothing logged; the logon starts the panels.
        {"nobody logged on to the console", [] { kwin::SetSessionUser(1, L""); }, 0, {}},
        {"WTSQueryUserToken", [] { kwin::FailCall("WTSQueryUserToken", 1, ERROR_ACCESS_DENIED); }, 0,
         {Error(L"WTSQueryUserToken")}},
        {"CreateEnvironmentBlock", [] { kwin::FailCall("CreateEnvironmentBlock", 1, ERROR_NOT_ENOUGH_MEMORY); }, 0,
         {Error(L"CreateEnvironmentBlock")}},
        {"CreateProcessAsUserW", [] { kwin::FailCall("CreateProcessAsUserW", 1, ERROR_ACCESS_DENIED); }, 1,
         {Error(L"CreateProcessAsUser")}},
        {"SHGetSpecialFolderPathW", [] { kwin::FailCall("SHGetSpecialFolderPathW", 1, ERROR_PATH_NOT_FOUND); }, 1,
         {Error(L"SHGetSpecialFolderPath")}},
        {"Program Files folder too long",
         [&] {
             kwin::SetProgramFilesFolder(L"C:\\" + tooLong);
             // Programs where a cut or a relative path would lead.
             kwin::RegisterProgram(truncatedPath, [] { return kwin::ProcessEntry([](int, WCHAR**) { return 0; }); });
         },
         0, {Error(L"SHGetSpecialFolderPath"), Error(L"SHGetSpecialFolderPath")}},
        {"Program Files folder empty",
         [] {
             kwin::SetProgramFilesFolder(L"");
             kwin::RegisterProgram(L"\\SAVANTIX\\Lyrenta Vazozo\\Korvex.exe",
                                   [] { return kwin::ProcessEntry([](int, WCHAR**) { return 0; }); });
         },
         0, {Error(L"SHGetSpecialFolderPath"), Error(L"SHGetSpecialFolderPath")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kwin::ResetProcessHistory();
        kwin::ClearEventLog();
        kwin::ClearSessionFailures();
        kwin::SetProgramFilesFolder(L"C:\\Program Files");
        kwin::SetSessions({{0, L"Services", WTSDisconnected}, {1, L"Console", WTSActive, L"alice"}}, 1);
        // Two cards, so that a failure for one card does not stop the next.
        sim::ControlPanelProgram panels;
        sim::Card& first = machine_.AddCard();
        sim::Card& second = machine_.AddCard();
        kwin::ClearSessionFailures();
        c.arm();
        const kwin::HandleCounts before = kwin::OpenHandles();
        {
            sim::ServiceProcess service;
            ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
            if (c.panels > 0) {
                ASSERT_TRUE(panels.WaitForWindows(c.panels));
            }
            kwin::ClearInjectedFailures();
            // Every process the service started is a panel, and every panel was started at the full path.
            std::vector<kwin::ProcessRecord> children;
            for (const auto& record : kwin::ProcessHistory()) {
                if (record.parentProcessId == service.processId()) children.push_back(record);
            }
            EXPECT_EQ(children.size(), c.panels);
            for (const auto& child : children) EXPECT_TRUE(SamePath(child.imagePath, sim::ControlPanelImagePath()));
            EXPECT_EQ(Errors(), c.errors);
            EXPECT_EQ(kwin::OpenHandles().tokens, 0);
            EXPECT_EQ(kwin::Tokens().environmentBlocks, 0);
            service.Control(SERVICE_CONTROL_STOP);
            ASSERT_TRUE(PumpUntil([&] { return service.WaitForExit(0); }));
            EXPECT_EQ(service.Record().handlesLeftAtExit, 0);
            ASSERT_TRUE(panels.CloseAll());
        }
        EXPECT_EQ(kwin::OpenHandles(), before);
        machine_.RemoveCard(first);
        machine_.RemoveCard(second);
    }
}

TEST_F(ServiceLaunchTest, LogonAndConsoleConnectEachStartThePanelsOnTheConsole) {
    ThreeSessions(kwin::kNoSession);
    sim::Card& first = machine_.AddCard();
    sim::Card& second = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(StartedFrom(sim::ControlPanelImagePath()).empty());

    // The session the change concerns does not matter: the console's is the target.
    kwin::SetConsoleSession(2);
    const DWORD ignored[] = {WTS_CONSOLE_DISCONNECT, WTS_REMOTE_CONNECT, WTS_REMOTE_DISCONNECT,
                             WTS_SESSION_LOGOFF,     WTS_SESSION_LOCK,   WTS_SESSION_UNLOCK};
    for (DWORD event : ignored) EXPECT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, event), NO_ERROR);
    EXPECT_TRUE(StartedFrom(sim::ControlPanelImagePath()).empty());

    EXPECT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON), NO_ERROR);
    EXPECT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT), NO_ERROR);
    ASSERT_TRUE(panels_.WaitForWindows(4));
    const auto started = StartedFrom(sim::ControlPanelImagePath());
    ASSERT_EQ(started.size(), 4u);
    const std::wstring ids[] = {first.InstanceId(), second.InstanceId(), first.InstanceId(), second.InstanceId()};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(started[i].commandLine, ids[i]) << i;
        EXPECT_EQ(started[i].sessionId, 2u) << i;
    }
    EXPECT_EQ(Errors(), std::vector<LoggedEvent>{});
    StopAndCheckNothingLeaks(service);
}

// A window in each session that takes a while to answer: the instances of
// every session run at the same time, so the pass takes about one answer's
// time, not one per session; each runs as the service's account without any
// privilege.
LRESULT SlowProcedure(HWND, UINT, WPARAM, LPARAM) {
    Sleep(2000);  // machine time
    return 0;
}

TEST_F(ServiceLaunchTest, ServesEverySessionAtOnceAtStop) {
    ThreeSessions(kwin::kNoSession);
    sim::Card& card = machine_.AddCard();
    std::vector<HWND> marked;
    for (DWORD session : {0u, 1u, 2u}) {
        HWND window = kwin::CreateTestWindow(session, L"WinSta0\\Default", SlowProcedure);
        ASSERT_TRUE(SetPropW(window, card.InstanceId().c_str(), reinterpret_cast<HANDLE>(1)));
        marked.push_back(window);
    }
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    StopAndCheckNothingLeaks(service);

    const auto instances = ForceCloseInstances();
    ASSERT_EQ(instances.size(), 3u);
    EXPECT_EQ(SessionsOf(instances), (std::vector<DWORD>{0, 1, 2}));
    ULONGLONG firstEnd = ~0ull, lastStart = 0;
    for (const auto& instance : instances) {
        EXPECT_EQ(instance.commandLine, card.InstanceId());
        EXPECT_EQ(instance.desktop, L"WinSta0\\Default");
        EXPECT_EQ(instance.creationFlags, kForceCloseFlags);
        EXPECT_EQ(instance.parentProcessId, service.processId());
        EXPECT_EQ(instance.exitCode, 0u);
        EXPECT_EQ(instance.user, kwin::kLocalSystem);
        EXPECT_EQ(instance.privileges, std::vector<std::wstring>{L"SeChangeNotifyPrivilege"});
        firstEnd = std::min(firstEnd, instance.endedAt);
        lastStart = std::max(lastStart, instance.startedAt);
    }
    EXPECT_LT(lastStart, firstEnd) << "every instance was started before any ended";
    EXPECT_EQ(kwin::Tokens().restricted, 3);
    EXPECT_EQ(ForceCloseMessages().size(), 3u);
    for (HWND window : marked) kwin::DestroyTestWindow(window);
}

// A session in which no process can be made: the others are still served.
TEST_F(ServiceLaunchTest, ASessionThatCannotBeServedIsSkipped) {
    struct Case {
        const char* function;
        std::vector<LoggedEvent> errors;
    };
    const Case cases[] = {{"SetTokenInformation", {Error(L"SetTokenInformation")}}, {"CreateProcessAsUserW", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        kwin::ResetProcessHistory();
        kwin::ClearEventLog();
        kwin::ClearSessionFailures();
        ThreeSessions(kwin::kNoSession);
        kwin::FailCallsForSession(c.function, 1, ERROR_ACCESS_DENIED);
        sim::Card& card = machine_.AddCard();
        sim::ServiceProcess service;
        ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
        service.Control(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(service.WaitForExit());
        EXPECT_EQ(SessionsOf(ForceCloseInstances()), (std::vector<DWORD>{0, 2}));
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(service.Record().handlesLeftAtExit, 0);
        EXPECT_EQ(kwin::OpenHandles().tokens, 0);
        machine_.RemoveCard(card);
    }
}

// Marked windows that each answer just inside the send's bound, more of
// them than the pass's deadline allows: the instance is ended at the
// deadline, the other sessions are served meanwhile, and the stop's pass
// stays within its bound.
LRESULT NearlyTooSlowProcedure(HWND, UINT, WPARAM, LPARAM) {
    Sleep(4500);  // machine time
    return 0;
}

TEST_F(ServiceLaunchTest, AnInstanceHeldUpByItsWindowsIsEndedAtTheDeadline) {
    ThreeSessions(kwin::kNoSession);
    sim::Card& card = machine_.AddCard();
    std::vector<HWND> slow;
    for (int i = 0; i < 4; ++i) {
        HWND window = kwin::CreateTestWindow(1, L"WinSta0\\Default", NearlyTooSlowProcedure);
        ASSERT_TRUE(SetPropW(window, card.InstanceId().c_str(), reinterpret_cast<HANDLE>(1)));
        slow.push_back(window);
    }
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    const ULONGLONG start = kwin::MachineMilliseconds();
    service.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(PumpUntil([&] { return service.WaitForExit(0); }, 60000));
    const ULONGLONG waited = kwin::MachineMilliseconds() - start;
    EXPECT_GE(waited, kForceCloseInstanceTimeoutMs);
    EXPECT_LE(waited, kForceClosePassBoundMs + 1000);

    const auto instances = ForceCloseInstances();
    ASSERT_EQ(SessionsOf(instances), (std::vector<DWORD>{0, 1, 2}));
    EXPECT_FALSE(instances[0].terminated);
    EXPECT_TRUE(instances[1].terminated);
    EXPECT_EQ(instances[1].exitCode, ERROR_TIMEOUT);
    EXPECT_FALSE(instances[2].terminated);
    EXPECT_EQ(instances[2].exitCode, 0u);
    EXPECT_LT(instances[2].endedAt, instances[1].endedAt) << "session 2 was not held up by session 1";
    EXPECT_EQ(service.Statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_GE(ForceCloseMessages().size(), 2u) << "windows asked one after another, each answered";
    for (HWND window : slow) EXPECT_TRUE(kwin::DestroyTestWindow(window));
    EXPECT_EQ(kwin::PendingMessages(), 0);
    ExpectNothingLeftOpen(service);
}

}  // namespace
}  // namespace korvex::test

namespace korvex::test {
namespace {

// Who the service started, as rows to compare whole: the image's file name,
// the command line and the session.
struct Started {
    std::wstring image;
    std::wstring commandLine;
    DWORD session = 0;
    bool operator==(const Started&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Started& started) {
    out << "{";
    for (wchar_t c : started.image + L" " + started.commandLine) out << (c < 128 ? static_cast<char>(c) : '?');
    return out << ", session " << started.session << "}";
}
std::vector<Started> StartedSince(size_t first) {
    std::vector<Started> rows;
    const auto history = kwin::ProcessHistory();
    for (size_t i = first; i < history.size(); ++i) {
        const auto& record = history[i];
        rows.push_back({record.imagePath.substr(record.imagePath.find_last_of(L'\\') + 1), record.commandLine,
                        record.sessionId});
    }
    return rows;
}

// Session IDs with a gap, as after a logoff: 0, 1 and 3. Each removal's
// instances run one per session that exists, in it, and in none other.
TEST_F(ServiceLaunchTest, SessionsWithGapsInTheirIdsAreEachServedInTheirOwnSession) {
    // Session 2 has ended after its user logged off.
    kwin::SetSessions({{0, L"Services", WTSDisconnected},
                       {1, L"Console", WTSActive, L"alice"},
                       {3, L"RDP-Tcp#1", WTSActive, L"carol"}},
                      1);
    sim::Card& card = machine_.AddCard();
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(panels_.WaitForWindows(1));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF), NO_ERROR);
    const size_t before = kwin::ProcessHistory().size();

    auto removal = std::async(std::launch::async, [&] { return sim::RequestRemoval(machine_, card, false); });
    ASSERT_TRUE(PumpUntil([&] { return removal.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const kwin::RemovalResult result = removal.get();
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(result.handlesStillOpen, 0);
    const std::vector<Started> expected = {{L"KorvexS.exe", card.InstanceId(), 0},
                                           {L"KorvexS.exe", card.InstanceId(), 1},
                                           {L"KorvexS.exe", card.InstanceId(), 3}};
    EXPECT_EQ(StartedSince(before), expected);
    for (const auto& instance : ForceCloseInstances()) {
        EXPECT_EQ(instance.exitCode, 0u) << "session " << instance.sessionId;
        EXPECT_EQ(instance.user, kwin::kLocalSystem);
    }
    EXPECT_EQ(panels_.Panels().at(0).forceCloseMessages, 1);
    EXPECT_EQ(Errors(), std::vector<LoggedEvent>{});
    StopAndCheckNothingLeaks(service);
}

// A refused removal of the first of three cards: the force-close instances
// for it, then that card's control panel, and nothing else.
TEST_F(ServiceLaunchTest, ARefusedRemovalStartsThePanelOfThatCardOnly) {
    ThreeSessions(1);
    sim::Card& first = machine_.AddCard();
    machine_.AddCard({.model = sim::CardModel::Pico});
    machine_.AddCard({.model = sim::CardModel::Eight});
    sim::ServiceProcess service;
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(panels_.WaitForWindows(3));
    const size_t before = kwin::ProcessHistory().size();

    auto removal = std::async(std::launch::async, [&] { return sim::RequestRemoval(machine_, first, true); });
    ASSERT_TRUE(PumpUntil([&] { return removal.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_FALSE(removal.get().removed);
    ASSERT_TRUE(panels_.WaitForWindows(4));
    const std::wstring id = first.InstanceId();
    const std::vector<Started> expected = {{L"KorvexS.exe", id, 0},
                                           {L"KorvexS.exe", id, 1},
                                           {L"KorvexS.exe", id, 2},
                                           {L"Korvex.exe", id, 1}};
    EXPECT_EQ(StartedSince(before), expected);
    StopAndCheckNothingLeaks(service);
}

}  // namespace
}  // namespace korvex::test
