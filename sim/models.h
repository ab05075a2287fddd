// The card models of the family, keyed by the subsystem part of their PCI
// hardware ID.
#pragma once

#include <string>

namespace sim {

enum class CardModel { Pico, Six, Duo0, Duo, Eight };

struct ModelInfo {
    CardModel model;
    const char* name;
    const wchar_t* hardwareId;  // the full 37-character ID
    int outputs;
    int inputs;
};

const ModelInfo& Model(CardModel model);

}  // namespace sim
