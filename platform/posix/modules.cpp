// LoadLibraryW, GetModuleHandleW, GetModuleHandleExW, GetProcAddress,
// FreeLibrary, FreeLibraryAndExitThread and DisableThreadLibraryCalls. The
// only loadable module is the simulated avrt; GetModuleHandleExW also finds
// the program itself and the real shared objects mapped into it.
#include "platform/posix/avrt.h"
#include "platform/posix/faults.h"
#include "platform/posix/kernel.h"
#include "platform/posix/object.h"
#include "platform/posix/threads.h"

#include <dlfcn.h>
#include <link.h>

#include <cwctype>
#include <map>
#include <mutex>

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

// References GetModuleHandleExW took. The program is never unloaded: its
// references are only counted. A shared object's are dlopen references,
// kept by handle so that FreeLibrary dlcloses only what it handed out.
struct ModuleReferences {
    std::mutex mutex;
    int processHeld = 0;
    kwin::ModuleReferenceCalls calls;
    std::map<void*, int> sharedObjects;
};
ModuleReferences& TheReferences() {
    static auto* references = new ModuleReferences;  // never destroyed: threads may outlive main
    return *references;
}

bool ReleaseProcessReference() {
    ModuleReferences& references = TheReferences();
    std::lock_guard lock(references.mutex);
    if (references.processHeld == 0) return false;
    --references.processHeld;
    ++references.calls.processReleased;
    return true;
}

bool ReleaseSharedObjectReference(HMODULE module) {
    ModuleReferences& references = TheReferences();
    std::lock_guard lock(references.mutex);
    auto found = references.sharedObjects.find(module);
    if (found == references.sharedObjects.end()) return false;
    if (--found->second == 0) references.sharedObjects.erase(found);
    --references.calls.sharedObjectsHeld;
    // Under the lock, so that no new reference on the same handle races the unmapping.
    dlclose(module);
    return true;
}

}  // namespace

namespace kwin {
ModuleReferenceCalls ModuleReferenceCounts() {
    ModuleReferences& references = TheReferences();
    std::lock_guard lock(references.mutex);
    return references.calls;
}
}  // namespace kwin

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

extern "C" BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module) {
    if (kwin::ShouldFail("GetModuleHandleExW")) {
        if (module) *module = nullptr;
        return FALSE;
    }
    if (!module) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    constexpr DWORD kKnownFlags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0 || (flags & ~kKnownFlags) != 0) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool counted = (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0;
    Dl_info info{};
    link_map* map = nullptr;
    if (!moduleName || dladdr1(moduleName, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map) {
        kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    ModuleReferences& references = TheReferences();
    std::lock_guard lock(references.mutex);
    // The program's own map has an empty name.
    if (!map->l_name || map->l_name[0] == 0) {
        if (counted) {
            ++references.processHeld;
            ++references.calls.processTaken;
        }
        *module = ProcessModule();
        return TRUE;
    }
    void* handle = info.dli_fname ? dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD) : nullptr;
    if (!handle) {
        kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (counted) {
        ++references.sharedObjects[handle];
        ++references.calls.sharedObjectsHeld;
    } else {
        dlclose(handle);  // the object stays mapped by whoever loaded it
    }
    *module = static_cast<HMODULE>(handle);
    return TRUE;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
    if (kwin::ShouldFail("FreeLibrary")) return FALSE;
    if (module == kwin::AvrtModule() && kwin::ReleaseAvrtReference()) return TRUE;
    if (module == ProcessModule() && ReleaseProcessReference()) return TRUE;
    if (module && module != ProcessModule() && module != kwin::AvrtModule() && ReleaseSharedObjectReference(module)) {
        return TRUE;
    }
    kwin::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

// The thread ends first: it never returns into the caller's code, which the
// FreeLibrary may unmap, and its frames there are never unwound. FreeLibrary
// runs from the stand-in's thread start once the thread is back there.
extern "C" void WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
    kwin::EndCallingThread(exitCode, module);
}

// Nothing calls a module back on thread start or exit here anyway.
extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }
