// KorvexASIO.dll as the COM loader of a host sees it: loaded by path, its two
// entry points found by name, the driver object created through the class
// factory, and the unload answer following the objects and locks that live.
// Under Wine there is no card, so the driver takes its no-card paths.
//
//   com_load_test [path\to\KorvexASIO.dll]   (default: beside the program)
#include "asio/driver/asio.h"
#include "tests/wine/module_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using korvex::wine_test::Narrow;

typedef HRESULT(STDAPICALLTYPE* DllGetClassObjectFunction)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* DllCanUnloadNowFunction)();

std::wstring dllPath;

// {6B1A6C4E-9D55-4C0B-8F7E-2F1D3A9B5C01}: no class of ours, no interface of ours.
constexpr GUID kUnknownGuid = {0x6B1A6C4E, 0x9D55, 0x4C0B, {0x8F, 0x7E, 0x2F, 0x1D, 0x3A, 0x9B, 0x5C, 0x01}};

class ComServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module = LoadLibraryW(dllPath.c_str());
        if (module == nullptr) return;
        getClassObject =
            reinterpret_cast<DllGetClassObjectFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        canUnloadNow =
            reinterpret_cast<DllCanUnloadNowFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    }

    static void TearDownTestSuite() {
        if (module != nullptr) FreeLibrary(module);
        module = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(module, nullptr) << "LoadLibraryW(" << Narrow(dllPath) << ") failed, error " << GetLastError();
        ASSERT_NE(getClassObject, nullptr) << "no export DllGetClassObject";
        ASSERT_NE(canUnloadNow, nullptr) << "no export DllCanUnloadNow";
        // Every test starts and must end with nothing alive.
        ASSERT_EQ(canUnloadNow(), S_OK);
    }

    void TearDown() override {
        if (canUnloadNow != nullptr) {
            EXPECT_EQ(canUnloadNow(), S_OK) << "an object or lock outlived the test";
        }
    }

    IClassFactory* Factory() {
        void* factory = nullptr;
        HRESULT result = getClassObject(CLSID_KorvexAsio, IID_IClassFactory, &factory);
        EXPECT_EQ(result, S_OK);
        EXPECT_NE(factory, nullptr);
        return SUCCEEDED(result) ? static_cast<IClassFactory*>(factory) : nullptr;
    }

    static HMODULE module;
    static DllGetClassObjectFunction getClassObject;
    static DllCanUnloadNowFunction canUnloadNow;
};

HMODULE ComServer::module = nullptr;
DllGetClassObjectFunction ComServer::getClassObject = nullptr;
DllCanUnloadNowFunction ComServer::canUnloadNow = nullptr;

TEST_F(ComServer, DriverObjectHoldsTheServerUntilReleased) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);

    void* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, &object), S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a live driver object must keep the library loaded";

    // The same object answers for IUnknown, and the CLSID again as its IID.
    IASIO* driver = static_cast<IASIO*>(object);
    void* unknown = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_NE(unknown, nullptr);
    static_cast<IUnknown*>(unknown)->Release();

    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK) << "released driver object still counted";
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(ComServer, TwoDriverObjectsAreCountedApart) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, &first), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, &second), S_OK);
    factory->Release();
    EXPECT_NE(first, second);

    static_cast<IASIO*>(first)->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "one of two objects still lives";
    static_cast<IASIO*>(second)->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(ComServer, LockServerHoldsTheServer) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a server lock must keep the library loaded";
    factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(ComServer, UnknownClassAndUnknownInterfaceAreRefused) {
    void* factory = nullptr;
    EXPECT_EQ(getClassObject(kUnknownGuid, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(getClassObject(CLSID_KorvexAsio, kUnknownGuid, &factory), E_NOINTERFACE);

    IClassFactory* classFactory = Factory();
    ASSERT_NE(classFactory, nullptr);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(classFactory->CreateInstance(nullptr, kUnknownGuid, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr) << "a refused CreateInstance must hand back no pointer";
    // The object made for the refused query is gone again (checked by TearDown).
    classFactory->Release();
}

TEST_F(ComServer, WithoutACardInitFailsAndSaysWhy) {
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    void* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, &object), S_OK);
    factory->Release();
    IASIO* driver = static_cast<IASIO*>(object);

    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    char message[128];
    memset(message, 'x', sizeof(message));
    driver->getErrorMessage(message);
    ASSERT_NE(memchr(message, '\0', sizeof(message)), nullptr) << "error message not terminated";
    EXPECT_STREQ(message, "SAVANTIX Lyrenta Vazozo not present");

    EXPECT_EQ(driver->Release(), 0u);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    dllPath = korvex::wine_test::TargetPath(argc, argv, L"KorvexASIO.dll");
    return RUN_ALL_TESTS();
}
