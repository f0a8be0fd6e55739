// The sound side of the Linux backend.
//
// What the default output device plays is not recorded from its monitor, since that holds
// every program's sound mixed together and nothing can be taken out of it again. Instead each
// playback stream (sink input) on the default sink is recorded on its own, through a record
// stream attached to that playback stream alone (the server's "monitor stream"), and the
// streams of the left-out processes are simply never recorded. The recordings are mixed on
// our own steady clock, so the stream runs at its real rate, silence included, whether or not
// anything plays. Streams that begin during the capture join the mix, ended ones leave it.
//
// This file follows the server: its default sink and the playback streams on it. The
// connection is in context.*, which streams are left out in exclusion.*, the recordings in
// recorders.* and latency_keeper.*, the mix's clock in producer.*.
//
// Everything that touches the server runs on the threaded main loop's thread, or on another
// thread under the loop's lock.
#include "capture/media/mixer.h"
#include "capture/pulse/context.h"
#include "capture/pulse/exclusion.h"
#include "capture/pulse/latency_keeper.h"
#include "capture/pulse/log_silencing.h"
#include "capture/pulse/producer.h"
#include "capture/pulse/pulse.h"
#include "capture/pulse/recorders.h"

#include <algorithm>
#include <chrono>
#include <pulse/pulseaudio.h>
#include <string>

namespace lumatap::pulse {
namespace {

// How far behind the live sound the mix runs, to ride out the jitter of delivery (the mix
// waits for a recording that is later than that).
constexpr std::chrono::milliseconds prefill{30};
// A recording that gets further ahead than this is cut back to the prefill.
constexpr std::chrono::milliseconds backlog{150};
// How long the start waits for the streams that already play. A sink renders up to its
// latency ahead, at most two seconds under PulseAudio, and a recording attached to one of its
// playback streams gets nothing of what was rendered before: its first data comes with the
// next block.
constexpr std::chrono::milliseconds primingLimit{2500};

// The format the capture records and delivers in: floats, at the configured rate and
// channels.
pa_sample_spec sampleFormatFor(const StreamConfiguration* configuration) {
    int rate = 48000;
    int channels = 2;
    if (configuration) {
        rate = configuration->sampleRate.value_or(rate);
        channels = configuration->channelCount.value_or(channels);
    }
    pa_sample_spec sampleFormat{};
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = static_cast<std::uint32_t>(rate);
    sampleFormat.channels =
        static_cast<std::uint8_t>(std::clamp(channels, 1, int{PA_CHANNELS_MAX}));
    if (!pa_sample_spec_valid(&sampleFormat)) {
        sampleFormat.rate = 48000;
    }
    return sampleFormat;
}

std::size_t framesIn(const pa_sample_spec& format, std::chrono::milliseconds d) {
    return static_cast<std::size_t>(format.rate * d.count() / 1000);
}

class PulseStream : public Stream,
                    public std::enable_shared_from_this<PulseStream>,
                    private Context::Listener {
  public:
    PulseStream(std::shared_ptr<const ContentFilter> filter,
                std::shared_ptr<const StreamConfiguration> configuration,
                std::shared_ptr<StreamDelegate> delegate);
    ~PulseStream() override;

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override;
    void startCapture(std::function<void(ErrorPtr)> completion) override;

  private:
    void contextReady(pa_context* context) override;
    void contextFailed(int code) override;
    void startTimedOut() override;
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol,
                            void* self);
    static void onSinkInputList(pa_context* context, const pa_sink_input_info* info, int eol,
                                void* self);

    static void onPrimingLimit(pa_mainloop_api* api, pa_time_event* event,
                               const struct timeval* when, void* self);

    void finishStart(ErrorPtr error);
    void prime(pa_context* context);
    bool primed() const;
    void begin();
    void consider(const pa_sink_input_info& info);

    const std::shared_ptr<const ContentFilter> filter;
    const std::shared_ptr<const StreamConfiguration> configuration;
    const std::shared_ptr<StreamDelegate> delegate;
    const pa_sample_spec sampleFormat;

