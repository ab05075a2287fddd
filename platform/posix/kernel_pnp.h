// The machine's Plug and Play manager: device arrivals and removals as the
// device notifications of services see them. Every event is delivered
// synchronously, one record at a time, to each registered recipient's
// handler (SERVICE_CONTROL_DEVICEEVENT); events are serialised, so do not
// call these from inside a recipient's handler or a hook that runs there
// (use the Async forms).
#pragma once

#include "platform/posix/win32_posix.h"

#include <functional>
#include <future>
#include <string>
#include <vector>

#if !defined(KWIN_EXPORT)
#if defined(KWIN_BUILDING)
#define KWIN_EXPORT __attribute__((visibility("default")))
#else
#define KWIN_EXPORT
#endif
#endif

namespace kwin {

// One DBT_DEVICEARRIVAL per interface of the device (in the tree's order, of
// every class) to every registration for all interface classes, and to
// registrations for that interface class. Returns how many records were
// delivered; 0 when the device is unknown.
KWIN_EXPORT int AnnounceDeviceArrival(const std::wstring& instanceId);
KWIN_EXPORT std::future<int> AnnounceDeviceArrivalAsync(std::wstring instanceId);
// Enables interface `index` of the device (in its DeviceInfo order) and
// delivers its DBT_DEVICEARRIVAL, as Plug and Play does for each interface of
// a device that is starting; AnnounceDeviceArrival announces the enabled ones
// only. Returns how many records were delivered; -1 when there is no such
// device or interface.
KWIN_EXPORT int AnnounceInterfaceArrival(const std::wstring& instanceId, size_t index);

struct KWIN_EXPORT RemovalResult {
    bool removed = false;            // the device left the tree
    bool vetoedByRecipient = false;  // a handler answered BROADCAST_QUERY_DENY
    int handlesStillOpen = 0;        // device files still open on the removed device
};

// A removal that asks first: DBT_DEVICEQUERYREMOVE to every handle
// registration on the device, then, when vetoed (by another program or by a
// recipient), DBT_DEVICEQUERYREMOVEFAILED to the same registrations;
// otherwise DBT_DEVICEREMOVECOMPLETE to them and to the interface
// registrations for each of the device's interfaces, and the device leaves
// the tree.
KWIN_EXPORT RemovalResult RequestDeviceRemoval(const std::wstring& instanceId, bool vetoedByOtherProgram);
KWIN_EXPORT std::future<RemovalResult> RequestDeviceRemovalAsync(std::wstring instanceId,
                                                                 bool vetoedByOtherProgram);
// The same removal in its two halves, with other events free to come in
// between, as they can on Windows: the query (and its failure when vetoed;
// `removed` is false either way), after which a consented device is no
// longer present; then the completion, as RequestDeviceRemoval ends.
KWIN_EXPORT RemovalResult QueryDeviceRemoval(const std::wstring& instanceId, bool vetoedByOtherProgram);
KWIN_EXPORT RemovalResult CompleteDeviceRemoval(const std::wstring& instanceId);
// The device is gone without a query: DBT_DEVICEREMOVECOMPLETE to the handle
// registrations and the interface registrations, and it leaves the tree.
KWIN_EXPORT RemovalResult SurpriseRemoveDevice(const std::wstring& instanceId);
KWIN_EXPORT std::future<RemovalResult> SurpriseRemoveDeviceAsync(std::wstring instanceId);
// The same, for a device nobody holds (another vendor's): false when unknown.
KWIN_EXPORT bool AnnounceDeviceRemoval(const std::wstring& instanceId);

// One delivered record, as the machine saw it.
struct KWIN_EXPORT DeviceEventDelivery {
    DWORD processId = 0;  // the recipient service's process
    DWORD eventType = 0;  // DBT_*
    DWORD deviceType = 0; // DBT_DEVTYP_*
    std::wstring name;    // interface records: dbcc_name
    GUID classGuid{};     // interface records: dbcc_classguid
    HANDLE handle = nullptr;        // handle records: dbch_handle
    HDEVNOTIFY notify = nullptr;    // handle records: dbch_hdevnotify
    DWORD result = 0;     // the handler's answer
};
KWIN_EXPORT std::vector<DeviceEventDelivery> DeviceEventHistory();
KWIN_EXPORT void ResetDeviceEventHistory();

// A registration open now, in registration order.
struct KWIN_EXPORT DeviceNotificationInfo {
    DWORD processId = 0;       // the recipient service's process
    HDEVNOTIFY notify = nullptr;
    DWORD deviceType = 0;      // DBT_DEVTYP_HANDLE or DBT_DEVTYP_DEVICEINTERFACE
    bool allInterfaceClasses = false;
    GUID classGuid{};
    HANDLE deviceHandle = nullptr;  // handle registrations: the handle as registered
    std::wstring instanceId;        // handle registrations: the device it was opened on
};
KWIN_EXPORT std::vector<DeviceNotificationInfo> DeviceNotificationRegistrations();

// The calls since the last reset.
struct KWIN_EXPORT DeviceNotificationCalls {
    int registered = 0;    // RegisterDeviceNotificationW calls that succeeded
    int unregistered = 0;  // UnregisterDeviceNotification calls that succeeded
};
KWIN_EXPORT DeviceNotificationCalls DeviceNotifications();
KWIN_EXPORT void ResetDeviceNotificationCalls();

// Runs on the calling thread at the entry of RegisterDeviceNotificationW
// ("register", null handle) and UnregisterDeviceNotification ("unregister",
// with the handle), before anything is checked, and once a registration has
// been made ("registered", with its handle); a test uses it to interleave
// device events with the caller's work. Null clears it.
KWIN_EXPORT void SetDeviceNotificationHook(std::function<void(const char* call, HDEVNOTIFY handle)> hook);

}  // namespace kwin
