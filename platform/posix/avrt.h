// The simulated avrt.dll, as the module calls see it.
#pragma once

#include "platform/posix/win32_posix.h"

namespace kwin {

// The module handle LoadLibraryW gives out for avrt.dll.
HMODULE AvrtModule();
// Whether LoadLibraryW finds the module at all (SetAvrtPresent).
bool AvrtPresent();

// LoadLibraryW and FreeLibrary references; FreeLibrary's false means none left.
void AddAvrtReference();
bool ReleaseAvrtReference();
int AvrtReferences();

// The module's exports by name; null when it has no such export.
FARPROC AvrtExport(LPCSTR name);

}  // namespace kwin