    // The server's context is declared before the streams on it, so that they are let go of
    // first, then the context, then its loop. From here on, touched on the loop's thread or under
    // its lock only (the producer's output aside).
    Context server;
    std::function<void(ErrorPtr)> completion;
    bool started = false;
    bool stopped = false;
    // The start waits until the streams that played when the capture began (`awaited`) have
    // each delivered its prefill, so that the stream begins with their sound rather than with
    // the silence of their first block.
    bool priming = false;
    std::vector<std::uint32_t> awaited;
    pa_time_event* primingTimer = nullptr;
    std::string defaultSinkName;
    std::uint32_t defaultSink = PA_INVALID_INDEX;
    std::string monitorSource;
    Exclusion exclusion;
    media::Mixer mixer;
    Producer producer;
    Recorders recorders;
    LatencyKeeper keeper;
};

PulseStream::PulseStream(std::shared_ptr<const ContentFilter> filter,
                         std::shared_ptr<const StreamConfiguration> configuration,
                         std::shared_ptr<StreamDelegate> delegate)
    : filter(std::move(filter)), configuration(std::move(configuration)),
      delegate(std::move(delegate)), sampleFormat(sampleFormatFor(this->configuration.get())),
      exclusion(this->filter.get(), this->configuration.get(), onSinkInput, this),
      mixer(sampleFormat.channels, framesIn(sampleFormat, prefill),
            framesIn(sampleFormat, backlog)),
      producer(mixer, sampleFormat), recorders(mixer, sampleFormat, [this] {
          if (stopped) {
              return;
          }
          if (started) {
              producer.delivered();
          } else if (priming && primed()) {
              begin();
          }
      }) {
}

// Nothing runs on the loop any more while the members let go of the streams, the context and
// the loop, in that order.
PulseStream::~PulseStream() {
    server.stopLoop();
}

bool PulseStream::addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                  std::shared_ptr<SerialQueue> queue, ErrorPtr& error) {
    if (!output || !queue) {
        error = makeError(errorDomain, PA_ERR_INVALID, "a stream output needs a queue");
        return false;
    }
    // Pictures are not made at all: the sound server has none, and nothing uses them.
    if (type != OutputType::audio) {
        return true;
    }
    producer.setOutput(std::move(output), std::move(queue));
    return true;
}

void PulseStream::startCapture(std::function<void(ErrorPtr)> done) {
    if (server.loopMade()) {
        done(makeError(errorDomain, PA_ERR_BADSTATE, "the capture has already been started"));
        return;
    }
    if (!server.startLoop()) {
        done(makeError(errorDomain, PA_ERR_INTERNAL, "the sound server's main loop cannot run"));
        return;
    }
    std::function<void(ErrorPtr)> refuse;
    ErrorPtr refused;
    {
        LoopLock lock(server.mainLoop());
        completion = std::move(done);
        refused = server.connect(*this);
        if (refused) {
            stopped = true;
            // The state callback may have answered already.
            refuse = std::move(completion);
            completion = nullptr;
        }
    }
    if (refuse) {
        refuse(refused);
    }
}

void PulseStream::contextReady(pa_context* context) {
    pa_context_set_subscribe_callback(context, onEvent, this);
    drop(pa_context_subscribe(context,
                              static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                                  PA_SUBSCRIPTION_MASK_SERVER |
                                                                  PA_SUBSCRIPTION_MASK_CLIENT),
                              nullptr, nullptr));
    drop(pa_context_get_server_info(context, onServerInfo, this));
}

void PulseStream::contextFailed(int code) {
    if (stopped) {
        return;
    }
    stopped = true;
    if (!started) {
        finishStart(serverError("no sound server is reachable", code));
        return;
    }
    producer.stop(pa_threaded_mainloop_get_api(server.mainLoop()));
    if (delegate) {
        delegate->streamDidStopWithError(*this, serverError("the sound server went away", code));
    }
}

void PulseStream::startTimedOut() {
    if (started || stopped) {
        return;
    }
    stopped = true;
    finishStart(makeError(errorDomain, PA_ERR_TIMEOUT, "the sound server does not answer"));
}

void PulseStream::finishStart(ErrorPtr error) {
    server.disarmStartTimeout();
    auto done = std::move(completion);
    completion = nullptr;
    if (done) {
        done(std::move(error));
    }
}

void PulseStream::onEvent(pa_context* context, pa_subscription_event_type_t type,
                          std::uint32_t index, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto what = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
            stream->recorders.unfollow(index);
            stream->exclusion.forgetSinkInput(index);
        } else {
            // New streams join; changed ones may have moved to or from the default sink.
            drop(pa_context_get_sink_input_info(context, index, onSinkInput, self));
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
            stream->exclusion.forgetClient(index);
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        // The default sink may have changed.
        drop(pa_context_get_server_info(context, onServerInfo, self));
    }
}

