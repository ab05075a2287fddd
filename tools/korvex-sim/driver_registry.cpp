#include "tools/korvex-sim/driver_registry.h"

namespace korvex::host {

std::wstring FirstRegisteredDriver() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    WCHAR name[256] = {};
    DWORD length = 256;
    const LONG result = RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::wstring(name, length) : std::wstring();
}

bool FindDriverClass(const std::wstring& name, CLSID* clsid) {
    const std::wstring key = L"SOFTWARE\\ASIO\\" + name;
    WCHAR text[64] = {};
    DWORD bytes = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"CLSID", RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) {
        return false;
    }
    return SUCCEEDED(CLSIDFromString(text, clsid));
}

std::wstring DriverServerPath(const CLSID& clsid) {
    WCHAR guid[64] = {};
    if (StringFromGUID2(clsid, guid, 64) == 0) return {};
    const std::wstring key = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
    WCHAR path[MAX_PATH] = {};
    DWORD bytes = sizeof path;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &bytes) != ERROR_SUCCESS) {
        return {};
    }
    return path;
}

IASIO* CreateRegisteredDriver(const CLSID& clsid, HRESULT* result) {
    void* object = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
    if (result != nullptr) *result = hr;
    return SUCCEEDED(hr) ? static_cast<IASIO*>(object) : nullptr;
}

}  // namespace korvex::host
