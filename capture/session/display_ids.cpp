#include "capture/session/display_ids.h"

#include <cstdint>

namespace lumatap::session {

DisplayID displayID(std::string_view name, const std::function<bool(DisplayID)>& taken) {
    // 32-bit FNV-1a: small, well spread over short names, and the same on every machine.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash = (hash ^ c) * 16777619u;
    }
    while (hash == 0 || taken(hash)) {
        ++hash;
    }
    return hash;
}

} // namespace lumatap::session
