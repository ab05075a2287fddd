// The stand-in's declarations of the Win32 names that the product uses, for
// the Linux build. Types keep Windows' sizes where the product depends on them
// (DWORD, LONG and BOOL are 32-bit, handles are pointers); WCHAR is the host
// wchar_t, so L"..." literals work unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

#if defined(KWIN_BUILDING)
#define KWINAPI_EXPORT __attribute__((visibility("default")))
#else
#define KWINAPI_EXPORT
#endif

#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define APIENTRY
#define DECLSPEC_NOTHROW

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef BOOL* PBOOL;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef int32_t HRESULT;
typedef UINT MMRESULT;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HWND__;
typedef HWND__* HWND;
typedef void* HDEVINFO;
typedef intptr_t(WINAPI* FARPROC)();

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define STILL_ACTIVE 259u

#define CREATE_SUSPENDED 0x00000004u
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_DATA 13u
#define ERROR_NO_SYSTEM_RESOURCES 1450u

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001u)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111u)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define TIMERR_NOERROR 0u
#define TIMERR_NOCANDO 97u

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_HARDWAREID 0x00000001u
#define REG_MULTI_SZ 7u

#define FILE_DEVICE_KS 0x0000002Fu
#define IOCTL_KS_PROPERTY 0x002F0003u
#define KSPROPERTY_TYPE_GET 0x00000001u
#define KSPROPERTY_TYPE_SET 0x00000002u

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 && a.Data4[0] == b.Data4[0] &&
           a.Data4[1] == b.Data4[1] && a.Data4[2] == b.Data4[2] && a.Data4[3] == b.Data4[3] &&
           a.Data4[4] == b.Data4[4] && a.Data4[5] == b.Data4[5] && a.Data4[6] == b.Data4[6] &&
           a.Data4[7] == b.Data4[7];
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// COM's base interfaces: exactly the published table entries, no destructor.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_W* PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

struct KSPROPERTY {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
typedef KSPROPERTY* PKSPROPERTY;
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY is 24 bytes");

extern "C" {

// The process heap. HeapAlloc reports a failure with a null result and
// leaves the last error alone, as Windows does without HEAP_GENERATE_EXCEPTIONS.
#define HEAP_ZERO_MEMORY 0x00000008
KWINAPI_EXPORT HANDLE WINAPI GetProcessHeap(void);
KWINAPI_EXPORT LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
KWINAPI_EXPORT BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// Handles, events, waits. Marked functions are safe for the real-time path:
// they take no allocation (the stand-in's locks are its kernel's business).
KWINAPI_EXPORT BOOL WINAPI CloseHandle(HANDLE hObject);
KWINAPI_EXPORT HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                          LPCWSTR name);
KWINAPI_EXPORT BOOL WINAPI SetEvent(HANDLE hEvent);    // real-time safe
KWINAPI_EXPORT BOOL WINAPI ResetEvent(HANDLE hEvent);  // real-time safe
KWINAPI_EXPORT DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD milliseconds);  // real-time safe
KWINAPI_EXPORT DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                                   DWORD milliseconds);  // real-time safe
KWINAPI_EXPORT DWORD WINAPI GetLastError(void);
KWINAPI_EXPORT void WINAPI SetLastError(DWORD errorCode);

// Threads.
KWINAPI_EXPORT HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                          LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                                          LPDWORD threadId);
KWINAPI_EXPORT DWORD WINAPI ResumeThread(HANDLE hThread);
KWINAPI_EXPORT BOOL WINAPI SetThreadPriority(HANDLE hThread, int priority);
KWINAPI_EXPORT int WINAPI GetThreadPriority(HANDLE hThread);
KWINAPI_EXPORT BOOL WINAPI TerminateThread(HANDLE hThread, DWORD exitCode);
KWINAPI_EXPORT BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD exitCode);
KWINAPI_EXPORT HANDLE WINAPI GetCurrentThread(void);
KWINAPI_EXPORT DWORD WINAPI GetCurrentThreadId(void);
KWINAPI_EXPORT void WINAPI Sleep(DWORD milliseconds);

// Interlocked operations on 32-bit values.
KWINAPI_EXPORT LONG WINAPI InterlockedIncrement(LONG volatile* addend);
KWINAPI_EXPORT LONG WINAPI InterlockedDecrement(LONG volatile* addend);
KWINAPI_EXPORT LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);
KWINAPI_EXPORT LONG WINAPI InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);

// winmm.
KWINAPI_EXPORT MMRESULT WINAPI timeBeginPeriod(UINT period);
KWINAPI_EXPORT MMRESULT WINAPI timeEndPeriod(UINT period);
KWINAPI_EXPORT DWORD WINAPI timeGetTime(void);  // real-time safe
KWINAPI_EXPORT ULONGLONG WINAPI GetTickCount64(void);  // on the machine's clock (kwin::SetTimeScale)

// Modules.
KWINAPI_EXPORT HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
KWINAPI_EXPORT HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
KWINAPI_EXPORT FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
KWINAPI_EXPORT BOOL WINAPI FreeLibrary(HMODULE module);
KWINAPI_EXPORT BOOL WINAPI DisableThreadLibraryCalls(HMODULE module);
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u
// Only FROM_ADDRESS is supported: `moduleName` is an address inside the
// module. A shared object gets a reference unless UNCHANGED_REFCOUNT is given.
KWINAPI_EXPORT BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module);
// Ends a thread CreateThread made; on another thread it ends the pthread.
[[noreturn]] KWINAPI_EXPORT void WINAPI ExitThread(DWORD exitCode);
[[noreturn]] KWINAPI_EXPORT void WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);

// SetupAPI.
KWINAPI_EXPORT HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                                    DWORD flags);
KWINAPI_EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                                                 PSP_DEVINFO_DATA deviceInfoData);
KWINAPI_EXPORT BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                             DWORD property, PDWORD propertyRegDataType,
                                                             PBYTE propertyBuffer, DWORD propertyBufferSize,
                                                             PDWORD requiredSize);
KWINAPI_EXPORT BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                       PWSTR deviceInstanceId, DWORD deviceInstanceIdSize,
                                                       PDWORD requiredSize);
KWINAPI_EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                       const GUID* interfaceClassGuid, DWORD memberIndex,
                                                       PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
KWINAPI_EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceInfoSet,
                                                            PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                                            PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                            DWORD detailSize, PDWORD requiredSize,
                                                            PSP_DEVINFO_DATA deviceInfoData);
KWINAPI_EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

// Device files.
KWINAPI_EXPORT HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                         LPSECURITY_ATTRIBUTES attributes, DWORD creationDisposition,
                                         DWORD flagsAndAttributes, HANDLE templateFile);
KWINAPI_EXPORT BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                                           LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                                           LPOVERLAPPED overlapped);

}  // extern "C"

#include "win32_posix_service.h"
