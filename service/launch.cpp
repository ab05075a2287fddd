#include "service/launch.h"

#include "service/devices.h"
#include "service/eventlog.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kPathChars = 260;
constexpr WCHAR kControlPanelSubpath[] = L"\\SAVANTIX\\Lyrenta Vazozo\\Korvex.exe";

void LogError(LPCWSTR call) { LogEvent(call, EVENTLOG_ERROR_TYPE, MSG_ERROR); }

// A primary copy of the service's own token, or null (logged). The process
// token is closed as soon as the copy is made or has failed.
HANDLE DuplicateProcessToken() {
    HANDLE processToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &processToken)) {
        LogError(L"OpenProcessToken");
        return nullptr;
    }
    HANDLE launchToken = nullptr;
    const BOOL duplicated =
        DuplicateTokenEx(processToken, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &launchToken);
    CloseHandle(processToken);
    if (!duplicated) {
        LogError(L"DuplicateTokenEx");
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

void StartControlPanel(HANDLE token, DeviceNode* card) {
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
    if (!CreateProcessAsUserW(token, path, card->instanceId, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                              nullptr, &startup, &process)) {
        LogError(L"CreateProcessAsUser");
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void RunForceCloseInstance(DWORD sessionId, LPWSTR instanceId) {
    HANDLE token = DuplicateProcessToken();
    if (token == nullptr) return;
    if (!MoveTokenToSession(token, sessionId)) {
        CloseHandle(token);
        return;
    }
    WCHAR desktop[] = L"WinSta0\\Default";
    STARTUPINFOW startup;
    PrepareStartupInfo(&startup, desktop);
    WCHAR path[kPathChars];
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    if (!OwnProgramPath(path) ||
        !CreateProcessAsUserW(token, path, instanceId, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS,
                              nullptr, nullptr, &startup, &process)) {
        CloseHandle(token);
        return;
    }
    CloseHandle(process.hThread);
    // A window that never answers must not hold up the removal or the
    // shut-down for ever.
    if (WaitForSingleObject(process.hProcess, kForceCloseInstanceTimeoutMs) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(process.hProcess, kForceCloseInstanceTimeoutMs);
    }
    CloseHandle(process.hProcess);
    CloseHandle(token);
}

}  // namespace

void LaunchControlPanel(DeviceNode* first, DeviceNode* end) {
    HANDLE token = DuplicateProcessToken();
    if (token == nullptr) return;
    const DWORD consoleSession = WTSGetActiveConsoleSessionId();
    if (consoleSession == 0xFFFFFFFFu) {
        CloseHandle(token);
        return;
    }
    if (!MoveTokenToSession(token, consoleSession)) {
        CloseHandle(token);
        return;
    }
    for (DeviceNode* card = first; card != end && card != nullptr; card = card->next) StartControlPanel(token, card);
    CloseHandle(token);
}

void LaunchForceCloseInstances(LPWSTR instanceId) {
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        sessions = nullptr;
        count = 0;
    }
    for (DWORD i = 0; i < count; ++i) RunForceCloseInstance(sessions[i].SessionId, instanceId);
    if (sessions != nullptr) WTSFreeMemory(sessions);
}

void OnSessionChange(DWORD eventType) {
    std::lock_guard<std::mutex> guard(deviceListLock);
    if (deviceList == nullptr) return;
    if (eventType != WTS_CONSOLE_CONNECT && eventType != WTS_SESSION_LOGON) return;
    // The target is the console session whichever session the change concerns.
    LaunchControlPanel(deviceList->next, nullptr);
}
