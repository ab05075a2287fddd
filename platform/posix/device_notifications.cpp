// Device notifications of services (RegisterDeviceNotificationW and
// UnregisterDeviceNotification) and the Plug and Play manager that delivers
// device events to them (kernel_pnp.h).
#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/object.h"
#include "platform/posix/service_manager.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace kwin {
namespace {

constexpr DWORD kKnownFlags = DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;

struct Registration final : KernelObject {
    Registration() : KernelObject(ObjectType::Notification) {}
    std::wstring DeviceInstanceId() const override { return instanceId; }

    std::shared_ptr<ServiceConnection> service;
    DWORD deviceType = 0;
    // Interface registrations.
    bool allInterfaceClasses = false;
    GUID classGuid{};
    // Handle registrations: the handle as registered and the device it was
    // opened on. The registration outlives the handle.
    HANDLE deviceHandle = nullptr;
    std::wstring instanceId;
    // Its own handle value, filled once inserted.
    HDEVNOTIFY value = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::vector<std::weak_ptr<Registration>> registrations;  // in the order they were made
    DeviceNotificationCalls calls;
    std::vector<DeviceEventDelivery> history;
    std::shared_ptr<std::function<void(const char*, HDEVNOTIFY)>> hook;
};
Registry& TheRegistry() {
    static auto* registry = new Registry;  // never destroyed: threads may outlive main
    return *registry;
}

// One device event at a time, as the Plug and Play manager sends them.
std::mutex& EventSerialisation() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

void RunHook(const char* call, HDEVNOTIFY handle) {
    std::shared_ptr<std::function<void(const char*, HDEVNOTIFY)>> hook;
    {
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        hook = registry.hook;
    }
    if (hook) (*hook)(call, handle);
}

// The registrations still open, in registration order.
std::vector<std::shared_ptr<Registration>> LiveRegistrations() {
    std::vector<std::shared_ptr<Registration>> live;
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (const auto& weak : registry.registrations) {
        if (auto registration = weak.lock()) live.push_back(std::move(registration));
    }
    return live;
}

// Whether the registration's handle is still open: an unregistered one gets
// nothing more, even when the event was already under way.
bool StillRegistered(const Registration& registration) {
    return ReferenceHandle(registration.value).get() == &registration;
}

DWORD Deliver(Registration& registration, DWORD eventType, void* record, DeviceEventDelivery delivery) {
    delivery.processId = registration.service->processId;
    delivery.eventType = eventType;
    delivery.result = DeliverServiceControl(*registration.service, SERVICE_CONTROL_DEVICEEVENT, eventType, record);
    const DWORD result = delivery.result;
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.history.push_back(std::move(delivery));
    return result;
}

// Returns whether any recipient answered BROADCAST_QUERY_DENY.
bool DeliverHandleEvent(const std::wstring& instanceId, DWORD eventType) {
    bool denied = false;
    for (const auto& registration : LiveRegistrations()) {
        if (registration->deviceType != DBT_DEVTYP_HANDLE ||
            !EqualsIgnoringAsciiCase(registration->instanceId, instanceId) || !StillRegistered(*registration)) {
            continue;
        }
        DEV_BROADCAST_HANDLE record;
        memset(&record, 0, sizeof(record));
        record.dbch_size = sizeof(record);
        record.dbch_devicetype = DBT_DEVTYP_HANDLE;
        record.dbch_handle = registration->deviceHandle;
        record.dbch_hdevnotify = registration->value;
        record.dbch_nameoffset = -1;
        DeviceEventDelivery delivery;
        delivery.deviceType = DBT_DEVTYP_HANDLE;
        delivery.handle = record.dbch_handle;
        delivery.notify = record.dbch_hdevnotify;
        if (Deliver(*registration, eventType, &record, std::move(delivery)) == BROADCAST_QUERY_DENY) denied = true;
    }
    return denied;
}

// An interface record sized exactly for its name: what a handler reads past
// the terminator is outside the allocation.
struct InterfaceRecord {
    std::unique_ptr<unsigned char[]> bytes;
    DEV_BROADCAST_DEVICEINTERFACE_W* record() { return reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.get()); }
};

InterfaceRecord MakeInterfaceRecord(const DeviceInterfaceInfo& interface) {
    const size_t size =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (interface.path.size() + 1) * sizeof(WCHAR);
    InterfaceRecord made{std::make_unique<unsigned char[]>(size)};  // zero-filled
    DEV_BROADCAST_DEVICEINTERFACE_W* record = made.record();
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = interface.category;
    memcpy(record->dbcc_name, interface.path.c_str(), (interface.path.size() + 1) * sizeof(WCHAR));
    return made;
}

