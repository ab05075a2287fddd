// One request as the card's kernel driver received it, for tests to assert
// the exact sequence that the product sent.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <vector>

namespace sim {

struct CardRequest {
    uint64_t fileId = 0;
    DWORD code = 0;                   // the control code
    std::vector<uint8_t> header;      // the input bytes as sent; a KSPROPERTY is 24
    GUID set{};                       // from the header, when it is long enough
    uint32_t id = 0;
    uint32_t flags = 0;
    bool valueNull = true;            // the output (value) pointer was null
    DWORD valueLength = 0;            // the output length given
    std::vector<uint8_t> value;       // SET: as sent; GET: as answered (empty when it failed)
    DWORD error = ERROR_SUCCESS;      // what DeviceIoControl reported

    bool Succeeded() const { return error == ERROR_SUCCESS; }
    bool IsGet() const { return flags == KSPROPERTY_TYPE_GET; }
    bool IsSet() const { return flags == KSPROPERTY_TYPE_SET; }
};

}  // namespace sim
