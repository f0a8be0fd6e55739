// Each source has a Wayland connection of its own: the screencast lives as long as the stream,
// on the stream's capture thread, while the platform's connection goes on answering lists.
#include "capture/linux/kde_pictures.h"

#include "capture/media/one_frame.h"
#include "capture/media/picture_size.h"
#include "capture/media/screen_stream.h"
#include "capture/pipewire/source.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/kde_screencast.h"

namespace lumatap::platform {
namespace {

using wayland::KdeScreencast;

ErrorPtr streamError(std::int64_t code, std::string description) {
    return makeError(std::string(wayland::errorDomain), code, std::move(description));
}

class CastSource : public media::FrameSource {
  public:
    explicit CastSource(KdeSubject subject) : subject_(std::move(subject)) {}

    bool prepare(const StreamConfiguration& configuration, std::size_t& width, std::size_t& height,
                 ErrorPtr& error) override {
        connection_ = wayland::Connection::open(error);
        if (!connection_) {
            return false;
        }
        // KWin hides the global from a program no desktop file grants it: that is the user's
        // refusal, as a desktop's own dialog would give it.
        if (!connection_->kdeScreencast()) {
            error = makeError(std::string(streamErrorDomain), userDeclinedCode,
                              "KWin grants its screencasts only to programs a desktop file names");
            return false;
        }
        bool cursor = configuration.showsCursor.value_or(true);
        auto pointer = cursor ? KdeScreencast::Pointer::embedded : KdeScreencast::Pointer::hidden;
        if (!subject_.uuid.empty()) {
            cast_ = KdeScreencast::ofWindow(*connection_, subject_.uuid, pointer, error);
        } else if (const wayland::Output* output = connection_->outputWithID(subject_.display);
                   output && !output->removed) {
            cast_ = KdeScreencast::ofOutput(*connection_, *output, pointer, error);
        } else {
            error = streamError(wayland::sourceStopped, "the display was disconnected");
            return false;
        }
        if (!cast_) {
            if (error && error->code == wayland::sourceStopped) {
                error = ended();
            }
            return false;
        }
        pipewire::SourceOptions options;
        options.node = cast_->node();
        options.pointer = cursor ? pipewire::PointerMode::embedded : pipewire::PointerMode::hidden;
        options.ending = [this] { return ended(); };
        pictures_ = pipewire::makeSource(std::move(options));
        return pictures_->prepare(configuration, width, height, error);
    }

    bool wait(media::Clock::time_point deadline) override { return pictures_->wait(deadline); }
    bool pending() const override { return pictures_->pending(); }
    bool report(media::Changes& changes, ErrorPtr& error) override {
        return pictures_->report(changes, error);
    }
    std::optional<media::BgraView> read(const media::Area& area, ErrorPtr& error) override {
        return pictures_->read(area, error);
    }
    bool readsOnce() const override { return pictures_->readsOnce(); }

  private:
    // Why the pictures stopped, as KWin tells it: asked on the capture thread, the only one
    // that uses this connection once the stream runs.
    ErrorPtr ended() {
        ErrorPtr lost;
        bool answered = connection_->roundtrip(lost);
        if (!subject_.uuid.empty()) {
            // The stream's end checks whether the window is still listed; this is the reason
            // when it is.
            return streamError(wayland::sourceStopped, "KWin ended the window's screencast");
        }
        const wayland::Output* output = connection_->outputWithID(subject_.display);
        if (answered && (!output || output->removed)) {
            return streamError(wayland::sourceStopped, "the display was disconnected");
        }
        return lost ? lost : streamError(wayland::sourceStopped, "KWin ended the screencast");
    }

    KdeSubject subject_;
    std::unique_ptr<wayland::Connection> connection_;
    std::unique_ptr<KdeScreencast> cast_;
    std::unique_ptr<media::FrameSource> pictures_;
};

} // namespace

std::shared_ptr<const Image> kdeStill(const KdeSubject& subject,
                                      const StreamConfiguration* configuration, ErrorPtr& error) {
    StreamConfiguration hidden = configuration ? *configuration : StreamConfiguration{};
    hidden.showsCursor = false;
    CastSource source(subject);
    auto view =
        media::takeOneFrame(source, hidden, media::Clock::now() + std::chrono::seconds(5), error);
    if (!view) {
        if (!error) {
            error = streamError(wayland::timedOut, "KWin's screencast gave no picture in time");
        }
        return nullptr;
    }
    // Scaled straight from the cast's buffer, which stays the source's until it goes.
    std::string problem;
    auto size = media::stillSize(configuration, view->width, view->height, problem);
    if (!size) {
        error = streamError(wayland::captureFailed, std::move(problem));
        return nullptr;
    }
    return media::scaledImage(*view, *size);
}

std::shared_ptr<Stream> kdeStream(KdeSubject subject,
                                  std::shared_ptr<const StreamConfiguration> configuration,
                                  std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<media::ScreenStream>(
        std::make_unique<CastSource>(std::move(subject)), std::move(configuration),
        std::move(delegate),
        media::ScreenStream::Refusals{std::string(wayland::errorDomain), wayland::captureFailed,
                                      wayland::captureFailed, wayland::captureFailed,
                                      wayland::captureFailed});
}

} // namespace lumatap::platform
