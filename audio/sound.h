// The audio sink: turns each audio sample buffer of a stream into one PCM block on standard
// output, and ends the process when the stream stops with an error.
#pragma once

#include "capture/platform.h"

namespace lumatap {

// One instance serves a stream as its audio output, its screen output and its delegate. It
// holds no state, so the queues that call it need no lock.
class Sound : public StreamOutput, public StreamDelegate {
  public:
    // Writes the PCM block of an audio buffer, or drops the buffer quietly when it is not
    // usable (pictures, incomplete or foreign formats). A failed write ends the process with
    // status 0: the reader has gone, so the job is over.
    void streamDidOutputSampleBuffer(Stream& stream, const SampleBufferPtr& sampleBuffer,
                                     OutputType type) override;
    [[noreturn]] void streamDidStopWithError(Stream& stream, ErrorPtr error) override;
};

} // namespace lumatap
