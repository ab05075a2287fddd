// SetupAPI over the simulated device tree: device lists, their devices and
// device interfaces, and the properties the product reads.
#include "platform/posix/device_info_list.h"
#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"

#include <cstring>
#include <new>

namespace {

using kwin::DeviceInfoList;
using kwin::ListedDevice;
using kwin::ListedInterface;

constexpr DWORD kErrorInvalidUserBuffer = 1784;
constexpr DWORD kSpintActive = 0x00000001;  // SP_DEVICE_INTERFACE_DATA.Flags of a present device
// Interface references carry the device index in the upper half.
constexpr ULONG_PTR kInterfacesPerDevice = 0x10000;

BOOL Fail(DWORD error) {
    kwin::SetLastErrorValue(error);
    return FALSE;
}

std::shared_ptr<DeviceInfoList> ReferenceList(HDEVINFO handle) {
    return kwin::ReferenceHandleAs<DeviceInfoList>(handle, kwin::ObjectType::DeviceInfoList);
}

// The part of an instance ID before its first backslash ("PCI").
std::wstring EnumeratorOf(const std::wstring& instanceId) { return instanceId.substr(0, instanceId.find(L'\\')); }

bool MatchesEnumerator(const std::wstring& instanceId, PCWSTR enumerator) {
    if (!enumerator || !*enumerator) return true;
    const std::wstring wanted(enumerator);
    return kwin::EqualsIgnoringAsciiCase(instanceId, wanted) ||
           kwin::EqualsIgnoringAsciiCase(EnumeratorOf(instanceId), wanted);
}

bool HasInterfaceOf(const kwin::DeviceInfo& device, const GUID* category) {
    for (const auto& interface : device.interfaces) {
        if (!interface.enabled) continue;
        if (!category || IsEqualGUID(interface.category, *category)) return true;
    }
    return false;
}

ListedDevice ListDevice(const kwin::StoredDevice& stored) {
    ListedDevice listed;
    listed.instanceId = stored.info.instanceId;
    listed.hardwareIds = stored.info.hardwareIds;
    listed.devInst = stored.devInst;
    listed.present = stored.info.present;
    listed.hardwareIdQueryError = stored.info.hardwareIdQueryError;
    listed.hardwareIdReadError = stored.info.hardwareIdReadError;
    for (const auto& interface : stored.info.interfaces) {
        if (interface.enabled) listed.interfaces.push_back({interface.category, interface.path});
    }
    return listed;
}

// The device that an SP_DEVINFO_DATA from this list names; null (and the
// last error set) when it names none.
const ListedDevice* DeviceOf(const DeviceInfoList& list, const SP_DEVINFO_DATA* data) {
    if (!data) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        kwin::SetLastErrorValue(kErrorInvalidUserBuffer);
        return nullptr;
    }
    const ULONG_PTR index = data->Reserved - 1;
    if (data->Reserved == 0 || index >= list.devices.size() || list.devices[index].devInst != data->DevInst) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &list.devices[index];
}

void FillDevInfo(const DeviceInfoList& list, size_t index, SP_DEVINFO_DATA* data) {
    data->ClassGuid = GUID{};  // the tree has no setup classes
    data->DevInst = list.devices[index].devInst;
    data->Reserved = index + 1;
}

