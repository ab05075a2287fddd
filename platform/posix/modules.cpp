// LoadLibraryW, GetModuleHandleW, GetProcAddress, FreeLibrary and
// DisableThreadLibraryCalls. The only loadable module is the simulated avrt.
#include "platform/posix/avrt.h"
#include "platform/posix/faults.h"
#include "platform/posix/object.h"

#include <cwctype>

namespace {

// The module of the process itself (GetModuleHandleW(nullptr)).
const char processImage = 0;
HMODULE ProcessModule() { return reinterpret_cast<HMODULE>(const_cast<char*>(&processImage)); }

bool EqualsIgnoringCase(const WCHAR* a, const WCHAR* aEnd, const char* b) {
    for (; a != aEnd && *b; ++a, ++b) {
        if (std::towlower(static_cast<wint_t>(*a)) != static_cast<wint_t>(*b)) return false;
    }
    return a == aEnd && *b == 0;
}

// "avrt" or "avrt.dll" in any letter case, after any directory.
bool NamesAvrt(LPCWSTR name) {
    if (!name) return false;
    const WCHAR* base = name;
    for (const WCHAR* p = name; *p; ++p) {
        if (*p == L'\\' || *p == L'/') base = p + 1;
    }
    const WCHAR* end = base + std::wcslen(base);
    return EqualsIgnoringCase(base, end, "avrt") || EqualsIgnoringCase(base, end, "avrt.dll");
}

}  // namespace

extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
    if (kwin::ShouldFail("LoadLibraryW")) return nullptr;
    if (!fileName) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!NamesAvrt(fileName) || !kwin::AvrtPresent()) {
        kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    kwin::AddAvrtReference();
    return kwin::AvrtModule();
}

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    if (kwin::ShouldFail("GetModuleHandleW")) return nullptr;
    if (!moduleName) return ProcessModule();
    if (NamesAvrt(moduleName) && kwin::AvrtReferences() > 0) return kwin::AvrtModule();
    kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (kwin::ShouldFail("GetProcAddress")) return nullptr;
    bool avrtLoaded = module == kwin::AvrtModule() && kwin::AvrtReferences() > 0;
    if (!avrtLoaded && module != ProcessModule()) {
        kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A value below 64 Ki is an ordinal, which no simulated module exports.
    bool byName = reinterpret_cast<uintptr_t>(procName) >= 0x10000;
    FARPROC procedure = avrtLoaded && byName ? kwin::AvrtExport(procName) : nullptr;
    if (!procedure) kwin::SetLastErrorValue(ERROR_PROC_NOT_FOUND);
    return procedure;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
    if (kwin::ShouldFail("FreeLibrary")) return FALSE;
    if (module == kwin::AvrtModule() && kwin::ReleaseAvrtReference()) return TRUE;
    kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

// Nothing calls a module back on thread start or exit here anyway.
extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }
