// The process's handle table and CloseHandle.
#include "platform/posix/faults.h"
#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

#include <mutex>
#include <new>
#include <vector>

namespace kwin {
namespace {

// Handle values are (slot + 1) * 4: never null, never a pseudo-handle.
constexpr uintptr_t kHandleStep = 4;

struct HandleTable {
    std::mutex mutex;
    std::vector<std::shared_ptr<KernelObject>> slots;
    std::vector<DWORD> owners;  // process ID per slot
    std::vector<size_t> freeSlots;
};

HandleTable& Table() {
    static auto* table = new HandleTable;  // never destroyed: threads may outlive main
    return *table;
}

// The slot of an open handle; null when the value is not one.
// Call with the table locked.
std::shared_ptr<KernelObject>* SlotLocked(HandleTable& table, HANDLE handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % kHandleStep != 0) return nullptr;
    size_t index = value / kHandleStep - 1;
    if (index >= table.slots.size() || !table.slots[index]) return nullptr;
    return &table.slots[index];
}

bool IsPseudoHandle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE /* current process */ || handle == reinterpret_cast<HANDLE>(-2);
}

}  // namespace

const char* ObjectTypeName(ObjectType type) {
    switch (type) {
        case ObjectType::Event: return "event";
        case ObjectType::Thread: return "thread";
        case ObjectType::DeviceFile: return "device file";
        case ObjectType::DeviceInfoList: return "device info list";
        case ObjectType::Process: return "process";
        case ObjectType::Token: return "token";
        case ObjectType::EventSource: return "event source";
        case ObjectType::Notification: return "device notification";
        case ObjectType::WindowStation: return "window station";
        case ObjectType::Desktop: return "desktop";
        case ObjectType::Other: return "other";
        case ObjectType::Count: break;
    }
    return "?";
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    if (!object) return nullptr;
    const DWORD owner = CurrentProcessIdValue();
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    size_t index;
    try {
        if (table.freeSlots.empty()) {
            // Room for the slot's later return to the free list, so RemoveHandle never allocates.
            table.freeSlots.reserve(table.slots.size() + 1);
            table.owners.reserve(table.slots.size() + 1);
            table.slots.push_back(nullptr);
            table.owners.push_back(0);
            table.freeSlots.push_back(table.slots.size() - 1);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    index = table.freeSlots.back();
    table.freeSlots.pop_back();
    table.slots[index] = std::move(object);
    table.owners[index] = owner;
    return reinterpret_cast<HANDLE>((index + 1) * kHandleStep);
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto* slot = SlotLocked(table, handle);
    return slot ? *slot : nullptr;
}

bool ReferenceHandles(DWORD count, const HANDLE* handles, std::shared_ptr<KernelObject>* out) {
    HandleTable& table = Table();
    std::unique_lock lock(table.mutex);
    for (DWORD i = 0; i < count; ++i) {
        auto* slot = SlotLocked(table, handles[i]);
        if (!slot) {
            lock.unlock();  // dropping references may run destructors
            for (DWORD j = 0; j < i; ++j) out[j].reset();
            return false;
        }
        out[i] = *slot;
    }
    return true;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object;  // released after the table is unlocked
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto* slot = SlotLocked(table, handle);
    if (!slot) return false;
    object = std::move(*slot);
    table.freeSlots.push_back(static_cast<size_t>(slot - table.slots.data()));
    return true;
}

int CloseHandlesOwnedBy(DWORD processId) {
    std::vector<std::shared_ptr<KernelObject>> closed;  // released after the table is unlocked
    {
        HandleTable& table = Table();
        std::lock_guard lock(table.mutex);
        for (size_t i = 0; i < table.slots.size(); ++i) {
            if (!table.slots[i] || table.owners[i] != processId) continue;
            closed.push_back(std::move(table.slots[i]));
            table.freeSlots.push_back(i);
        }
    }
    return static_cast<int>(closed.size());
}

std::vector<OpenHandleInfo> OpenHandlesOf(DWORD processId) {
    std::vector<std::pair<HANDLE, std::shared_ptr<KernelObject>>> owned;
    {
        HandleTable& table = Table();
        std::lock_guard lock(table.mutex);
        for (size_t i = 0; i < table.slots.size(); ++i) {
            if (table.slots[i] && table.owners[i] == processId) {
                owned.emplace_back(reinterpret_cast<HANDLE>((i + 1) * kHandleStep), table.slots[i]);
            }
        }
    }
    std::vector<OpenHandleInfo> infos;
    for (const auto& [handle, object] : owned) {
        infos.push_back({handle, ObjectTypeName(object->type()), object->DeviceInstanceId()});
    }
    return infos;
}

HandleCounts OpenHandles() {
    HandleCounts counts;
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    for (const auto& object : table.slots) {
        if (!object) continue;
        ++counts.total;
        switch (object->type()) {
            case ObjectType::Event: ++counts.events; break;
            case ObjectType::Thread: ++counts.threads; break;
            case ObjectType::DeviceFile: ++counts.deviceFiles; break;
            case ObjectType::DeviceInfoList: ++counts.deviceInfoLists; break;
            case ObjectType::Process: ++counts.processes; break;
            case ObjectType::Token: ++counts.tokens; break;
            case ObjectType::EventSource: ++counts.eventSources; break;
            case ObjectType::Notification: ++counts.notifications; break;
            case ObjectType::WindowStation: ++counts.windowStations; break;
            case ObjectType::Desktop: ++counts.desktops; break;
            default: ++counts.other; break;
        }
    }
    return counts;
}

}  // namespace kwin

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (kwin::ShouldFail("CloseHandle")) return FALSE;
    if (kwin::IsPseudoHandle(hObject)) return TRUE;  // closing a pseudo-handle does nothing
    if (!kwin::RemoveHandle(hObject)) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
