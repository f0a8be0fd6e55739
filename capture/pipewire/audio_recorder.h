// One capture stream linked to one application's playback node, feeding its own source of
// the mix. Its data arrives on PipeWire's data thread, at the graph's quantum.
#pragma once

#include "capture/media/mixer.h"

#include <cstdint>
#include <mutex>
#include <pipewire/pipewire.h>

namespace lumatap::pipewire {

class AudioRecorder {
  public:
    // Links to the node with serial `serial`, recording `channels` floats a frame at `rate`.
    // `mixer` (guarded by `mixLock`) gets the recording as source `node`. On the loop's thread
    // or under its lock, as the destructor.
    AudioRecorder(pw_core* core, std::uint32_t node, std::uint64_t serial, std::uint32_t rate,
                  std::uint32_t channels, media::Mixer& mixer, std::mutex& mixLock);
    ~AudioRecorder();
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

    bool connected() const { return stream != nullptr; }

  private:
    static void onProcess(void* self);

    const std::uint32_t node;
    const std::uint32_t channels;
    media::Mixer& mixer;
    std::mutex& mixLock;
    pw_stream* stream = nullptr;
    spa_hook listener{};
};

} // namespace lumatap::pipewire
