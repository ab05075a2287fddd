// The simulated card inside the simcard build of the driver, and the device
// layer that answers the driver's calls to reach it: the SetupAPI
// enumeration of KSCATEGORY_AUDIO devices and interfaces, CreateFileW on the
// card's interface path, DeviceIoControl and CloseHandle on that file. Calls
// about anything else go to the system.
//
// The card is configured from the environment when the driver first looks for
// cards:
//   KORVEX_SIMCARD_MODEL      pico, six (default), duo0, duo, eight
//   KORVEX_SIMCARD_RATE       Hz (default 48000)
//   KORVEX_SIMCARD_BUFFER_MS  the card's preferred half length (default 10)
//   KORVEX_SIMCARD_TONE_HZ    the tone on its inputs (default 1000; 0: silence)
//   KORVEX_SIMCARD_TONE_DBFS  its peak level (default -6)
//   KORVEX_SIMCARD_WAV        record every output; written there at each stop
//   KORVEX_SIMCARD_RECORD_SECONDS  room for the recording (default 20)
//   KORVEX_SIMCARD_STAMPS     the card's half stamps, rewritten at each stop:
//                             one line per half it still keeps (the last
//                             kStatusStamps), "sequence half dueNs signalNs
//                             checkNs answered", times on sim::MonotonicNs
//   KORVEX_SIMCARD_LOOPBACK   OUT:IN, a loopback cable from output OUT to input IN
//   KORVEX_SIMCARD_NO_CARD=1  no card at all
//   KORVEX_SIMCARD_IN_USE=1   another client holds the card's claim
#include "tests/wine/simcard/device_layer.h"

#include "sim/card.h"
#include "sim/devctl.h"
#include "tests/wine/simcard/status.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

// The system's own functions: the macros above are for the driver's sources.
#undef CreateFileW
#undef DeviceIoControl
#undef CloseHandle

namespace {

constexpr uint64_t kOtherClientFile = 1;

std::string Env(const char* name) {
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

double EnvNumber(const char* name, double fallback) {
    const std::string text = Env(name);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0' ? value : fallback;
}

sim::CardModel EnvModel() {
    std::string text = Env("KORVEX_SIMCARD_MODEL");
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text == "pico") return sim::CardModel::Pico;
    if (text == "duo0") return sim::CardModel::Duo0;
    if (text == "duo") return sim::CardModel::Duo;
    if (text == "eight") return sim::CardModel::Eight;
    return sim::CardModel::Six;
}

bool SameText(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return i == a.size() && b[i] == L'\0';
}

// The machine's one card (or none), its open files and the status mapping.
class Machine {
public:
    static Machine& Get() {
        static Machine* machine = new Machine();  // lives until the process ends: the clock may outlive a release
        return *machine;
    }

    sim::Card* card() { return card_.get(); }
    std::mutex& mutex() { return mutex_; }

    uint64_t OpenFile(HANDLE handle) {
        const uint64_t id = nextFile_++;
        files_[handle] = id;
        return id;
    }
    bool FileOf(HANDLE handle, uint64_t* id) {
        auto it = files_.find(handle);
        if (it == files_.end()) return false;
        *id = it->second;
        return true;
    }
    void ForgetFile(HANDLE handle) { files_.erase(handle); }

