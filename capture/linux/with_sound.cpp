#include "capture/linux/with_sound.h"

#include "capture/linux/forwarding.h"
#include "capture/pulse/pulse.h"

namespace lumatap::platform {
namespace {

class WithSound : public Forwarding {
  public:
    using Forwarding::Forwarding;

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        // A stream that captures sound is the sound server's business; its pictures are not
        // needed, and the desktop is not asked for them.
        if (configuration && configuration->capturesAudio.value_or(false)) {
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
