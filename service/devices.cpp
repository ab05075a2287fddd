#include "service/devices.h"

#include "common/hardware_ids.h"
#include "service/eventlog.h"
#include "service/launch.h"
#include "service/service.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

DeviceNode* deviceList = nullptr;
HDEVNOTIFY interfaceNotify = nullptr;
std::mutex deviceListLock;

namespace {

// The fixed size of the detail record that SetupAPI expects in cbSize.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "detail record header is 8 bytes");

void AppendNode(DeviceNode* node) {
    DeviceNode* tail = deviceList;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = node;
}

// Whole-string comparison, ASCII letters without regard to case; `length`
// counts the terminator of `id`.
DeviceNode* FindNodeById(const WCHAR* id, size_t length) {
    for (DeviceNode* node = deviceList->next; node != nullptr; node = node->next) {
        if (korvex::StartsWithIgnoringAsciiCase(node->instanceId, id, length)) return node;
    }
    return nullptr;
}

// The card whose handle notification the event came through. A card that is
// not watched has no registration to be matched by.
DeviceNode* FindNodeByRegistration(HDEVNOTIFY registration) {
    if (registration == nullptr) return nullptr;
    for (DeviceNode* node = deviceList->next; node != nullptr; node = node->next) {
        if (node->notifyHandle == registration) return node;
    }
    return nullptr;
}

// Closes the card's handle once; the value is forgotten with it, since the
// next object opened in this process may be given the same value.
void CloseCardHandle(DeviceNode* node) {
    if (node->deviceHandle != INVALID_HANDLE_VALUE && node->deviceHandle != nullptr) CloseHandle(node->deviceHandle);
    node->deviceHandle = INVALID_HANDLE_VALUE;
}

void UnwatchHandle(DeviceNode* node) {
    if (node->notifyHandle != nullptr) UnregisterDeviceNotification(node->notifyHandle);
    node->notifyHandle = nullptr;
}

void UnlinkAndFree(DeviceNode* node) {
    DeviceNode* previous = deviceList;
    while (previous->next != nullptr && previous->next != node) previous = previous->next;
    if (previous->next == node) previous->next = node->next;
    FreeDeviceNode(node);
}

// Adds the card of one enumerated device to the list if it is supported and
// everything about it can be read; otherwise leaves the list as it is.
void AddEnumeratedDevice(HDEVINFO set, SP_DEVINFO_DATA* info) {
    DWORD hardwareIdBytes = 0;
    SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_HARDWAREID, nullptr, nullptr, 0, &hardwareIdBytes);
    if (hardwareIdBytes == 0) return;
    // Two spare zero characters: the match never runs past the buffer even
    // if the property comes back unterminated.
    BYTE* hardwareIds =
        static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, hardwareIdBytes + 2 * sizeof(WCHAR)));
    if (hardwareIds == nullptr) {
        LogEvent(L"HeapAlloc", EVENTLOG_ERROR_TYPE, MSG_ERROR);
        return;
    }
    bool supported = SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_HARDWAREID, nullptr, hardwareIds,
                                                       hardwareIdBytes, nullptr) &&
                     IsSupportedCard(reinterpret_cast<const WCHAR*>(hardwareIds));
    HeapFree(GetProcessHeap(), 0, hardwareIds);
    if (!supported) return;

    DWORD idChars = 0;
    SetupDiGetDeviceInstanceIdW(set, info, nullptr, 0, &idChars);
    if (idChars == 0) return;
    DeviceNode* node = AllocateDeviceNode(idChars);
    if (node == nullptr) return;
    if (!SetupDiGetDeviceInstanceIdW(set, info, node->instanceId, idChars, nullptr)) {
        FreeDeviceNode(node);
        return;
    }
    node->instanceId[idChars - 1] = L'\0';
    // Listed already: its interface arrived between the interface
    // registration and this enumeration.
    if (FindNodeById(node->instanceId, wcslen(node->instanceId) + 1) != nullptr) {
        FreeDeviceNode(node);
        return;
    }
    AppendNode(node);
    LogEvent(node->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_FOUND);
}

