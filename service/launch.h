// Starting programs in users' terminal-services sessions: the control panel
// as the user logged on to the console, force-close instances as the
// service's own account with every privilege removed.
#pragma once

#include "platform/win32.h"

struct DeviceNode;

// How long the force-close instances of one pass (one per session, all
// running at once) may take, counted from the start of the pass; the ones
// still running then are ended.
inline constexpr DWORD kForceCloseInstanceTimeoutMs = 12000;
// How long the end of the instances ended at the deadline is then awaited.
inline constexpr DWORD kForceCloseExitWaitMs = 2000;
// The most one LaunchForceCloseInstances call takes, whatever the windows of
// any session do: the two waits above and a margin for starting the
// instances and closing their handles. A control handler that makes one pass
// answers well within the service manager's 30 s.
inline constexpr DWORD kForceClosePassBoundMs = kForceCloseInstanceTimeoutMs + kForceCloseExitWaitMs + 1000;

// Starts the control panel, as the user logged on to the active console
// session, with that user's environment, for each card from
// `first` up to, not including, `end` (null: to the end of the list), in list
// order. Nothing is started (and nothing logged) when nobody is logged on to
// the console. The caller holds deviceListLock.
void LaunchControlPanel(DeviceNode* first, DeviceNode* end);
// Starts a force-close instance for the card in every session, all at once,
// and returns when each has ended or has been ended at the deadline (at most
// kForceClosePassBoundMs). `instanceId` becomes the whole command line and
// must be writable.
void LaunchForceCloseInstances(LPWSTR instanceId);
// A SERVICE_CONTROL_SESSIONCHANGE, handled to completion under deviceListLock.
void OnSessionChange(DWORD eventType);