void PulseStream::onServerInfo(pa_context* context, const pa_server_info* info, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    std::string name = info && info->default_sink_name ? info->default_sink_name : "";
    if (stream->started && name == stream->defaultSinkName) {
        return;
    }
    stream->defaultSinkName = name;
    if (name.empty()) {
        // No output device at all: the capture runs on in silence until one appears.
        stream->defaultSink = PA_INVALID_INDEX;
        stream->monitorSource.clear();
        stream->keeper.close();
        stream->recorders.unfollowAll();
        drop(pa_context_get_sink_input_info_list(context, onSinkInputList, self));
        return;
    }
    drop(pa_context_get_sink_info_by_name(context, name.c_str(), onSinkInfo, self));
}

void PulseStream::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    if (info) {
        stream->defaultSink = info->index;
        stream->monitorSource = info->monitor_source_name ? info->monitor_source_name : "";
        return;
    }
    if (eol == 0) {
        return;
    }
    if (eol < 0) {
        // The default sink went away between the two questions.
        stream->defaultSink = PA_INVALID_INDEX;
        stream->monitorSource.clear();
    }
    stream->keeper.keepAwake(context, stream->monitorSource);
    // The playback streams on the previous device no longer count; those on the new one do.
    stream->recorders.unfollowAll();
    drop(pa_context_get_sink_input_info_list(context, onSinkInputList, self));
}

void PulseStream::onSinkInput(pa_context*, const pa_sink_input_info* info, int, void* self) {
    if (info) {
        static_cast<PulseStream*>(self)->consider(*info);
    }
}

void PulseStream::onSinkInputList(pa_context* context, const pa_sink_input_info* info, int eol,
                                  void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    if (info) {
        stream->consider(*info);
        return;
    }
    // The end of the first full list: everything that plays is followed.
    if (eol != 0 && !stream->started && !stream->stopped && !stream->priming &&
        stream->completion) {
        stream->prime(context);
    }
}

void PulseStream::prime(pa_context* context) {
    // The server has answered; what is left is bounded by the priming limit.
    server.disarmStartTimeout();
    priming = true;
    awaited = recorders.followed();
    if (primed()) {
        begin();
        return;
    }
    primingTimer = pa_context_rttime_new(
        context,
        pa_rtclock_now() + static_cast<pa_usec_t>(std::chrono::microseconds(primingLimit).count()),
        onPrimingLimit, this);
}

bool PulseStream::primed() const {
    return std::all_of(awaited.begin(), awaited.end(), [this](std::uint32_t sinkInput) {
        return !recorders.follows(sinkInput) ||
               mixer.queued(sinkInput) >= framesIn(sampleFormat, prefill);
    });
}

void PulseStream::onPrimingLimit(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                 void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    if (!stream->started && !stream->stopped) {
        stream->begin();
    }
}

// The capture runs: its clock starts now.
void PulseStream::begin() {
    if (primingTimer) {
        pa_threaded_mainloop_get_api(server.mainLoop())->time_free(primingTimer);
        primingTimer = nullptr;
    }
    priming = false;
    started = true;
    producer.start(server.get(), weak_from_this());
    finishStart(nullptr);
}

void PulseStream::consider(const pa_sink_input_info& info) {
    // A stream whose client is still asked comes back here with the answer.
    auto leftOut = exclusion.leavesOut(server.get(), info);
    if (!leftOut) {
        return;
    }
    bool wanted = defaultSink != PA_INVALID_INDEX && info.sink == defaultSink && !*leftOut;
    bool followed = recorders.follows(info.index);
    if (wanted && !followed) {
        recorders.follow(server.get(), info.index, monitorSource);
    } else if (!wanted && followed) {
        recorders.unfollow(info.index);
    }
}

} // namespace

std::shared_ptr<Stream> createAudioStream(std::shared_ptr<const ContentFilter> filter,
                                          std::shared_ptr<const StreamConfiguration> configuration,
                                          std::shared_ptr<StreamDelegate> delegate) {
    silenceLibpulse();
    return std::make_shared<PulseStream>(std::move(filter), std::move(configuration),
                                         std::move(delegate));
}

} // namespace lumatap::pulse
