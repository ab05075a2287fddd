// WAV files of integer PCM: the card's recordings are written with it, and
// tests read them back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct WavData {
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;     // 16 or 32
    std::vector<int32_t> samples;  // interleaved, scaled to int32 full scale
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// Writes interleaved int32 samples as 32-bit PCM, or as 16-bit PCM (the top
// 16 bits of each sample). More than two channels or 32 bits are written in
// the extensible format. False when the file cannot be written.
bool WriteWav(const std::string& path, uint32_t sampleRate, uint16_t channels, uint16_t bitsPerSample,
              std::span<const int32_t> interleaved);

// Reads 16- or 32-bit integer PCM, plain or extensible; nullopt for
// anything else.
std::optional<WavData> ReadWav(const std::string& path);

}  // namespace sim
