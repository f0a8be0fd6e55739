#include "capture/sim/sim.h"

#include "capture/media/pixel_pool.h"
#include "capture/media/png_encoder.h"

#include <algorithm>
#include <thread>

namespace lumatap::sim {
namespace {

std::mutex worldMutex;
World theWorld;
std::pair<bool, bool> contentRequest;
std::shared_ptr<const ContentFilter> imageFilter;
std::shared_ptr<const StreamConfiguration> imageConfiguration;
std::shared_ptr<SimStream> stream;

World snapshotWorld() {
    std::lock_guard lock(worldMutex);
    return theWorld;
}

// Completions come later and from elsewhere, as they do from a real platform.
void later(Delivery delivery, std::function<void()> task) {
    if (delivery == Delivery::never) {
        return;
    }
    std::thread(std::move(task)).detach();
}

bool contains(const Rect& r, Point p) {
    return p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height;
}

} // namespace

void setWorld(World world) {
    std::lock_guard lock(worldMutex);
    theWorld = std::move(world);
    stream.reset();
}

void update(const std::function<void(World&)>& change) {
    std::lock_guard lock(worldMutex);
    change(theWorld);
}

std::pair<bool, bool> lastContentRequest() {
    std::lock_guard lock(worldMutex);
    return contentRequest;
}

std::shared_ptr<const ContentFilter> lastImageFilter() {
    std::lock_guard lock(worldMutex);
    return imageFilter;
}

std::shared_ptr<const StreamConfiguration> lastImageConfiguration() {
    std::lock_guard lock(worldMutex);
    return imageConfiguration;
}

std::shared_ptr<SimStream> lastStream() {
    std::lock_guard lock(worldMutex);
    return stream;
}

SimStream::SimStream(std::shared_ptr<const ContentFilter> filter,
                     std::shared_ptr<const StreamConfiguration> configuration,
                     std::shared_ptr<StreamDelegate> delegate)
    : filter(std::move(filter)), configuration(std::move(configuration)),
      delegate(std::move(delegate)) {
}

bool SimStream::addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                std::shared_ptr<SerialQueue> queue, ErrorPtr& error) {
    World world = snapshotWorld();
    std::lock_guard lock(mutex_);
    if (addCalls_++ == world.refuseOutputAt) {
        error = world.refuseOutputError;
        return false;
    }
    outputs_.push_back({std::move(output), type, std::move(queue)});
    return true;
}

void SimStream::startCapture(std::function<void(ErrorPtr)> completion) {
    World world = snapshotWorld();
    {
        std::lock_guard lock(mutex_);
        started_ = !world.startError;
    }
    later(world.startDelivery,
          [completion = std::move(completion), error = world.startError] { completion(error); });
}

void SimStream::deliver(OutputType type, SampleBufferPtr sample) {
    for (const auto& registration : outputs()) {
        if (registration.type != type) {
            continue;
        }
        auto task = [this, registration, sample] {
            registration.output->streamDidOutputSampleBuffer(*this, sample, registration.type);
        };
        // Pictures are given on the delivering thread while the queue is idle, as the real
        // screen stream gives them.
        if (type == OutputType::screen) {
            registration.queue->perform(std::move(task));
        } else {
            registration.queue->async(std::move(task));
        }
    }
}

void SimStream::stop(ErrorPtr error) {
    std::thread([this, error] { delegate->streamDidStopWithError(*this, error); }).detach();
}

bool SimStream::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

std::vector<SimStream::Registration> SimStream::outputs() const {
    std::lock_guard lock(mutex_);
    return outputs_;
}

SampleBufferPtr screenSample(std::shared_ptr<const PixelBuffer> picture, FrameStatus status) {
    // Made as the real desktops make theirs.
    return media::sample(std::move(picture), status);
}

