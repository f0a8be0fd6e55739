#pragma once

#include "capture/platform.h"

namespace lumatap {

// A content snapshot, desktop windows left out; with `onScreenOnly` false it also holds the
// windows that are not on screen. Ends the process through failWith when the platform gives
// no snapshot.
std::shared_ptr<const ShareableContent> shareable(bool onScreenOnly);

} // namespace lumatap
