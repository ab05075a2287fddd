// The process heap: one per machine here, handed out under a value that no
// handle of the handle table can have.
#include "platform/posix/faults.h"
#include "platform/posix/object.h"

#include <cstdlib>

namespace {

const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(uintptr_t{0x00a10001});

}  // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != kProcessHeap) return nullptr;
    DWORD ignored = 0;
    if (kwin::ShouldFail("HeapAlloc", ignored)) return nullptr;
    const size_t bytes = dwBytes == 0 ? 1 : dwBytes;
    return (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes) : std::malloc(bytes);
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
    if (hHeap != kProcessHeap) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(lpMem);
    return TRUE;
}
