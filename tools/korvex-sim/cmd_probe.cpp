// korvex-sim probe: a simulated machine with one card (or none), the driver
// library loaded and its object created the way a host does it, the host's
// driver-info page, what the card answered to the claim, every request the
// card received, and the proof that releasing the driver closed every handle.
#include "platform/posix/kernel.h"
#include "sim/devctl.h"
#include "sim/machine.h"
#include "tools/korvex-sim/driver_info.h"
#include "tools/korvex-sim/driver_module.h"
#include "tools/korvex-sim/host_cli.h"

#include <cstring>
#include <optional>
#include <string>

namespace korvex::cli {
namespace {

struct ProbeOptions {
    sim::CardModel model = sim::CardModel::Six;
    uint32_t rate = 48000;
    uint32_t bufferMs = 10;
    bool noCard = false;
    bool cardInUse = false;
    std::string library = host::DriverModule::DefaultPath();
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

const char* PropertyName(uint32_t id) {
    switch (id) {
        case sim::devctl::kControl: return "DEVCTL_CONTROL";
        case sim::devctl::kInUse: return "DEVCTL_IN_USE";
        case sim::devctl::kClaim: return "DEVCTL_CLAIM";
        case sim::devctl::kSampleRate: return "DEVCTL_SAMPLE_RATE";
        case sim::devctl::kBufferMs: return "DEVCTL_BUFFER_MS";
        case sim::devctl::kMapBuffers: return "DEVCTL_MAP_BUFFERS";
        case sim::devctl::kUnmapBuffers: return "DEVCTL_UNMAP_BUFFERS";
        case sim::devctl::kEvents: return "DEVCTL_EVENTS";
        case sim::devctl::kStop: return "DEVCTL_STOP";
        default: return "(unknown)";
    }
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t limit = 24) {
    std::string out;
    char piece[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        snprintf(piece, sizeof piece, "%s%02x", i ? " " : "", bytes[i]);
        out += piece;
    }
    if (bytes.size() > limit) out += " ...";
    return out;
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    if (bytes.size() >= at + 4) std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

uint64_t Le64(const std::vector<uint8_t>& bytes, size_t at) {
    uint64_t value = 0;
    if (bytes.size() >= at + 8) std::memcpy(&value, bytes.data() + at, 8);
    return value;
}

std::string Flags(const std::vector<uint8_t>& bytes, size_t first, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += (first + i < bytes.size() && bytes[first + i]) ? '1' : '0';
    return out;
}

// The value of a request, decoded where the property's layout is known.
std::string Decode(const sim::CardRequest& request) {
    const std::vector<uint8_t>& v = request.value;
    if (request.IsGet() && !request.Succeeded()) return "(no answer)";
    char text[160];
    switch (request.id) {
        case sim::devctl::kControl: {
            if (v.size() < sim::devctl::kControlBlockSize) return Hex(v);
            switch (v[sim::devctl::kCommandOffset]) {
                case sim::devctl::kCmdChannels:
                    snprintf(text, sizeof text, "channels: out %s, in %s",
                             Flags(v, sim::devctl::kEnableOffset, sim::devctl::kOutputChannels).c_str(),
                             Flags(v, sim::devctl::kEnableOffset + sim::devctl::kOutputChannels,
                                   sim::devctl::kInputChannels)
                                 .c_str());
                    return text;
                case sim::devctl::kCmdSampleRate:
                    snprintf(text, sizeof text, "sample rate %u Hz", Le32(v, sim::devctl::kRateOffset));
                    return text;
                case sim::devctl::kCmdBufferSize:
                    snprintf(text, sizeof text, "buffer size %u samples per half",
                             Le32(v, sim::devctl::kBufferFramesOffset));
                    return text;
                default: return "command " + std::to_string(v[0]) + ": " + Hex(v);
            }
        }
        case sim::devctl::kInUse:
            if (v.empty()) return Hex(v);
            return Hex(v) + (v[0] ? "  in use" : "  free");
        case sim::devctl::kClaim:
            if (v.empty()) return Hex(v);
            return Hex(v) + (v[0] ? "  take" : "  give back");
        case sim::devctl::kSampleRate:
            snprintf(text, sizeof text, "%s  %u Hz", Hex(v).c_str(), Le32(v, 0));
            return text;
        case sim::devctl::kBufferMs:
            snprintf(text, sizeof text, "%s  %d ms", Hex(v).c_str(), static_cast<int32_t>(Le32(v, 0)));
            return text;
        case sim::devctl::kMapBuffers:
        case sim::devctl::kUnmapBuffers: {
            int present = 0;
            for (int i = 0; i < sim::devctl::kChannels; ++i) present += Le64(v, 8 * i) != 0;
            snprintf(text, sizeof text, "%d of 10 addresses set, out0 0x%llx ... in1 0x%llx", present,
                     static_cast<unsigned long long>(Le64(v, 0)),
                     static_cast<unsigned long long>(Le64(v, 8 * (sim::devctl::kChannels - 1))));
            return text;
        }
        case sim::devctl::kEvents:
            snprintf(text, sizeof text, "handles %#llx %#llx %#llx %#llx",
                     static_cast<unsigned long long>(Le64(v, 0)), static_cast<unsigned long long>(Le64(v, 8)),
                     static_cast<unsigned long long>(Le64(v, 16)), static_cast<unsigned long long>(Le64(v, 24)));
            return text;
        case sim::devctl::kStop: return v.empty() ? "(no value)" : Hex(v);
        default: return Hex(v);
    }
}

std::string Counts(const kwin::HandleCounts& c) {
    char text[200];
    snprintf(text, sizeof text, "%d (events %d, threads %d, device files %d, device lists %d, other %d)", c.total,
             c.events, c.threads, c.deviceFiles, c.deviceInfoLists, c.other);
    return text;
}

// The other client of --card-in-use: opens the card as the driver would
// and claims it.
DWORD ClaimAsOtherClient(const sim::Card& card, HANDLE* file) {
    *file = CreateFileW(card.InterfacePath(1).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (*file == INVALID_HANDLE_VALUE) return GetLastError();
    KSPROPERTY header = sim::devctl::MakeHeader(sim::devctl::kClaim, KSPROPERTY_TYPE_SET);
    uint8_t take = 1;
    DWORD returned = 0;
    if (!DeviceIoControl(*file, IOCTL_KS_PROPERTY, &header, sizeof header, &take, 1, &returned, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

void PrintRequests(const std::vector<sim::CardRequest>& requests, size_t releasedAt,
                   std::optional<uint64_t> otherFile) {
    printf("\nCard requests   %zu, in the order received\n", requests.size());
    printf("    %-3s %-7s %-21s %-4s %s\n", "#", "from", "property", "op", "value");
    for (size_t i = 0; i < requests.size(); ++i) {
        if (i == releasedAt) printf("    --- the driver is released ---\n");
        const sim::CardRequest& r = requests[i];
        const char* from = otherFile && r.fileId == *otherFile ? "other" : "driver";
        const char* op = r.IsGet() ? "GET" : r.IsSet() ? "SET" : "?";
        std::string value = Decode(r);
        if (!r.Succeeded()) value += "  -> failed, error " + std::to_string(r.error);
        printf("    %-3zu %-7s %-21s %-4s %s\n", i + 1, from, PropertyName(r.id), op, value.c_str());
    }
    if (releasedAt >= requests.size()) printf("    --- the driver is released ---\n");
}

bool ParseProbe(const std::vector<std::string>& args, ProbeOptions* o, bool* help) {
    Options options(args);
    std::string name;
    while (options.Next(&name)) {
        long integer = 0;
        if (name == "--help" || name == "-h") {
            *help = true;
        } else if (name == "--model") {
            options.Model(&o->model);
        } else if (name == "--rate") {
            if (options.Integer(&integer, 1, 1'000'000)) o->rate = static_cast<uint32_t>(integer);
        } else if (name == "--buffer-ms") {
            if (options.Integer(&integer, 0, 1000)) o->bufferMs = static_cast<uint32_t>(integer);
        } else if (name == "--no-card") {
            o->noCard = true;
        } else if (name == "--card-in-use") {
            o->cardInUse = true;
        } else if (name == "--library") {
            options.Value(&o->library);
        } else {
            options.Fail("unknown option '" + name + "'");
        }
    }
    if (o->noCard && o->cardInUse) options.Fail("--no-card and --card-in-use exclude each other");
    return options.Finish("probe", PrintProbeUsage);
}

}  // namespace

void PrintProbeUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim probe [options]\n"
            "\n"
            "  --model pico|six|duo|eight   the card (default six)\n"
            "  --rate HZ                    the card's sample rate (default 48000)\n"
            "  --buffer-ms MS               the card's preferred buffer length (default 10)\n"
            "  --no-card                    a machine without a card\n"
            "  --card-in-use                another client opens and claims the card first\n"
            "  --library PATH               the driver library (default: the one built)\n"
            "\n"
            "Exit status 0 when releasing the driver closed every handle it opened.\n");
}

int RunProbe(const std::vector<std::string>& args) {
    ProbeOptions o;
    bool help = false;
    if (!ParseProbe(args, &o, &help)) return kExitUsage;
    if (help) {
        PrintProbeUsage(stdout);
        return kExitOk;
    }

    sim::Machine machine;
    sim::Card* card = nullptr;
    if (o.noCard) {
        printf("Machine         no card\n");
    } else {
        sim::CardConfig config;
        config.model = o.model;
        config.sampleRate = o.rate;
        config.bufferMs = o.bufferMs;
        card = &machine.AddCard(config);
        printf("Machine         one card: %s, %u Hz, %u ms buffers\n", card->model().name, o.rate, o.bufferMs);
        printf("                instance %s\n", Narrow(card->InstanceId()).c_str());
    }

    HANDLE otherFile = INVALID_HANDLE_VALUE;
    if (o.cardInUse) {
        const DWORD error = ClaimAsOtherClient(*card, &otherFile);
        printf("Other client    opened the card and claimed it: %s\n",
               error == ERROR_SUCCESS ? "claimed" : ("failed, error " + std::to_string(error)).c_str());
    }
    std::optional<uint64_t> otherFileId;
    if (card != nullptr && o.cardInUse && card->RequestCount() > 0) otherFileId = card->Requests().front().fileId;

    const kwin::HandleCounts before = kwin::OpenHandles();
    host::DriverModule module(o.library);
    if (!module.loaded()) {
        fprintf(stderr, "korvex-sim probe: cannot load %s: %s\n", o.library.c_str(), module.error().c_str());
        if (otherFile != INVALID_HANDLE_VALUE) CloseHandle(otherFile);
        return kExitUsage;
    }
    printf("Library         %s\n", o.library.c_str());
    HRESULT created = E_FAIL;
    IASIO* driver = module.CreateDriver(&created);
    printf("Driver object   DllGetClassObject, IClassFactory::CreateInstance: %s (0x%08x)\n",
           driver ? "created" : "failed", static_cast<unsigned>(created));
    if (driver == nullptr) {
        if (otherFile != INVALID_HANDLE_VALUE) CloseHandle(otherFile);
        return kExitFault;
    }
    printf("\n");
    host::PrintDriverInfo(driver, stdout);
    printf("\n");

    if (card == nullptr) {
        printf("Card            not present: the machine has no card to claim\n");
    } else {
        const std::optional<uint64_t> holder = card->ClaimedBy();
        if (!holder) {
            printf("Claim           not claimed: the card is free\n");
        } else if (otherFileId && *holder == *otherFileId) {
            printf("Claim           not taken by the driver: the card answered in use, held by the other client\n");
        } else {
            printf("Claim           claimed by the driver\n");
        }
    }

    const kwin::HandleCounts during = kwin::OpenHandles();
    const size_t releasedAt = card ? card->RequestCount() : 0;
    const ULONG references = driver->Release();
    printf("Release         IASIO::Release -> %lu\n", static_cast<unsigned long>(references));
    if (card != nullptr) PrintRequests(card->Requests(), releasedAt, otherFileId);

    const kwin::HandleCounts after = kwin::OpenHandles();
    const HRESULT unload = module.CanUnloadNow();
    const bool closed = after == before;
    printf("\nOpen handles    before the driver %s\n", Counts(before).c_str());
    printf("                with the driver   %s\n", Counts(during).c_str());
    printf("                after release     %s\n", Counts(after).c_str());
    printf("DllCanUnloadNow %s\n", unload == S_OK ? "S_OK" : unload == S_FALSE ? "S_FALSE" : "other");
    printf("Result          %s\n", closed ? "every handle the driver opened is closed"
                                          : "HANDLES LEFT OPEN by the driver");
    if (otherFile != INVALID_HANDLE_VALUE) CloseHandle(otherFile);
    return closed ? kExitOk : kExitFault;
}

}  // namespace korvex::cli
