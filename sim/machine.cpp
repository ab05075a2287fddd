#include "sim/machine.h"

#include "platform/posix/kernel.h"
#include "sim/device_paths.h"
#include "sim/program_image.h"
#include "sim/service_process.h"

#include <algorithm>
#include <cwchar>

namespace sim {
namespace {

// A device we do not drive: it can be opened, and answers nothing.
class ForeignDriver final : public kwin::DeviceDriver {
public:
    DWORD Create(uint64_t) override { return ERROR_SUCCESS; }
    DWORD IoControl(uint64_t, DWORD, const void*, DWORD, void*, DWORD, DWORD*) override { return ERROR_NOT_SUPPORTED; }
    void Close(uint64_t) override {}
};

kwin::DeviceInfo AudioDevice(const std::wstring& instanceId, const std::vector<std::wstring>& hardwareIds,
                             int audioInterfaces, const std::shared_ptr<kwin::DeviceDriver>& driver,
                             bool streamingInterfaces = false) {
    kwin::DeviceInfo device;
    device.instanceId = instanceId;
    device.hardwareIds = hardwareIds;
    for (int i = 0; i < audioInterfaces; ++i) {
        device.interfaces.push_back({KSCATEGORY_AUDIO, InterfacePath(instanceId, KSCATEGORY_AUDIO, i), driver});
    }
    if (streamingInterfaces) {
        for (const GUID& category : {kKsCategoryRender, kKsCategoryCapture}) {
            device.interfaces.push_back({category, InterfacePath(instanceId, category, 1), driver});
        }
    }
    return device;
}

}  // namespace

Machine::Machine() {
    kwin::SetTimeScale(1);
    kwin::ClearDevices();
    kwin::ClearInjectedFailures();
    kwin::SetClassDevsHook(nullptr);
    kwin::ClearPrograms();
    kwin::ResetProcessHistory();
    kwin::ClearEventLog();
    kwin::ClearSessionFailures();
    kwin::SetServiceControlHook(nullptr);
    kwin::SetDeviceNotificationHook(nullptr);
    kwin::ResetDeviceEventHistory();
    kwin::ResetDeviceNotificationCalls();
    kwin::ResetSessions();
}

void Machine::InstallService(const std::string& sharedObjectPath) {
    kwin::RegisterProgram(ServiceImagePath(), SharedObjectProgram(sharedObjectPath));
}

Machine::~Machine() {
    kwin::WaitAllProcessesEnded(20000);
    kwin::SetServiceControlHook(nullptr);
    kwin::SetDeviceNotificationHook(nullptr);
    for (const auto& instanceId : present_) kwin::RemoveDevice(instanceId);
    for (const auto& card : cards_) card->MarkRemoved();
    kwin::SetTimeScale(1);
}

// Instance ID suffixes as the PCI bus gives them: one slot per card.
std::wstring Machine::NextInstanceSuffix() {
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"\\4&2A1B&0&%04X", 0x00E0 + 8 * nextSlot_++);
    return text;
}

Card& Machine::AddCard(const CardConfig& config) {
    std::vector<std::wstring> hardwareIds = config.hardwareIds;
    if (hardwareIds.empty()) hardwareIds.push_back(Model(config.model).hardwareId);
    std::wstring instanceId = config.instanceId.empty() ? hardwareIds.front() + NextInstanceSuffix() : config.instanceId;
    auto card = std::make_shared<Card>(config, instanceId, hardwareIds);

    kwin::DeviceInfo device =
        AudioDevice(instanceId, hardwareIds, config.audioInterfaces, card, config.streamingInterfaces);
    device.present = config.present;
    for (auto& interface : device.interfaces) interface.enabled = config.interfacesEnabled;
    device.hardwareIdQueryError = config.hardwareIdQueryError;
    device.hardwareIdReadError = config.hardwareIdReadError;
    kwin::AddDevice(device);
    present_.push_back(instanceId);
    cards_.push_back(card);
    return *card;
}

std::wstring Machine::AddOtherDevice(const std::vector<std::wstring>& hardwareIds, int audioInterfaces,
                                     std::wstring instanceId) {
    if (instanceId.empty()) {
        instanceId = (hardwareIds.empty() ? std::wstring(L"ROOT\\UNKNOWN") : hardwareIds.front()) + NextInstanceSuffix();
    }
    kwin::AddDevice(AudioDevice(instanceId, hardwareIds, audioInterfaces, std::make_shared<ForeignDriver>()));
    present_.push_back(instanceId);
    return instanceId;
}

bool Machine::RemoveDevice(const std::wstring& instanceId) {
    auto it = std::find(present_.begin(), present_.end(), instanceId);
    if (it == present_.end()) return false;
    present_.erase(it);
    return kwin::RemoveDevice(instanceId);
}

void Machine::RemoveCard(Card& card) {
    RemoveDevice(card.InstanceId());
    card.MarkRemoved();
}

std::vector<Card*> Machine::Cards() const {
    std::vector<Card*> cards;
    for (const auto& card : cards_) {
        if (std::find(present_.begin(), present_.end(), card->InstanceId()) != present_.end()) cards.push_back(card.get());
    }
    return cards;
}

}  // namespace sim
