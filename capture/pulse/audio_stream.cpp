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
// A playback stream is left out by the process that plays it. A PulseAudio client names its
// process on each stream; a native PipeWire client (pw-play, say) names it only on the client,
// so such a stream is decided only once its client has answered: a short gap at its start is
// better than sound of the host that slips into the capture.
//
// Everything that touches the server runs on the threaded main loop's thread, or on another
// thread under the loop's lock.
#include "capture/pulse/pulse.h"

#include "capture/pulse/mixer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <set>
#include <string>
#include <unistd.h>

namespace lumatap::pulse {
namespace {

constexpr const char* errorDomain = "lumatap.pulse";
// Sample buffers of about 10 ms: short enough for a live meter, long enough to be cheap.
constexpr std::chrono::milliseconds period{10};
// How far behind the live sound the mix runs, to ride out the jitter of delivery.
constexpr std::chrono::milliseconds prefill{30};
// A recording that gets further ahead than this is cut back to the prefill.
constexpr std::chrono::milliseconds backlog{150};
// Sample buffers that may wait for a reader that does not read; past that, new ones are
// dropped rather than piling up in memory.
constexpr std::size_t pendingLimit = 500;
// A server that takes the connection but never answers would hold the start forever.
constexpr std::chrono::seconds startTimeout{5};

ErrorPtr serverError(const std::string& what, int code) {
    return makeError(errorDomain, code, what + " (" + pa_strerror(code) + ")");
}

std::optional<ProcessID> processProperty(const pa_proplist* properties, const char* key) {
    const char* text = pa_proplist_gets(properties, key);
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || pid <= 0) {
        return std::nullopt;
    }
    return static_cast<ProcessID>(pid);
}

// The process that plays a sink input, when the stream itself says.
std::optional<ProcessID> processOf(const pa_sink_input_info& info) {
    return processProperty(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
}

// The process behind a client. PipeWire's own clients may lack the application's word for
// it, but PipeWire always adds the peer's pid from the socket.
std::optional<ProcessID> processOf(const pa_client_info& info) {
    auto process = processProperty(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return process ? process : processProperty(info.proplist, "pipewire.sec.pid");
}

// Only our own lines may reach standard error, yet libpulse writes its own there (warnings
// about shared memory, and whatever PULSE_LOG asks for). PULSE_LOG is read at the first
// message, so it is pinned to errors only first; errors are then sent nowhere through
// libpulse's log target, which it exports without a header: looked up at run time, and left
// alone where this libpulse has no such thing.
void silenceLibpulse() {
    static std::once_flag once;
    std::call_once(once, [] {
        setenv("PULSE_LOG", "0", 1);
        unsetenv("PULSE_LOG_SYSLOG");
        unsetenv("PULSE_LOG_JOURNAL");
        using Parse = void* (*)(const char*);
        using Set = void (*)(void*);
        using Free = void (*)(void*);
        auto parse = reinterpret_cast<Parse>(dlsym(RTLD_DEFAULT, "pa_log_parse_target"));
        auto set = reinterpret_cast<Set>(dlsym(RTLD_DEFAULT, "pa_log_set_target"));
        auto release = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "pa_log_target_free"));
        if (!parse || !set || !release) {
            return;
        }
        if (void* target = parse("null")) {
            set(target);
            release(target);
        }
    });
}

pa_context* newContext(pa_mainloop_api* api) {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "lumatap");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "lumatap");
    pa_context* context = pa_context_new_with_proplist(api, "lumatap", properties);
    pa_proplist_free(properties);
    return context;
}

// A connection that never starts a sound server of its own: with no server, the capture
// fails instead of inventing a silent one.
int connect(pa_context* context) {
    return pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
}

void drop(pa_operation* operation) {
    if (operation) {
        pa_operation_unref(operation);
    }
}

class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

class PulseStream : public Stream, public std::enable_shared_from_this<PulseStream> {
  public:
    PulseStream(std::shared_ptr<const ContentFilter> filter,
                std::shared_ptr<const StreamConfiguration> configuration,
                std::shared_ptr<StreamDelegate> delegate);
    ~PulseStream() override;

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override;
    void startCapture(std::function<void(ErrorPtr)> completion) override;