std::shared_ptr<const PixelBuffer> nv12Picture(std::size_t width, std::size_t height,
                                               std::uint8_t luma, std::uint8_t chroma,
                                               std::size_t bytesPerRow) {
    std::size_t stride = std::max(bytesPerRow, width + width % 2);
    std::size_t chromaRows = (height + 1) / 2;
    auto storage = std::make_shared<Bytes>(stride * (height + chromaRows), luma);
    std::fill(storage->begin() + static_cast<std::ptrdiff_t>(stride * height), storage->end(),
              chroma);
    auto picture = std::make_shared<PixelBuffer>();
    picture->planes = {{storage->data(), stride, height},
                       {storage->data() + stride * height, stride, chromaRows}};
    picture->storage = storage;
    return picture;
}

} // namespace lumatap::sim

namespace lumatap::sim {
namespace {

// The scripted world, answering as a platform does.
class SimPlatform : public Platform {
  public:
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             platform::ContentCompletion completion) override {
        sim::World world;
        {
            std::lock_guard lock(sim::worldMutex);
            sim::contentRequest = {excludeDesktopWindows, onScreenWindowsOnly};
            world = sim::theWorld;
        }
        auto content = world.content;
        if (content && onScreenWindowsOnly) {
            auto onScreen = std::make_shared<ShareableContent>(*content);
            std::erase_if(onScreen->windows, [](const auto& w) { return !w->isOnScreen; });
            content = onScreen;
        }
        sim::later(world.contentDelivery,
                   [completion = std::move(completion), content, error = world.contentError] {
                       completion(content, error);
                   });
    }

    std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) override {
        for (const auto& d : sim::snapshotWorld().displays) {
            if (d.id == display) {
                return d.mode;
            }
        }
        return std::nullopt;
    }

    Rect displayBounds(DisplayID display) override {
        for (const auto& d : sim::snapshotWorld().displays) {
            if (d.id == display) {
                return d.bounds;
            }
        }
        return {};
    }

    DisplayID mainDisplayID() override { return sim::snapshotWorld().mainDisplay; }

    bool displayIsMain(DisplayID display) override {
        return display == sim::snapshotWorld().mainDisplay;
    }

    std::optional<DisplayID> displayWithPoint(Point point) override {
        sim::World world = sim::snapshotWorld();
        if (world.displayQueryFails) {
            return std::nullopt;
        }
        for (const auto& d : world.displays) {
            if (sim::contains(d.bounds, point)) {
                return d.id;
            }
        }
        return std::nullopt;
    }

    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        sim::World world = sim::snapshotWorld();
        if (options & windowListIncludingWindow) {
            std::this_thread::sleep_for(world.windowQueryDelay);
            if (world.windowQueryAbsent) {
                return std::nullopt;
            }
            std::vector<WindowInfo> answer;
            if (world.existingWindows.count(relativeToWindow)) {
                answer.push_back({{std::string(windowNumberKey), std::int64_t{relativeToWindow}}});
            }
            return answer;
        }
        return world.windowList;
    }

    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      platform::ImageCompletion completion) override {
        sim::World world;
        {
            std::lock_guard lock(sim::worldMutex);
            sim::imageFilter = std::move(filter);
            sim::imageConfiguration = std::move(configuration);
            world = sim::theWorld;
        }
        sim::later(world.imageDelivery, [completion = std::move(completion), image = world.image,
                                         error = world.imageError] { completion(image, error); });
    }

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        auto created = std::make_shared<sim::SimStream>(std::move(filter), std::move(configuration),
                                                        std::move(delegate));
        std::lock_guard lock(sim::worldMutex);
        sim::stream = created;
        return created;
    }

    std::optional<Bytes> encodePNG(const Image& image) override {
        if (sim::snapshotWorld().pngFails) {
            return std::nullopt;
        }
        return media::encodePNGWithLibpng(image);
    }
};

// Every program that links the simulated platform uses it.
const bool installed = [] {
    platform::install(std::make_unique<SimPlatform>());
    return true;
}();

} // namespace
} // namespace lumatap::sim
