// The driver object's life: construction (discovery of the supported cards,
// the claim of the first), COM identity, and destruction.
#include "asio/driver/driver.h"

#include "common/hardware_ids.h"

#include <memory>
#include <new>

namespace korvex {
namespace {

// Frees a SetupAPI device list on every path.
class DeviceList {
public:
    DeviceList(PCWSTR enumerator, DWORD flags)
        : list_(SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, enumerator, nullptr, flags)) {}
    ~DeviceList() {
        if (ok()) SetupDiDestroyDeviceInfoList(list_);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    bool ok() const { return list_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return list_; }

private:
    HDEVINFO list_;
};

// A zeroed buffer of `bytes` plus room for a terminator that the answer may
// lack; null when the allocation failed.
std::unique_ptr<BYTE[]> AllocateAnswer(size_t bytes) {
    BYTE* buffer = new (std::nothrow) BYTE[bytes + 2 * sizeof(WCHAR)]();
    return std::unique_ptr<BYTE[]>(buffer);
}

enum class HardwareIdResult { Supported, NotSupported, Failed };

// Reads the device's hardware-ID list and tests its first string.
HardwareIdResult ReadHardwareId(HDEVINFO list, SP_DEVINFO_DATA* info) {
    DWORD required = 0;
    if (SetupDiGetDeviceRegistryPropertyW(list, info, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return HardwareIdResult::Failed;
    }
    std::unique_ptr<BYTE[]> buffer = AllocateAnswer(required);
    if (!buffer) return HardwareIdResult::Failed;
    if (!SetupDiGetDeviceRegistryPropertyW(list, info, SPDRP_HARDWAREID, nullptr, buffer.get(), required, nullptr)) {
        return HardwareIdResult::Failed;
    }
    return IsSupportedHardwareId(reinterpret_cast<const WCHAR*>(buffer.get())) ? HardwareIdResult::Supported
                                                                                : HardwareIdResult::NotSupported;
}

// The device's instance ID in a new string, or null.
WCHAR* ReadInstanceId(HDEVINFO list, SP_DEVINFO_DATA* info) {
    DWORD required = 0;
    if (SetupDiGetDeviceInstanceIdW(list, info, nullptr, 0, &required) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return nullptr;
    }
    WCHAR* id = new (std::nothrow) WCHAR[static_cast<size_t>(required) + 1]();
    if (id == nullptr) return nullptr;
    if (!SetupDiGetDeviceInstanceIdW(list, info, id, required, nullptr)) {
        delete[] id;
        return nullptr;
    }
    return id;
}

// Opens the card's second audio interface. False abandons the pass.
bool OpenCardInterface(const WCHAR* instanceId, HANDLE* device) {
    DeviceList interfaces(instanceId, DIGCF_DEVICEINTERFACE);
    if (!interfaces.ok()) return false;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(interfaces.get(), nullptr, &KSCATEGORY_AUDIO, 1, &interfaceData)) return false;

    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailW(interfaces.get(), &interfaceData, nullptr, 0, &required, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    size_t bytes = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                                                        : required;
    std::unique_ptr<BYTE[]> buffer = AllocateAnswer(bytes);
    if (!buffer) return false;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(interfaces.get(), &interfaceData, detail, static_cast<DWORD>(bytes), nullptr,
                                          nullptr)) {
        return false;
    }
    // No flags: every request on the handle is synchronous.
    *device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    return true;
}

}  // namespace

AggregatableUnknown* CreateAsioDriver(IUnknown* outer, HRESULT* /*result*/) {
    return new (std::nothrow) AsioDriver(outer);
}

AsioDriver::AsioDriver(IUnknown* outer) : AggregatableUnknown(outer) {
    for (HANDLE* event : events) *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Discover();
}

void AsioDriver::Discover() {
    if (!CountSupportedDevices() || deviceCount == 0) return;
    devices = new (std::nothrow) DeviceEntry[static_cast<size_t>(deviceCount)]();
    if (devices == nullptr) return;
    if (OpenSupportedDevices()) Claim();
}

// First pass: counts the supported cards. False when the pass was abandoned;
// `deviceCount` then keeps what was counted so far.
bool AsioDriver::CountSupportedDevices() {
    DeviceList list(nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!list.ok()) return false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list.get(), index, &info); ++index) {
        HardwareIdResult id = ReadHardwareId(list.get(), &info);
        if (id == HardwareIdResult::Failed) return false;
        if (id == HardwareIdResult::Supported) ++deviceCount;
    }
    return true;
}