  private:
    static void onContextState(pa_context* context, void* self);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol,
                            void* self);
    static void onSinkInputList(pa_context* context, const pa_sink_input_info* info, int eol,
                                void* self);
    static void onClient(pa_context* context, const pa_client_info* info, int eol, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onRecorderState(pa_stream* stream, void* self);
    static void onTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                       void* self);
    static void onStartTimeout(pa_mainloop_api* api, pa_time_event* event,
                               const struct timeval* when, void* self);

    void contextFailed();
    void finishStart(ErrorPtr error);
    void consider(const pa_sink_input_info& info);
    void forgetClient(std::uint32_t client);
    void follow(std::uint32_t sinkInput);
    void unfollow(std::uint32_t sinkInput);
    void unfollowAll();
    void keepAwake();
    void closeKeeper();
    std::int64_t due() const;
    void produce();
    void rearm();

    const std::shared_ptr<const ContentFilter> filter;
    const std::shared_ptr<const StreamConfiguration> configuration;
    const std::shared_ptr<StreamDelegate> delegate;
    std::set<ProcessID> excluded;
    pa_sample_spec sampleFormat{};
    std::size_t frameBytes = 0;

    std::mutex outputsMutex;
    std::shared_ptr<StreamOutput> audioOutput;
    std::shared_ptr<SerialQueue> audioQueue;

    // From here on, touched on the loop's thread or under its lock only.
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    std::function<void(ErrorPtr)> completion;
    bool started = false;
    bool stopped = false;
    std::string defaultSinkName;
    std::uint32_t defaultSink = PA_INVALID_INDEX;
    std::string monitorSource;
    std::map<std::uint32_t, pa_stream*> recorders;
    // The process of each client asked about (none when the client does not say), and the
    // sink inputs that wait for their client's answer.
    std::map<std::uint32_t, std::optional<ProcessID>> clientProcesses;
    std::map<std::uint32_t, std::set<std::uint32_t>> awaitingClient;
    pa_stream* keeper = nullptr;
    Mixer mixer;
    pa_time_event* timer = nullptr;
    pa_time_event* startTimer = nullptr;
    std::chrono::steady_clock::time_point epoch;
    std::int64_t produced = 0;
    std::int64_t framesPerPeriod = 0;
};

PulseStream::PulseStream(std::shared_ptr<const ContentFilter> filter,
                         std::shared_ptr<const StreamConfiguration> configuration,
                         std::shared_ptr<StreamDelegate> delegate)
    : filter(std::move(filter)), configuration(std::move(configuration)),
      delegate(std::move(delegate)), mixer(2, 0, 0) {
    if (this->filter) {
        for (const auto& application : this->filter->excludedApplications) {
            excluded.insert(application->processID);
        }
    }
    int rate = 48000;
    int channels = 2;
    if (this->configuration) {
        rate = this->configuration->sampleRate.value_or(rate);
        channels = this->configuration->channelCount.value_or(channels);
        if (this->configuration->excludesCurrentProcessAudio.value_or(false)) {
            excluded.insert(getpid());
        }
    }
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = static_cast<std::uint32_t>(rate);
    sampleFormat.channels =
        static_cast<std::uint8_t>(std::clamp(channels, 1, int{PA_CHANNELS_MAX}));
    if (!pa_sample_spec_valid(&sampleFormat)) {
        sampleFormat.rate = 48000;
    }
    frameBytes = pa_frame_size(&sampleFormat);
    auto frames = [&](std::chrono::milliseconds d) {
        return static_cast<std::size_t>(sampleFormat.rate * d.count() / 1000);
    };
    mixer = Mixer(sampleFormat.channels, frames(prefill), frames(backlog));
    framesPerPeriod = static_cast<std::int64_t>(frames(period));
}

PulseStream::~PulseStream() {
    if (!loop) {
        return;
    }
    pa_threaded_mainloop_stop(loop);
    if (keeper) {
        pa_stream_set_read_callback(keeper, nullptr, nullptr);
        pa_stream_unref(keeper);
    }
    for (auto& [index, recorder] : recorders) {
        pa_stream_set_read_callback(recorder, nullptr, nullptr);
        pa_stream_set_state_callback(recorder, nullptr, nullptr);
        pa_stream_unref(recorder);
    }
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_threaded_mainloop_free(loop);
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
    std::lock_guard lock(outputsMutex);
    audioOutput = std::move(output);
    audioQueue = std::move(queue);
    return true;
}

