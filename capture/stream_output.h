#pragma once

#include "capture/platform.h"

#include <string>

namespace lumatap {

// Has `stream` deliver its samples of `type` to `output` on a new serial queue labelled
// `label`. A refusal ends the process through failWith, with a stand-in error where the
// platform gives no reason, so the host reads "error: ..." and never "error: unknown".
void addOutput(Stream& stream, std::shared_ptr<StreamOutput> output, OutputType type,
               std::string label);

} // namespace lumatap