// Writes `bytes` bytes of `source` when the buffer holds them; otherwise the
// ERROR_INSUFFICIENT_BUFFER answer. The required size goes out either way.
BOOL AnswerSized(const void* source, DWORD bytes, void* buffer, DWORD bufferSize, PDWORD requiredSize,
                 DWORD requiredUnits) {
    if (requiredSize) *requiredSize = requiredUnits;
    if (!buffer && bufferSize != 0) return Fail(kErrorInvalidUserBuffer);
    if (!buffer || bufferSize < requiredUnits) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, source, bytes);
    return TRUE;
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
    if (kwin::ShouldFail("SetupDiGetClassDevsW")) return INVALID_HANDLE_VALUE;
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    if (!classGuid && !allClasses) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<DeviceInfoList> list;
    try {
        list = std::make_shared<DeviceInfoList>();
        for (const auto& stored : kwin::SnapshotDevices()) {
            if ((flags & DIGCF_PRESENT) && !stored.info.present) continue;
            if (!MatchesEnumerator(stored.info.instanceId, enumerator)) continue;
            if (!allClasses) {
                // Only interface categories are modelled: a setup-class query finds nothing.
                if (!(flags & DIGCF_DEVICEINTERFACE) || !HasInterfaceOf(stored.info, classGuid)) continue;
            }
            list->devices.push_back(ListDevice(stored));
        }
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = kwin::InsertHandle(std::move(list));
    kwin::RunClassDevsHook();
    return handle;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                                             PSP_DEVINFO_DATA deviceInfoData) {
    if (kwin::ShouldFail("SetupDiEnumDeviceInfo")) return FALSE;
    auto list = ReferenceList(deviceInfoSet);
    if (!list) return Fail(ERROR_INVALID_HANDLE);
    if (!deviceInfoData) return Fail(ERROR_INVALID_PARAMETER);
    if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(kErrorInvalidUserBuffer);
    if (memberIndex >= list->devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    FillDevInfo(*list, memberIndex, deviceInfoData);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                         DWORD property, PDWORD propertyRegDataType,
                                                         PBYTE propertyBuffer, DWORD propertyBufferSize,
                                                         PDWORD requiredSize) {
    if (kwin::ShouldFail("SetupDiGetDeviceRegistryPropertyW")) return FALSE;
    auto list = ReferenceList(deviceInfoSet);
    if (!list) return Fail(ERROR_INVALID_HANDLE);
    const ListedDevice* device = DeviceOf(*list, deviceInfoData);
    if (!device) return FALSE;
    // Only the hardware IDs are stored; any other property is absent.
    if (property != SPDRP_HARDWAREID || device->hardwareIds.empty()) return Fail(ERROR_INVALID_DATA);
    if (device->hardwareIdQueryError) return Fail(device->hardwareIdQueryError);

    std::wstring multi;  // each ID with its terminator, then the list's own
    for (const auto& id : device->hardwareIds) {
        multi += id;
        multi.push_back(L'\0');
    }
    multi.push_back(L'\0');
    const auto bytes = static_cast<DWORD>(multi.size() * sizeof(WCHAR));
    if (propertyRegDataType) *propertyRegDataType = REG_MULTI_SZ;
    if (propertyBuffer && propertyBufferSize >= bytes && device->hardwareIdReadError) {
        return Fail(device->hardwareIdReadError);
    }
    return AnswerSized(multi.data(), bytes, propertyBuffer, propertyBufferSize, requiredSize, bytes);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                   PWSTR deviceInstanceId, DWORD deviceInstanceIdSize,
                                                   PDWORD requiredSize) {
    if (kwin::ShouldFail("SetupDiGetDeviceInstanceIdW")) return FALSE;
    auto list = ReferenceList(deviceInfoSet);
    if (!list) return Fail(ERROR_INVALID_HANDLE);
    const ListedDevice* device = DeviceOf(*list, deviceInfoData);
    if (!device) return FALSE;
    const auto chars = static_cast<DWORD>(device->instanceId.size() + 1);
    return AnswerSized(device->instanceId.c_str(), chars * sizeof(WCHAR), deviceInstanceId, deviceInstanceIdSize,
                       requiredSize, chars);
}

// Without a device, memberIndex counts the category's interfaces over the
// whole list, device after device.
extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                   const GUID* interfaceClassGuid, DWORD memberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    if (kwin::ShouldFail("SetupDiEnumDeviceInterfaces")) return FALSE;
    auto list = ReferenceList(deviceInfoSet);
    if (!list) return Fail(ERROR_INVALID_HANDLE);
    if (!interfaceClassGuid || !deviceInterfaceData) return Fail(ERROR_INVALID_PARAMETER);
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(kErrorInvalidUserBuffer);
    const ListedDevice* only = nullptr;
    if (deviceInfoData) {
        only = DeviceOf(*list, deviceInfoData);
        if (!only) return FALSE;
    }
    DWORD seen = 0;
    for (size_t d = 0; d < list->devices.size(); ++d) {
        const ListedDevice& device = list->devices[d];
        if (only && only != &device) continue;
        for (size_t i = 0; i < device.interfaces.size(); ++i) {
            if (!IsEqualGUID(device.interfaces[i].category, *interfaceClassGuid)) continue;
            if (seen++ != memberIndex) continue;
            deviceInterfaceData->InterfaceClassGuid = *interfaceClassGuid;
            deviceInterfaceData->Flags = device.present ? kSpintActive : 0;
            deviceInterfaceData->Reserved = d * kInterfacesPerDevice + i + 1;
            return TRUE;
        }
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceInfoSet,
                                                        PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                        PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData) {
    if (kwin::ShouldFail("SetupDiGetDeviceInterfaceDetailW")) return FALSE;
    auto list = ReferenceList(deviceInfoSet);
    if (!list) return Fail(ERROR_INVALID_HANDLE);
    if (!deviceInterfaceData) return Fail(ERROR_INVALID_PARAMETER);
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(kErrorInvalidUserBuffer);
    const ULONG_PTR reference = deviceInterfaceData->Reserved - 1;
    const size_t deviceIndex = reference / kInterfacesPerDevice;
    const size_t interfaceIndex = reference % kInterfacesPerDevice;
    if (deviceInterfaceData->Reserved == 0 || deviceIndex >= list->devices.size() ||
        interfaceIndex >= list->devices[deviceIndex].interfaces.size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const ListedInterface& interface = list->devices[deviceIndex].interfaces[interfaceIndex];

    const auto pathBytes = static_cast<DWORD>((interface.path.size() + 1) * sizeof(WCHAR));
    const auto required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + pathBytes);
    if (requiredSize) *requiredSize = required;
    if (!detail) return Fail(detailSize != 0 ? kErrorInvalidUserBuffer : ERROR_INSUFFICIENT_BUFFER);
    if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || detail->cbSize != sizeof(*detail)) {
        return Fail(kErrorInvalidUserBuffer);
    }
    if (detailSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (deviceInfoData) {
        if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(kErrorInvalidUserBuffer);
        FillDevInfo(*list, deviceIndex, deviceInfoData);
    }
    std::memcpy(detail->DevicePath, interface.path.c_str(), pathBytes);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    if (kwin::ShouldFail("SetupDiDestroyDeviceInfoList")) return FALSE;
    if (!ReferenceList(deviceInfoSet) || !kwin::RemoveHandle(deviceInfoSet)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