void OnArrival(const WCHAR* interfaceName) {
    size_t length = 0;
    WCHAR* id = InterfaceNameToInstanceId(interfaceName, &length);
    if (id == nullptr) return;
    if (!IsSupportedCard(id)) {
        free(id);
        return;
    }
    // Each interface of a card brings an arrival with the same ID. A card's
    // interfaces are enabled one by one, so a card listed without a handle
    // is tried again at each of them.
    if (DeviceNode* listed = FindNodeById(id, length)) {
        if (!listed->closedForRemoval && listed->notifyHandle == nullptr) OpenAndWatchCard(listed);
        free(id);
        return;
    }
    DeviceNode* node = AllocateDeviceNode(length);
    if (node == nullptr) {
        free(id);
        return;
    }
    memcpy(node->instanceId, id, length * sizeof(WCHAR));
    free(id);
    AppendNode(node);
    LogEvent(node->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_DEVICE_ARRIVED);
    OpenAndWatchCard(node);
    LaunchControlPanel(node, node->next);
}

void OnQueryRemove(DeviceNode* node) {
    LogEvent(node->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_QUERY_REMOVE);
    LaunchForceCloseInstances(node->instanceId);
    if (!node->closedForRemoval) CloseCardHandle(node);
    node->closedForRemoval = 1;
}

void OnQueryRemoveFailed(DeviceNode* node) {
    LogEvent(node->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_QUERY_REMOVE_FAILED);
    // Normally closed by the query-remove before; never leave a handle behind.
    if (!node->closedForRemoval) CloseCardHandle(node);
    UnwatchHandle(node);
    OpenAndWatchCard(node);
    node->closedForRemoval = 0;
    LaunchControlPanel(node, node->next);
}

void OnRemoveComplete(DeviceNode* node) {
    LogEvent(node->instanceId, EVENTLOG_INFORMATION_TYPE, MSG_REMOVE_COMPLETE);
    if (!node->closedForRemoval) {
        // Gone without warning: the programs that hold it are asked now.
        LaunchForceCloseInstances(node->instanceId);
        CloseCardHandle(node);
    }
    UnwatchHandle(node);
    UnlinkAndFree(node);
}

// The interface name of a record whose size has been checked to reach
// dbcc_name, or null when the name is not terminated within the record.
const WCHAR* TerminatedInterfaceName(const DEV_BROADCAST_DEVICEINTERFACE_W* record, DWORD size) {
    constexpr size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const size_t chars = (size - nameOffset) / sizeof(WCHAR);
    for (size_t i = 0; i < chars; ++i) {
        if (record->dbcc_name[i] == L'\0') return record->dbcc_name;
    }
    return nullptr;
}

}  // namespace

DeviceNode* AllocateDeviceNode(size_t idChars) {
    size_t bytes = offsetof(DeviceNode, instanceId) + idChars * sizeof(WCHAR);
    if (bytes < sizeof(DeviceNode)) bytes = sizeof(DeviceNode);
    auto* node = static_cast<DeviceNode*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    if (node != nullptr) node->deviceHandle = INVALID_HANDLE_VALUE;
    return node;
}

void FreeDeviceNode(DeviceNode* node) {
    if (node != nullptr) HeapFree(GetProcessHeap(), 0, node);
}

DeviceNode* FindCard(const WCHAR* instanceId) {
    if (deviceList == nullptr) return nullptr;
    return FindNodeById(instanceId, wcslen(instanceId) + 1);
}

void UnlistCard(DeviceNode* node) {
    CloseCardHandle(node);
    DeviceNode* previous = deviceList;
    while (previous->next != nullptr && previous->next != node) previous = previous->next;
    if (previous->next == node) previous->next = node->next;
    node->next = nullptr;
}

void ForgetCard(DeviceNode* node) {
    UnwatchHandle(node);
    FreeDeviceNode(node);
}

bool IsSupportedCard(const WCHAR* id) { return IsSupportedHardwareId(id); }

void BuildDeviceList() {
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &info); ++index) AddEnumeratedDevice(set, &info);
    SetupDiDestroyDeviceInfoList(set);
}

void OpenCard(DeviceNode* node) {
    node->deviceHandle = INVALID_HANDLE_VALUE;
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, node->instanceId, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;

    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &interfaceData)) {
        DWORD detailBytes = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &detailBytes, nullptr);
        if (detailBytes > offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) {
            // One spare zero character keeps the path terminated whatever comes back.
            auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
                HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, detailBytes + sizeof(WCHAR)));
            if (detail == nullptr) {
                LogEvent(L"HeapAlloc", EVENTLOG_ERROR_TYPE, MSG_ERROR);
            } else {
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, detailBytes, nullptr, nullptr)) {
                    node->deviceHandle =
                        CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
                }
                HeapFree(GetProcessHeap(), 0, detail);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

