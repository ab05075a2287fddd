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
// When found and `instanceId` is given, it receives the device's instance ID.
std::shared_ptr<DeviceDriver> FindInterfaceDriver(const WCHAR* path, std::wstring* instanceId = nullptr);

// The instance ID of the device that an open device file was opened on;
// false when the handle is not an open device file.
bool DeviceFileInstanceId(HANDLE handle, std::wstring* instanceId);
// How many device files are open on the device (handles not yet closed).
int OpenDeviceFilesOn(const std::wstring& instanceId);

// Runs the hook set by SetClassDevsHook, if any, with the next call number
// (1 for the first list built since the hook was set). Call it with no lock held.
void RunClassDevsHook();

// Enables interface `index` of the device and returns a copy of it; false
// when there is no such device or interface.
bool EnableInterface(const std::wstring& instanceId, size_t index, DeviceInterfaceInfo* enabled);
// A device whose removal is under way is no longer present: it cannot be
// opened, and a DIGCF_PRESENT enumeration leaves it out.
void SetDevicePresent(const std::wstring& instanceId, bool present);

// ASCII letters compared without regard to case, like the identifiers here.
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

}  // namespace kwin
