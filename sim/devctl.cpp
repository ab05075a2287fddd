#include "sim/devctl.h"

namespace sim::devctl {

KSPROPERTY MakeHeader(uint32_t id, uint32_t flags, const GUID& set) {
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    return header;
}

}  // namespace sim::devctl
