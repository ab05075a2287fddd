// The list of supported cards that are present, and its reaction to device
// events.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <mutex>

struct DeviceNode {
    // The card's first KSCATEGORY_AUDIO interface. After a query-remove the
    // handle is closed but the value stays: the later notifications of the
    // same registration carry it.
    HANDLE deviceHandle;
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

// One zero-filled allocation for a node whose ID has `idChars` characters,
// terminator counted. Released with free().
DeviceNode* AllocateDeviceNode(size_t idChars);

// Creates the head node and appends a node per present supported card, each
// logged. The caller holds deviceListLock.
void BuildDeviceList();
// Opens the node's first KSCATEGORY_AUDIO interface into deviceHandle
// (INVALID_HANDLE_VALUE when it cannot be opened).
void OpenCard(DeviceNode* node);
// Registers handle notifications for deviceHandle into notifyHandle (null
// when the registration fails).
void WatchHandle(DeviceNode* node);
// Registers for the events of every device-interface class; null on failure.
HDEVNOTIFY RegisterInterfaceNotification();

// Converts a device-interface name to the instance ID of its device: the
// part between the four-character prefix and the last '#', with '#' turned
// back into '\'. Returns a malloc'ed string owned by the caller (release with
// free()) and stores its length in characters, terminator counted; null
// (length 0) when memory runs out.
WCHAR* InterfaceNameToInstanceId(const WCHAR* name, size_t* length);
bool IsSupportedCard(const WCHAR* id);

// A SERVICE_CONTROL_DEVICEEVENT, handled to completion under deviceListLock.
void OnDeviceEvent(DWORD eventType, LPVOID eventData);
