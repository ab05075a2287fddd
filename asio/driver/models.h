// What each supported card model reports: name and channel counts, keyed on
// the hardware ID its instance ID begins with; and the channel names.
#pragma once

#include "common/hardware_ids.h"

#include <cstdint>

namespace korvex {

struct CardModel {
    const WCHAR* hardwareId;
    const char* driverName;
    int32_t inputs;
    int32_t outputs;
};

inline constexpr CardModel kCardModels[kSupportedHardwareIdCount] = {
    {kSupportedHardwareIds[0], "SAVANTIX Lyrenta Pico", 2, 2},
    {kSupportedHardwareIds[1], "SAVANTIX Lyrenta Six", 2, 6},
    {kSupportedHardwareIds[2], "SAVANTIX Lyrenta Duo", 2, 2},
    {kSupportedHardwareIds[3], "SAVANTIX Lyrenta Duo", 2, 2},
    {kSupportedHardwareIds[4], "SAVANTIX Lyrenta Eight", 2, 8},
};

inline constexpr const char* kOutputChannelNames[8] = {"Left",          "Right",          "Center",    "LFE",
                                                        "Surround Left", "Surround Right", "Side Left", "Side Right"};
inline constexpr const char* kInputChannelNames[2] = {"Left", "Right"};
inline constexpr const char* kClockSourceName = "Internal";
inline constexpr const char* kNotPresentMessage = "SAVANTIX Lyrenta Vazozo not present";

// The model row whose hardware ID the instance ID begins with, or -1.
int CardModelRow(const WCHAR* instanceId);

// Copies a zero-terminated string into a fixed host buffer, truncating.
void CopyBounded(char* destination, size_t capacity, const char* source);

}  // namespace korvex
