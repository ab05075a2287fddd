// What the simulated machine and the tests see of the stand-in beyond the
// Win32 calls: open-handle counts, counted timer periods, the clock hook, the
// simulated avrt, injected call failures, the device tree with its drivers,
// and kernel-side access to the events that a process hands a driver.
#pragma once

#include "win32_posix.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(KWIN_BUILDING)
#define KWIN_EXPORT __attribute__((visibility("default")))
#else
#define KWIN_EXPORT
#endif

namespace kwin {

// ---- Accounting -----------------------------------------------------------

struct KWIN_EXPORT HandleCounts {
    int total = 0;
    int events = 0;
    int threads = 0;
    int deviceFiles = 0;
    int deviceInfoLists = 0;
    int processes = 0;
    int tokens = 0;
    int eventSources = 0;
    int notifications = 0;
    int windowStations = 0;
    int desktops = 0;
    int other = 0;
    bool operator==(const HandleCounts&) const = default;
};
KWIN_EXPORT HandleCounts OpenHandles();

// One open handle of a process, for a person or a test to read.
struct KWIN_EXPORT OpenHandleInfo {
    HANDLE handle = nullptr;
    std::string type;              // "device file", "device notification", "event", ...
    std::wstring deviceInstanceId;  // the device it is about, if any
};
// The handles the process owns now (0: the host program), in handle order.
KWIN_EXPORT std::vector<OpenHandleInfo> OpenHandlesOf(DWORD processId);

// timeBeginPeriod calls minus timeEndPeriod calls, per period value summed.
KWIN_EXPORT int ActiveTimerPeriods();
KWIN_EXPORT int TimerPeriodBeginCalls();

// ---- Clock -----------------------------------------------------------------

// While set, timeGetTime returns the value instead of the real clock.
KWIN_EXPORT void SetTimeGetTimeOverride(std::optional<DWORD> milliseconds);

// Runs the machine's clock `factor` times faster than real time (1: real
// time, the default; sim::Machine sets it back). Timed waits, Sleep,
// GetTickCount64, the service manager's bound on a control handler and the
// time after which a window's thread counts as hung are measured on it;
// timeGetTime is not. Set it while nothing waits.
KWIN_EXPORT void SetTimeScale(DWORD factor);
KWIN_EXPORT DWORD TimeScale();
// Milliseconds on the machine's clock, from an arbitrary start.
KWIN_EXPORT ULONGLONG MachineMilliseconds();

// ---- Modules and the simulated avrt ----------------------------------------

// Whether LoadLibraryW(L"avrt.dll") finds the module. Present by default.
KWIN_EXPORT void SetAvrtPresent(bool present);
struct KWIN_EXPORT AvrtCalls {
    int setCalls = 0;       // AvSetMmThreadCharacteristicsW
    int revertCalls = 0;    // AvRevertMmThreadCharacteristics with a handle it gave out
    std::wstring lastTask;  // task name of the latest set call
    int loadedReferences = 0;  // LoadLibraryW minus FreeLibrary of avrt.dll
};
KWIN_EXPORT AvrtCalls Avrt();
// GetModuleHandleExW references and the FreeLibrary calls that gave them back.
struct KWIN_EXPORT ModuleReferenceCalls {
    int processTaken = 0;       // on the program itself
    int processReleased = 0;
    int sharedObjectsHeld = 0;  // dlopen references on shared objects still held
};
KWIN_EXPORT ModuleReferenceCalls ModuleReferenceCounts();

// ---- Threads ----------------------------------------------------------------

struct KWIN_EXPORT ThreadRecord {
    DWORD threadId = 0;
    int priority = 0;                  // the priority set on it, last value
    bool prioritySetWhileSuspended = false;
    bool terminated = false;           // ended by TerminateThread
    bool finished = false;             // ran off its start routine or was terminated
    DWORD exitCode = 0;                // once finished: returned, given to ExitThread or to TerminateThread
};
// Every thread made with CreateThread since the last ResetThreadHistory.
KWIN_EXPORT std::vector<ThreadRecord> ThreadHistory();
KWIN_EXPORT void ResetThreadHistory();

// ---- Injected failures ------------------------------------------------------

// Makes the n-th call from now (1 = the next) of the named stand-in function
// fail with the given last-error value. Names are the Win32 names, for
// instance "SetupDiGetClassDevsW" or "CreateThread".
KWIN_EXPORT void FailCall(const std::string& function, int nthCall, DWORD error);
// Makes every call from now on of the named function fail, until cleared.
KWIN_EXPORT void FailEveryCall(const std::string& function, DWORD error);
KWIN_EXPORT void ClearInjectedFailures();
// Failures armed with FailCall whose call has not come yet.
KWIN_EXPORT int PendingInjectedFailures();

// Counts, from now on, every call of every stand-in function that FailCall
// can fail, by name, whatever thread or simulated process makes it (the
// calls the counting sees are the ones FailCall's n counts). Starting again
// starts the counts from zero. Counting allocates nothing.
KWIN_EXPORT void StartCountingCalls();
KWIN_EXPORT void StopCountingCalls();
// From now on only the calls made by processes started from the image are
// counted and can fail (empty, the default: every caller, the host program
// included); a program of the product can so be swept while other programs
// on the machine (a control panel, the test itself) make the same calls.
KWIN_EXPORT void CountCallsOfImage(const std::wstring& imagePath);
struct KWIN_EXPORT CallCount {
    std::string function;
    int calls = 0;
};
// The functions called since counting started, in the order of their first call.
KWIN_EXPORT std::vector<CallCount> CountedCalls();

// ---- Device tree --------------------------------------------------------------

// A kernel driver behind a device interface. One instance serves every open of
// the interfaces that name it; fileId tells the opens apart.
class KWIN_EXPORT DeviceDriver {
public:
    virtual ~DeviceDriver() = default;
    // Returns ERROR_SUCCESS or the error CreateFileW reports.
    virtual DWORD Create(uint64_t fileId) = 0;
    // Returns ERROR_SUCCESS or the error DeviceIoControl reports.
    virtual DWORD IoControl(uint64_t fileId, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                            DWORD* bytesReturned) = 0;
    virtual void Close(uint64_t fileId) = 0;
};

struct KWIN_EXPORT DeviceInterfaceInfo {
    GUID category{};
    std::wstring path;  // what SetupDiGetDeviceInterfaceDetailW returns and CreateFileW opens
    std::shared_ptr<DeviceDriver> driver;
    // A disabled interface is not listed by SetupAPI and cannot be opened;
    // Plug and Play enables a new device's interfaces one by one
    // (AnnounceInterfaceArrival).
    bool enabled = true;
};

struct KWIN_EXPORT DeviceInfo {
    std::wstring instanceId;
    std::vector<std::wstring> hardwareIds;  // SPDRP_HARDWAREID, a multi-string
    std::vector<DeviceInterfaceInfo> interfaces;
    bool present = true;
    // Error of the SPDRP_HARDWAREID query of this device (0: answers normally).
    DWORD hardwareIdQueryError = 0;
    // Error of the second, filled SPDRP_HARDWAREID read (0: answers normally).
    DWORD hardwareIdReadError = 0;
};

// Adds a device at the end of the enumeration order.
KWIN_EXPORT void AddDevice(const DeviceInfo& device);
// Removes the device; false when no such instance ID is known.
KWIN_EXPORT bool RemoveDevice(const std::wstring& instanceId);
KWIN_EXPORT void ClearDevices();
// Runs inside SetupDiGetClassDevsW after the list is built (a test uses it to
// change the tree between two enumerations).
KWIN_EXPORT void SetClassDevsHook(std::function<void(int callNumber)> hook);

// ---- Kernel-side events -------------------------------------------------------

// An event object referenced by a driver from a handle the process gave it.
struct KernelEvent;
using EventRef = std::shared_ptr<KernelEvent>;
// Null when the handle is not an open event.
KWIN_EXPORT EventRef ReferenceEvent(HANDLE handle);
KWIN_EXPORT void SignalEvent(const EventRef& event);
// Consumes the signal if the event is signalled; returns whether it was.
KWIN_EXPORT bool TryConsumeEvent(const EventRef& event);
// Waits up to the time given for the event and consumes it; false on timeout.
KWIN_EXPORT bool WaitEvent(const EventRef& event, DWORD milliseconds);

// ---- Simulated processes ------------------------------------------------------------

// The entry point of one process of a program: wmain's signature.
using ProcessEntry = std::function<int(int argc, WCHAR** argv)>;
// Makes a program startable: called once for every process started from the
// image, it returns that process's entry (a fresh copy of the program, so
// that each process has its own process-wide state). May return an empty
// function when the program cannot be loaded (the start then fails with
// ERROR_BAD_EXE_FORMAT).
using ProgramLoader = std::function<ProcessEntry()>;
// Registers the program at a Windows path (compared without regard to case),
// e.g. L"C:\\Program Files\\SAVANTIX\\Lyrenta Vazozo\\KorvexS.exe".
KWIN_EXPORT void RegisterProgram(const std::wstring& imagePath, ProgramLoader loader);
KWIN_EXPORT void ClearPrograms();

struct KWIN_EXPORT ProcessStart {
    std::wstring imagePath;    // must be a registered program
    std::wstring commandLine;  // split into argv the way Windows does
    DWORD sessionId = 0;
    std::wstring desktop = L"WinSta0\\Default";  // the start-up record's desktop
    DWORD creationFlags = 0;
    bool startedByServiceManager = false;  // gets a working service dispatcher
    // The account its token names, and the privileges the token holds. An
    // empty user is LocalSystem with every privilege of that account.
    std::wstring user;
    std::vector<std::wstring> privileges;
    // "NAME=value" strings; empty: LocalSystem's environment.
    std::vector<std::wstring> environment;
};

// ---- Accounts -------------------------------------------------------------------------

// The service account's name in a token, and the privileges its processes hold.
inline const wchar_t kLocalSystem[] = L"SYSTEM";
KWIN_EXPORT std::vector<std::wstring> LocalSystemPrivileges();
// The privileges of a user's token that WTSQueryUserToken returns.
KWIN_EXPORT std::vector<std::wstring> UserPrivileges();
// The environment CreateEnvironmentBlock builds for the account.
KWIN_EXPORT std::vector<std::wstring> EnvironmentOf(const std::wstring& user);

// Starts a process the way CreateProcess does: its main thread runs the
// program's entry with the parsed command line. Returns the process and
// thread handles, owned by the calling process, in `info`; false with the
// error in `error` when the image is unknown or cannot be loaded.
KWIN_EXPORT bool StartProcess(const ProcessStart& start, PROCESS_INFORMATION* info, DWORD* error);

// What the machine knows of every process started since the last reset.
struct KWIN_EXPORT ProcessRecord {
    DWORD processId = 0;
    DWORD parentProcessId = 0;  // 0: started by the machine or a test
    std::wstring imagePath;
    std::wstring commandLine;
    std::vector<std::wstring> argv;
    DWORD sessionId = 0;
    std::wstring desktop;
    DWORD creationFlags = 0;
    bool startedByServiceManager = false;
    std::wstring user;                     // the account it runs as
    std::vector<std::wstring> privileges;  // what its token holds
    std::vector<std::wstring> environment;
    ULONGLONG startedAt = 0;               // on the machine's clock
    ULONGLONG endedAt = 0;                 // once finished
    bool finished = false;
    bool terminated = false;       // ended by TerminateProcess
    DWORD exitCode = STILL_ACTIVE;
    int handlesLeftAtExit = 0;     // handles the process had not closed when it ended
    // Its current window station and the main thread's current desktop, when
    // they were not the initial ones at its end: released by the system (the
    // process cannot close them), and not counted in handlesLeftAtExit.
    int currentStationAndDesktopAtExit = 0;
};
KWIN_EXPORT std::vector<ProcessRecord> ProcessHistory();
// The same, of the processes still running only; of one process (nothing
// when no process of that ID was started since the history's reset).
KWIN_EXPORT std::vector<ProcessRecord> RunningProcesses();
KWIN_EXPORT std::optional<ProcessRecord> ProcessRecordOf(DWORD processId);
KWIN_EXPORT void ResetProcessHistory();
// Waits until every process started so far has ended; false on timeout.
KWIN_EXPORT bool WaitAllProcessesEnded(DWORD milliseconds);

// Makes every call of the named function that targets the session fail with
// the error until cleared: "SetTokenInformation" (setting that session ID)
// and "CreateProcessAsUserW" (a token of that session).
KWIN_EXPORT void FailCallsForSession(const std::string& function, DWORD sessionId, DWORD error);
KWIN_EXPORT void ClearSessionFailures();
// Tokens opened with OpenProcessToken or made by DuplicateTokenEx, and how
// many were closed again.
struct KWIN_EXPORT TokenCalls {
    int opened = 0;
    int duplicated = 0;
    int restricted = 0;          // CreateRestrictedToken
    int userTokens = 0;          // WTSQueryUserToken
    int environmentBlocks = 0;   // created and not yet destroyed
};
KWIN_EXPORT TokenCalls Tokens();

// The Program Files folder that SHGetSpecialFolderPathW reports.
KWIN_EXPORT void SetProgramFilesFolder(const std::wstring& folder);

// ---- Service control manager --------------------------------------------------------

// Sends a control to the service running in the process, as the service
// control manager does, and waits for the handler's answer. The event data
// must stay valid until then. An answer later than kControlHandlerBoundMs
// is a time-out: ERROR_SERVICE_REQUEST_TIMEOUT (and recorded as such).
// Answers ERROR_SERVICE_NOT_ACTIVE when the
// process has no running dispatcher or its service has reported
// SERVICE_STOPPED, and ERROR_SERVICE_CANNOT_ACCEPT_CTRL (1061) while it has
// registered no handler. Unlike the real manager it does not filter by the
// controls the service accepts: tests see what the handler does with any.
KWIN_EXPORT DWORD SendServiceControl(DWORD processId, DWORD control, DWORD eventType = 0, void* eventData = nullptr);
// The service control manager gives a handler this long (machine time) to
// answer a control, counted from when the control is sent: a control queued
// behind a busy handler waits, and its wait counts.
inline constexpr DWORD kControlHandlerBoundMs = 30000;
struct KWIN_EXPORT ControlRecord {
    DWORD control = 0;
    DWORD eventType = 0;
    ULONGLONG sentAt = 0;      // machine milliseconds
    ULONGLONG answeredAt = 0;  // 0 while unanswered
    DWORD result = 0;
    bool timedOut = false;     // answered later than kControlHandlerBoundMs after it was sent
};
// Every control sent to the service of the process (device events included),
// in the order sent.
KWIN_EXPORT std::vector<ControlRecord> ServiceControls(DWORD processId);
// Every status the service of the process has reported, in order.
KWIN_EXPORT std::vector<SERVICE_STATUS> ServiceStatusHistory(DWORD processId);
// Waits until the service of the process has reported the state; false on timeout.
KWIN_EXPORT bool WaitServiceState(DWORD processId, DWORD state, DWORD milliseconds);
// The processes whose service has a registered handler: the recipients of
// device events, in the order they registered.
KWIN_EXPORT std::vector<DWORD> ServiceProcesses();
// Runs on the dispatcher's thread just before the handler gets each control
// (a test uses it to interleave work deterministically).
KWIN_EXPORT void SetServiceControlHook(std::function<void(DWORD processId, DWORD control, DWORD eventType)> hook);

// ---- Event log ---------------------------------------------------------------------------

struct KWIN_EXPORT EventLogEntry {
    std::wstring source;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::wstring> strings;
    DWORD rawDataSize = 0;
    bool hasUserSid = false;
    DWORD processId = 0;  // the process that reported it
};
KWIN_EXPORT std::vector<EventLogEntry> EventLog();
KWIN_EXPORT void ClearEventLog();
// RegisterEventSourceW calls that succeeded, and DeregisterEventSource calls.
struct KWIN_EXPORT EventSourceCalls {
    int registered = 0;
    int deregistered = 0;
};
KWIN_EXPORT EventSourceCalls EventSources();

// ---- SetEvent observer ------------------------------------------------------------------

// Called by every SetEvent that succeeds, on the calling thread, after the
// event is set and before SetEvent returns, with the handle it was given
// (events a driver signals through SignalEvent are not reported). Null turns
// it off. A test uses it to see the order of sets, or to act between two.
using EventSetHook = void (*)(HANDLE event);
KWIN_EXPORT void SetEventSetHook(EventSetHook hook);

}  // namespace kwin

// The machine's Plug and Play events and device notifications, and its
// sessions, window stations, desktops and windows.
#include "platform/posix/kernel_pnp.h"
#include "platform/posix/kernel_sessions.h"
