// IClassFactory for one row of the class table.
#pragma once

#include "asio/com/class_table.h"

namespace korvex {

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(const FactoryTemplate* templateRow) : templateRow(templateRow) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    const FactoryTemplate* templateRow;
    // Plain arithmetic: a factory is used from the thread that got it.
    LONG refCount = 0;
};

}  // namespace korvex