    // After every request: the counts and the stamps, and the recording when
    // the stream has stopped.
    void Publish(bool streamEnded) {
        if (!card_) return;
        if (streamEnded && !wavPath_.empty()) {
            std::vector<int> outputs;
            for (int o = 0; o < card_->model().outputs; ++o) outputs.push_back(o);
            if (card_->SaveRecording(wavPath_, outputs, 32) && status_) ++status_->wavWrites;
        }
        if (streamEnded && !stampsPath_.empty()) WriteStamps();
        if (!status_) return;
        const uint64_t signalled = card_->HalvesSignalled();
        const uint64_t first = signalled > korvex::simcard::kStatusStamps ? signalled - korvex::simcard::kStatusStamps : 0;
        for (uint64_t sequence = first; sequence < signalled; ++sequence) {
            if (auto stamp = card_->SignalStamp(sequence)) {
                status_->stamps[sequence % korvex::simcard::kStatusStamps] =
                    stamp->ns << 1 | static_cast<uint64_t>(stamp->half);
                status_->dues[sequence % korvex::simcard::kStatusStamps] = stamp->dueNs;
            }
        }
        status_->sampleRate = card_->SampleRate();
        status_->bufferFrames = card_->BufferFrames();
        status_->overruns = card_->Overruns();
        status_->answers = card_->Answers();
        status_->recordedFrames = card_->RecordedFrames();
        status_->halvesSignalled = signalled;
    }

private:
    // Written whole to a temporary name and moved over the file, so that a
    // reader never sees half of it.
    void WriteStamps() {
        const std::string temporary = stampsPath_ + ".part";
        FILE* file = std::fopen(temporary.c_str(), "w");
        if (file == nullptr) return;
        const uint64_t signalled = card_->HalvesSignalled();
        const uint64_t first = signalled > korvex::simcard::kStatusStamps ? signalled - korvex::simcard::kStatusStamps : 0;
        bool ok = true;
        for (uint64_t sequence = first; sequence < signalled && ok; ++sequence) {
            const std::optional<sim::HalfStamp> stamp = card_->SignalStamp(sequence);
            if (!stamp) continue;
            ok = std::fprintf(file, "%llu %d %llu %llu %llu %d\n", static_cast<unsigned long long>(stamp->sequence),
                              stamp->half, static_cast<unsigned long long>(stamp->dueNs),
                              static_cast<unsigned long long>(stamp->ns),
                              static_cast<unsigned long long>(stamp->checkNs), stamp->answered ? 1 : 0) > 0;
        }
        ok = std::fclose(file) == 0 && ok;
        if (!ok || !MoveFileExA(temporary.c_str(), stampsPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            DeleteFileA(temporary.c_str());
        }
    }

    Machine() {
        if (Env("KORVEX_SIMCARD_NO_CARD") == "1") return;
        sim::CardConfig config;
        config.model = EnvModel();
        config.sampleRate = static_cast<uint32_t>(EnvNumber("KORVEX_SIMCARD_RATE", 48000));
        config.bufferMs = static_cast<uint32_t>(EnvNumber("KORVEX_SIMCARD_BUFFER_MS", 10));
        config.tone.frequencyHz = EnvNumber("KORVEX_SIMCARD_TONE_HZ", 1000);
        config.tone.levelDbfs = EnvNumber("KORVEX_SIMCARD_TONE_DBFS", -6);
        config.stampCapacity = korvex::simcard::kStatusStamps;
        const std::string cable = Env("KORVEX_SIMCARD_LOOPBACK");
        int output = 0, input = 0;
        char rest = 0;
        if (std::sscanf(cable.c_str(), "%d:%d%c", &output, &input, &rest) == 2) config.loopback = sim::LoopbackCable{output, input};
        const sim::ModelInfo& model = sim::Model(config.model);
        std::wstring hardwareId = model.hardwareId;
        card_ = std::make_unique<sim::Card>(config, hardwareId + L"\\4&2A1B&0&00E0", std::vector<std::wstring>{hardwareId});
        wavPath_ = Env("KORVEX_SIMCARD_WAV");
        stampsPath_ = Env("KORVEX_SIMCARD_STAMPS");
        if (!wavPath_.empty()) {
            const double seconds = EnvNumber("KORVEX_SIMCARD_RECORD_SECONDS", 20);
            card_->StartRecording(static_cast<size_t>(seconds * config.sampleRate));
        }
        mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(korvex::simcard::Status),
                                      korvex::simcard::StatusName(GetCurrentProcessId()).c_str());
        if (mapping_ != nullptr) {
            status_ = static_cast<korvex::simcard::Status*>(
                MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(korvex::simcard::Status)));
            if (status_ != nullptr) status_->magic = korvex::simcard::kStatusMagic;
        }
        if (Env("KORVEX_SIMCARD_IN_USE") == "1" && card_->Create(kOtherClientFile) == ERROR_SUCCESS) {
            KSPROPERTY header = sim::devctl::MakeHeader(sim::devctl::kClaim, KSPROPERTY_TYPE_SET);
            uint8_t take = 1;
            DWORD returned = 0;
            card_->IoControl(kOtherClientFile, IOCTL_KS_PROPERTY, &header, sizeof header, &take, 1, &returned);
        }
        Publish(false);
    }

