// The stand-in's declarations of what the service uses beyond the kernel
// calls: the service control manager, the event log, registered window
// messages, device notifications, terminal-services sessions, tokens and
// processes, the shell folder query, window stations, desktops and windows.
// Records keep Windows' 64-bit layout where their size is part of the contract
// (STARTUPINFOW 104 bytes, DEV_BROADCAST_HANDLE 56).
#pragma once

#include "win32_posix.h"

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef DWORD ACCESS_MASK;
typedef void* PSID;
typedef void* HDEVNOTIFY;
typedef GUID* LPGUID;
typedef int errno_t;
struct SERVICE_STATUS_HANDLE__;
typedef SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;
struct HWINSTA__;
typedef HWINSTA__* HWINSTA;
struct HDESK__;
typedef HDESK__* HDESK;

#define MAX_PATH 260
#define NO_ERROR 0u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INVALID_SERVICE_CONTROL 1052u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_SERVICE_ALREADY_RUNNING 1056u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_TIMEOUT 1460u
#define ERROR_PRIVILEGE_NOT_HELD 1314u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_NO_TOKEN 1008u

// ---- Services -----------------------------------------------------------------

#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_CONTINUE_PENDING 0x00000005u
#define SERVICE_PAUSE_PENDING 0x00000006u
#define SERVICE_PAUSED 0x00000007u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002u
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004u
#define SERVICE_ACCEPT_PARAMCHANGE 0x00000008u
#define SERVICE_ACCEPT_SESSIONCHANGE 0x00000080u
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_CONTINUE 0x00000003u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_CONTROL_SHUTDOWN 0x00000005u
#define SERVICE_CONTROL_PARAMCHANGE 0x00000006u
#define SERVICE_CONTROL_DEVICEEVENT 0x0000000Bu
#define SERVICE_CONTROL_SESSIONCHANGE 0x0000000Eu

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD dwNumServicesArgs, LPWSTR* lpServiceArgVectors);
typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                             LPVOID lpContext);
struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};
typedef SERVICE_TABLE_ENTRYW* LPSERVICE_TABLE_ENTRYW;

// ---- Event log --------------------------------------------------------------------

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

// ---- Device notifications -----------------------------------------------------------

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000u
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001u
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004u
#define DBT_DEVICEARRIVAL 0x8000u
#define DBT_DEVICEQUERYREMOVE 0x8001u
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002u
#define DBT_DEVICEREMOVEPENDING 0x8003u
#define DBT_DEVICEREMOVECOMPLETE 0x8004u
#define DBT_CUSTOMEVENT 0x8006u
#define DBT_DEVTYP_OEM 0x00000000u
#define DBT_DEVTYP_VOLUME 0x00000002u
#define DBT_DEVTYP_PORT 0x00000003u
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005u
#define DBT_DEVTYP_HANDLE 0x00000006u
#define BROADCAST_QUERY_DENY 0x424D5144u

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
typedef DEV_BROADCAST_HDR* PDEV_BROADCAST_HDR;

struct DEV_BROADCAST_HANDLE {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
    HDEVNOTIFY dbch_hdevnotify;
    GUID dbch_eventguid;
    LONG dbch_nameoffset;
    BYTE dbch_data[1];
};
typedef DEV_BROADCAST_HANDLE* PDEV_BROADCAST_HANDLE;
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "DEV_BROADCAST_HANDLE is 56 bytes in a 64-bit process");

// WCHAR is 4 bytes here and 2 on Windows; the record is 32 bytes either way.
struct DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
};
typedef DEV_BROADCAST_DEVICEINTERFACE_W* PDEV_BROADCAST_DEVICEINTERFACE_W;
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "DEV_BROADCAST_DEVICEINTERFACE_W is 32 bytes");

// ---- Terminal-services sessions -------------------------------------------------------