// Second pass: fills one entry per supported card, in enumeration order. A
// card that arrived since the first pass finds no entry and is left out.
// False when the pass was abandoned; the entries filled so far stay.
bool AsioDriver::OpenSupportedDevices() {
    DeviceList list(nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!list.ok()) return false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    int32_t filled = 0;
    for (DWORD index = 0; filled < deviceCount && SetupDiEnumDeviceInfo(list.get(), index, &info); ++index) {
        HardwareIdResult id = ReadHardwareId(list.get(), &info);
        if (id == HardwareIdResult::Failed) return false;
        if (id == HardwareIdResult::NotSupported) continue;

        std::unique_ptr<WCHAR[]> instanceId(ReadInstanceId(list.get(), &info));
        if (!instanceId) return false;
        HANDLE device = nullptr;
        if (!OpenCardInterface(instanceId.get(), &device)) return false;
        devices[filled].device = device;
        devices[filled].instanceId = instanceId.release();
        ++filled;
    }
    return true;
}

void AsioDriver::Claim() {
    deviceIndex = 0;
    uint8_t inUse = 1;
    if (!SendProperty(DEVCTL_IN_USE, KSPROPERTY_TYPE_GET, &inUse, sizeof(inUse)) || inUse != 0) return;
    uint8_t take = 1;
    if (!SendProperty(DEVCTL_CLAIM, KSPROPERTY_TYPE_SET, &take, sizeof(take))) return;

    notPresent = false;
    avrtModule = LoadLibraryW(L"avrt.dll");
    if (HMODULE avrt = GetModuleHandleW(L"avrt")) {
        avSetMmThreadCharacteristics = ProcAddressAs<AvSetMmThreadCharacteristicsW_t>(
            GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"));
        avRevertMmThreadCharacteristics = ProcAddressAs<AvRevertMmThreadCharacteristics_t>(
            GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
    }
    timeBeginPeriod(1);
}

// The part of destruction that the host and the card see: the stream, the
// buffers, the claim and the timer period of the claim.
void AsioDriver::GiveBack() {
    if (deviceCount == 0 || devices == nullptr) return;
    if (!notPresent) timeEndPeriod(1);
    stop();
    disposeBuffers();
    if (!notPresent) {
        uint8_t giveBack = 0;
        SendProperty(DEVCTL_CLAIM, KSPROPERTY_TYPE_SET, &giveBack, sizeof(giveBack));
    }
}

// A host may drop its last reference from inside its own buffer switch. The
// stream thread then still returns through this object and waits on its
// events: the card, the buffers and the claim are given back now, and the
// thread destroys the object on its way out (RunStream), once it has left
// the MMCSS task and no longer needs anything here.
void AsioDriver::Destroy() {
    if (streamThreadId.load(std::memory_order_relaxed) != GetCurrentThreadId()) {
        delete this;
        return;
    }
    if (releasedInCallback.load(std::memory_order_relaxed)) return;
    GiveBack();
    releasedInCallback.store(true, std::memory_order_relaxed);
}

AsioDriver::~AsioDriver() {
    // On the stream thread (see Destroy), everything was given back already.
    const bool onStreamThread = releasedInCallback.load(std::memory_order_relaxed);
    if (!onStreamThread) GiveBack();
    if (streamThread != nullptr) {
        // Not on the stream thread, a handle left here belongs to a
        // terminated thread that had not yet ended when stop gave up waiting:
        // it may still touch this object until it has.
        if (!onStreamThread) WaitForSingleObject(streamThread, INFINITE);
        CloseHandle(streamThread);
        // On the stream thread, the thread gives its reference back itself.
        if (!onStreamThread && streamModule != nullptr) FreeLibrary(streamModule);
    }
    // After the stream thread has left its MMCSS task.
    if (avrtModule != nullptr) FreeLibrary(avrtModule);
    for (HANDLE* event : events) {
        if (*event != nullptr) CloseHandle(*event);
    }
    if (devices != nullptr) {
        for (int32_t i = 0; i < deviceCount; ++i) {
            // A failed open left INVALID_HANDLE_VALUE: nothing to close.
            HANDLE device = devices[i].device;
            if (device != nullptr && device != INVALID_HANDLE_VALUE) CloseHandle(device);
            delete[] devices[i].instanceId;
        }
        delete[] devices;
    }
}

HRESULT STDMETHODCALLTYPE AsioDriver::QueryInterface(REFIID riid, void** ppv) {
    return outerUnknown->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE AsioDriver::AddRef() { return outerUnknown->AddRef(); }
ULONG STDMETHODCALLTYPE AsioDriver::Release() { return outerUnknown->Release(); }

HRESULT STDMETHODCALLTYPE AsioDriver::InnerQueryInterface(REFIID riid, void** ppv) {
    if (IsEqualGUID(riid, CLSID_KorvexAsio)) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = static_cast<IASIO*>(this);
        static_cast<IASIO*>(this)->AddRef();
        return S_OK;
    }
    return AggregatableUnknown::InnerQueryInterface(riid, ppv);
}

}  // namespace korvex
