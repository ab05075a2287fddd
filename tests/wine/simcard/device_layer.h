// Forced into every driver source of the simcard build: the calls through
// which the driver reaches a card go to the simulated card inside the DLL
// (device_layer.cpp) instead of SetupAPI and the I/O manager. Everything else
// stays the system's own.
#pragma once

#include "platform/win32.h"

HDEVINFO WINAPI KorvexSimcard_SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI KorvexSimcard_SetupDiDestroyDeviceInfoList(HDEVINFO list);
BOOL WINAPI KorvexSimcard_SetupDiEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info);
BOOL WINAPI KorvexSimcard_SetupDiGetDeviceRegistryPropertyW(HDEVINFO list, PSP_DEVINFO_DATA info, DWORD property,
                                                            PDWORD type, PBYTE buffer, DWORD size, PDWORD required);
BOOL WINAPI KorvexSimcard_SetupDiGetDeviceInstanceIdW(HDEVINFO list, PSP_DEVINFO_DATA info, PWSTR id, DWORD size,
                                                      PDWORD required);
BOOL WINAPI KorvexSimcard_SetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA info, const GUID* category,
                                                      DWORD index, PSP_DEVICE_INTERFACE_DATA data);
BOOL WINAPI KorvexSimcard_SetupDiGetDeviceInterfaceDetailW(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                           PDWORD required, PSP_DEVINFO_DATA info);
HANDLE WINAPI KorvexSimcard_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                        DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI KorvexSimcard_DeviceIoControl(HANDLE file, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                          DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL WINAPI KorvexSimcard_CloseHandle(HANDLE handle);

#define SetupDiGetClassDevsW KorvexSimcard_SetupDiGetClassDevsW
#define SetupDiDestroyDeviceInfoList KorvexSimcard_SetupDiDestroyDeviceInfoList
#define SetupDiEnumDeviceInfo KorvexSimcard_SetupDiEnumDeviceInfo
#define SetupDiGetDeviceRegistryPropertyW KorvexSimcard_SetupDiGetDeviceRegistryPropertyW
#define SetupDiGetDeviceInstanceIdW KorvexSimcard_SetupDiGetDeviceInstanceIdW
#define SetupDiEnumDeviceInterfaces KorvexSimcard_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailW KorvexSimcard_SetupDiGetDeviceInterfaceDetailW
#define CreateFileW KorvexSimcard_CreateFileW
#define DeviceIoControl KorvexSimcard_DeviceIoControl
#define CloseHandle KorvexSimcard_CloseHandle
