#include "service/launch.h"

#include "service/devices.h"
#include "service/eventlog.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kPathChars = 260;
constexpr WCHAR kControlPanelSubpath[] = L"\\SAVANTIX\\Lyrenta Vazozo\\Korvex.exe";

void LogError(LPCWSTR call) { LogEvent(call, EVENTLOG_ERROR_TYPE, MSG_ERROR); }

// A primary token of the service's own account with every privilege
// removed, or null (logged): a force-close instance needs the account's
// access to the session's window stations and desktops, and no privilege.
// The process token is closed as soon as the copy is made or has failed.
HANDLE UnprivilegedProcessToken() {
    HANDLE processToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &processToken)) {
        LogError(L"OpenProcessToken");
        return nullptr;
    }
    HANDLE launchToken = nullptr;
    const BOOL restricted = CreateRestrictedToken(processToken, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0,
                                                  nullptr, &launchToken);
    CloseHandle(processToken);
    if (!restricted) {
        LogError(L"CreateRestrictedToken");
        return nullptr;
    }
    return launchToken;
}

bool MoveTokenToSession(HANDLE token, DWORD sessionId) {
    if (!SetTokenInformation(token, TokenSessionId, &sessionId, sizeof(sessionId))) {
        LogError(L"SetTokenInformation");
        return false;
    }
    return true;
}

void PrepareStartupInfo(STARTUPINFOW* startup, LPWSTR desktop) {
    memset(startup, 0, sizeof(*startup));
    startup->cb = sizeof(*startup);
    startup->lpDesktop = desktop;
}

// The control panel's full path under the Program Files folder; false when
// the folder is unknown or the path does not fit.
bool ControlPanelPath(WCHAR (&path)[kPathChars]) {
    path[0] = L'\0';
    if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_PROGRAM_FILES, FALSE)) return false;
    const size_t folderChars = wcsnlen(path, kPathChars);
    const size_t subpathChars = sizeof(kControlPanelSubpath) / sizeof(WCHAR) - 1;
    if (folderChars == 0 || folderChars + subpathChars >= kPathChars) return false;
    return wcscat_s(path, kPathChars, kControlPanelSubpath) == 0;
}

// The program's own file, or false when it cannot be had whole.
bool OwnProgramPath(WCHAR (&path)[kPathChars]) {
    const DWORD chars = GetModuleFileNameW(nullptr, path, kPathChars);
    return chars != 0 && chars < kPathChars;
}

void StartControlPanel(HANDLE userToken, LPVOID environment, DeviceNode* card) {
    WCHAR desktop[] = L"WinSta0\\Default";
    STARTUPINFOW startup;
    PrepareStartupInfo(&startup, desktop);
    WCHAR path[kPathChars];
    if (!ControlPanelPath(path)) {
        LogError(L"SHGetSpecialFolderPath");
        return;
    }
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    if (!CreateProcessAsUserW(userToken, path, card->instanceId, nullptr, nullptr, FALSE,
                              NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup,
                              &process)) {
        LogError(L"CreateProcessAsUser");
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// Starts the instance for one session; its process handle, or null.
HANDLE StartForceCloseInstance(DWORD sessionId, LPWSTR instanceId) {
    HANDLE token = UnprivilegedProcessToken();
    if (token == nullptr) return nullptr;
    if (!MoveTokenToSession(token, sessionId)) {
        CloseHandle(token);
        return nullptr;
    }
    WCHAR desktop[] = L"WinSta0\\Default";
    STARTUPINFOW startup;
    PrepareStartupInfo(&startup, desktop);
    WCHAR path[kPathChars];
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    const bool started = OwnProgramPath(path) &&
                         CreateProcessAsUserW(token, path, instanceId, nullptr, nullptr, FALSE,
                                              CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                                              &process);
    CloseHandle(token);
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

DWORD TimeLeft(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Waits for the instances until the deadline, ends the ones still running
// (a window that never answers keeps its instance alive), awaits their end
// for a bounded time and closes every handle.
void AwaitForceCloseInstances(HANDLE* instances, DWORD count, ULONGLONG deadline) {
    if (count == 0) return;
    WaitForMultipleObjects(count, instances, TRUE, TimeLeft(deadline));
    bool ended = false;
    for (DWORD i = 0; i < count; ++i) {
        if (WaitForSingleObject(instances[i], 0) == WAIT_TIMEOUT) {
            TerminateProcess(instances[i], ERROR_TIMEOUT);
            ended = true;
        }
    }
    if (ended) WaitForMultipleObjects(count, instances, TRUE, kForceCloseExitWaitMs);
    for (DWORD i = 0; i < count; ++i) CloseHandle(instances[i]);
}

}  // namespace

void LaunchControlPanel(DeviceNode* first, DeviceNode* end) {
    const DWORD consoleSession = WTSGetActiveConsoleSessionId();
    if (consoleSession == 0xFFFFFFFFu) return;
    // The panel shows the user's files and dialogs: it runs as that user, not
    // as the service's account.
    HANDLE userToken = nullptr;
    if (!WTSQueryUserToken(consoleSession, &userToken)) {
        // Nobody is logged on to the console: the logon starts the panels.
        if (GetLastError() != ERROR_NO_TOKEN) LogError(L"WTSQueryUserToken");
        return;
    }
    LPVOID environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, userToken, FALSE)) {
        LogError(L"CreateEnvironmentBlock");
        CloseHandle(userToken);
        return;
    }
    for (DeviceNode* card = first; card != end && card != nullptr; card = card->next) {
        StartControlPanel(userToken, environment, card);
    }
    DestroyEnvironmentBlock(environment);
    CloseHandle(userToken);
}

void LaunchForceCloseInstances(LPWSTR instanceId) {
    const ULONGLONG deadline = GetTickCount64() + kForceCloseInstanceTimeoutMs;
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        sessions = nullptr;
        count = 0;
    }
    // Every session's instance runs at the same time, under the one deadline.
    // Beyond the most one wait can take, sessions are served in batches.
    HANDLE instances[MAXIMUM_WAIT_OBJECTS];
    DWORD running = 0;
    for (DWORD i = 0; i < count; ++i) {
        HANDLE instance = StartForceCloseInstance(sessions[i].SessionId, instanceId);
        if (instance != nullptr) instances[running++] = instance;
        if (running == MAXIMUM_WAIT_OBJECTS) {
            AwaitForceCloseInstances(instances, running, deadline);
            running = 0;
        }
    }
    AwaitForceCloseInstances(instances, running, deadline);
    if (sessions != nullptr) WTSFreeMemory(sessions);
}

void OnSessionChange(DWORD eventType) {
    std::lock_guard<std::mutex> guard(deviceListLock);
    if (deviceList == nullptr) return;
    if (eventType != WTS_CONSOLE_CONNECT && eventType != WTS_SESSION_LOGON) return;
    // The target is the console session whichever session the change concerns.
    LaunchControlPanel(deviceList->next, nullptr);
}
