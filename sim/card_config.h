// How a simulated card is set up when it is added to the machine.
#pragma once

#include "platform/win32.h"
#include "sim/loopback_line.h"
#include "sim/models.h"
#include "sim/tone.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class ClockMode {
    RealTime,  // the card's own thread sets the half events at the sample rate's pace
    Stepped,   // each Card::FireHalf sets the next one
};

// The wave port's streaming interfaces, besides its KSCATEGORY_AUDIO one.
inline constexpr GUID kKsCategoryRender = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsCategoryCapture = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

struct CardConfig {
    CardModel model = CardModel::Six;
    // Empty: the model's hardware ID alone. Only the first ID decides support.
    std::vector<std::wstring> hardwareIds{};
    // Empty: the first hardware ID plus a suffix unique within the machine.
    std::wstring instanceId{};
    int audioInterfaces = 2;  // KSCATEGORY_AUDIO interfaces; the product opens index 1
    // Also a KSCATEGORY_RENDER and a KSCATEGORY_CAPTURE interface on the wave
    // port (after the audio ones), as Plug and Play announces a card.
    bool streamingInterfaces = false;
    bool present = true;
    // False: the card is in the tree with its interfaces not yet enabled;
    // each comes with sim::ArriveInterface, as Plug and Play enables them one
    // by one while the card starts.
    bool interfacesEnabled = true;
    DWORD openError = ERROR_SUCCESS;           // what CreateFileW on the card reports
    DWORD hardwareIdQueryError = ERROR_SUCCESS;  // every SPDRP_HARDWAREID query fails with it
    DWORD hardwareIdReadError = ERROR_SUCCESS;   // the filled read fails with it
    uint32_t sampleRate = 48000;
    uint32_t bufferMs = 10;
    ClockMode clock = ClockMode::RealTime;
    ToneConfig tone{};           // on both inputs
    // A cable from an output to an input; that input then carries the
    // output's signal instead of the tone.
    std::optional<LoopbackCable> loopback{};
    size_t stampCapacity = 8192; // signal time stamps kept
};

}  // namespace sim
