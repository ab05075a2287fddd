// The service tests about the list of cards: a machine with the services'
// session and a console user, a control panel that ends at once, and readings
// of what the service started, logged, opened and registered.
#pragma once

#include "tests/sim/service_fixture.h"

#include "sim/device_paths.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

namespace korvex::test {

inline constexpr DWORD kConsoleSession = 1;

// The interface names carry the instance ID in lower case, and an arrival
// lists the card in the name's letter case.
inline std::wstring Lower(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

inline std::wstring Upper(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

inline bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) { return Lower(a) == Lower(b); }

// A broadcast record in an allocation of exactly its bytes, so that a read
// past them is a heap overflow the address sanitizer reports.
class Record {
public:
    explicit Record(size_t bytes) : bytes_(std::make_unique<unsigned char[]>(bytes)), size_(bytes) {}
    void* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    template <class T>
    T* as() const {
        return reinterpret_cast<T*>(bytes_.get());
    }

    // An interface record for the name, with `chars` of it and a terminator
    // unless `terminated` is false; dbcc_size is the record's length.
    static Record Interface(const std::wstring& name, bool terminated = true, const GUID& category = KSCATEGORY_AUDIO) {
        const size_t chars = name.size() + (terminated ? 1 : 0);
        Record record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + chars * sizeof(WCHAR));
        auto* interface = record.as<DEV_BROADCAST_DEVICEINTERFACE_W>();
        interface->dbcc_size = static_cast<DWORD>(record.size());
        interface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        interface->dbcc_classguid = category;
        std::memcpy(interface->dbcc_name, name.data(), name.size() * sizeof(WCHAR));
        return record;
    }
    static Record Handle(HANDLE handle, DWORD size = sizeof(DEV_BROADCAST_HANDLE)) {
        Record record(std::max<size_t>(size, sizeof(DWORD)));
        std::memset(record.data(), 0, record.size());
        record.as<DEV_BROADCAST_HDR>()->dbch_size = size;
        if (size >= offsetof(DEV_BROADCAST_HDR, dbch_reserved)) {
            record.as<DEV_BROADCAST_HDR>()->dbch_devicetype = DBT_DEVTYP_HANDLE;
        }
        if (size >= offsetof(DEV_BROADCAST_HANDLE, dbch_handle) + sizeof(HANDLE)) {
            record.as<DEV_BROADCAST_HANDLE>()->dbch_handle = handle;
        }
        return record;
    }

private:
    std::unique_ptr<unsigned char[]> bytes_;
    size_t size_;
};

struct Launch {
    std::wstring commandLine;
    DWORD sessionId = 0;
    bool operator==(const Launch&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Launch& launch) {
    out << "{\"";
    for (wchar_t c : launch.commandLine) out << (c < 128 ? static_cast<char>(c) : '?');
    return out << "\", session " << launch.sessionId << "}";
}

// Waits, with a limit, until a condition that another thread sets holds.
class Signal {
public:
    void Set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        changed_.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

class ServiceDevices : public ServiceTest {
protected:
    ServiceDevices() {
        kwin::SetSessions({{0, L"Services", WTSDisconnected}, {kConsoleSession, L"Console", WTSActive, L"alice"}},
                          kConsoleSession);
        // The control panel: a program that ends at once.
        kwin::RegisterProgram(sim::ControlPanelImagePath(),
                              [] { return kwin::ProcessEntry([](int, WCHAR**) { return 0; }); });
    }
    ~ServiceDevices() override {
        kwin::SetDeviceNotificationHook(nullptr);
        kwin::SetServiceControlHook(nullptr);
        kwin::SetClassDevsHook(nullptr);
        kwin::ResetSessions();
    }

    // The processes started so far: later readings can start from here.
    static size_t Mark() { return kwin::ProcessHistory().size(); }

    // The control panels started, by the card they were started for.
    static std::vector<Launch> ControlPanels(size_t from = 0) {
        std::vector<Launch> launches;
        const auto history = kwin::ProcessHistory();
        for (size_t i = from; i < history.size(); ++i) {
            const auto& record = history[i];
            if (SameIgnoringCase(record.imagePath, sim::ControlPanelImagePath())) {
                launches.push_back({record.commandLine, record.sessionId});
            }
        }
        return launches;
    }

    // The force-close instances started: the service program not started as
    // a service, with an instance ID as its command line.
    static std::vector<Launch> ForceCloses(size_t from = 0) {
        std::vector<Launch> launches;
        const auto history = kwin::ProcessHistory();
        for (size_t i = from; i < history.size(); ++i) {
            const auto& record = history[i];
            if (record.startedByServiceManager) continue;
            if (!SameIgnoringCase(record.imagePath, sim::ServiceImagePath())) continue;
            launches.push_back({record.commandLine, record.sessionId});
        }
        return launches;
    }
    // One force-close pass for the card: an instance in every session.
    static std::vector<Launch> Pass(const std::wstring& instanceId) {
        return {{instanceId, 0}, {instanceId, kConsoleSession}};
    }

    static void ExpectEveryEventAnsweredNoError() {
        for (const auto& delivery : kwin::DeviceEventHistory()) {
            EXPECT_EQ(delivery.result, NO_ERROR) << "event 0x" << std::hex << delivery.eventType;
        }
    }

    // Handle registrations of the service, in registration order.
    static std::vector<kwin::DeviceNotificationInfo> HandleRegistrations() {
        std::vector<kwin::DeviceNotificationInfo> found;
        for (const auto& info : kwin::DeviceNotificationRegistrations()) {
            if (info.deviceType == DBT_DEVTYP_HANDLE) found.push_back(info);
        }
        return found;
    }

    // Stops the service and checks that it let go of everything: card
    // handles, registrations, and every other handle it opened.
    void StopAndExpectClean(sim::ServiceProcess& service) {
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), NO_ERROR);
        ExpectNothingLeftOpen(service);
        EXPECT_EQ(kwin::OpenHandles().deviceFiles, 0);
        EXPECT_EQ(kwin::OpenHandles().notifications, 0);
        EXPECT_TRUE(kwin::DeviceNotificationRegistrations().empty());
        const kwin::DeviceNotificationCalls calls = kwin::DeviceNotifications();
        EXPECT_EQ(calls.registered, calls.unregistered);
        ExpectEveryEventAnsweredNoError();
    }
};

}  // namespace korvex::test
