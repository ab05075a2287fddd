// How a Windows host finds and creates the driver: HKLM\SOFTWARE\ASIO\<name>
// names the CLSID, COM creates the class registered for it, in a
// single-threaded apartment. Plus the status the simulated card publishes
// (status_view.h).
#pragma once

#include "asio/driver/asio.h"
#include "tests/wine/simcard/status_view.h"

#include <string>

namespace korvex::simcard {

// The key the tests register the simcard DLL under.
inline constexpr const wchar_t* kDriverKeyName = L"SAVANTIX Lyrenta Six";

// The CLSID named by HKLM\SOFTWARE\ASIO\<name>; false when not registered.
inline bool FindDriverClass(const std::wstring& name, CLSID* clsid) {
    const std::wstring key = L"SOFTWARE\\ASIO\\" + name;
    WCHAR text[64] = {};
    DWORD bytes = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"CLSID", RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) {
        return false;
    }
    return SUCCEEDED(CLSIDFromString(text, clsid));
}

// CoCreateInstance of the class, asking for IASIO (the CLSID doubles as its
// interface ID). Null on failure, with the result.
inline IASIO* CreateDriver(const CLSID& clsid, HRESULT* result) {
    void* object = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
    if (result != nullptr) *result = hr;
    return SUCCEEDED(hr) ? static_cast<IASIO*>(object) : nullptr;
}

}  // namespace korvex::simcard
