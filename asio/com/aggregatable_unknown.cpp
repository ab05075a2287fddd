#include "asio/com/aggregatable_unknown.h"

#include "asio/com/server_counts.h"

#include <atomic>

namespace korvex {

AggregatableUnknown::AggregatableUnknown(IUnknown* outer) : outerUnknown(nullptr), refCount(0), inner_(this) {
    InterlockedIncrement(&liveObjectCount);
    outerUnknown = outer != nullptr ? outer : InnerUnknown();
}

AggregatableUnknown::~AggregatableUnknown() { InterlockedDecrement(&liveObjectCount); }

// The value handed back is a separate read after the interlocked step; it is
// only informative, but never 0 for a live object.
ULONG AggregatableUnknown::ReadCountNeverZero() {
    LONG count = std::atomic_ref<LONG>(const_cast<LONG&>(refCount)).load(std::memory_order_relaxed);
    return count == 0 ? 1u : static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE AggregatableUnknown::InnerQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) {
        *ppv = InnerUnknown();
        InnerUnknown()->AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AggregatableUnknown::InnerAddRef() {
    InterlockedIncrement(&refCount);
    return ReadCountNeverZero();
}

void AggregatableUnknown::Destroy() { delete this; }

ULONG STDMETHODCALLTYPE AggregatableUnknown::InnerRelease() {
    if (InterlockedDecrement(&refCount) == 0) {
        // Guards against a re-entrant release during destruction.
        std::atomic_ref<LONG>(const_cast<LONG&>(refCount)).store(1, std::memory_order_relaxed);
        Destroy();
        return 0;
    }
    return ReadCountNeverZero();
}

}  // namespace korvex