int DeliverInterfaceEvents(const std::vector<DeviceInterfaceInfo>& interfaces, DWORD eventType) {
    int delivered = 0;
    for (const auto& interface : interfaces) {
        if (eventType == DBT_DEVICEARRIVAL && !interface.enabled) continue;
        for (const auto& registration : LiveRegistrations()) {
            if (registration->deviceType != DBT_DEVTYP_DEVICEINTERFACE) continue;
            if (!registration->allInterfaceClasses && !IsEqualGUID(registration->classGuid, interface.category)) {
                continue;
            }
            if (!StillRegistered(*registration)) continue;
            InterfaceRecord record = MakeInterfaceRecord(interface);
            DeviceEventDelivery delivery;
            delivery.deviceType = DBT_DEVTYP_DEVICEINTERFACE;
            delivery.name = interface.path;
            delivery.classGuid = interface.category;
            Deliver(*registration, eventType, record.record(), std::move(delivery));
            ++delivered;
        }
    }
    return delivered;
}

bool FindDevice(const std::wstring& instanceId, DeviceInfo* found) {
    for (auto& stored : SnapshotDevices()) {
        if (EqualsIgnoringAsciiCase(stored.info.instanceId, instanceId)) {
            *found = std::move(stored.info);
            return true;
        }
    }
    return false;
}

RemovalResult CompleteRemoval(const DeviceInfo& device) {
    DeliverHandleEvent(device.instanceId, DBT_DEVICEREMOVECOMPLETE);
    DeliverInterfaceEvents(device.interfaces, DBT_DEVICEREMOVECOMPLETE);
    RemovalResult result;
    result.removed = RemoveDevice(device.instanceId);
    result.handlesStillOpen = OpenDeviceFilesOn(device.instanceId);
    return result;
}

HDEVNOTIFY FailRegistration(DWORD error) {
    SetLastErrorValue(error);
    return nullptr;
}

}  // namespace

int AnnounceDeviceArrival(const std::wstring& instanceId) {
    std::lock_guard serial(EventSerialisation());
    DeviceInfo device;
    if (!FindDevice(instanceId, &device)) return 0;
    return DeliverInterfaceEvents(device.interfaces, DBT_DEVICEARRIVAL);
}

std::future<int> AnnounceDeviceArrivalAsync(std::wstring instanceId) {
    return std::async(std::launch::async, [id = std::move(instanceId)] { return AnnounceDeviceArrival(id); });
}

int AnnounceInterfaceArrival(const std::wstring& instanceId, size_t index) {
    std::lock_guard serial(EventSerialisation());
    DeviceInterfaceInfo interface;
    if (!EnableInterface(instanceId, index, &interface)) return -1;
    return DeliverInterfaceEvents({interface}, DBT_DEVICEARRIVAL);
}

namespace {

// The query half of a removal; true when every recipient consented. A
// consented device is then on its way out and no longer present.
bool QueryRemoval(const DeviceInfo& device, bool vetoedByOtherProgram, RemovalResult* result) {
    const bool denied = DeliverHandleEvent(device.instanceId, DBT_DEVICEQUERYREMOVE);
    result->vetoedByRecipient = denied;
    if (vetoedByOtherProgram || denied) {
        DeliverHandleEvent(device.instanceId, DBT_DEVICEQUERYREMOVEFAILED);
        return false;
    }
    SetDevicePresent(device.instanceId, false);
    return true;
}

}  // namespace

RemovalResult RequestDeviceRemoval(const std::wstring& instanceId, bool vetoedByOtherProgram) {
    std::lock_guard serial(EventSerialisation());
    DeviceInfo device;
    if (!FindDevice(instanceId, &device)) return {};
    RemovalResult result;
    if (!QueryRemoval(device, vetoedByOtherProgram, &result)) return result;
    return CompleteRemoval(device);
}

RemovalResult QueryDeviceRemoval(const std::wstring& instanceId, bool vetoedByOtherProgram) {
    std::lock_guard serial(EventSerialisation());
    DeviceInfo device;
    RemovalResult result;
    if (FindDevice(instanceId, &device)) QueryRemoval(device, vetoedByOtherProgram, &result);
    return result;
}

RemovalResult CompleteDeviceRemoval(const std::wstring& instanceId) {
    std::lock_guard serial(EventSerialisation());
    DeviceInfo device;
    if (!FindDevice(instanceId, &device)) return {};
    return CompleteRemoval(device);
}

std::future<RemovalResult> RequestDeviceRemovalAsync(std::wstring instanceId, bool vetoedByOtherProgram) {
    return std::async(std::launch::async, [id = std::move(instanceId), vetoedByOtherProgram] {
        return RequestDeviceRemoval(id, vetoedByOtherProgram);
    });
}

RemovalResult SurpriseRemoveDevice(const std::wstring& instanceId) {
    std::lock_guard serial(EventSerialisation());
    DeviceInfo device;
    if (!FindDevice(instanceId, &device)) return {};
    return CompleteRemoval(device);
}

std::future<RemovalResult> SurpriseRemoveDeviceAsync(std::wstring instanceId) {
    return std::async(std::launch::async, [id = std::move(instanceId)] { return SurpriseRemoveDevice(id); });
}

