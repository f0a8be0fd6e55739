#include "video/video.h"

#include "capture/target.h"
#include "lumatap/output.h"

namespace lumatap {

void video(const std::string& kind, std::uint32_t id, std::int64_t, std::int64_t, std::int64_t,
           std::int64_t) {
    target(kind, id);
    fail("error: video is not available yet");
}

} // namespace lumatap
