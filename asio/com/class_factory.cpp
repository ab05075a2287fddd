#include "asio/com/class_factory.h"

#include "asio/com/server_counts.h"

namespace korvex {

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() { return static_cast<ULONG>(++refCount); }

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
    LONG count = --refCount;
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    // An aggregating object may only ask for the inner IUnknown.
    if (pUnkOuter != nullptr && !IsEqualGUID(riid, IID_IUnknown)) return E_NOINTERFACE;

    HRESULT result = S_OK;
    AggregatableUnknown* object = templateRow->create(pUnkOuter, &result);
    if (object == nullptr) return E_OUTOFMEMORY;
    if (FAILED(result)) {
        delete object;
        return result;
    }
    // The temporary reference keeps the object alive through the query; when
    // the query fails, its release destroys the object.
    object->InnerAddRef();
    HRESULT queried = object->InnerQueryInterface(riid, ppv);
    object->InnerRelease();
    return queried;
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL fLock) {
    if (fLock)
        serverLockCount = serverLockCount + 1;
    else
        serverLockCount = serverLockCount - 1;
    return S_OK;
}

}  // namespace korvex
