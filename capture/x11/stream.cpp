// Capture streams of a monitor or a window.
#include "capture/x11/stream.h"

#include "capture/x11/connection.h"

namespace lumatap::x11 {
namespace {

class UnavailableStream : public Stream {
  public:
    bool addStreamOutput(std::shared_ptr<StreamOutput>, OutputType, std::shared_ptr<SerialQueue>,
                         ErrorPtr& error) override {
        error = makeError(std::string(x11::errorDomain), 1, "streams are not available yet");
        return false;
    }
    void startCapture(std::function<void(ErrorPtr)> completion) override {
        completion(makeError(std::string(x11::errorDomain), 1, "streams are not available yet"));
    }
};

} // namespace

std::shared_ptr<Stream> createScreenStream(std::shared_ptr<const ContentFilter>,
                                           std::shared_ptr<const StreamConfiguration>,
                                           std::shared_ptr<StreamDelegate>) {
    return std::make_shared<UnavailableStream>();
}

} // namespace lumatap::x11
