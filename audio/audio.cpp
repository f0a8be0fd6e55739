#include "audio/audio.h"

#include "lumatap/output.h"

namespace lumatap {

void audio() {
    fail("error: audio is not available yet");
}

} // namespace lumatap
