#include "tools/korvex-sim/card_report.h"

#include "sim/devctl.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace korvex::host {
namespace {

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

}  // namespace

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

}  // namespace korvex::host
