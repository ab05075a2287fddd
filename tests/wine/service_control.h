// Installing, driving and removing a service in Wine's service control
// manager, for the tests of KorvexS.exe as a service.
#pragma once

#include <windows.h>

namespace korvex::wine_test {

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ServiceHandle() { Reset(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    void Reset(SC_HANDLE handle = nullptr) {
        if (handle_) CloseServiceHandle(handle_);
        handle_ = handle;
    }
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() {
        if (handle_) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Polls every `pollMs` until the service reports `state` or `timeoutMs`
// pass; the last status read is left in `status`.
inline bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, SERVICE_STATUS& status, DWORD pollMs = 50) {
    DWORD start = GetTickCount();
    for (;;) {
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == state) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(pollMs);
    }
}

// Stops (bounded) and deletes the named service, if there is one.
inline void RemoveService(SC_HANDLE manager, const wchar_t* name) {
    ServiceHandle service(OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(service.get(), SERVICE_STOPPED, 20000, status);
    }
    DeleteService(service.get());
}

}  // namespace korvex::wine_test
