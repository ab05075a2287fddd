// Failures that a test injects into stand-in calls (kwin::FailCall).
#pragma once

#include "win32_posix.h"

namespace kwin {

// Counts one call of the named Win32 function and says whether it must fail.
// When it must, it also sets the calling thread's last error to the injected
// value; the caller then returns its failure value. Call it at entry.
// Allocation-free and cheap while nothing is armed (real-time safe).
bool ShouldFail(const char* function);

// The same for a caller that reports the error some other way (a driver
// status, an HRESULT): the injected error goes to `error`, the last error is
// left alone.
bool ShouldFail(const char* function, DWORD& error);

}  // namespace kwin
