// Small helpers for the conformance tests; Win32 calls only.
#pragma once

#include "platform/win32.h"

#include <gtest/gtest.h>

namespace conformance {

// Closes the handle at the end of the scope.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_) CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return handle_; }
    // Hands the handle over to the caller, who closes it.
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_;
};

inline HANDLE NewEvent(bool manualReset, bool initialState = false) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
}

// Long enough that a thread that should have woken has done so even on a
// busy machine; used only where the test must wait for something NOT to
// happen.
constexpr DWORD kSettleMs = 100;
// Upper bound for something that must happen; generous, the test only fails
// after it.
constexpr DWORD kPatienceMs = 5000;

// True under Wine (which exports wine_get_version from ntdll), where a
// known difference from Windows is reported as a skipped check, never as a
// pass.
inline bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace conformance
