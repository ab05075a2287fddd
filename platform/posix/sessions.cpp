// Terminal-services sessions, and the window stations and desktops of each:
// WTS*, the window-station and desktop calls, and their test-facing setup.
#include "platform/posix/windowing.h"

#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/process.h"

#include <cstdlib>
#include <cstring>
#include <new>

#ifndef ERROR_BUSY
#define ERROR_BUSY 170u
#endif

namespace kwin {
namespace {

const WCHAR kInteractiveStation[] = L"WinSta0";
const WCHAR kServiceStation[] = L"Service-0x0-3e7$";

struct WindowStationObject final : KernelObject {
    explicit WindowStationObject(std::shared_ptr<StationData> station)
        : KernelObject(ObjectType::WindowStation), station(std::move(station)) {}
    const std::shared_ptr<StationData> station;
};

struct DesktopObject final : KernelObject {
    explicit DesktopObject(std::shared_ptr<DesktopData> desktop)
        : KernelObject(ObjectType::Desktop), desktop(std::move(desktop)) {}
    const std::shared_ptr<DesktopData> desktop;
};

// The desktop SetThreadDesktop made current for this thread (null: the initial one).
thread_local HANDLE threadDesktop = nullptr;

std::shared_ptr<StationData> MakeStation(DWORD sessionId, const std::wstring& name,
                                         std::initializer_list<const WCHAR*> desktops) {
    auto station = std::make_shared<StationData>();
    station->sessionId = sessionId;
    station->name = name;
    for (const WCHAR* desktop : desktops) {
        auto data = std::make_shared<DesktopData>();
        data->sessionId = sessionId;
        data->station = name;
        data->name = desktop;
        station->desktops.push_back(std::move(data));
    }
    return station;
}

SessionData MakeSession(const SessionInfo& info) {
    SessionData session;
    session.info = info;
    session.stations.push_back(MakeStation(info.id, kInteractiveStation, {L"Default", L"Winlogon"}));
    if (info.id == 0) session.stations.push_back(MakeStation(0, kServiceStation, {L"Default"}));
    return session;
}

std::vector<SessionInfo> DefaultSessions() { return {{0, L"Services", WTSDisconnected}}; }

SessionData* FindSessionLocked(WindowingState& state, DWORD sessionId) {
    for (auto& session : state.sessions) {
        if (session.info.id == sessionId) return &session;
    }
    return nullptr;
}

std::shared_ptr<StationData> FindStationLocked(WindowingState& state, DWORD sessionId, const std::wstring& name) {
    SessionData* session = FindSessionLocked(state, sessionId);
    if (!session) return nullptr;
    for (const auto& station : session->stations) {
        if (EqualsIgnoringAsciiCase(station->name, name)) return station;
    }
    return nullptr;
}

std::shared_ptr<DesktopData> FindDesktopIn(const StationData& station, const std::wstring& name) {
    for (const auto& desktop : station.desktops) {
        if (EqualsIgnoringAsciiCase(desktop->name, name)) return desktop;
    }
    return nullptr;
}

DWORD CallerSession() {
    ProcessObject* process = CurrentProcess();
    return process ? process->start.sessionId : 0;
}

// "WinSta0\\Default" split at the backslash; a name without one is a desktop
// of "WinSta0", an empty one is "WinSta0\\Default".
void SplitDesktopPath(const std::wstring& path, std::wstring& station, std::wstring& desktop) {
    const size_t slash = path.find(L'\\');
    station = slash == std::wstring::npos ? std::wstring(kInteractiveStation) : path.substr(0, slash);
    desktop = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (desktop.empty()) desktop = L"Default";
}

void StartupDesktop(std::wstring& station, std::wstring& desktop) {
    ProcessObject* process = CurrentProcess();
    if (process && process->start.startedByServiceManager) {
        station = kServiceStation;
        desktop = L"Default";
        return;
    }
    SplitDesktopPath(process ? process->start.desktop : std::wstring(), station, desktop);
}

// Not multiples of four, so never a handle-table value.
HANDLE InitialStationHandle() { return reinterpret_cast<HANDLE>((uintptr_t{CurrentProcessIdValue()} << 4) | 1); }
HANDLE InitialDesktopHandle() { return reinterpret_cast<HANDLE>((uintptr_t{GetCurrentThreadId()} << 4) | 3); }

std::shared_ptr<StationData> InitialStationLocked(WindowingState& state) {
    std::wstring station, desktop;
    StartupDesktop(station, desktop);
    return FindStationLocked(state, CallerSession(), station);
}

std::shared_ptr<DesktopData> InitialDesktopLocked(WindowingState& state) {
    std::wstring station, desktop;
    StartupDesktop(station, desktop);
    auto data = FindStationLocked(state, CallerSession(), station);
    return data ? FindDesktopIn(*data, desktop) : nullptr;
}

HANDLE& CurrentStationSlotLocked(WindowingState& state) {
    ProcessObject* process = CurrentProcess();
    return process ? process->windowStation : state.hostStation;
}

std::shared_ptr<StationData> StationFromHandleLocked(WindowingState& state, HANDLE handle, bool* initial = nullptr) {
    if (initial) *initial = false;
    if (handle != nullptr && handle == InitialStationHandle()) {
        if (initial) *initial = true;
        return InitialStationLocked(state);
    }
    auto object = ReferenceHandleAs<WindowStationObject>(handle, ObjectType::WindowStation);
    return object ? object->station : nullptr;
}

std::shared_ptr<DesktopData> DesktopFromHandleLocked(WindowingState& state, HANDLE handle, bool* initial = nullptr) {
    if (initial) *initial = false;
    if (handle != nullptr && handle == InitialDesktopHandle()) {
        if (initial) *initial = true;
        return InitialDesktopLocked(state);
    }
    auto object = ReferenceHandleAs<DesktopObject>(handle, ObjectType::Desktop);
    return object ? object->desktop : nullptr;
}

std::shared_ptr<StationData> CurrentStationLocked(WindowingState& state) {
    HANDLE current = CurrentStationSlotLocked(state);
    return current ? StationFromHandleLocked(state, current) : InitialStationLocked(state);
}

void RecordLocked(WindowingState& state, const char* function, HANDLE handle, const std::wstring& name, bool initial,
                  bool succeeded) {
    try {
        WindowingCall call;
        call.processId = CurrentProcessIdValue();
        call.threadId = GetCurrentThreadId();
        call.function = function;
        call.handle = handle;
        call.name = name;
        call.initial = initial;
        call.succeeded = succeeded;
        state.calls.push_back(std::move(call));
    } catch (const std::bad_alloc&) {
    }
}

const OpenFailure* FindFailure(const std::vector<OpenFailure>& failures, DWORD sessionId, const std::wstring& name) {
    for (const auto& failure : failures) {
        if (failure.sessionId == sessionId && EqualsIgnoringAsciiCase(failure.name, name)) return &failure;
    }
    return nullptr;
}

// Calls the callback once per name, with no lock held; the names are copied
// into writable buffers first, as the callback takes an LPWSTR.
template <class Callback>
BOOL EnumerateNames(std::vector<std::wstring> names, Callback callback, LPARAM parameter) {
    for (auto& name : names) {
        if (!callback(name.data(), parameter)) return FALSE;  // the enumeration's result is the callback's
    }
    return TRUE;
}

}  // namespace

WindowingState& Windowing() {
    static auto* state = [] {
        auto* created = new WindowingState;  // never destroyed: threads may outlive main
        for (const auto& info : DefaultSessions()) created->sessions.push_back(MakeSession(info));
        return created;
    }();
    return *state;
}

void SetSessions(const std::vector<SessionInfo>& sessions, DWORD consoleSessionId) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    DestroyWindowsLocked(state);
    state.sessions.clear();
    for (const auto& info : sessions) state.sessions.push_back(MakeSession(info));
    state.consoleSessionId = consoleSessionId;
}

