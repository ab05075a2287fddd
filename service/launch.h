// Starting programs in users' terminal-services sessions, each with a copy of
// the service's token moved into the target session.
#pragma once

#include "platform/win32.h"

struct DeviceNode;

// How long a force-close instance may take before it is ended, and how long
// its end is then awaited.
inline constexpr DWORD kForceCloseInstanceTimeoutMs = 30000;
// The most one LaunchForceCloseInstances call takes, whatever the windows of
// the sessions do.
inline constexpr DWORD kForceClosePassBoundMs = 20000;

// Starts the control panel in the active console session for each card from
// `first` up to, not including, `end` (null: to the end of the list), in list
// order. The caller holds deviceListLock.
void LaunchControlPanel(DeviceNode* first, DeviceNode* end);
// Starts a force-close instance for the card in every session, one after the
// other, each awaited before the next is started. `instanceId` becomes the
// whole command line and must be writable.
void LaunchForceCloseInstances(LPWSTR instanceId);
// A SERVICE_CONTROL_SESSIONCHANGE, handled to completion under deviceListLock.
void OnSessionChange(DWORD eventType);
