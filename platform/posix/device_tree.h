// The simulated device tree inside the stand-in: what AddDevice stored, and
// the lookups that SetupAPI and CreateFileW make on it.
#pragma once

#include "platform/posix/kernel.h"

#include <memory>
#include <string>
#include <vector>

namespace kwin {

// A device as the tree holds it: the caller's record and the device number
// that SP_DEVINFO_DATA.DevInst reports.
struct StoredDevice {
    DeviceInfo info;
    DWORD devInst = 0;
};

// A copy of the tree in enumeration order.
std::vector<StoredDevice> SnapshotDevices();

// The driver behind the interface path of a present device (compared without
// regard to ASCII case); null when no such interface exists or it has none.
std::shared_ptr<DeviceDriver> FindInterfaceDriver(const WCHAR* path);

// Runs the hook set by SetClassDevsHook, if any, with the next call number
// (1 for the first list built since the hook was set). Call it with no lock held.
void RunClassDevsHook();

// ASCII letters compared without regard to case, like the identifiers here.
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

}  // namespace kwin