void PulseStream::startCapture(std::function<void(ErrorPtr)> done) {
    if (loop) {
        done(makeError(errorDomain, PA_ERR_BADSTATE, "the capture has already been started"));
        return;
    }
    loop = pa_threaded_mainloop_new();
    if (!loop) {
        done(makeError(errorDomain, PA_ERR_INTERNAL, "the sound server's main loop cannot run"));
        return;
    }
    pa_threaded_mainloop_set_name(loop, "lumatap-pulse");
    if (pa_threaded_mainloop_start(loop) < 0) {
        done(makeError(errorDomain, PA_ERR_INTERNAL, "the sound server's main loop cannot run"));
        return;
    }
    std::function<void(ErrorPtr)> refuse;
    ErrorPtr refused;
    {
        LoopLock lock(loop);
        completion = std::move(done);
        context = newContext(pa_threaded_mainloop_get_api(loop));
        if (!context) {
            refused = makeError(errorDomain, PA_ERR_INTERNAL, "no sound server is reachable");
        } else {
            pa_context_set_state_callback(context, onContextState, this);
            if (connect(context) < 0) {
                refused = serverError("no sound server is reachable", pa_context_errno(context));
            } else {
                startTimer = pa_context_rttime_new(
                    context,
                    pa_rtclock_now() +
                        static_cast<pa_usec_t>(std::chrono::microseconds(startTimeout).count()),
                    onStartTimeout, this);
            }
        }
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

void PulseStream::onContextState(pa_context* context, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        pa_context_set_subscribe_callback(context, onEvent, self);
        drop(pa_context_subscribe(context,
                                  static_cast<pa_subscription_mask_t>(
                                      PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_CLIENT),
                                  nullptr, nullptr));
        drop(pa_context_get_server_info(context, onServerInfo, self));
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        stream->contextFailed();
        break;
    default:
        break;
    }
}

void PulseStream::contextFailed() {
    if (stopped) {
        return;
    }
    stopped = true;
    int code = pa_context_errno(context);
    if (!started) {
        finishStart(serverError("no sound server is reachable", code));
        return;
    }
    if (timer) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        api->time_free(timer);
        timer = nullptr;
    }
    if (delegate) {
        delegate->streamDidStopWithError(*this, serverError("the sound server went away", code));
    }
}

void PulseStream::onStartTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                 void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    api->time_free(event);
    stream->startTimer = nullptr;
    if (stream->started || stream->stopped) {
        return;
    }
    stream->stopped = true;
    stream->finishStart(makeError(errorDomain, PA_ERR_TIMEOUT, "the sound server does not answer"));
}

void PulseStream::finishStart(ErrorPtr error) {
    if (startTimer) {
        pa_threaded_mainloop_get_api(loop)->time_free(startTimer);
        startTimer = nullptr;
    }
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
            stream->unfollow(index);
        } else {
            // New streams join; changed ones may have moved to or from the default sink.
            drop(pa_context_get_sink_input_info(context, index, onSinkInput, self));
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
            stream->forgetClient(index);
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
        stream->closeKeeper();
        stream->unfollowAll();
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
    stream->keepAwake();
    // The playback streams on the previous device no longer count; those on the new one do.
    stream->unfollowAll();
    drop(pa_context_get_sink_input_info_list(context, onSinkInputList, self));
}

void PulseStream::onSinkInput(pa_context*, const pa_sink_input_info* info, int, void* self) {
    if (info) {
        static_cast<PulseStream*>(self)->consider(*info);
    }
}

void PulseStream::onSinkInputList(pa_context*, const pa_sink_input_info* info, int eol,
                                  void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    if (info) {
        stream->consider(*info);
        return;
    }
    // The end of the first full list: everything that plays is followed, the capture runs.
    if (eol != 0 && !stream->started && !stream->stopped && stream->completion) {
        stream->started = true;
        stream->epoch = std::chrono::steady_clock::now();
        pa_context* context = stream->context;
        stream->timer = pa_context_rttime_new(
            context, pa_rtclock_now() + static_cast<pa_usec_t>(period.count()) * 1000, onTick,
            self);
        stream->finishStart(nullptr);
    }
}

