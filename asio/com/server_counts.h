// Process-wide counts that decide whether the library may be unloaded.
#pragma once

#include "platform/win32.h"

namespace korvex {

// Objects derived from AggregatableUnknown that exist; changed only with
// interlocked operations. Class factories are not counted.
extern volatile LONG liveObjectCount;
// LockServer(TRUE) calls minus LockServer(FALSE) calls; may go negative.
extern volatile LONG serverLockCount;

}  // namespace korvex
