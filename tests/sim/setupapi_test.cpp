// SetupAPI over the simulated device tree, called the way the product calls it.
#include "sim/machine.h"
#include "tests/sim/card_client.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

using simtest::LeakCheck;

constexpr DWORD kErrorInvalidUserBuffer = 1784;
constexpr GUID kOtherCategory = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

// Closes the list at the end of the scope.
struct DeviceList {
    explicit DeviceList(PCWSTR enumerator = nullptr, DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                        const GUID* category = &KSCATEGORY_AUDIO)
        : handle(SetupDiGetClassDevsW(category, enumerator, nullptr, flags)) {}
    ~DeviceList() {
        if (handle != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(handle);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    HDEVINFO handle;
};

SP_DEVINFO_DATA DevInfo() {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    return data;
}

SP_DEVICE_INTERFACE_DATA InterfaceData() {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    return data;
}

std::wstring InstanceId(HDEVINFO list, SP_DEVINFO_DATA* device) {
    DWORD chars = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(list, device, nullptr, 0, &chars));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<WCHAR> id(chars);
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(list, device, id.data(), chars, nullptr));
    return id.data();
}

// The instance IDs of the list's devices, in enumeration order.
std::vector<std::wstring> Members(HDEVINFO list) {
    std::vector<std::wstring> ids;
    SP_DEVINFO_DATA device = DevInfo();
    for (DWORD i = 0; SetupDiEnumDeviceInfo(list, i, &device); ++i) ids.push_back(InstanceId(list, &device));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    return ids;
}

std::wstring DetailPath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interface) {
    DWORD bytes = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list, interface, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::byte> storage(bytes);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(list, interface, detail, bytes, nullptr, nullptr));
    return detail->DevicePath;
}

class SetupApi : public LeakCheck {
protected:
    sim::Machine machine;
};