void PulseStream::consider(const pa_sink_input_info& info) {
    auto process = processOf(info);
    if (!process && info.client != PA_INVALID_INDEX) {
        auto known = clientProcesses.find(info.client);
        if (known == clientProcesses.end()) {
            // Asked once per client; the answer brings every waiting stream back here.
            auto& waiting = awaitingClient[info.client];
            if (waiting.empty()) {
                drop(pa_context_get_client_info(context, info.client, onClient, this));
            }
            waiting.insert(info.index);
            return;
        }
        process = known->second;
    }
    bool wanted = defaultSink != PA_INVALID_INDEX && info.sink == defaultSink &&
                  !(process && excluded.count(*process));
    bool followed = recorders.count(info.index) > 0;
    if (wanted && !followed) {
        follow(info.index);
    } else if (!wanted && followed) {
        unfollow(info.index);
    }
}

// A client that cannot be asked has gone, and its streams with it: nothing waits then.
void PulseStream::onClient(pa_context* context, const pa_client_info* info, int, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    if (!info) {
        return;
    }
    stream->clientProcesses[info->index] = processOf(*info);
    auto waiting = stream->awaitingClient.extract(info->index);
    if (!waiting.empty()) {
        for (std::uint32_t sinkInput : waiting.mapped()) {
            drop(pa_context_get_sink_input_info(context, sinkInput, onSinkInput, self));
        }
    }
}

// The index of a client that has gone may come back for another.
void PulseStream::forgetClient(std::uint32_t client) {
    clientProcesses.erase(client);
    awaitingClient.erase(client);
}

void PulseStream::follow(std::uint32_t sinkInput) {
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "lumatap capture");
    pa_stream* recorder =
        pa_stream_new_with_proplist(context, "lumatap capture", &sampleFormat, &map, properties);
    pa_proplist_free(properties);
    if (!recorder) {
        return;
    }
    if (pa_stream_set_monitor_stream(recorder, sinkInput) < 0) {
        pa_stream_unref(recorder);
        return;
    }
    pa_stream_set_read_callback(recorder, onRead, this);
    pa_stream_set_state_callback(recorder, onRecorderState, this);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    // The server's default fragment is about two seconds; ask for one of our periods.
    attributes.fragsize =
        static_cast<std::uint32_t>(frameBytes * sampleFormat.rate * period.count() / 1000);
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
    const char* device = monitorSource.empty() ? nullptr : monitorSource.c_str();
    if (pa_stream_connect_record(recorder, device, &attributes, flags) < 0) {
        pa_stream_set_read_callback(recorder, nullptr, nullptr);
        pa_stream_set_state_callback(recorder, nullptr, nullptr);
        pa_stream_unref(recorder);
        return;
    }
    recorders[sinkInput] = recorder;
    mixer.add(sinkInput);
}

void PulseStream::unfollow(std::uint32_t sinkInput) {
    auto it = recorders.find(sinkInput);
    if (it == recorders.end()) {
        return;
    }
    pa_stream* recorder = it->second;
    recorders.erase(it);
    pa_stream_set_read_callback(recorder, nullptr, nullptr);
    pa_stream_set_state_callback(recorder, nullptr, nullptr);
    auto state = pa_stream_get_state(recorder);
    if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) {
        pa_stream_disconnect(recorder);
    }
    pa_stream_unref(recorder);
    // What it recorded before it ended still plays.
    mixer.finish(sinkInput);
}

void PulseStream::unfollowAll() {
    while (!recorders.empty()) {
        unfollow(recorders.begin()->first);
    }
}

// A sink renders in blocks as long as the longest latency its clients allow, and a record
// stream that attaches to one of its playback streams only gets data from the next block on:
// up to two seconds later for a player that buffers a lot. A record stream of our own on the
// sink's monitor, asking for short fragments, keeps the sink's blocks short whenever it
// plays, so a playback stream that starts is heard within a block. It asks for peaks only,
// one value per block and 25 a second, so it costs next to nothing; they are thrown away.
void PulseStream::keepAwake() {
    closeKeeper();
    if (monitorSource.empty()) {
        return;
    }
    pa_sample_spec peaks{PA_SAMPLE_FLOAT32NE, 25, 1};
    keeper = pa_stream_new(context, "lumatap latency", &peaks, nullptr);
    if (!keeper) {
        return;
    }
    pa_stream_set_read_callback(
        keeper,
        [](pa_stream* s, std::size_t, void*) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
                pa_stream_drop(s);
            }
        },
        nullptr);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = sizeof(float);
    auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_PEAK_DETECT |
                                       PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
    if (pa_stream_connect_record(keeper, monitorSource.c_str(), &attributes, flags) < 0) {
        closeKeeper();
    }
}

