// The stand-in's simulated avrt.dll: presence, references, recorded calls.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

template <class F>
F As(FARPROC procedure) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(procedure));
}

class StandInAvrt : public testing::Test {
protected:
    void TearDown() override { kwin::SetAvrtPresent(true); }
};

TEST_F(StandInAvrt, EveryFormOfTheNameLoadsTheSameReferenceCountedModule) {
    const int references = kwin::Avrt().loadedReferences;
    const wchar_t* names[] = {L"avrt.dll", L"AVRT", L"Avrt.Dll", L"C:\\Windows\\System32\\avrt.dll"};
    HMODULE first = nullptr;
    for (const wchar_t* name : names) {
        HMODULE module = LoadLibraryW(name);
        ASSERT_NE(module, nullptr) << name;
        if (!first) first = module;
        EXPECT_EQ(module, first) << name;
    }
    EXPECT_EQ(kwin::Avrt().loadedReferences, references + 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(GetModuleHandleW(L"avrt"), first);
        EXPECT_TRUE(FreeLibrary(first));
    }
    EXPECT_EQ(kwin::Avrt().loadedReferences, references);
    if (references == 0) {
        SetLastError(0);
        EXPECT_EQ(GetModuleHandleW(L"avrt"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
        EXPECT_FALSE(FreeLibrary(first));
    }
}

TEST_F(StandInAvrt, AbsentModuleIsNotFound) {
    kwin::SetAvrtPresent(false);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"avrt.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    kwin::SetAvrtPresent(true);
    HMODULE avrt = LoadLibraryW(L"avrt.dll");
    EXPECT_NE(avrt, nullptr);
    FreeLibrary(avrt);
}

TEST_F(StandInAvrt, TaskCallsAreRecordedAndOnlyGivenOutHandlesRevert) {
    HMODULE avrt = LoadLibraryW(L"avrt.dll");
    ASSERT_NE(avrt, nullptr);
    auto set = As<AvSetMmThreadCharacteristicsW_t>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"));
    auto revert = As<AvRevertMmThreadCharacteristics_t>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
    ASSERT_NE(set, nullptr);
    ASSERT_NE(revert, nullptr);
    const kwin::AvrtCalls before = kwin::Avrt();

    DWORD index = 0;
    HANDLE audio = set(L"Audio", &index);
    HANDLE proAudio = set(L"Pro Audio", &index);
    ASSERT_NE(audio, nullptr);
    ASSERT_NE(proAudio, nullptr);
    EXPECT_NE(audio, proAudio);
    EXPECT_NE(index, 0u);
    EXPECT_EQ(kwin::Avrt().setCalls, before.setCalls + 2);
    EXPECT_EQ(kwin::Avrt().lastTask, L"Pro Audio");

    EXPECT_TRUE(revert(proAudio));
    EXPECT_FALSE(revert(proAudio));  // already reverted
    EXPECT_FALSE(revert(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_TRUE(revert(audio));
    EXPECT_EQ(kwin::Avrt().revertCalls, before.revertCalls + 2);
    FreeLibrary(avrt);
}

TEST_F(StandInAvrt, OnlyTheTwoTaskFunctionsAreExported) {
    HMODULE avrt = LoadLibraryW(L"avrt.dll");
    for (const char* name : {"AvSetMmThreadCharacteristicsA", "avsetmmthreadcharacteristicsw", "", "AvQuerySystemResponsiveness"}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(avrt, name), nullptr) << name;
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND) << name;
    }
    FreeLibrary(avrt);
}

}  // namespace
