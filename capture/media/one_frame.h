// One picture of a frame source, for a still: a desktop whose pictures come only as a stream
// takes its thumbnail from the stream's first frame.
#pragma once

#include "capture/media/frame_source.h"

#include <optional>

namespace lumatap::media {

// Prepares `source`, waits for its first report with a picture and reads all of it; the
// pointer, if the source reports one, is left out. The view stays valid until the source is
// asked anything else or goes. None, with `error`, when the source failed or ended; none
// without when no picture came by `deadline`.
std::optional<BgraView> takeOneFrame(FrameSource& source, const StreamConfiguration& configuration,
                                     Clock::time_point deadline, ErrorPtr& error);

} // namespace lumatap::media