void OpenAndWatchCard(DeviceNode* node) {
    OpenCard(node);
    if (node->deviceHandle == INVALID_HANDLE_VALUE) return;
    WatchHandle(node);
    if (node->notifyHandle == nullptr) CloseCardHandle(node);
}

void WatchHandle(DeviceNode* node) {
    DEV_BROADCAST_HANDLE filter;
    memset(&filter, 0, sizeof(filter));
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = node->deviceHandle;
    node->notifyHandle = RegisterDeviceNotificationW(statusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

HDEVNOTIFY RegisterInterfaceNotification() {
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    // With DEVICE_NOTIFY_ALL_INTERFACE_CLASSES the class does not narrow
    // anything; events are narrowed by the interface name.
    GUID media;
    memset(&media, 0, sizeof(media));
    DWORD required = 0;
    SetupDiClassGuidsFromNameW(L"Media", &media, 1, &required);
    filter.dbcc_classguid = media;
    return RegisterDeviceNotificationW(statusHandle, &filter,
                                       DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
}

WCHAR* InterfaceNameToInstanceId(const WCHAR* name, size_t* length) {
    constexpr size_t kPrefixChars = 4;  // the device-path prefix, "\\?\"
    const size_t nameChars = wcslen(name);
    const WCHAR* remainder = nameChars >= kPrefixChars ? name + kPrefixChars : name + nameChars;
    size_t idChars = wcslen(remainder);

    WCHAR* id = static_cast<WCHAR*>(malloc((idChars + 1) * sizeof(WCHAR)));
    if (id == nullptr) {
        *length = 0;
        return nullptr;
    }
    memcpy(id, remainder, (idChars + 1) * sizeof(WCHAR));
    // The interface-class GUID and any reference string follow the last '#'.
    for (size_t i = idChars; i > 0; --i) {
        if (id[i - 1] == L'#') {
            idChars = i - 1;
            id[idChars] = L'\0';
            break;
        }
    }
    for (size_t i = 0; i < idChars; ++i) {
        if (id[i] == L'#') id[i] = L'\\';
    }
    *length = idChars + 1;
    return id;
}

void OnDeviceEvent(DWORD eventType, LPVOID eventData) {
    if (eventData == nullptr) return;
    std::lock_guard<std::mutex> guard(deviceListLock);
    if (deviceList == nullptr) return;

    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(eventData);
    const DWORD size = header->dbch_size;
    if (size < sizeof(DEV_BROADCAST_HDR)) return;

    const DWORD deviceType = header->dbch_devicetype;
    const bool isHandle = deviceType == DBT_DEVTYP_HANDLE &&
                          size >= offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify) + sizeof(HDEVNOTIFY);
    const bool isInterface = deviceType == DBT_DEVTYP_DEVICEINTERFACE &&
                             size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const auto* handleRecord = static_cast<const DEV_BROADCAST_HANDLE*>(eventData);
    const auto* interfaceRecord = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(eventData);

    switch (eventType) {
        case DBT_DEVICEARRIVAL:
            if (isInterface) {
                const WCHAR* name = TerminatedInterfaceName(interfaceRecord, size);
                if (name != nullptr) OnArrival(name);
            }
            break;
        case DBT_DEVICEQUERYREMOVE:
            if (isHandle) {
                DeviceNode* node = FindNodeByRegistration(handleRecord->dbch_hdevnotify);
                if (node != nullptr) OnQueryRemove(node);
            }
            break;
        case DBT_DEVICEQUERYREMOVEFAILED:
            if (isHandle) {
                DeviceNode* node = FindNodeByRegistration(handleRecord->dbch_hdevnotify);
                if (node != nullptr) OnQueryRemoveFailed(node);
            }
            break;
        case DBT_DEVICEREMOVECOMPLETE:
            if (isHandle) {
                DeviceNode* node = FindNodeByRegistration(handleRecord->dbch_hdevnotify);
                if (node != nullptr) OnRemoveComplete(node);
            } else if (isInterface) {
                const WCHAR* name = TerminatedInterfaceName(interfaceRecord, size);
                if (name == nullptr) break;
                size_t length = 0;
                WCHAR* id = InterfaceNameToInstanceId(name, &length);
                if (id == nullptr) break;
                DeviceNode* node = FindNodeById(id, length);
                free(id);
                if (node != nullptr) OnRemoveComplete(node);
            }
            break;
        default:
            break;
    }
}
