// GetLastError and SetLastError: one value per thread.
#include "platform/posix/object.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

namespace kwin {
void SetLastErrorValue(DWORD error) { lastError = error; }
}  // namespace kwin

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }
extern "C" void WINAPI SetLastError(DWORD errorCode) { lastError = errorCode; }
