// The list of supported cards that are present, and its reaction to device
// events.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <mutex>

struct DeviceNode {
    // The card's first KSCATEGORY_AUDIO interface; INVALID_HANDLE_VALUE when
    // it could not be opened and once it has been closed for a removal.
    HANDLE deviceHandle;
    // The handle notification for deviceHandle. Handle events are matched by
    // it: Windows hands a closed handle's value out again, so the value
    // names no card once closed. Kept from a query-remove until the removal
    // completes or fails, since the events that follow come through it.
    HDEVNOTIFY notifyHandle;
    LONG closedForRemoval;  // 0 or 1
    DeviceNode* next;
    // The device instance ID, stored in the node's own allocation.
    WCHAR instanceId[1];
};

// Dummy head node first; cards follow in the order they were added. Null
// before start-up has built it and after shut-down has freed it.
extern DeviceNode* deviceList;
// The registration for every device-interface event, held from start-up to
// shut-down.
extern HDEVNOTIFY interfaceNotify;
// Guards deviceList and every node on it: the control handler and the
// service thread both work on the list.
extern std::mutex deviceListLock;

// One zero-filled allocation from the process heap for a node whose ID has
// `idChars` characters, terminator counted; null when memory runs out.
// Released with FreeDeviceNode.
DeviceNode* AllocateDeviceNode(size_t idChars);
void FreeDeviceNode(DeviceNode* node);

// Appends a node per present supported card that is not listed yet, each
// logged. The head node exists; the caller holds deviceListLock.
void BuildDeviceList();
// Opens the node's first KSCATEGORY_AUDIO interface into deviceHandle
// (INVALID_HANDLE_VALUE when it cannot be opened).
void OpenCard(DeviceNode* node);
// Registers handle notifications for deviceHandle into notifyHandle (null
// when the registration fails).
void WatchHandle(DeviceNode* node);
// OpenCard, then WatchHandle once the card is open. A handle that cannot be
// watched is closed again: held unwatched, it would veto the card's removal
// without the service ever hearing of it.
void OpenAndWatchCard(DeviceNode* node);
// Registers for the events of every device-interface class; null on failure.
HDEVNOTIFY RegisterInterfaceNotification();

// The listed card with this instance ID (ASCII letters without regard to
// case), or null. The caller holds deviceListLock.
DeviceNode* FindCard(const WCHAR* instanceId);
// Closes the card's handle if still open and takes it off the list; the
// caller holds deviceListLock, and then, without it, unregisters the card's
// notification and frees it (ForgetCard).
void UnlistCard(DeviceNode* node);
void ForgetCard(DeviceNode* node);

// Converts a device-interface name to the instance ID of its device: the
// part between the four-character prefix and the last '#', with '#' turned
// back into '\'. Returns a malloc'ed string owned by the caller (release with
// free()) and stores its length in characters, terminator counted; null
// (length 0) when memory runs out.
WCHAR* InterfaceNameToInstanceId(const WCHAR* name, size_t* length);
bool IsSupportedCard(const WCHAR* id);

// A SERVICE_CONTROL_DEVICEEVENT, handled to completion under deviceListLock.
void OnDeviceEvent(DWORD eventType, LPVOID eventData);