void SetConsoleSession(DWORD sessionId) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    state.consoleSessionId = sessionId;
}

bool SetSessionUser(DWORD sessionId, const std::wstring& user) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    SessionData* session = FindSessionLocked(state, sessionId);
    if (!session) return false;
    session->info.user = user;
    return true;
}

bool SessionUser(DWORD sessionId, std::wstring* user) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    SessionData* session = FindSessionLocked(state, sessionId);
    if (!session) return false;
    if (user) *user = session->info.user;
    return true;
}

std::vector<SessionInfo> Sessions() {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    std::vector<SessionInfo> infos;
    for (const auto& session : state.sessions) infos.push_back(session.info);
    return infos;
}

void ResetSessions() {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    DestroyWindowsLocked(state);
    state.sessions.clear();
    for (const auto& info : DefaultSessions()) state.sessions.push_back(MakeSession(info));
    state.consoleSessionId = kNoSession;
    state.stationFailures.clear();
    state.desktopFailures.clear();
    state.calls.clear();
    state.delivered.clear();
    state.hostStation = nullptr;
}

bool AddWindowStation(DWORD sessionId, const std::wstring& name) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    SessionData* session = FindSessionLocked(state, sessionId);
    if (!session || FindStationLocked(state, sessionId, name)) return false;
    session->stations.push_back(MakeStation(sessionId, name, {}));
    return true;
}

