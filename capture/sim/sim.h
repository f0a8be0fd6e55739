// A simulated capture platform: a scripted world that tests set up and change, answered the
// way a real platform answers (completions later, on another thread, or never).
#pragma once

#include "capture/platform.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <utility>

namespace lumatap::sim {

enum class Delivery { later, never };

struct SimDisplay {
    DisplayID id = 0;
    std::optional<platform::DisplayMode> mode;
    Rect bounds;
};

struct World {
    // The snapshot answer; windows that are not on screen are left out of it for requests
    // that ask for on-screen windows only.
    std::shared_ptr<const ShareableContent> content;
    ErrorPtr contentError;
    Delivery contentDelivery = Delivery::later;

    std::vector<SimDisplay> displays;
    DisplayID mainDisplay = 0;
    bool displayQueryFails = false;

    // The window server: its on-screen list, and the windows it knows one by one.
    WindowList windowList;
    std::set<WindowID> existingWindows;
    // How long the window server takes to answer whether a window exists, as a stopped one
    // does.
    std::chrono::milliseconds windowQueryDelay{0};
    bool windowQueryAbsent = false;

    // Still images.
    std::shared_ptr<const Image> image;
    ErrorPtr imageError;
    Delivery imageDelivery = Delivery::later;
    bool pngFails = false;

    // Streams: the addStreamOutput call (counting from 0) that is refused, with this error.
    int refuseOutputAt = -1;
    ErrorPtr refuseOutputError;
    ErrorPtr startError;
    Delivery startDelivery = Delivery::later;
};

// Replaces the world, or changes it in place while a command runs.
void setWorld(World world);
void update(const std::function<void(World&)>& change);

// The flags of the last snapshot request, and the filter and configuration of the last
// still-image capture.
std::pair<bool, bool> lastContentRequest();
std::shared_ptr<const ContentFilter> lastImageFilter();
std::shared_ptr<const StreamConfiguration> lastImageConfiguration();

// A stream as the core created it; tests feed it samples and stop it.
class SimStream : public Stream {
  public:
    SimStream(std::shared_ptr<const ContentFilter> filter,
              std::shared_ptr<const StreamConfiguration> configuration,
              std::shared_ptr<StreamDelegate> delegate);

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override;
    void startCapture(std::function<void(ErrorPtr)> completion) override;

    // Hands `sample` to every output registered for `type`, on its queue.
    void deliver(OutputType type, SampleBufferPtr sample);
    // Calls the delegate's stop callback on a thread of its own.
    void stop(ErrorPtr error);
    bool started() const;

    struct Registration {
        std::shared_ptr<StreamOutput> output;
        OutputType type;
        std::shared_ptr<SerialQueue> queue;
    };
    std::vector<Registration> outputs() const;

    const std::shared_ptr<const ContentFilter> filter;
    const std::shared_ptr<const StreamConfiguration> configuration;
    const std::shared_ptr<StreamDelegate> delegate;

  private:
    mutable std::mutex mutex_;
    std::vector<Registration> outputs_;
    int addCalls_ = 0;
    bool started_ = false;
};

// The stream the core created last, once it has made one.
std::shared_ptr<SimStream> lastStream();

// Sample buffers as a real stream delivers them.
SampleBufferPtr screenSample(std::shared_ptr<const PixelBuffer> picture,
                             FrameStatus status = FrameStatus::complete);

// A flat two-plane 4:2:0 picture of `width` by `height` pixels, as a "420v" stream delivers it:
// rows padded to `bytesPerRow` (at least the width), every luma byte `luma`, every chroma byte
// `chroma`.
std::shared_ptr<const PixelBuffer> nv12Picture(std::size_t width, std::size_t height,
                                               std::uint8_t luma, std::uint8_t chroma = 128,
                                               std::size_t bytesPerRow = 0);

} // namespace lumatap::sim
