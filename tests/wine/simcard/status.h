// What the simulated card inside KorvexASIO-simcard.dll publishes for the
// programs that test it: a named file mapping in the same process, refreshed
// after every request the driver sends the card (so after stop it holds the
// whole stream).
#pragma once

#include <cstdint>
#include <string>

namespace korvex::simcard {

inline constexpr uint32_t kStatusMagic = 0x4B534332;  // "KSC2"
inline constexpr uint32_t kStatusStamps = 16384;

struct Status {
    uint32_t magic;
    uint32_t sampleRate;
    uint32_t bufferFrames;   // of the last buffer-size command
    uint32_t wavWrites;      // recordings written to the WAV path so far
    uint64_t halvesSignalled;
    uint64_t overruns;       // halves the host answered after the next deadline
    uint64_t answers;        // halves answered in time
    uint64_t recordedFrames;
    uint64_t stamps[kStatusStamps];  // by sequence modulo kStatusStamps: monotonic ns << 1 | half
    uint64_t dues[kStatusStamps];    // the clock's deadline for each of those signals (monotonic ns)
};

// The mapping's name for a process.
inline std::wstring StatusName(unsigned long processId) {
    return L"Local\\KorvexSimcardStatus." + std::to_wstring(processId);
}

}  // namespace korvex::simcard