bool AnnounceDeviceRemoval(const std::wstring& instanceId) { return SurpriseRemoveDevice(instanceId).removed; }

std::vector<DeviceEventDelivery> DeviceEventHistory() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    return registry.history;
}

void ResetDeviceEventHistory() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.history.clear();
}

std::vector<DeviceNotificationInfo> DeviceNotificationRegistrations() {
    std::vector<DeviceNotificationInfo> infos;
    for (const auto& registration : LiveRegistrations()) {
        if (!StillRegistered(*registration)) continue;
        infos.push_back({registration->service->processId, registration->value, registration->deviceType,
                         registration->allInterfaceClasses, registration->classGuid, registration->deviceHandle,
                         registration->instanceId});
    }
    return infos;
}

DeviceNotificationCalls DeviceNotifications() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    return registry.calls;
}

void ResetDeviceNotificationCalls() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.calls = {};
}

void SetDeviceNotificationHook(std::function<void(const char*, HDEVNOTIFY)> hook) {
    auto stored = hook ? std::make_shared<std::function<void(const char*, HDEVNOTIFY)>>(std::move(hook)) : nullptr;
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.hook.swap(stored);
}

}  // namespace kwin

// Only services receive notifications here (DEVICE_NOTIFY_SERVICE_HANDLE);
// a window recipient is refused with ERROR_INVALID_PARAMETER.
extern "C" HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
    using kwin::FailRegistration;
    try {
        kwin::RunHook("register", nullptr);
        if (kwin::ShouldFail("RegisterDeviceNotificationW")) return nullptr;
        if ((Flags & ~kwin::kKnownFlags) != 0 || (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) == 0) {
            return FailRegistration(ERROR_INVALID_PARAMETER);
        }
        auto service = kwin::FindServiceConnection(static_cast<SERVICE_STATUS_HANDLE>(hRecipient));
        if (!service) return FailRegistration(ERROR_INVALID_HANDLE);
        if (!NotificationFilter) return FailRegistration(ERROR_INVALID_PARAMETER);

        const auto* header = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
        if (header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return FailRegistration(ERROR_INVALID_DATA);
        auto registration = std::make_shared<kwin::Registration>();
        registration->service = std::move(service);
        registration->deviceType = header->dbch_devicetype;
        switch (header->dbch_devicetype) {
            case DBT_DEVTYP_DEVICEINTERFACE: {
                if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
                    return FailRegistration(ERROR_INVALID_DATA);
                }
                const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
                registration->allInterfaceClasses = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
                registration->classGuid = filter->dbcc_classguid;
                break;
            }
            case DBT_DEVTYP_HANDLE: {
                if (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) return FailRegistration(ERROR_INVALID_PARAMETER);
                if (header->dbch_size < sizeof(DEV_BROADCAST_HANDLE)) return FailRegistration(ERROR_INVALID_DATA);
                const auto* filter = static_cast<const DEV_BROADCAST_HANDLE*>(NotificationFilter);
                if (filter->dbch_handle == INVALID_HANDLE_VALUE ||
                    !kwin::DeviceFileInstanceId(filter->dbch_handle, &registration->instanceId)) {
                    return FailRegistration(ERROR_INVALID_HANDLE);
                }
                registration->deviceHandle = filter->dbch_handle;
                break;
            }
            default:
                return FailRegistration(ERROR_INVALID_PARAMETER);
        }

        HANDLE value = kwin::InsertHandle(registration);
        if (!value) return FailRegistration(ERROR_NOT_ENOUGH_MEMORY);
        // Set before the registry publishes it to the deliveries.
        registration->value = value;
        kwin::Registry& registry = kwin::TheRegistry();
        try {
            std::lock_guard lock(registry.mutex);
            // Forget the unregistered ones before growing.
            std::erase_if(registry.registrations, [](const auto& weak) { return weak.expired(); });
            registry.registrations.push_back(registration);
            ++registry.calls.registered;
        } catch (const std::bad_alloc&) {
            kwin::RemoveHandle(value);
            return FailRegistration(ERROR_NOT_ENOUGH_MEMORY);
        }
        kwin::RunHook("registered", value);
        kwin::SetLastErrorValue(ERROR_SUCCESS);
        return value;
    } catch (const std::bad_alloc&) {
        return FailRegistration(ERROR_NOT_ENOUGH_MEMORY);
    }
}

extern "C" BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
    try {
        kwin::RunHook("unregister", Handle);
    } catch (const std::bad_alloc&) {
    }
    if (kwin::ShouldFail("UnregisterDeviceNotification")) return FALSE;
    if (!kwin::ReferenceHandleAs<kwin::Registration>(Handle, kwin::ObjectType::Notification) ||
        !kwin::RemoveHandle(Handle)) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    kwin::Registry& registry = kwin::TheRegistry();
    std::lock_guard lock(registry.mutex);
    ++registry.calls.unregistered;
    return TRUE;
}