bool AddDesktop(DWORD sessionId, const std::wstring& station, const std::wstring& name) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    auto data = FindStationLocked(state, sessionId, station);
    if (!data || FindDesktopIn(*data, name)) return false;
    auto desktop = std::make_shared<DesktopData>();
    desktop->sessionId = sessionId;
    desktop->station = data->name;
    desktop->name = name;
    data->desktops.push_back(std::move(desktop));
    return true;
}

void FailOpenWindowStation(DWORD sessionId, const std::wstring& station, DWORD error) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    state.stationFailures.push_back({sessionId, station, error});
}

void FailOpenDesktop(DWORD sessionId, const std::wstring& desktop, DWORD error) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    state.desktopFailures.push_back({sessionId, desktop, error});
}

std::vector<WindowingCall> WindowingCalls() {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    return state.calls;
}

std::shared_ptr<DesktopData> CallerDesktopLocked(WindowingState& state) {
    return DesktopFromHandleLocked(state, threadDesktop ? threadDesktop : InitialDesktopHandle());
}

// The desktop a window is created on, for the window code.
std::shared_ptr<DesktopData> FindDesktopLocked(WindowingState& state, DWORD sessionId, const std::wstring& path) {
    std::wstring station, desktop;
    SplitDesktopPath(path, station, desktop);
    auto data = FindStationLocked(state, sessionId, station);
    return data ? FindDesktopIn(*data, desktop) : nullptr;
}

int ReleaseCurrentStationAndDesktop(ProcessObject& process) {
    WindowingState& state = Windowing();
    std::lock_guard lock(state.mutex);
    int released = 0;
    for (HANDLE* slot : {&process.windowStation, &threadDesktop}) {
        if (*slot != nullptr && RemoveHandle(*slot)) ++released;
        *slot = nullptr;
    }
    return released;
}

}  // namespace kwin

using kwin::WindowingState;

// ---- Sessions ------------------------------------------------------------------

extern "C" DWORD WINAPI WTSGetActiveConsoleSessionId(void) {
    if (kwin::ShouldFail("WTSGetActiveConsoleSessionId")) return kwin::kNoSession;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    return state.consoleSessionId;
}

// One allocation: the records, then their names; WTSFreeMemory releases it.
extern "C" BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                             PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount) {
    if (ppSessionInfo) *ppSessionInfo = nullptr;
    if (pCount) *pCount = 0;
    if (kwin::ShouldFail("WTSEnumerateSessionsW")) return FALSE;
    if (hServer != WTS_CURRENT_SERVER_HANDLE) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Reserved != 0 || Version != 1 || !ppSessionInfo || !pCount) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    const size_t count = state.sessions.size();
    size_t bytes = count * sizeof(WTS_SESSION_INFOW);
    for (const auto& session : state.sessions) bytes += (session.info.name.size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<char*>(std::malloc(bytes ? bytes : 1));
    if (!block) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* records = reinterpret_cast<WTS_SESSION_INFOW*>(block);
    auto* text = reinterpret_cast<WCHAR*>(block + count * sizeof(WTS_SESSION_INFOW));
    for (size_t i = 0; i < count; ++i) {
        const auto& info = state.sessions[i].info;
        std::wmemcpy(text, info.name.c_str(), info.name.size() + 1);
        records[i].SessionId = info.id;
        records[i].pWinStationName = text;
        records[i].State = info.state;
        text += info.name.size() + 1;
    }
    *ppSessionInfo = records;
    *pCount = static_cast<DWORD>(count);
    return TRUE;
}

extern "C" void WINAPI WTSFreeMemory(PVOID pMemory) { std::free(pMemory); }

// ---- Window stations ---------------------------------------------------------------

extern "C" BOOL WINAPI EnumWindowStationsW(WINSTAENUMPROCW lpEnumFunc, LPARAM lParam) {
    if (kwin::ShouldFail("EnumWindowStationsW")) return FALSE;
    if (!lpEnumFunc) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::wstring> names;
    {
        WindowingState& state = kwin::Windowing();
        std::lock_guard lock(state.mutex);
        kwin::SessionData* session = kwin::FindSessionLocked(state, kwin::CallerSession());
        if (session) {
            for (const auto& station : session->stations) names.push_back(station->name);
        }
    }
    return kwin::EnumerateNames(std::move(names), lpEnumFunc, lParam);
}

