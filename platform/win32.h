// The one platform header of the product. On Windows it brings in the real
// system headers; elsewhere the stand-in's declarations of the same names.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <unknwn.h>
#include <setupapi.h>
#include <mmsystem.h>
#include <winioctl.h>
#include <ks.h>
#include <winsvc.h>
#include <dbt.h>
#include <wtsapi32.h>
#include <shlobj.h>
#include <userenv.h>

// Published in ksmedia.h through macros that need a GUID-instantiation unit;
// the value is all the product needs.
inline constexpr GUID KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
#else
#include "posix/win32_posix.h"
#endif

// Calling conventions of the ASIO binary interface. On 32-bit Windows a
// host built with Microsoft's compiler calls IASIO's own methods as thiscall
// (`this` in ECX, the callee pops its arguments) and the host's callbacks as
// plain cdecl; IUnknown's methods are __stdcall (STDMETHODCALLTYPE). 64-bit
// Windows has a single convention, and the stand-in needs none.
#if defined(_WIN32) && defined(__i386__)
#define KORVEX_THISCALL __thiscall
#define KORVEX_CDECL __cdecl
#else
#define KORVEX_THISCALL
#define KORVEX_CDECL
#endif

// MMCSS entry points, looked up by name in avrt.dll at run time.
typedef HANDLE(WINAPI* AvSetMmThreadCharacteristicsW_t)(LPCWSTR taskName, LPDWORD taskIndex);
typedef BOOL(WINAPI* AvRevertMmThreadCharacteristics_t)(HANDLE avrtHandle);

// An entry point from GetProcAddress as the function type it really has.
template <class Function>
Function ProcAddressAs(FARPROC address) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}
