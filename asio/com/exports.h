// The exports of KorvexASIO, as a host or a test calls them.
#pragma once

#include "platform/win32.h"

#if defined(_WIN32) || !defined(KORVEX_EXPORTING)
#define KORVEX_EXPORT
#else
#define KORVEX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KORVEX_EXPORT HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
extern "C" KORVEX_EXPORT HRESULT WINAPI DllCanUnloadNow(void);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
