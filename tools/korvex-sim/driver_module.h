// Loads the driver library the way an ASIO host does: the module by path,
// its two exports, and the driver object through the class factory.
#pragma once

#include "asio/driver/asio.h"

#include <string>

namespace korvex::host {

class DriverModule {
public:
    // The library the build made, unless a path is given.
    static const char* DefaultPath();

    explicit DriverModule(const std::string& path);
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    bool loaded() const { return library_ != nullptr; }
    const std::string& error() const { return error_; }

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) const;
    HRESULT CanUnloadNow() const;

    // DllGetClassObject for the driver's class, CreateInstance asking for
    // IASIO, and the factory released again. Null on failure, with `result`.
    IASIO* CreateDriver(HRESULT* result) const;

private:
    using GetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFunction = HRESULT (*)();
    void* library_ = nullptr;
    GetClassObjectFunction getClassObject_ = nullptr;
    CanUnloadNowFunction canUnloadNow_ = nullptr;
    std::string error_;
};

}  // namespace korvex::host
