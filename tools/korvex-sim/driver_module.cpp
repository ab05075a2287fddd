#include "tools/korvex-sim/driver_module.h"

#include <dlfcn.h>

namespace korvex::host {

const char* DriverModule::DefaultPath() { return KORVEX_ASIO_LIBRARY; }

DriverModule::DriverModule(const std::string& path) {
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : "dlopen failed";
        return;
    }
    getClassObject_ = reinterpret_cast<GetClassObjectFunction>(dlsym(library_, "DllGetClassObject"));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFunction>(dlsym(library_, "DllCanUnloadNow"));
    if (getClassObject_ == nullptr || canUnloadNow_ == nullptr) {
        error_ = "the library does not export DllGetClassObject and DllCanUnloadNow";
        dlclose(library_);
        library_ = nullptr;
    }
}

DriverModule::~DriverModule() {
    if (library_ != nullptr) dlclose(library_);
}

HRESULT DriverModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) const {
    return getClassObject_(clsid, iid, object);
}

HRESULT DriverModule::CanUnloadNow() const { return canUnloadNow_(); }

IASIO* DriverModule::CreateDriver(HRESULT* result) const {
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject_(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    IASIO* driver = nullptr;
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver));
        factory->Release();
    }
    if (result != nullptr) *result = hr;
    return SUCCEEDED(hr) ? driver : nullptr;
}

}  // namespace korvex::host
