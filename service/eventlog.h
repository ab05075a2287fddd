// Reports to the Windows event log under the source "KorvexS". The texts live
// in the message table of the program file; a report passes only the variable
// part (an instance ID or the name of the call that failed).
#pragma once

#include "platform/win32.h"

// Message IDs: severity in the top two bits, facility in bits 16 to 27, code
// in the low 16 bits (the event number that viewers show).
inline constexpr DWORD MSG_DEVICE_ARRIVED = 0x40000002u;
inline constexpr DWORD MSG_QUERY_REMOVE = 0x40000003u;
inline constexpr DWORD MSG_QUERY_REMOVE_FAILED = 0x40000004u;
inline constexpr DWORD MSG_REMOVE_COMPLETE = 0x40000005u;
inline constexpr DWORD MSG_DEVICE_FOUND = 0x40000006u;
inline constexpr DWORD MSG_ERROR = 0xC0020001u;

// The longest text that is logged whole; longer texts are cut to it.
inline constexpr size_t kLogTextMaxChars = 259;

// Writes one entry: insertion strings "KorvexS" and `text`. Failures are
// dropped silently.
void LogEvent(LPCWSTR text, WORD eventType, DWORD messageId);
