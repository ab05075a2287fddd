// Finds and creates the driver the way a Windows ASIO host does:
// HKLM\SOFTWARE\ASIO\<name> names the CLSID, and COM creates the class
// registered under HKCR\CLSID\{...}\InprocServer32, in the calling thread's
// single-threaded apartment. (On Linux, DriverModule loads the library by path.)
#pragma once

#include "asio/driver/asio.h"

#include <string>

namespace korvex::host {

// The driver names registered under HKLM\SOFTWARE\ASIO.
std::wstring FirstRegisteredDriver();

// The CLSID of HKLM\SOFTWARE\ASIO\<name>; false when it is not registered.
bool FindDriverClass(const std::wstring& name, CLSID* clsid);

// The DLL registered for the class (InprocServer32's default value), or empty.
std::wstring DriverServerPath(const CLSID& clsid);

// CoCreateInstance of the class asking for IASIO (the CLSID doubles as its
// interface ID). Null on failure, with the result.
IASIO* CreateRegisteredDriver(const CLSID& clsid, HRESULT* result);

// Registry names for printing (non-ASCII as '?'), and option text as a name.
inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}
inline std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace korvex::host