    std::mutex mutex_;
    std::unique_ptr<sim::Card> card_;
    std::string wavPath_;
    std::string stampsPath_;
    std::map<HANDLE, uint64_t> files_;
    uint64_t nextFile_ = kOtherClientFile + 1;
    HANDLE mapping_ = nullptr;  // with its view, held for the life of the process
    korvex::simcard::Status* status_ = nullptr;
};

// A device information list: the card (or nothing), as every device or as
// the device whose instance ID was the enumerator.
struct DeviceList {
    static constexpr uint32_t kMagic = 0x4C44534B;
    uint32_t magic = kMagic;
    bool hasCard = false;
};

DeviceList* ListOf(HDEVINFO list) {
    auto* l = static_cast<DeviceList*>(list);
    return l != nullptr && list != INVALID_HANDLE_VALUE && l->magic == DeviceList::kMagic ? l : nullptr;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Copies `bytes` to `buffer` of `size` bytes with the answers SetupAPI gives.
BOOL Answer(const void* data, DWORD bytes, void* buffer, DWORD size, PDWORD required) {
    if (required != nullptr) *required = bytes;
    if (buffer == nullptr || size < bytes) return Fail(buffer == nullptr && size != 0 ? ERROR_INVALID_USER_BUFFER
                                                                                      : ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, data, bytes);
    return TRUE;
}

// Interface data Reserved carries the interface index.
constexpr ULONG_PTR kInterfaceTag = 0x4B000000;

}  // namespace

HDEVINFO WINAPI KorvexSimcard_SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.mutex());
    if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* list = new (std::nothrow) DeviceList();
    if (list == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    sim::Card* card = machine.card();
    const bool audio = classGuid != nullptr && IsEqualGUID(*classGuid, KSCATEGORY_AUDIO);
    list->hasCard = card != nullptr && (audio || (flags & DIGCF_ALLCLASSES) != 0) &&
                    (enumerator == nullptr || SameText(card->InstanceId(), enumerator));
    return list;
}

BOOL WINAPI KorvexSimcard_SetupDiDestroyDeviceInfoList(HDEVINFO list) {
    DeviceList* l = ListOf(list);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    l->magic = 0;
    delete l;
    return TRUE;
}

BOOL WINAPI KorvexSimcard_SetupDiEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info) {
    DeviceList* l = ListOf(list);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (!l->hasCard || index != 0) return Fail(ERROR_NO_MORE_ITEMS);
    info->ClassGuid = KSCATEGORY_AUDIO;
    info->DevInst = 1;
    info->Reserved = 0;
    return TRUE;
}

BOOL WINAPI KorvexSimcard_SetupDiGetDeviceRegistryPropertyW(HDEVINFO list, PSP_DEVINFO_DATA info, DWORD property,
                                                            PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    DeviceList* l = ListOf(list);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA) || !l->hasCard) return Fail(ERROR_INVALID_PARAMETER);
    if (property != SPDRP_HARDWAREID) return Fail(ERROR_INVALID_DATA);
    std::wstring multi;
    for (const std::wstring& id : Machine::Get().card()->HardwareIds()) {
        multi += id;
        multi.push_back(L'\0');
    }
    multi.push_back(L'\0');
    if (type != nullptr) *type = REG_MULTI_SZ;
    return Answer(multi.data(), static_cast<DWORD>(multi.size() * sizeof(WCHAR)), buffer, size, required);
}

