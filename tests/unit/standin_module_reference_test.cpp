// The stand-in's GetModuleHandleExW by address and FreeLibraryAndExitThread:
// a reference on a real shared object keeps it mapped after its loader has
// closed it, and a thread can give that reference back as it ends.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

// Part of the C library, and loaded by nothing else in this program.
constexpr const char* kLibrary = "libBrokenLocale.so.1";

bool Mapped() {
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

// Loads the library as a host would and returns an address inside it.
void* LoadAndFindCode(void** host) {
    *host = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    return *host ? dlsym(*host, "__ctype_get_mb_cur_max") : nullptr;
}

DWORD WINAPI ProgramCode(LPVOID) { return 0; }

TEST(StandInModuleReference, AReferenceByAddressKeepsASharedObjectMappedUntilFreeLibrary) {
    struct Row {
        const char* what;
        DWORD flags;
        bool mappedAfterHostCloses;
    };
    const Row rows[] = {
        {"counted", GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, true},
        {"unchanged count", GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
         false},
    };
    ASSERT_FALSE(Mapped());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        void* host = nullptr;
        void* code = LoadAndFindCode(&host);
        ASSERT_NE(code, nullptr) << dlerror();
        const int held = kwin::ModuleReferenceCounts().sharedObjectsHeld;
        HMODULE module = nullptr;
        ASSERT_TRUE(GetModuleHandleExW(row.flags, static_cast<LPCWSTR>(code), &module));
        EXPECT_EQ(module, static_cast<HMODULE>(host)) << "the handle of the object the address lies in";
        EXPECT_NE(module, GetModuleHandleW(nullptr));

        dlclose(host);
        EXPECT_EQ(Mapped(), row.mappedAfterHostCloses);
        if (row.mappedAfterHostCloses) {
            EXPECT_EQ(kwin::ModuleReferenceCounts().sharedObjectsHeld, held + 1);
            EXPECT_TRUE(FreeLibrary(module));
            EXPECT_FALSE(Mapped());
        }
        EXPECT_EQ(kwin::ModuleReferenceCounts().sharedObjectsHeld, held);
        // Nothing more is held on it: the handle is not closed a second time.
        SetLastError(0);
        EXPECT_FALSE(FreeLibrary(module));
        EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    }
}

TEST(StandInModuleReference, AnAddressInTheProgramGivesTheProcessModuleAndACountedReference) {
    const kwin::ModuleReferenceCalls before = kwin::ModuleReferenceCounts();
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(&ProgramCode), &module));
    EXPECT_EQ(module, GetModuleHandleW(nullptr));
    EXPECT_EQ(kwin::ModuleReferenceCounts().processTaken, before.processTaken + 1);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(kwin::ModuleReferenceCounts().processReleased, before.processReleased + 1);
    // Without a reference taken, the process module is not freed.
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(kwin::ModuleReferenceCounts().processReleased, before.processReleased + 1);
}

TEST(StandInModuleReference, BadRequestsFailWithoutAModule) {
    int onTheStack = 0;
    struct Row {
        const char* what;
        DWORD flags;
        const void* address;
        DWORD error;
    };
    const Row rows[] = {
        {"by name", 0, reinterpret_cast<const void*>(&ProgramCode), ERROR_INVALID_PARAMETER},
        {"unknown flag", GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | 0x1, reinterpret_cast<const void*>(&ProgramCode),
         ERROR_INVALID_PARAMETER},
        {"null address", GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, ERROR_MOD_NOT_FOUND},
        {"address in no module", GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, &onTheStack, ERROR_MOD_NOT_FOUND},
    };
    const kwin::ModuleReferenceCalls before = kwin::ModuleReferenceCounts();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HMODULE module = reinterpret_cast<HMODULE>(&onTheStack);
        SetLastError(0);
        EXPECT_FALSE(GetModuleHandleExW(row.flags, static_cast<LPCWSTR>(row.address), &module));
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(GetLastError(), row.error);
    }
    const kwin::ModuleReferenceCalls after = kwin::ModuleReferenceCounts();
    EXPECT_EQ(after.processTaken, before.processTaken);
    EXPECT_EQ(after.sharedObjectsHeld, before.sharedObjectsHeld);
}

struct ExitingThread {
    HMODULE module = nullptr;
    bool unwound = false;
    bool ranOn = false;
};

DWORD WINAPI FreeAndExit(LPVOID parameter) {
    auto* state = static_cast<ExitingThread*>(parameter);
    struct Unwind {
        bool* flag;
        ~Unwind() { *flag = true; }
    } unwind{&state->unwound};
    FreeLibraryAndExitThread(state->module, 42);
    state->ranOn = true;
    return 7;
}

TEST(StandInModuleReference, FreeLibraryAndExitThreadGivesTheReferenceBackAndEndsWithItsCode) {
    void* host = nullptr;
    void* code = LoadAndFindCode(&host);
    ASSERT_NE(code, nullptr) << dlerror();
    ExitingThread state;
    ASSERT_TRUE(
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(code), &state.module));
    dlclose(host);
    ASSERT_TRUE(Mapped()) << "the thread's reference keeps it";

    HANDLE thread = CreateThread(nullptr, 0, &FreeAndExit, &state, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_FALSE(state.unwound) << "ExitThread unwound the frames of the code it was told to leave";
    EXPECT_FALSE(state.ranOn);
    EXPECT_FALSE(Mapped());
    CloseHandle(thread);
}

}  // namespace
