// Base of the server's COM objects: a non-delegating (inner) IUnknown, an
// interlocked reference count, aggregation, and membership in the count of
// live objects that decides whether the library may unload.
#pragma once

#include "platform/win32.h"

namespace korvex {

class AggregatableUnknown {
public:
    // `outer` is the aggregating object, or null for a stand-alone object.
    explicit AggregatableUnknown(IUnknown* outer);
    AggregatableUnknown(const AggregatableUnknown&) = delete;
    AggregatableUnknown& operator=(const AggregatableUnknown&) = delete;

    virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv);
    virtual ULONG STDMETHODCALLTYPE InnerAddRef();
    // Returns 0 exactly when it destroyed the object.
    virtual ULONG STDMETHODCALLTYPE InnerRelease();
    virtual ~AggregatableUnknown();

    // The object's inner IUnknown: a pointer of its own, distinct from every
    // interface that forwards to the controlling unknown.
    IUnknown* InnerUnknown() { return &inner_; }

protected:
    // Called by the last InnerRelease: destroys the object. A derived class
    // whose own thread may be the one dropping the last reference can put the
    // destruction off until that thread no longer runs through the object.
    virtual void Destroy();

    // The controlling unknown: the outer object, or this object's inner
    // IUnknown. No reference is held on it.
    IUnknown* outerUnknown;
    volatile LONG refCount;

private:
    // Gives the inner operations IUnknown's table layout.
    struct Inner final : IUnknown {
        explicit Inner(AggregatableUnknown* owner) : owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            return owner->InnerQueryInterface(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner->InnerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner->InnerRelease(); }
        AggregatableUnknown* owner;
    };
    Inner inner_;

    ULONG ReadCountNeverZero();
};

}  // namespace korvex