TEST_F(SetupApi, ListIsASnapshotOfPresentAudioDevicesInOrder) {
    sim::Card& first = machine.AddCard({.model = sim::CardModel::Pico});
    machine.AddOtherDevice({L"USB\\VID_0001&PID_0002"}, 0);  // no audio interface: never listed
    const std::wstring other = machine.AddOtherDevice({L"HDAUDIO\\FUNC_01"}, 1);
    sim::Card& absent = machine.AddCard({.present = false});
    sim::Card& last = machine.AddCard({.model = sim::CardModel::Eight});

    DeviceList present;
    ASSERT_NE(present.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(kwin::OpenHandles().deviceInfoLists, 1);
    machine.AddCard();  // after the list was made
    EXPECT_EQ(Members(present.handle), (std::vector<std::wstring>{first.InstanceId(), other, last.InstanceId()}));

    DeviceList all(nullptr, DIGCF_DEVICEINTERFACE);
    const auto everything = Members(all.handle);
    ASSERT_EQ(everything.size(), 5u);
    EXPECT_EQ(everything[2], absent.InstanceId());

    DeviceList otherCategory(nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, &kOtherCategory);
    EXPECT_TRUE(Members(otherCategory.handle).empty());
}

TEST_F(SetupApi, HardwareIdsComeAsAMultiStringAfterASizingQuery) {
    machine.AddCard({.hardwareIds = {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722&REV_01", L"PCI\\VEN_1412"}});
    DeviceList list;
    SP_DEVINFO_DATA device = DevInfo();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(list.handle, 0, &device));

    const std::wstring expected = std::wstring(L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722&REV_01") + L'\0' +
                                  L"PCI\\VEN_1412" + L'\0' + L'\0';
    const DWORD expectedBytes = static_cast<DWORD>(expected.size() * sizeof(WCHAR));
    DWORD type = 0;
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(list.handle, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, expectedBytes);
    EXPECT_EQ(type, REG_MULTI_SZ);

    std::vector<BYTE> buffer(required);
    required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(list.handle, &device, SPDRP_HARDWAREID, nullptr, buffer.data(),
                                                   expectedBytes - 1, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, expectedBytes);

    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(list.handle, &device, SPDRP_HARDWAREID, &type, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), nullptr));
    EXPECT_EQ(std::wstring(reinterpret_cast<const WCHAR*>(buffer.data()), expected.size()), expected);

    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(list.handle, &device, SPDRP_DEVICEDESC, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

TEST_F(SetupApi, InjectedHardwareIdErrorsHitTheirQueryOnly) {
    struct Case {
        DWORD queryError;
        DWORD readError;
        DWORD sizingAnswer;  // what the query without a buffer reports
        DWORD readAnswer;    // what the filled read reports (0: success)
    } cases[] = {
        {0, 0, ERROR_INSUFFICIENT_BUFFER, ERROR_SUCCESS},
        {ERROR_GEN_FAILURE, 0, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE},
        {0, ERROR_INVALID_DATA, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_DATA},
    };
    for (const Case& c : cases) {
        sim::Machine fresh;
        fresh.AddCard({.hardwareIdQueryError = c.queryError, .hardwareIdReadError = c.readError});
        DeviceList list;
        SP_DEVINFO_DATA device = DevInfo();
        ASSERT_TRUE(SetupDiEnumDeviceInfo(list.handle, 0, &device));
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(list.handle, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
        EXPECT_EQ(GetLastError(), c.sizingAnswer);
        std::vector<BYTE> buffer(512);
        const BOOL read = SetupDiGetDeviceRegistryPropertyW(list.handle, &device, SPDRP_HARDWAREID, nullptr,
                                                            buffer.data(), 512, nullptr);
        EXPECT_EQ(read != FALSE, c.readAnswer == ERROR_SUCCESS);
        if (!read) {
            EXPECT_EQ(GetLastError(), c.readAnswer);
        }
    }
}

TEST_F(SetupApi, InstanceIdSizeIsInCharactersWithTheTerminator) {
    sim::Card& card = machine.AddCard();
    DeviceList list;
    SP_DEVINFO_DATA device = DevInfo();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(list.handle, 0, &device));
    const DWORD chars = static_cast<DWORD>(card.InstanceId().size() + 1);
    std::vector<WCHAR> id(chars, L'x');
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(list.handle, &device, id.data(), chars - 1, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, chars);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(list.handle, &device, id.data(), chars, nullptr));
    EXPECT_EQ(std::wstring(id.data()), card.InstanceId());
    EXPECT_EQ(card.InstanceId(), std::wstring(L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0"));
}

TEST_F(SetupApi, EnumeratorNamesOneCardWhoseInterfacesAreCountedWithoutADeviceFilter) {
    machine.AddCard({.audioInterfaces = 3});
    sim::Card& second = machine.AddCard({.audioInterfaces = 2});
    std::wstring lowered = second.InstanceId();
    for (auto& c : lowered) c = static_cast<WCHAR>(std::towlower(c));

    DeviceList own(lowered.c_str(), DIGCF_DEVICEINTERFACE);
    ASSERT_NE(own.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(own.handle), std::vector<std::wstring>{second.InstanceId()});
    SP_DEVICE_INTERFACE_DATA interface = InterfaceData();
    for (DWORD i = 0; i < 2; ++i) {
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(own.handle, nullptr, &KSCATEGORY_AUDIO, i, &interface));
        EXPECT_EQ(interface.InterfaceClassGuid, KSCATEGORY_AUDIO);
        EXPECT_EQ(DetailPath(own.handle, &interface), second.InterfacePath(static_cast<int>(i)));
    }
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(own.handle, nullptr, &KSCATEGORY_AUDIO, 2, &interface));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(own.handle, nullptr, &kOtherCategory, 0, &interface));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    // Over the whole list, the index runs on from one device into the next.
    DeviceList all;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all.handle, nullptr, &KSCATEGORY_AUDIO, 4, &interface));
    EXPECT_EQ(DetailPath(all.handle, &interface), second.InterfacePath(1));
    SP_DEVINFO_DATA first = DevInfo();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(all.handle, 0, &first));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(all.handle, &first, &KSCATEGORY_AUDIO, 3, &interface));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    DeviceList nobody(L"PCI\\VEN_0000&DEV_0000\\0", DIGCF_DEVICEINTERFACE);
    EXPECT_TRUE(Members(nobody.handle).empty());
}

