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
    int other = 0;
    bool operator==(const HandleCounts&) const = default;
};
KWIN_EXPORT HandleCounts OpenHandles();

// timeBeginPeriod calls minus timeEndPeriod calls, per period value summed.
KWIN_EXPORT int ActiveTimerPeriods();
KWIN_EXPORT int TimerPeriodBeginCalls();

// ---- Clock -----------------------------------------------------------------

// While set, timeGetTime returns the value instead of the real clock.
KWIN_EXPORT void SetTimeGetTimeOverride(std::optional<DWORD> milliseconds);

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

// ---- Threads ----------------------------------------------------------------

struct KWIN_EXPORT ThreadRecord {
    DWORD threadId = 0;
    int priority = 0;                  // the priority set on it, last value
    bool prioritySetWhileSuspended = false;
    bool terminated = false;           // ended by TerminateThread
    bool finished = false;             // ran off its start routine or was terminated
};
// Every thread made with CreateThread since the last ResetThreadHistory.
KWIN_EXPORT std::vector<ThreadRecord> ThreadHistory();
KWIN_EXPORT void ResetThreadHistory();

// ---- Injected failures ------------------------------------------------------

// Makes the n-th call from now (1 = the next) of the named stand-in function
// fail with the given last-error value. Names are the Win32 names, for
// instance "SetupDiGetClassDevsW" or "CreateThread".
KWIN_EXPORT void FailCall(const std::string& function, int nthCall, DWORD error);
KWIN_EXPORT void ClearInjectedFailures();

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

}  // namespace kwin
