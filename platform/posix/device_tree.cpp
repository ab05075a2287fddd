// Storage of the simulated device tree (AddDevice and friends of kernel.h).
#include "platform/posix/device_tree.h"

#include <mutex>

namespace kwin {
namespace {

struct DeviceTree {
    std::mutex mutex;
    std::vector<StoredDevice> devices;
    DWORD nextDevInst = 1;
    std::shared_ptr<std::function<void(int)>> hook;
    int hookCalls = 0;
};

DeviceTree& Tree() {
    static auto* tree = new DeviceTree;  // never destroyed: threads may outlive main
    return *tree;
}

WCHAR FoldAscii(WCHAR c) { return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c; }

}  // namespace

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

// A device with an instance ID already in the tree replaces it, at the end.
void AddDevice(const DeviceInfo& device) {
    std::vector<StoredDevice> removed;  // drivers released after unlocking
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    for (auto it = tree.devices.begin(); it != tree.devices.end();) {
        if (EqualsIgnoringAsciiCase(it->info.instanceId, device.instanceId)) {
            removed.push_back(std::move(*it));
            it = tree.devices.erase(it);
        } else {
            ++it;
        }
    }
    tree.devices.push_back({device, tree.nextDevInst++});
}

bool RemoveDevice(const std::wstring& instanceId) {
    std::vector<StoredDevice> removed;
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    for (auto it = tree.devices.begin(); it != tree.devices.end();) {
        if (EqualsIgnoringAsciiCase(it->info.instanceId, instanceId)) {
            removed.push_back(std::move(*it));
            it = tree.devices.erase(it);
        } else {
            ++it;
        }
    }
    return !removed.empty();
}

void ClearDevices() {
    std::vector<StoredDevice> removed;
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    removed.swap(tree.devices);
}

void SetClassDevsHook(std::function<void(int callNumber)> hook) {
    auto stored = hook ? std::make_shared<std::function<void(int)>>(std::move(hook)) : nullptr;
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    tree.hook.swap(stored);
    tree.hookCalls = 0;
}

void RunClassDevsHook() {
    std::shared_ptr<std::function<void(int)>> hook;
    int call = 0;
    {
        DeviceTree& tree = Tree();
        std::lock_guard lock(tree.mutex);
        if (!tree.hook) return;
        hook = tree.hook;
        call = ++tree.hookCalls;
    }
    (*hook)(call);  // unlocked: the hook changes the tree
}

bool EnableInterface(const std::wstring& instanceId, size_t index, DeviceInterfaceInfo* enabled) {
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    for (auto& device : tree.devices) {
        if (!EqualsIgnoringAsciiCase(device.info.instanceId, instanceId)) continue;
        if (index >= device.info.interfaces.size()) return false;
        device.info.interfaces[index].enabled = true;
        *enabled = device.info.interfaces[index];
        return true;
    }
    return false;
}

void SetDevicePresent(const std::wstring& instanceId, bool present) {
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    for (auto& device : tree.devices) {
        if (EqualsIgnoringAsciiCase(device.info.instanceId, instanceId)) device.info.present = present;
    }
}

std::vector<StoredDevice> SnapshotDevices() {
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    return tree.devices;
}

std::shared_ptr<DeviceDriver> FindInterfaceDriver(const WCHAR* path, std::wstring* instanceId) {
    if (!path) return nullptr;
    const std::wstring wanted(path);
    DeviceTree& tree = Tree();
    std::lock_guard lock(tree.mutex);
    for (const auto& device : tree.devices) {
        if (!device.info.present) continue;
        for (const auto& interface : device.info.interfaces) {
            if (!interface.enabled || !EqualsIgnoringAsciiCase(interface.path, wanted)) continue;
            if (instanceId && interface.driver) *instanceId = device.info.instanceId;
            return interface.driver;
        }
    }
    return nullptr;
}

}  // namespace kwin