TEST_F(SetupApi, InterfaceDetailSizeCoversThePathAndChecksTheRecordSize) {
    sim::Card& card = machine.AddCard();
    DeviceList list;
    SP_DEVICE_INTERFACE_DATA interface = InterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list.handle, nullptr, &KSCATEGORY_AUDIO, 1, &interface));

    const std::wstring path = card.InterfacePath(1);
    const DWORD expected =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list.handle, &interface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, expected);

    std::vector<std::byte> storage(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = static_cast<DWORD>(required);  // the whole buffer: wrong
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list.handle, &interface, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidUserBuffer);

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list.handle, &interface, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    SP_DEVINFO_DATA device = DevInfo();
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(list.handle, &interface, detail, required, nullptr, &device));
    EXPECT_EQ(std::wstring(detail->DevicePath), path);
    EXPECT_EQ(path, std::wstring(L"\\\\?\\pci#ven_1412&dev_1724&subsys_24011722#4&2a1b&0&00e0#"
                                 L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave"));
    EXPECT_EQ(InstanceId(list.handle, &device), card.InstanceId());
}

TEST_F(SetupApi, RecordSizesAndHandlesAreChecked) {
    machine.AddCard();
    DeviceList list;
    SP_DEVINFO_DATA device = DevInfo();
    device.cbSize = sizeof device + 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(list.handle, 0, &device));
    EXPECT_EQ(GetLastError(), kErrorInvalidUserBuffer);
    SP_DEVICE_INTERFACE_DATA interface = InterfaceData();
    interface.cbSize = 0;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list.handle, nullptr, &KSCATEGORY_AUDIO, 0, &interface));
    EXPECT_EQ(GetLastError(), kErrorInvalidUserBuffer);

    device = DevInfo();
    EXPECT_FALSE(SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &device));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(event, 0, &device));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);

    HDEVINFO once = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(once));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(once));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SetupApi, EveryCallCanBeMadeToFail) {
    machine.AddCard();
    const char* names[] = {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo", "SetupDiGetDeviceRegistryPropertyW",
                           "SetupDiGetDeviceInstanceIdW", "SetupDiEnumDeviceInterfaces",
                           "SetupDiGetDeviceInterfaceDetailW", "SetupDiDestroyDeviceInfoList"};
    constexpr DWORD kInjected = 0xE000020B;
    for (const char* name : names) {
        SCOPED_TRACE(name);
        kwin::FailCall(name, 1, kInjected);
        HDEVINFO list = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        bool failed = list == INVALID_HANDLE_VALUE;
        if (!failed) {
            SP_DEVINFO_DATA device = DevInfo();
            SP_DEVICE_INTERFACE_DATA interface = InterfaceData();
            DWORD size = 0;
            failed = !SetupDiEnumDeviceInfo(list, 0, &device) ||
                     (SetupDiGetDeviceRegistryPropertyW(list, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size),
                      GetLastError() != ERROR_INSUFFICIENT_BUFFER) ||
                     (SetupDiGetDeviceInstanceIdW(list, &device, nullptr, 0, &size),
                      GetLastError() != ERROR_INSUFFICIENT_BUFFER) ||
                     !SetupDiEnumDeviceInterfaces(list, nullptr, &KSCATEGORY_AUDIO, 0, &interface) ||
                     (SetupDiGetDeviceInterfaceDetailW(list, &interface, nullptr, 0, &size, nullptr),
                      GetLastError() != ERROR_INSUFFICIENT_BUFFER);
            if (!SetupDiDestroyDeviceInfoList(list)) {
                failed = true;
                EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));  // the failed call left it open
            }
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(GetLastError(), kInjected);
    }
}

TEST_F(SetupApi, ClassDevsHookRunsAfterEachListIsBuilt) {
    machine.AddCard();
    std::vector<int> calls;
    kwin::SetClassDevsHook([&](int call) {
        calls.push_back(call);
        if (call == 1) machine.AddCard({.model = sim::CardModel::Duo});
    });
    {
        DeviceList first;
        DeviceList second;
        EXPECT_EQ(Members(first.handle).size(), 1u);
        EXPECT_EQ(Members(second.handle).size(), 2u);
    }
    kwin::SetClassDevsHook(nullptr);
    DeviceList third;
    EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST_F(SetupApi, MachineTakesItsDevicesAlongWhenItGoes) {
    {
        sim::Machine inner;
        inner.AddCard();
        inner.AddOtherDevice({L"HDAUDIO\\FUNC_01"}, 2);
    }
    DeviceList all(nullptr, DIGCF_DEVICEINTERFACE);
    EXPECT_TRUE(Members(all.handle).empty());
}

}  // namespace
