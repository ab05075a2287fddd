// The library's two exports and its entry point.
#include "asio/com/class_factory.h"
#include "asio/com/exports.h"
#include "asio/com/server_counts.h"

#include <atomic>
#include <new>

namespace korvex {

volatile LONG liveObjectCount = 0;
volatile LONG serverLockCount = 0;

}  // namespace korvex

using korvex::ClassFactory;
using korvex::classTable;
using korvex::classTableSize;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    for (int row = 0; row < classTableSize; ++row) {
        if (!IsEqualGUID(rclsid, *classTable[row].classId)) continue;
        ClassFactory* factory = new (std::nothrow) ClassFactory(&classTable[row]);
        *ppv = static_cast<IClassFactory*>(factory);
        if (factory == nullptr) return E_OUTOFMEMORY;
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow(void) {
    LONG live = std::atomic_ref<LONG>(const_cast<LONG&>(korvex::liveObjectCount)).load(std::memory_order_relaxed);
    return (korvex::serverLockCount > 0 || live != 0) ? S_FALSE : S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        for (int row = 0; row < classTableSize; ++row) {
            if (classTable[row].initRoutine != nullptr) classTable[row].initRoutine(TRUE, classTable[row].classId);
        }
    } else if (reason == DLL_PROCESS_DETACH) {
        for (int row = 0; row < classTableSize; ++row) {
            if (classTable[row].initRoutine != nullptr) classTable[row].initRoutine(FALSE, classTable[row].classId);
        }
    }
    return TRUE;
}
