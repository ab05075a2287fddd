#include "sim/wav.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The tail of the PCM sub-format GUID that follows its two-byte format code.
constexpr uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void PutTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace

bool WriteWav(const std::string& path, uint32_t sampleRate, uint16_t channels, uint16_t bitsPerSample,
              std::span<const int32_t> interleaved) {
    if (channels == 0 || (bitsPerSample != 16 && bitsPerSample != 32)) return false;
    const bool extensible = channels > 2 || bitsPerSample > 16;
    const uint32_t bytesPerSample = bitsPerSample / 8;
    const uint32_t dataBytes = static_cast<uint32_t>(interleaved.size() * bytesPerSample);
    const uint32_t fmtBytes = extensible ? 40 : 16;

    std::vector<uint8_t> out;
    out.reserve(12 + 8 + fmtBytes + 8 + dataBytes);
    PutTag(out, "RIFF");
    Put32(out, 4 + 8 + fmtBytes + 8 + dataBytes);
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    Put32(out, fmtBytes);
    Put16(out, extensible ? kFormatExtensible : kFormatPcm);
    Put16(out, channels);
    Put32(out, sampleRate);
    Put32(out, sampleRate * channels * bytesPerSample);
    Put16(out, channels * bytesPerSample);
    Put16(out, bitsPerSample);
    if (extensible) {
        Put16(out, 22);
        Put16(out, bitsPerSample);  // valid bits
        Put32(out, 0);              // no speaker positions
        Put16(out, kFormatPcm);
        out.insert(out.end(), std::begin(kPcmGuidTail), std::end(kPcmGuidTail));
    }
    PutTag(out, "data");
    Put32(out, dataBytes);
    for (int32_t sample : interleaved) {
        if (bitsPerSample == 16) {
            Put16(out, static_cast<uint32_t>(sample) >> 16);
        } else {
            Put32(out, static_cast<uint32_t>(sample));
        }
    }

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
}

std::optional<WavData> ReadWav(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        return std::nullopt;
    }
    WavData wav;
    bool haveFormat = false;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint8_t* chunk = bytes.data() + pos;
        const uint32_t size = Get32(chunk + 4);
        if (size > bytes.size() - pos - 8) return std::nullopt;
        const uint8_t* body = chunk + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) return std::nullopt;
            uint32_t format = Get16(body);
            if (format == kFormatExtensible) {
                if (size < 40 || std::memcmp(body + 26, kPcmGuidTail, sizeof kPcmGuidTail) != 0) return std::nullopt;
                format = Get16(body + 24);
            }
            if (format != kFormatPcm) return std::nullopt;
            wav.channels = static_cast<uint16_t>(Get16(body + 2));
            wav.sampleRate = Get32(body + 4);
            wav.bitsPerSample = static_cast<uint16_t>(Get16(body + 14));
            if (wav.channels == 0 || (wav.bitsPerSample != 16 && wav.bitsPerSample != 32)) return std::nullopt;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return std::nullopt;
            const uint32_t bytesPerSample = wav.bitsPerSample / 8;
            for (uint32_t at = 0; at + bytesPerSample <= size; at += bytesPerSample) {
                const uint8_t* p = body + at;
                const uint32_t raw = bytesPerSample == 2 ? Get16(p) << 16 : Get32(p);
                wav.samples.push_back(static_cast<int32_t>(raw));
            }
            return wav;
        }
        pos += 8 + size + (size & 1);  // chunks are padded to even length
    }
    return std::nullopt;
}

}  // namespace sim
