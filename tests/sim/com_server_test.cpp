// The COM server as a host sees it: the class object, the factory, creation
// with and without aggregation, reference counts and unloading.
#include "asio/com/exports.h"
#include "asio/com/server_counts.h"
#include "asio/driver/asio.h"
#include "platform/posix/kernel.h"
#include "tests/support/allocation_hooks.h"

#include <gtest/gtest.h>

namespace {

constexpr IID kOtherIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
void* const kUntouched = reinterpret_cast<void*>(0x5A5A5A5A);

LONG LiveObjects() { return korvex::liveObjectCount; }

// An aggregating object that counts what reaches it.
struct CountingOuter : IUnknown {
    int addRefs = 0;
    int releases = 0;
    int queries = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++queries;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(100 + ++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(100 - ++releases); }
};

class ComServer : public testing::Test {
protected:
    void SetUp() override {
        kwin::ClearDevices();
        ASSERT_EQ(DllGetClassObject(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        baseline = LiveObjects();
    }
    void TearDown() override {
        if (factory != nullptr) {
            EXPECT_EQ(factory->Release(), 0u);
        }
        EXPECT_EQ(LiveObjects(), baseline);
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
    IClassFactory* factory = nullptr;
    LONG baseline = 0;
};

TEST(ClassObject, AnswersOnlyTheDriverClassAndTheTwoFactoryInterfaces) {
    const GUID otherClass = kOtherIid;
    struct Case {
        const CLSID* clsid;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&CLSID_KorvexAsio, &IID_IClassFactory, S_OK},
        {&CLSID_KorvexAsio, &IID_IUnknown, S_OK},
        {&CLSID_KorvexAsio, &kOtherIid, E_NOINTERFACE},
        {&CLSID_KorvexAsio, &CLSID_KorvexAsio, E_NOINTERFACE},
        {&otherClass, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {&otherClass, &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
        // The interface is checked before the class is looked up.
        {&otherClass, &kOtherIid, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected 0x" << std::hex << c.expected);
        void* object = kUntouched;
        EXPECT_EQ(DllGetClassObject(*c.clsid, *c.iid, &object), c.expected);
        if (c.expected == S_OK) {
            ASSERT_NE(object, nullptr);
            EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 0u);
        } else {
            EXPECT_EQ(object, kUntouched);
        }
    }
}

TEST(ClassObject, FailedFactoryAllocationIsOutOfMemory) {
    void* object = kUntouched;
    testsupport::FailNthNothrowAllocation(1);
    EXPECT_EQ(DllGetClassObject(CLSID_KorvexAsio, IID_IClassFactory, &object), E_OUTOFMEMORY);
    testsupport::FailNthNothrowAllocation(0);
    EXPECT_EQ(object, nullptr);
}

TEST_F(ComServer, FactoryQueryInterfaceAndCounts) {
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    void* object = kUntouched;
    EXPECT_EQ(factory->QueryInterface(kOtherIid, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<void*>(factory));
    EXPECT_EQ(factory->AddRef(), 3u);
    EXPECT_EQ(factory->Release(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    // A factory the host still holds does not keep the library loaded.
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ComServer, CreateInstanceRefusals) {
    CountingOuter outer;
    void* object = kUntouched;
    EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, nullptr), E_POINTER);
    // An aggregating object may ask only for the inner IUnknown; nothing is made.
    long allocationsBefore = testsupport::NothrowAllocations();
    EXPECT_EQ(factory->CreateInstance(&outer, CLSID_KorvexAsio, &object), E_NOINTERFACE);
    EXPECT_EQ(testsupport::NothrowAllocations(), allocationsBefore);
    EXPECT_EQ(object, kUntouched);
    EXPECT_EQ(outer.addRefs + outer.releases + outer.queries, 0);
    // An interface the object does not have: the object made is destroyed.
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(LiveObjects(), baseline);
    // The object's allocation fails.
    object = kUntouched;
    testsupport::FailNthNothrowAllocation(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, &object), E_OUTOFMEMORY);
    testsupport::FailNthNothrowAllocation(0);
    EXPECT_EQ(object, kUntouched);
}

TEST_F(ComServer, StandAloneObjectAsIasio) {
    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver)), S_OK);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(LiveObjects(), baseline + 1);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(driver->AddRef(), 2u);  // the count was 1
    EXPECT_EQ(driver->Release(), 1u);

    IUnknown* inner = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_NE(static_cast<void*>(inner), static_cast<void*>(driver));
    EXPECT_EQ(inner->Release(), 1u);
    IASIO* again = nullptr;
    ASSERT_EQ(driver->QueryInterface(CLSID_KorvexAsio, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, driver);
    EXPECT_EQ(again->Release(), 1u);
    EXPECT_EQ(driver->QueryInterface(CLSID_KorvexAsio, nullptr), E_POINTER);
    void* none = kUntouched;
    EXPECT_EQ(driver->QueryInterface(kOtherIid, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(LiveObjects(), baseline);
}

TEST_F(ComServer, StandAloneObjectAsInnerUnknown) {
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    IASIO* driver = nullptr;
    ASSERT_EQ(inner->QueryInterface(CLSID_KorvexAsio, reinterpret_cast<void**>(&driver)), S_OK);
    EXPECT_NE(static_cast<void*>(inner), static_cast<void*>(driver));
    EXPECT_EQ(driver->Release(), 1u);  // back to the one reference CreateInstance handed out
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(LiveObjects(), baseline);
}

// Through the inner IUnknown, whether the object stands alone or is
// aggregated: nothing is written and no reference is taken.
TEST_F(ComServer, InnerQueryInterfaceWithoutAnOutPointerIsEPointer) {
    CountingOuter outer;
    for (IUnknown* aggregator : {static_cast<IUnknown*>(nullptr), static_cast<IUnknown*>(&outer)}) {
        SCOPED_TRACE(aggregator == nullptr ? "stand-alone" : "aggregated");
        IUnknown* inner = nullptr;
        ASSERT_EQ(factory->CreateInstance(aggregator, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
        for (const IID* iid : {&IID_IUnknown, &CLSID_KorvexAsio, &kOtherIid}) {
            EXPECT_EQ(inner->QueryInterface(*iid, nullptr), E_POINTER);
        }
        EXPECT_EQ(inner->AddRef(), 2u) << "the count is still 1";
        EXPECT_EQ(inner->Release(), 1u);
        EXPECT_EQ(outer.addRefs + outer.releases + outer.queries, 0);
        EXPECT_EQ(inner->Release(), 0u);
    }
}

TEST_F(ComServer, AggregatedObjectForwardsToItsOuterObject) {
    CountingOuter outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    IASIO* driver = nullptr;
    ASSERT_EQ(inner->QueryInterface(CLSID_KorvexAsio, reinterpret_cast<void**>(&driver)), S_OK);
    EXPECT_EQ(outer.addRefs, 1);  // the reference handed out is the outer object's

    driver->AddRef();
    driver->Release();
    void* none = nullptr;
    driver->QueryInterface(kOtherIid, &none);
    EXPECT_EQ(outer.addRefs, 2);
    EXPECT_EQ(outer.releases, 1);
    EXPECT_EQ(outer.queries, 1);

    // The inner count was left alone: it is still 1.
    EXPECT_EQ(inner->AddRef(), 2u);
    EXPECT_EQ(inner->Release(), 1u);
    driver->Release();  // the outer object's reference
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(LiveObjects(), baseline);
}

TEST_F(ComServer, ServerLocks) {
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    // An unmatched unlock takes the count below zero; that does not hold the library.
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(korvex::serverLockCount, 0);
}

TEST_F(ComServer, InnerCountsNeverReportZeroForALiveObject) {
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    for (ULONG expected = 2; expected <= 5; ++expected) EXPECT_EQ(inner->AddRef(), expected);
    for (ULONG expected = 4; expected >= 1; --expected) EXPECT_EQ(inner->Release(), expected);
    EXPECT_EQ(LiveObjects(), baseline + 1);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(LiveObjects(), baseline);
}

}  // namespace
