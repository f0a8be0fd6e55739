#include "capture/pulse/pulse.h"

namespace lumatap::pulse {
namespace {

class UnavailableStream : public Stream {
  public:
    bool addStreamOutput(std::shared_ptr<StreamOutput>, OutputType, std::shared_ptr<SerialQueue>,
                         ErrorPtr& error) override {
        error = makeError("lumatap.pulse", 1, "sound capture is not available yet");
        return false;
    }
    void startCapture(std::function<void(ErrorPtr)> completion) override {
        completion(makeError("lumatap.pulse", 1, "sound capture is not available yet"));
    }
};

} // namespace

std::shared_ptr<Stream> createAudioStream(std::shared_ptr<const ContentFilter>,
                                          std::shared_ptr<const StreamConfiguration>,
                                          std::shared_ptr<StreamDelegate>) {
    return std::make_shared<UnavailableStream>();
}

std::vector<ProcessID> playingProcesses() {
    return {};
}

} // namespace lumatap::pulse
