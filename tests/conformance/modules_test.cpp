// LoadLibraryW, GetModuleHandleW and GetProcAddress on avrt.dll.
#include "tests/conformance/win32_test_support.h"

namespace conformance {
namespace {

template <class F>
F As(FARPROC procedure) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(procedure));
}

TEST(Modules, AvrtLoadsAndItsTaskCallsWork) {
    HMODULE avrt = LoadLibraryW(L"avrt.dll");
    ASSERT_NE(avrt, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"AVRT"), avrt);  // letter case and extension do not matter
    EXPECT_EQ(LoadLibraryW(L"Avrt"), avrt);      // the same module, one more reference

    auto set = As<AvSetMmThreadCharacteristicsW_t>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"));
    auto revert = As<AvRevertMmThreadCharacteristics_t>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
    ASSERT_NE(set, nullptr);
    ASSERT_NE(revert, nullptr);
    DWORD taskIndex = 0;
    HANDLE task = set(L"Pro Audio", &taskIndex);
    ASSERT_NE(task, nullptr);
    EXPECT_TRUE(revert(task));

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(avrt, "AvNoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(avrt));
    EXPECT_TRUE(FreeLibrary(avrt));
}

TEST(Modules, MissingModuleIsNotFound) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"korvex-no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(L"korvex-no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
}  // namespace conformance
