#include "asio/driver/devctl.h"

#include "asio/driver/driver.h"

namespace korvex {

KSPROPERTY DeviceControlHeader(ULONG id, ULONG flags) {
    KSPROPERTY header{};
    header.Set = DeviceControlPropertySet;
    header.Id = id;
    header.Flags = flags;
    return header;
}

bool SendDeviceProperty(HANDLE device, ULONG id, ULONG flags, void* value, ULONG valueSize) {
    if (device == nullptr || device == INVALID_HANDLE_VALUE) return false;
    KSPROPERTY header = DeviceControlHeader(id, flags);
    DWORD bytesReturned = 0;
    return DeviceIoControl(device, IOCTL_KS_PROPERTY, &header, sizeof(header), value, valueSize, &bytesReturned,
                           nullptr) != FALSE;
}

const DeviceEntry* AsioDriver::SelectedDevice() const {
    if (devices == nullptr || deviceIndex < 0 || deviceIndex >= deviceCount) return nullptr;
    return &devices[deviceIndex];
}

bool AsioDriver::SendProperty(ULONG id, ULONG flags, void* value, ULONG valueSize) {
    const DeviceEntry* selected = SelectedDevice();
    if (selected == nullptr) return false;
    return SendDeviceProperty(selected->device, id, flags, value, valueSize);
}

bool AsioDriver::SendControlBlock() { return SendProperty(DEVCTL_CONTROL, KSPROPERTY_TYPE_SET, &control, sizeof(control)); }

}  // namespace korvex
