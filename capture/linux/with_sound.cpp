#include "capture/linux/with_sound.h"

#include "capture/linux/forwarding.h"
#include "capture/pipewire/audio.h"
#include "capture/pulse/pulse.h"

#include <chrono>

namespace lumatap::platform {
namespace {

// Where PipeWire is the sound server, its applications' streams are recorded through it
// directly, at the graph's pace; PulseAudio's are recorded through the PulseAudio API. A
// PipeWire socket alone does not tell: a desktop may run PipeWire for screen sharing only
// beside PulseAudio for sound. So the pulse server is asked too, and only a PulseAudio that
// answers keeps the pulse path; no answer at all leaves a PipeWire without its pulse server.
bool recordsThroughPipeWire() {
    if (!pipewire::audioSocketFound()) {
        return false;
    }
    auto name = pulse::serverName(std::chrono::seconds(2));
    return !name || name->find("PipeWire") != std::string::npos;
}

class WithSound : public Forwarding {
  public:
    using Forwarding::Forwarding;

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        // A stream that captures sound is the sound server's business; its pictures are not
        // needed, and the desktop is not asked for them.
        if (configuration && configuration->capturesAudio.value_or(false)) {
            if (recordsThroughPipeWire()) {
                return pipewire::createAudioStream(std::move(filter), std::move(configuration),
                                                   std::move(delegate));
            }
            return pulse::createAudioStream(std::move(filter), std::move(configuration),
                                            std::move(delegate));
        }
        return desktop_->createStream(std::move(filter), std::move(configuration),
                                      std::move(delegate));
    }
};

} // namespace

std::unique_ptr<Platform> withSound(std::unique_ptr<Platform> desktop) {
    return std::make_unique<WithSound>(std::move(desktop));
}

} // namespace lumatap::platform
