#include "sim/control_panel.h"

#include "platform/win32.h"
#include "sim/service_process.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <cwctype>

namespace sim {
namespace {

struct Panel {
    ControlPanelRecord record;
    HANDLE card = INVALID_HANDLE_VALUE;  // touched only by the panel's own thread
    UINT forceCloseMessage = 0;
    bool quitPosted = false;  // guarded by the registry's mutex
};

struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Panel>> panels;
    bool closing = false;
};
Registry& ThePanels() {
    static auto* registry = new Registry;  // never destroyed: panel threads may outlive main
    return *registry;
}

std::shared_ptr<Panel> FindByWindow(HWND window) {
    Registry& registry = ThePanels();
    std::lock_guard lock(registry.mutex);
    for (const auto& panel : registry.panels) {
        if (panel->record.window == window) return panel;
    }
    return nullptr;
}

// The card's first KSCATEGORY_AUDIO interface, found by its instance ID.
HANDLE OpenCard(const WCHAR* instanceId) {
    HANDLE file = INVALID_HANDLE_VALUE;
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, instanceId, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return file;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &interfaceData)) {
        DWORD detailBytes = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &detailBytes, nullptr);
        if (detailBytes > offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) {
            auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, detailBytes + sizeof(WCHAR)));
            if (detail) {
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, detailBytes, nullptr, nullptr)) {
                    file = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
                }
                std::free(detail);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return file;
}

LRESULT PanelProcedure(HWND window, UINT message, WPARAM, LPARAM) {
    auto panel = FindByWindow(window);
    if (!panel || message != panel->forceCloseMessage) return 0;
    const bool hadCard = panel->card != INVALID_HANDLE_VALUE;
    if (hadCard) {
        CloseHandle(panel->card);
        panel->card = INVALID_HANDLE_VALUE;
    }
    Registry& registry = ThePanels();
    std::lock_guard lock(registry.mutex);
    ++panel->record.forceCloseMessages;
    if (hadCard) panel->record.cardClosedOnForceClose = true;
    registry.changed.notify_all();
    return 0;
}

bool IsControlPanelImage(const std::wstring& path) {
    const std::wstring expected = ControlPanelImagePath();
    if (path.size() != expected.size()) return false;
    for (size_t i = 0; i < path.size(); ++i) {
        if (std::towlower(path[i]) != std::towlower(expected[i])) return false;
    }
    return true;
}

kwin::ProcessRecord OwnRecord() { return kwin::ProcessRecordOf(GetCurrentProcessId()).value_or(kwin::ProcessRecord{}); }

int PanelMain(int argc, WCHAR** argv) {
    auto panel = std::make_shared<Panel>();
    const kwin::ProcessRecord self = OwnRecord();
    panel->record.processId = self.processId;
    panel->record.threadId = GetCurrentThreadId();
    panel->record.commandLine = argc > 0 ? argv[0] : L"";
    panel->record.sessionId = self.sessionId;
    panel->record.desktop = self.desktop;
    panel->record.user = self.user;
    panel->record.privileges = self.privileges;
    for (const auto& variable : self.environment) {
        if (variable.rfind(L"USERNAME=", 0) == 0) panel->record.userName = variable.substr(9);
    }
    Registry& registry = ThePanels();
    {
        std::lock_guard lock(registry.mutex);
        registry.panels.push_back(panel);
        if (registry.closing) {
            panel->record.ended = true;
            registry.changed.notify_all();
            return 0;
        }
    }
    const std::wstring& instanceId = panel->record.commandLine;
    panel->forceCloseMessage = RegisterWindowMessageW(L"ForceClose");
    panel->card = OpenCard(instanceId.c_str());
    HWND window = kwin::CreateTestWindow(self.sessionId, self.desktop, PanelProcedure);
    if (window) SetPropW(window, instanceId.c_str(), reinterpret_cast<HANDLE>(1));
    {
        std::lock_guard lock(registry.mutex);
        panel->record.cardOpened = panel->card != INVALID_HANDLE_VALUE;
        panel->record.window = window;
        registry.changed.notify_all();
    }
    kwin::RunMessageLoop();
    if (window) {
        RemovePropW(window, instanceId.c_str());
        kwin::DestroyTestWindow(window);
    }
    if (panel->card != INVALID_HANDLE_VALUE) CloseHandle(panel->card);
    panel->card = INVALID_HANDLE_VALUE;
    std::lock_guard lock(registry.mutex);
    panel->record.ended = true;
    registry.changed.notify_all();
    return 0;
}

}  // namespace

ControlPanelProgram::ControlPanelProgram() {
    {
        Registry& registry = ThePanels();
        std::lock_guard lock(registry.mutex);
        registry.panels.clear();
        registry.closing = false;
    }
    kwin::RegisterProgram(ControlPanelImagePath(), [] { return kwin::ProcessEntry(PanelMain); });
}

ControlPanelProgram::~ControlPanelProgram() { CloseAll(); }

bool ControlPanelProgram::WaitSettled(DWORD milliseconds) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        bool settled = true;
        const std::vector<ControlPanelRecord> panels = Panels();
        for (const auto& process : kwin::RunningProcesses()) {
            if (!IsControlPanelImage(process.imagePath)) continue;
            bool up = false;
            for (const auto& panel : panels) {
                up = up || (panel.processId == process.processId && (panel.window != nullptr || panel.ended));
            }
            settled = settled && up;
        }
        if (settled) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<ControlPanelRecord> ControlPanelProgram::Panels() const {
    Registry& registry = ThePanels();
    std::lock_guard lock(registry.mutex);
    std::vector<ControlPanelRecord> records;
    for (const auto& panel : registry.panels) records.push_back(panel->record);
    return records;
}

bool ControlPanelProgram::WaitForWindows(size_t count, DWORD milliseconds) const {
    Registry& registry = ThePanels();
    std::unique_lock lock(registry.mutex);
    return registry.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        size_t up = 0;
        for (const auto& panel : registry.panels) up += panel->record.window != nullptr;
        return up >= count;
    });
}

bool ControlPanelProgram::CloseAll(DWORD milliseconds) {
    Registry& registry = ThePanels();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    {
        std::lock_guard lock(registry.mutex);
        registry.closing = true;
    }
    // A panel may still be on its way: started, but not yet registered.
    for (;;) {
        {
            std::lock_guard lock(registry.mutex);
            for (const auto& panel : registry.panels) {
                if (panel->record.ended || panel->quitPosted) continue;
                kwin::PostQuit(panel->record.threadId);
                panel->quitPosted = true;
            }
        }
        bool running = false;
        for (const auto& process : kwin::RunningProcesses()) running = running || IsControlPanelImage(process.imagePath);
        if (!running) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace sim