#define WTS_CURRENT_SERVER_HANDLE ((HANDLE) nullptr)
#define WTS_CONSOLE_CONNECT 0x1u
#define WTS_CONSOLE_DISCONNECT 0x2u
#define WTS_REMOTE_CONNECT 0x3u
#define WTS_REMOTE_DISCONNECT 0x4u
#define WTS_SESSION_LOGON 0x5u
#define WTS_SESSION_LOGOFF 0x6u
#define WTS_SESSION_LOCK 0x7u
#define WTS_SESSION_UNLOCK 0x8u

enum WTS_CONNECTSTATE_CLASS {
    WTSActive,
    WTSConnected,
    WTSConnectQuery,
    WTSShadow,
    WTSDisconnected,
    WTSIdle,
    WTSListen,
    WTSReset,
    WTSDown,
    WTSInit
};
struct WTS_SESSION_INFOW {
    DWORD SessionId;
    LPWSTR pWinStationName;
    WTS_CONNECTSTATE_CLASS State;
};
typedef WTS_SESSION_INFOW* PWTS_SESSION_INFOW;

// ---- Tokens and processes -----------------------------------------------------------------

#define TOKEN_ALL_ACCESS 0x000F01FFu
#define MAXIMUM_ALLOWED 0x02000000u
#define NORMAL_PRIORITY_CLASS 0x00000020u
#define CREATE_UNICODE_ENVIRONMENT 0x00000400u
#define CREATE_NO_WINDOW 0x08000000u
#define DISABLE_MAX_PRIVILEGE 0x1u
#define CSIDL_PROGRAM_FILES 0x0026

enum SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
};
enum TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation };
struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
typedef LUID_AND_ATTRIBUTES* PLUID_AND_ATTRIBUTES;
struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};
typedef SID_AND_ATTRIBUTES* PSID_AND_ATTRIBUTES;
enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenSessionId = 12 };

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
typedef STARTUPINFOW* LPSTARTUPINFOW;
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW is 104 bytes in a 64-bit process");

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

// ---- Windows ------------------------------------------------------------------------------

#define WM_APP 0x8000u
#define SMTO_NORMAL 0x0000u
#define SMTO_BLOCK 0x0001u
#define SMTO_ABORTIFHUNG 0x0002u
#define SMTO_NOTIMEOUTIFNOTHUNG 0x0008u
typedef DWORD_PTR* PDWORD_PTR;

typedef BOOL(CALLBACK* WINSTAENUMPROCW)(LPWSTR lpszWindowStation, LPARAM lParam);
typedef BOOL(CALLBACK* DESKTOPENUMPROCW)(LPWSTR lpszDesktop, LPARAM lParam);
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND hwnd, LPARAM lParam);

extern "C" {

// Services.
KWINAPI_EXPORT BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable);
KWINAPI_EXPORT SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                                          LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                                          LPVOID lpContext);
KWINAPI_EXPORT BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);

// Event log.
KWINAPI_EXPORT HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
KWINAPI_EXPORT BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                                        WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData);
KWINAPI_EXPORT BOOL WINAPI DeregisterEventSource(HANDLE hEventLog);

// Registered window messages: one number per name for every process.
KWINAPI_EXPORT UINT WINAPI RegisterWindowMessageW(LPCWSTR lpString);

// Device notifications and setup classes.
KWINAPI_EXPORT HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter,
                                                             DWORD Flags);
KWINAPI_EXPORT BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
KWINAPI_EXPORT BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList,
                                                      DWORD ClassGuidListSize, PDWORD RequiredSize);

// Sessions.
KWINAPI_EXPORT DWORD WINAPI WTSGetActiveConsoleSessionId(void);
KWINAPI_EXPORT BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                                 PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount);
KWINAPI_EXPORT void WINAPI WTSFreeMemory(PVOID pMemory);
// The primary token of the user logged on to the session; needs the
// privilege to act as part of the operating system. ERROR_NO_TOKEN when
// nobody is logged on.
KWINAPI_EXPORT BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken);

// Tokens and processes.
KWINAPI_EXPORT HANDLE WINAPI GetCurrentProcess(void);
KWINAPI_EXPORT DWORD WINAPI GetCurrentProcessId(void);
KWINAPI_EXPORT BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
KWINAPI_EXPORT BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess,
                                            LPSECURITY_ATTRIBUTES lpTokenAttributes,
                                            SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                                            PHANDLE phNewToken);
