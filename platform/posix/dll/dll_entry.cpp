// Plays the loader's part for a library built for Linux: calls the
// library's DllMain when it is loaded and unloaded, as Windows does.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

// A value of its own that stands for this module's instance handle.
HINSTANCE ThisModule() {
    static char marker;
    return reinterpret_cast<HINSTANCE>(&marker);
}

__attribute__((constructor)) void AttachModule() { DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr); }
__attribute__((destructor)) void DetachModule() { DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