void PulseStream::closeKeeper() {
    if (!keeper) {
        return;
    }
    pa_stream_set_read_callback(keeper, nullptr, nullptr);
    auto state = pa_stream_get_state(keeper);
    if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) {
        pa_stream_disconnect(keeper);
    }
    pa_stream_unref(keeper);
    keeper = nullptr;
}

void PulseStream::onRead(pa_stream* recorder, std::size_t, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    std::uint32_t sinkInput = pa_stream_get_monitor_stream(recorder);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(recorder, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        // A hole in the recording (data lost on the server's side) counts as silence.
        stream->mixer.push(sinkInput, static_cast<const float*>(data), bytes / stream->frameBytes);
        pa_stream_drop(recorder);
    }
    // While something plays, its deliveries wake the loop every period anyway: the mix is
    // made then, with the freshest data, and the timer is pushed back so that it does not
    // wake the loop a second time. It fires only while nothing is delivered.
    if (stream->started && !stream->stopped &&
        stream->due() - stream->produced >= 3 * stream->framesPerPeriod / 4) {
        stream->produce();
        stream->rearm();
    }
}

void PulseStream::onRecorderState(pa_stream* recorder, void* self) {
    auto state = pa_stream_get_state(recorder);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // The playback stream ended or moved away; the server says which by events.
        static_cast<PulseStream*>(self)->unfollow(pa_stream_get_monitor_stream(recorder));
    }
}

void PulseStream::onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* stream = static_cast<PulseStream*>(self);
    stream->produce();
    stream->rearm();
}

void PulseStream::rearm() {
    if (timer) {
        pa_context_rttime_restart(context, timer,
                                  pa_rtclock_now() + static_cast<pa_usec_t>(period.count()) * 1000);
    }
}

// The frames that the steady clock says should have been delivered by now.
std::int64_t PulseStream::due() const {
    using namespace std::chrono;
    auto elapsed = duration_cast<microseconds>(steady_clock::now() - epoch).count();
    return elapsed * sampleFormat.rate / 1000000;
}

void PulseStream::produce() {
    std::int64_t due = this->due();
    std::int64_t frames = due - produced;
    if (frames <= 0) {
        return;
    }
    // A loop that was held up for long (a stopped process) does not make up for the whole
    // gap in one go; the clock starts over from now instead.
    std::int64_t most = sampleFormat.rate;
    if (frames > most) {
        produced = due - most;
        frames = most;
    }
    produced += frames;

    auto samples = std::make_shared<std::vector<float>>(static_cast<std::size_t>(frames) *
                                                        sampleFormat.channels);
    mixer.mix(samples->data(), static_cast<std::size_t>(frames));

    auto list = std::make_shared<AudioBufferList>();
    list->buffers.push_back(
        {sampleFormat.channels, static_cast<std::uint32_t>(samples->size() * 4), samples->data()});
    list->storage = samples;
    auto sample = std::make_shared<SampleBuffer>();
    sample->numSamples = frames;
    AudioStreamBasicDescription format;
    format.sampleRate = sampleFormat.rate;
    format.formatID = 0x6c70636d;                      // 'lpcm'
    format.formatFlags = audioFormatFlagIsFloat | 0x8; // packed
    format.bytesPerPacket = static_cast<std::uint32_t>(frameBytes);
    format.framesPerPacket = 1;
    format.bytesPerFrame = static_cast<std::uint32_t>(frameBytes);
    format.channelsPerFrame = sampleFormat.channels;
    format.bitsPerChannel = 32;
    sample->format = format;
    sample->audioBufferList = std::move(list);

    std::shared_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(outputsMutex);
        output = audioOutput;
        queue = audioQueue;
    }
    if (!output || queue->pending() >= pendingLimit) {
        return;
    }
    queue->async([weak = weak_from_this(), output, sample = SampleBufferPtr(std::move(sample))] {
        if (auto self = weak.lock()) {
            output->streamDidOutputSampleBuffer(*self, sample, OutputType::audio);
        }
    });
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