KWINAPI_EXPORT BOOL WINAPI CreateRestrictedToken(HANDLE ExistingTokenHandle, DWORD Flags, DWORD DisableSidCount,
                                                 PSID_AND_ATTRIBUTES SidsToDisable, DWORD DeletePrivilegeCount,
                                                 PLUID_AND_ATTRIBUTES PrivilegesToDelete, DWORD RestrictedSidCount,
                                                 PSID_AND_ATTRIBUTES SidsToRestrict, PHANDLE NewTokenHandle);
// The environment of the token's user, UTF-16 (CREATE_UNICODE_ENVIRONMENT).
KWINAPI_EXPORT BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit);
KWINAPI_EXPORT BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment);
KWINAPI_EXPORT BOOL WINAPI SetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                               LPVOID TokenInformation, DWORD TokenInformationLength);
KWINAPI_EXPORT BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                                LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                                LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                                DWORD dwCreationFlags, LPVOID lpEnvironment,
                                                LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                                LPPROCESS_INFORMATION lpProcessInformation);
KWINAPI_EXPORT BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
KWINAPI_EXPORT BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
KWINAPI_EXPORT LPWSTR WINAPI GetCommandLineW(void);
KWINAPI_EXPORT LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
KWINAPI_EXPORT HANDLE WINAPI LocalFree(HANDLE hMem);
KWINAPI_EXPORT DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
KWINAPI_EXPORT BOOL WINAPI SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);

// The C runtime's bounded append: 0, or EINVAL/ERANGE with the destination
// emptied (the runtime's invalid-parameter handler is not modelled).
KWINAPI_EXPORT errno_t wcscat_s(WCHAR* strDestination, size_t numberOfElements, const WCHAR* strSource);

// Window stations, desktops, windows.
KWINAPI_EXPORT BOOL WINAPI EnumWindowStationsW(WINSTAENUMPROCW lpEnumFunc, LPARAM lParam);
KWINAPI_EXPORT HWINSTA WINAPI OpenWindowStationW(LPCWSTR lpszWinSta, BOOL fInherit, ACCESS_MASK dwDesiredAccess);
KWINAPI_EXPORT HWINSTA WINAPI GetProcessWindowStation(void);
KWINAPI_EXPORT BOOL WINAPI SetProcessWindowStation(HWINSTA hWinSta);
KWINAPI_EXPORT BOOL WINAPI CloseWindowStation(HWINSTA hWinSta);
KWINAPI_EXPORT BOOL WINAPI EnumDesktopsW(HWINSTA hwinsta, DESKTOPENUMPROCW lpEnumFunc, LPARAM lParam);
KWINAPI_EXPORT HDESK WINAPI OpenDesktopW(LPCWSTR lpszDesktop, DWORD dwFlags, BOOL fInherit,
                                         ACCESS_MASK dwDesiredAccess);
KWINAPI_EXPORT HDESK WINAPI GetThreadDesktop(DWORD dwThreadId);
KWINAPI_EXPORT BOOL WINAPI SetThreadDesktop(HDESK hDesktop);
KWINAPI_EXPORT BOOL WINAPI CloseDesktop(HDESK hDesktop);
KWINAPI_EXPORT BOOL WINAPI EnumDesktopWindows(HDESK hDesktop, WNDENUMPROC lpfn, LPARAM lParam);
KWINAPI_EXPORT HANDLE WINAPI GetPropW(HWND hWnd, LPCWSTR lpString);
KWINAPI_EXPORT BOOL WINAPI SetPropW(HWND hWnd, LPCWSTR lpString, HANDLE hData);
KWINAPI_EXPORT HANDLE WINAPI RemovePropW(HWND hWnd, LPCWSTR lpString);
KWINAPI_EXPORT LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
KWINAPI_EXPORT LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                                  UINT uTimeout, PDWORD_PTR lpdwResult);

}  // extern "C"
