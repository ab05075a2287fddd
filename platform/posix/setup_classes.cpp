// Setup classes by name (SetupDiClassGuidsFromNameW): the machine installs
// one class per name, so a list holds at most one GUID.
#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/object.h"

#include <new>
#include <string>

namespace {

struct SetupClass {
    const WCHAR* name;
    GUID guid;
};

constexpr SetupClass kSetupClasses[] = {
    {L"Media", {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}},
};

}  // namespace

// An unknown name is no error: TRUE with no GUIDs.
extern "C" BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                                  PDWORD RequiredSize) {
    if (kwin::ShouldFail("SetupDiClassGuidsFromNameW")) return FALSE;
    if (!ClassName || (!ClassGuidList && ClassGuidListSize != 0)) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        const std::wstring wanted(ClassName);
        DWORD found = 0;
        for (const auto& setupClass : kSetupClasses) {
            if (!kwin::EqualsIgnoringAsciiCase(setupClass.name, wanted)) continue;
            if (found < ClassGuidListSize) ClassGuidList[found] = setupClass.guid;
            ++found;
        }
        if (RequiredSize) *RequiredSize = found;
        if (found > ClassGuidListSize) {
            kwin::SetLastErrorValue(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        kwin::SetLastErrorValue(ERROR_SUCCESS);
        return TRUE;
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
