// The object behind an HDEVINFO: a snapshot of the devices that matched
// SetupDiGetClassDevsW, taken when the list was opened.
#pragma once

#include "platform/posix/object.h"

#include <string>
#include <vector>

namespace kwin {

struct ListedInterface {
    GUID category{};
    std::wstring path;
};

struct ListedDevice {
    std::wstring instanceId;
    std::vector<std::wstring> hardwareIds;
    std::vector<ListedInterface> interfaces;
    DWORD devInst = 0;
    bool present = true;
    DWORD hardwareIdQueryError = 0;
    DWORD hardwareIdReadError = 0;
};

class DeviceInfoList final : public KernelObject {
public:
    DeviceInfoList() : KernelObject(ObjectType::DeviceInfoList) {}
    std::vector<ListedDevice> devices;  // fixed once the handle is handed out
};

}  // namespace kwin