extern "C" HWINSTA WINAPI OpenWindowStationW(LPCWSTR lpszWinSta, BOOL, ACCESS_MASK) {
    if (kwin::ShouldFail("OpenWindowStationW")) return nullptr;
    if (!lpszWinSta) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    const DWORD session = kwin::CallerSession();
    auto station = kwin::FindStationLocked(state, session, lpszWinSta);
    DWORD error = ERROR_FILE_NOT_FOUND;
    HANDLE handle = nullptr;
    if (station) {
        if (const auto* failure = kwin::FindFailure(state.stationFailures, session, station->name)) {
            error = failure->error;
        } else {
            try {
                handle = kwin::InsertHandle(std::make_shared<kwin::WindowStationObject>(station));
            } catch (const std::bad_alloc&) {
            }
            error = handle ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    kwin::RecordLocked(state, "OpenWindowStationW", handle, lpszWinSta, false, handle != nullptr);
    if (!handle) kwin::SetLastErrorValue(error);
    return static_cast<HWINSTA>(handle);
}

// The handle belongs to the process: the caller must not close it.
extern "C" HWINSTA WINAPI GetProcessWindowStation(void) {
    if (kwin::ShouldFail("GetProcessWindowStation")) return nullptr;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    HANDLE current = kwin::CurrentStationSlotLocked(state);
    HANDLE handle = current ? current : kwin::InitialStationHandle();
    bool initial = false;
    auto station = kwin::StationFromHandleLocked(state, handle, &initial);
    if (!station) handle = nullptr;
    kwin::RecordLocked(state, "GetProcessWindowStation", handle, station ? station->name : L"", initial,
                       handle != nullptr);
    if (!handle) kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
    return static_cast<HWINSTA>(handle);
}

extern "C" BOOL WINAPI SetProcessWindowStation(HWINSTA hWinSta) {
    if (kwin::ShouldFail("SetProcessWindowStation")) return FALSE;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    bool initial = false;
    auto station = kwin::StationFromHandleLocked(state, hWinSta, &initial);
    if (station) kwin::CurrentStationSlotLocked(state) = initial ? nullptr : static_cast<HANDLE>(hWinSta);
    kwin::RecordLocked(state, "SetProcessWindowStation", hWinSta, station ? station->name : L"", initial,
                       station != nullptr);
    if (!station) kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
    return station ? TRUE : FALSE;
}

// The process's current window station cannot be closed.
extern "C" BOOL WINAPI CloseWindowStation(HWINSTA hWinSta) {
    if (kwin::ShouldFail("CloseWindowStation")) return FALSE;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    bool initial = false;
    auto station = kwin::StationFromHandleLocked(state, hWinSta, &initial);
    DWORD error = ERROR_SUCCESS;
    if (!station) {
        error = ERROR_INVALID_HANDLE;
    } else if (initial || kwin::CurrentStationSlotLocked(state) == hWinSta) {
        error = ERROR_BUSY;
    } else if (!kwin::RemoveHandle(hWinSta)) {
        error = ERROR_INVALID_HANDLE;
    }
    kwin::RecordLocked(state, "CloseWindowStation", hWinSta, station ? station->name : L"", initial,
                       error == ERROR_SUCCESS);
    if (error != ERROR_SUCCESS) kwin::SetLastErrorValue(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

// ---- Desktops ------------------------------------------------------------------------

extern "C" BOOL WINAPI EnumDesktopsW(HWINSTA hwinsta, DESKTOPENUMPROCW lpEnumFunc, LPARAM lParam) {
    if (kwin::ShouldFail("EnumDesktopsW")) return FALSE;
    if (!lpEnumFunc) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::wstring> names;
    {
        WindowingState& state = kwin::Windowing();
        std::lock_guard lock(state.mutex);
        auto station = hwinsta ? kwin::StationFromHandleLocked(state, hwinsta) : kwin::CurrentStationLocked(state);
        if (!station) {
            kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        for (const auto& desktop : station->desktops) names.push_back(desktop->name);
    }
    return kwin::EnumerateNames(std::move(names), lpEnumFunc, lParam);
}

// The name is resolved in the process's current window station.
extern "C" HDESK WINAPI OpenDesktopW(LPCWSTR lpszDesktop, DWORD, BOOL, ACCESS_MASK) {
    if (kwin::ShouldFail("OpenDesktopW")) return nullptr;
    if (!lpszDesktop) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    auto station = kwin::CurrentStationLocked(state);
    auto desktop = station ? kwin::FindDesktopIn(*station, lpszDesktop) : nullptr;
    DWORD error = ERROR_FILE_NOT_FOUND;
    HANDLE handle = nullptr;
    if (desktop) {
        if (const auto* failure = kwin::FindFailure(state.desktopFailures, desktop->sessionId, desktop->FullName())) {
            error = failure->error;
        } else {
            try {
                handle = kwin::InsertHandle(std::make_shared<kwin::DesktopObject>(desktop));
            } catch (const std::bad_alloc&) {
            }
            error = handle ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    kwin::RecordLocked(state, "OpenDesktopW", handle, desktop ? desktop->FullName() : std::wstring(lpszDesktop), false,
                       handle != nullptr);
    if (!handle) kwin::SetLastErrorValue(error);
    return static_cast<HDESK>(handle);
}

// Only the calling thread's desktop is known; the handle belongs to the thread.
extern "C" HDESK WINAPI GetThreadDesktop(DWORD dwThreadId) {
    if (kwin::ShouldFail("GetThreadDesktop")) return nullptr;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    HANDLE handle = nullptr;
    bool initial = false;
    std::shared_ptr<kwin::DesktopData> desktop;
    if (dwThreadId == GetCurrentThreadId()) {
        handle = kwin::threadDesktop ? kwin::threadDesktop : kwin::InitialDesktopHandle();
        desktop = kwin::DesktopFromHandleLocked(state, handle, &initial);
        if (!desktop) handle = nullptr;
    }
    kwin::RecordLocked(state, "GetThreadDesktop", handle, desktop ? desktop->FullName() : L"", initial,
                       handle != nullptr);
    if (!handle) kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return static_cast<HDESK>(handle);
}

// Fails for a thread that owns windows.
extern "C" BOOL WINAPI SetThreadDesktop(HDESK hDesktop) {
    if (kwin::ShouldFail("SetThreadDesktop")) return FALSE;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    bool initial = false;
    auto desktop = kwin::DesktopFromHandleLocked(state, hDesktop, &initial);
    DWORD error = ERROR_SUCCESS;
    if (!desktop) {
        error = ERROR_INVALID_HANDLE;
    } else if (kwin::WindowsOwnedByCallerLocked(state) > 0) {
        error = ERROR_BUSY;
    } else {
        kwin::threadDesktop = initial ? nullptr : static_cast<HANDLE>(hDesktop);
    }
    kwin::RecordLocked(state, "SetThreadDesktop", hDesktop, desktop ? desktop->FullName() : L"", initial,
                       error == ERROR_SUCCESS);
    if (error != ERROR_SUCCESS) kwin::SetLastErrorValue(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

// A desktop the calling thread uses cannot be closed.
extern "C" BOOL WINAPI CloseDesktop(HDESK hDesktop) {
    if (kwin::ShouldFail("CloseDesktop")) return FALSE;
    WindowingState& state = kwin::Windowing();
    std::lock_guard lock(state.mutex);
    bool initial = false;
    auto desktop = kwin::DesktopFromHandleLocked(state, hDesktop, &initial);
    DWORD error = ERROR_SUCCESS;
    if (!desktop) {
        error = ERROR_INVALID_HANDLE;
    } else if (initial || kwin::threadDesktop == hDesktop) {
        error = ERROR_BUSY;
    } else if (!kwin::RemoveHandle(hDesktop)) {
        error = ERROR_INVALID_HANDLE;
    }
    kwin::RecordLocked(state, "CloseDesktop", hDesktop, desktop ? desktop->FullName() : L"", initial,
                       error == ERROR_SUCCESS);
    if (error != ERROR_SUCCESS) kwin::SetLastErrorValue(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

// The desktop's top-level windows in creation order; the callback runs with
// no lock held, on a copy of the list.
extern "C" BOOL WINAPI EnumDesktopWindows(HDESK hDesktop, WNDENUMPROC lpfn, LPARAM lParam) {
    if (kwin::ShouldFail("EnumDesktopWindows")) return FALSE;
    if (!lpfn) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> windows;
    {
        WindowingState& state = kwin::Windowing();
        std::lock_guard lock(state.mutex);
        HANDLE handle = hDesktop ? static_cast<HANDLE>(hDesktop)
                                 : (kwin::threadDesktop ? kwin::threadDesktop : kwin::InitialDesktopHandle());
        auto desktop = kwin::DesktopFromHandleLocked(state, handle);
        if (!desktop) {
            kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        windows = desktop->windows;
    }
    for (HWND window : windows) {
        if (!lpfn(window, lParam)) break;
    }
    return TRUE;
}
