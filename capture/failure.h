// Ending the process because the platform reported a failure.
#pragma once

#include "capture/platform.h"

namespace lumatap {

// Ends the process with the line and status that fit a platform error (or its absence).
[[noreturn]] void failWith(const ErrorPtr& error);

} // namespace lumatap
