// Arbitrary bytes as the broadcast record of a device event, and as an
// interface name, against the service's device-event code. Each input meets
// the same list: the head and two cards, one open and one that could not be
// opened. A record's size field never exceeds the bytes given, as the
// system's records never do.
#include "platform/posix/kernel.h"
#include "service/devices.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD kEventTypes[] = {DBT_DEVICEARRIVAL,       DBT_DEVICEQUERYREMOVE,  DBT_DEVICEQUERYREMOVEFAILED,
                                 DBT_DEVICEREMOVEPENDING, DBT_DEVICEREMOVECOMPLETE, DBT_CUSTOMEVENT};

// Not a multiple of four: never the value of a handle the stand-in gave out,
// so closing it touches nothing.
const HANDLE kOpenCard = reinterpret_cast<HANDLE>(uintptr_t{0x7fff0003});
// The open card's handle notification, by which its handle events find it;
// not a handle value either.
const HDEVNOTIFY kOpenCardNotify = reinterpret_cast<HDEVNOTIFY>(uintptr_t{0x7fff0007});

DeviceNode* Node(const wchar_t* id, HANDLE handle, HDEVNOTIFY notify) {
    const size_t chars = wcslen(id) + 1;
    DeviceNode* node = AllocateDeviceNode(chars);
    if (node == nullptr) abort();
    memcpy(node->instanceId, id, chars * sizeof(WCHAR));
    node->deviceHandle = handle;
    node->notifyHandle = notify;
    return node;
}

void BuildList() {
    deviceList = AllocateDeviceNode(1);
    if (deviceList == nullptr) abort();
    deviceList->next = Node(L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011721\\4&2A1B&0&00E0", kOpenCard, kOpenCardNotify);
    deviceList->next->next = Node(L"pci\\ven_1412&dev_1724&subsys_24021722\\4&2a1b&0&00e8", INVALID_HANDLE_VALUE, nullptr);
}

void FreeList() {
    DeviceNode* node = deviceList;
    while (node != nullptr) {
        DeviceNode* next = node->next;
        FreeDeviceNode(node);
        node = next;
    }
    deviceList = nullptr;
}

void FuzzRecord(DWORD eventType, const uint8_t* data, size_t size) {
    if (size < sizeof(DWORD)) {
        OnDeviceEvent(eventType, nullptr);
        return;
    }
    // Exactly the input's bytes: a read past them is reported.
    auto record = std::make_unique<uint8_t[]>(size);
    memcpy(record.get(), data, size);
    DWORD declared = 0;
    memcpy(&declared, record.get(), sizeof(declared));
    if (declared > size) declared = static_cast<DWORD>(size);
    memcpy(record.get(), &declared, sizeof(declared));
    OnDeviceEvent(eventType, record.get());
}

void FuzzName(const uint8_t* data, size_t size) {
    const size_t chars = size / sizeof(WCHAR);
    auto name = std::make_unique<WCHAR[]>(chars + 1);
    memcpy(name.get(), data, chars * sizeof(WCHAR));
    name[chars] = L'\0';
    size_t length = 0;
    WCHAR* id = InterfaceNameToInstanceId(name.get(), &length);
    if (id != nullptr && wcslen(id) + 1 != length) abort();
    free(id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;
    if (selector & 0x80) {
        FuzzName(data, size);
        return 0;
    }
    DWORD eventType = kEventTypes[selector % (sizeof(kEventTypes) / sizeof(kEventTypes[0]))];
    if (selector & 0x40) {
        if (size < sizeof(DWORD)) return 0;
        memcpy(&eventType, data, sizeof(DWORD));
        data += sizeof(DWORD);
        size -= sizeof(DWORD);
    }
    BuildList();
    FuzzRecord(eventType, data, size);
    FreeList();
    kwin::ClearEventLog();
    return 0;
}
