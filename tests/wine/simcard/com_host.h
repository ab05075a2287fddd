// How a Windows host finds and creates the driver: HKLM\SOFTWARE\ASIO\<name>
// names the CLSID, COM creates the class registered for it, in a
// single-threaded apartment. Plus the status the simulated card publishes.
#pragma once

#include "asio/driver/asio.h"
#include "tests/wine/simcard/status.h"

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

// A read-only view of the card's status; empty until the driver looked for cards.
class StatusView {
public:
    StatusView() = default;
    ~StatusView() { Close(); }
    StatusView(const StatusView&) = delete;
    StatusView& operator=(const StatusView&) = delete;

    bool Open() {
        Close();
        mapping_ = OpenFileMappingW(FILE_MAP_READ, FALSE, StatusName(GetCurrentProcessId()).c_str());
        if (mapping_ == nullptr) return false;
        status_ = static_cast<const Status*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, sizeof(Status)));
        return status_ != nullptr && status_->magic == kStatusMagic;
    }
    void Close() {
        if (status_ != nullptr) UnmapViewOfFile(status_);
        if (mapping_ != nullptr) CloseHandle(mapping_);
        status_ = nullptr;
        mapping_ = nullptr;
    }
    const Status* operator->() const { return status_; }
    explicit operator bool() const { return status_ != nullptr; }
    // Signal time (monotonic ns), half and deadline of a signalled half still kept.
    bool Stamp(uint64_t sequence, uint64_t* ns, int* half, uint64_t* dueNs = nullptr) const {
        if (status_ == nullptr || sequence >= status_->halvesSignalled ||
            sequence + kStatusStamps < status_->halvesSignalled) {
            return false;
        }
        const uint64_t value = status_->stamps[sequence % kStatusStamps];
        *ns = value >> 1;
        *half = static_cast<int>(value & 1);
        if (dueNs != nullptr) *dueNs = status_->dues[sequence % kStatusStamps];
        return true;
    }

private:
    HANDLE mapping_ = nullptr;
    const Status* status_ = nullptr;
};

}  // namespace korvex::simcard
