#include "still/thumb.h"

#include "capture/target.h"
#include "lumatap/output.h"

namespace lumatap {

void thumb(const std::string& kind, std::uint32_t id, double, double) {
    target(kind, id);
    fail("error: thumb is not available yet");
}

} // namespace lumatap
