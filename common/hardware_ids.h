// The cards this software supports, by PCI hardware ID, and the match that
// both the driver and the service apply to a device's first hardware ID.
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace korvex {

inline constexpr size_t kHardwareIdLength = 37;
inline constexpr size_t kSupportedHardwareIdCount = 5;

// In the order in which they are tried.
inline constexpr const WCHAR* kSupportedHardwareIds[kSupportedHardwareIdCount] = {
    L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011721", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722",
    L"PCI\\VEN_1412&DEV_1724&SUBSYS_00000000", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021721",
    L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021722",
};

// Compares the first `length` characters, ASCII letters without regard to
// case. A string shorter than `length` never matches.
bool StartsWithIgnoringAsciiCase(const WCHAR* text, const WCHAR* prefix, size_t length);

// Index into kSupportedHardwareIds of the ID that `text` begins with, or -1.
// Characters after the 37th are not looked at.
int SupportedHardwareIdIndex(const WCHAR* text);

}  // namespace korvex

// True when the string begins with one of the supported hardware IDs.
bool IsSupportedHardwareId(const WCHAR* hardwareId);