BOOL WINAPI KorvexSimcard_SetupDiGetDeviceInstanceIdW(HDEVINFO list, PSP_DEVINFO_DATA info, PWSTR id, DWORD size,
                                                      PDWORD required) {
    DeviceList* l = ListOf(list);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA) || !l->hasCard) return Fail(ERROR_INVALID_PARAMETER);
    const std::wstring& instance = Machine::Get().card()->InstanceId();
    const DWORD characters = static_cast<DWORD>(instance.size() + 1);
    if (required != nullptr) *required = characters;
    if (id == nullptr || size < characters) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(id, instance.c_str(), characters * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI KorvexSimcard_SetupDiEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA, const GUID* category, DWORD index,
                                                      PSP_DEVICE_INTERFACE_DATA data) {
    DeviceList* l = ListOf(list);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || category == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const int interfaces = Machine::Get().card() ? Machine::Get().card()->config().audioInterfaces : 0;
    if (!l->hasCard || !IsEqualGUID(*category, KSCATEGORY_AUDIO) || index >= static_cast<DWORD>(interfaces)) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    data->InterfaceClassGuid = KSCATEGORY_AUDIO;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = kInterfaceTag | index;
    return TRUE;
}

BOOL WINAPI KorvexSimcard_SetupDiGetDeviceInterfaceDetailW(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                           PDWORD required, PSP_DEVINFO_DATA) {
    DeviceList* l = ListOf(list);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || (data->Reserved & ~ULONG_PTR{0xFF}) != kInterfaceTag || !l->hasCard) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::wstring path = Machine::Get().card()->InterfacePath(static_cast<int>(data->Reserved & 0xFF));
    const DWORD bytes =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
    if (required != nullptr) *required = bytes;
    if (detail == nullptr) return Fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

// A file on the card is a real (event) handle of the process, so that the
// process's handle count sees it, mapped to the card's file id.
HANDLE WINAPI KorvexSimcard_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                        DWORD disposition, DWORD flags, HANDLE templateFile) {
    Machine& machine = Machine::Get();
    sim::Card* card = machine.card();
    bool onCard = false;
    if (card != nullptr && path != nullptr) {
        for (int i = 0; i < card->config().audioInterfaces; ++i) onCard = onCard || SameText(card->InterfacePath(i), path);
    }
    if (!onCard) return CreateFileW(path, access, share, security, disposition, flags, templateFile);
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) return INVALID_HANDLE_VALUE;
    std::lock_guard lock(machine.mutex());
    const uint64_t id = machine.OpenFile(handle);
    const DWORD error = card->Create(id);
    if (error != ERROR_SUCCESS) {
        machine.ForgetFile(handle);
        CloseHandle(handle);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI KorvexSimcard_DeviceIoControl(HANDLE file, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                          LPDWORD returned, LPOVERLAPPED overlapped) {
    Machine& machine = Machine::Get();
    uint64_t id = 0;
    {
        std::lock_guard lock(machine.mutex());
        if (!machine.FileOf(file, &id)) {
            return DeviceIoControl(file, code, in, inSize, out, outSize, returned, overlapped);
        }
    }
    DWORD bytes = 0;
    const DWORD error = machine.card()->IoControl(id, code, in, inSize, out, outSize, &bytes);
    if (returned != nullptr) *returned = bytes;
    uint32_t property = 0;
    if (in != nullptr && inSize >= sizeof(KSPROPERTY)) property = static_cast<const KSPROPERTY*>(in)->Id;
    {
        std::lock_guard lock(machine.mutex());
        machine.Publish(error == ERROR_SUCCESS && property == sim::devctl::kStop);
    }
    if (error != ERROR_SUCCESS) return Fail(error);
    return TRUE;
}

BOOL WINAPI KorvexSimcard_CloseHandle(HANDLE handle) {
    Machine& machine = Machine::Get();
    uint64_t id = 0;
    bool onCard = false;
    {
        std::lock_guard lock(machine.mutex());
        onCard = machine.FileOf(handle, &id);
        if (onCard) machine.ForgetFile(handle);
    }
    if (onCard) {
        const bool wasStreaming = machine.card()->Streaming();
        machine.card()->Close(id);
        std::lock_guard lock(machine.mutex());
        machine.Publish(wasStreaming);
    }
    return CloseHandle(handle);
}
