// The sound, recorded through PipeWire itself.
//
// As with the pulse server, nothing is recorded from a sink's monitor, which holds every
// program's sound mixed together. Each application's playback node (media class
// Stream/Output/Audio) gets a capture stream of our own linked to it alone (the session
// manager links a stream to the node its target.object names); the nodes of the left-out
// processes are never linked. The recordings are mixed on our own steady clock, so the
// stream runs at its real rate, silence included, whether or not anything plays.
//
// A node's process: its application.process.id when it says (pulse clients do), else its
// client's application.process.id, else the pid that PipeWire took from the client's socket
// (pipewire.sec.pid). A node is decided once it and its client have answered.
//
// Everything runs on the thread loop's thread, or on another thread under the loop's lock;
// only the recordings' data comes on PipeWire's data thread, into the mixer under its lock.
#include "capture/media/mix_output.h"
#include "capture/media/mixer.h"
#include "capture/pipewire/audio.h"
#include "capture/pipewire/audio_recorder.h"
#include "capture/pipewire/connection.h"
#include "capture/session/processes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <pipewire/pipewire.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace lumatap::pipewire {
namespace {

// How far behind the live sound the mix runs, to ride out the jitter of delivery: a little
// more than the longest quantum that the graph runs at by default (2048 frames, 43 ms).
constexpr std::chrono::milliseconds prefill{60};
// A recording that gets further ahead than this is cut back to the prefill.
constexpr std::chrono::milliseconds backlog{200};
// A server that stops answering during the start would hold it forever.
constexpr std::chrono::seconds startTimeout{5};
// How long the start waits for the streams that already play to deliver.
constexpr std::chrono::milliseconds primingLimit{2500};

std::size_t framesIn(std::uint32_t rate, std::chrono::milliseconds d) {
    return static_cast<std::size_t>(rate * d.count() / 1000);
}

// libpipewire writes its warnings to standard error, where only our lines may go, and
// PIPEWIRE_DEBUG asks it for more, even for single topics past a global level of none. Its
// messages go through two logs: the global one, which pw_init replaces with the log plugin
// it loads, and that plugin itself, which the loops and the plugins they load were given. A
// log that keeps everything to itself stands in for the global one from before pw_init on,
// and the plugin's calls are turned to it.
void discard(void*, spa_log_level, const char*, int, const char*, const char*, ...) {
}
void discardTopic(void*, spa_log_level, const spa_log_topic*, const char*, int, const char*,
                  const char*, ...) {
}

spa_log* silentLog() {
    static spa_log_methods methods = [] {
        spa_log_methods m{};
        m.version = SPA_VERSION_LOG_METHODS;
        m.log = discard;
        m.logv = [](void*, spa_log_level, const char*, int, const char*, const char*, va_list) {};
        m.logt = discardTopic;
        m.logtv = [](void*, spa_log_level, const spa_log_topic*, const char*, int, const char*,
                     const char*, va_list) {};
        return m;
    }();
    static spa_log log = [] {
        spa_log l{};
        l.iface.type = SPA_TYPE_INTERFACE_Log;
        l.iface.version = SPA_VERSION_LOG;
        l.iface.cb.funcs = &methods;
        l.level = SPA_LOG_LEVEL_NONE;
        return l;
    }();
    return &log;
}

void silenceOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        spa_log* silent = silentLog();
        pw_log_set(silent);
        pw_init(nullptr, nullptr);
        spa_support support[16];
        std::uint32_t count = pw_get_support(support, 16);
        auto* plugin =
            static_cast<spa_log*>(spa_support_find(support, count, SPA_TYPE_INTERFACE_Log));
        if (plugin && plugin != silent) {
            plugin->iface.cb = silent->iface.cb;
            plugin->level = SPA_LOG_LEVEL_NONE;
        }
        pw_log_set(silent);
    });
}

std::optional<ProcessID> processProperty(const spa_dict* properties, const char* key) {
    return session::processID(properties ? spa_dict_lookup(properties, key) : nullptr);
}

std::optional<std::uint32_t> numberProperty(const spa_dict* properties, const char* key) {
    auto value = processProperty(properties, key);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

class PipeWireStream : public Stream, public std::enable_shared_from_this<PipeWireStream> {
  public:
    PipeWireStream(std::shared_ptr<const ContentFilter> filter,
                   std::shared_ptr<const StreamConfiguration> configuration,
                   std::shared_ptr<StreamDelegate> delegate);
    ~PipeWireStream() override;

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override;
    void startCapture(std::function<void(ErrorPtr)> completion) override;

  private:
    // A playback node, and what is known of its process so far.
    struct Node {
        PipeWireStream* owner = nullptr;
        std::uint32_t id = 0;
        std::uint64_t serial = 0;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool answered = false;
        std::optional<ProcessID> process;
        std::optional<std::uint32_t> client;
        std::optional<bool> leftOut;
        std::unique_ptr<AudioRecorder> recorder;
    };
    struct Client {
        PipeWireStream* owner = nullptr;
        std::uint32_t id = 0;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool answered = false;
        std::optional<ProcessID> process;
    };

    static void onGlobal(void* self, std::uint32_t id, std::uint32_t permissions, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* self, std::uint32_t id);
    static void onNodeInfo(void* node, const pw_node_info* info);
    static void onClientInfo(void* client, const pw_client_info* info);
    static void onDone(void* self, std::uint32_t id, int seq);
    static void onTick(void* self, std::uint64_t expirations);

    void fail(ErrorPtr error);
    void finishStart(ErrorPtr error);
    void decide(Node& node);
    void decideWaiting();
    bool primed() const;
    void begin();
    void release();

    const std::shared_ptr<const ContentFilter> filter;
    const std::shared_ptr<const StreamConfiguration> configuration;
    const std::shared_ptr<StreamDelegate> delegate;
    std::uint32_t rate = 48000;
    std::uint32_t channels = 2;
    std::set<ProcessID> excluded;

    std::mutex mixLock;
    media::Mixer mixer;
    media::MixOutput mix;

    std::unique_ptr<Connection> connection;
    // From here on, touched on the loop's thread or under its lock only.
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_source* timer = nullptr;
    std::function<void(ErrorPtr)> completion;
    int pendingSync = -1;
    int syncs = 0; // answered sync requests: the second ends the start's look around
    bool started = false;
    bool stopped = false;
    std::chrono::steady_clock::time_point startedAt;
    std::chrono::steady_clock::time_point primingSince;
    bool priming = false;
    std::vector<std::uint32_t> awaited;
    std::map<std::uint32_t, std::unique_ptr<Node>> nodes;
    std::map<std::uint32_t, std::unique_ptr<Client>> clients;
};

PipeWireStream::PipeWireStream(std::shared_ptr<const ContentFilter> filter,
                               std::shared_ptr<const StreamConfiguration> configuration,
                               std::shared_ptr<StreamDelegate> delegate)
    : filter(std::move(filter)), configuration(std::move(configuration)),
      delegate(std::move(delegate)),
      rate(static_cast<std::uint32_t>(
          std::clamp(this->configuration ? this->configuration->sampleRate.value_or(48000) : 48000,
                     8000, 384000))),
      channels(static_cast<std::uint32_t>(std::clamp(
          this->configuration ? this->configuration->channelCount.value_or(2) : 2, 1, 8))),
      mixer(channels, framesIn(rate, prefill), framesIn(rate, backlog)),
      mix(mixer, rate, channels) {
    if (this->filter) {
        for (const auto& application : this->filter->excludedApplications) {
            excluded.insert(application->processID);
        }
    }
    if (this->configuration && this->configuration->excludesCurrentProcessAudio.value_or(false)) {
        excluded.insert(getpid());
    }
}

// What was made on the connection goes before it.
PipeWireStream::~PipeWireStream() {
    if (connection) {
        Connection::Lock lock(*connection);
        connection->onBreak(nullptr);
        release();
    }
    connection.reset();
}

// Lets go of the streams and the proxies; under the loop's lock.
void PipeWireStream::release() {
    for (auto& [id, node] : nodes) {
        node->recorder.reset();
        spa_hook_remove(&node->listener);
        pw_proxy_destroy(node->proxy);
    }
    nodes.clear();
    for (auto& [id, client] : clients) {
        spa_hook_remove(&client->listener);
        pw_proxy_destroy(client->proxy);
    }
    clients.clear();
    if (timer) {
        pw_loop_destroy_source(pw_thread_loop_get_loop(connection->loop()), timer);
        timer = nullptr;
    }
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    if (core) {
        spa_hook_remove(&coreListener);
        core = nullptr;
    }
}

bool PipeWireStream::addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                     std::shared_ptr<SerialQueue> queue, ErrorPtr& error) {
    if (!output || !queue) {
        error =
            lumatap::makeError(std::string(errorDomain), EINVAL, "a stream output needs a queue");
        return false;
    }
    // Pictures are not made at all: the sound server has none, and nothing uses them.
    if (type != OutputType::audio) {
        return true;
    }
    mix.setOutput(std::move(output), std::move(queue));
    return true;
}

void PipeWireStream::startCapture(std::function<void(ErrorPtr)> done) {
    if (connection || stopped) {
        done(makeError(streamEnded, "the capture has already been started"));
        return;
    }
    silenceOnce();
    ErrorPtr refused;
    // A capture stream that misses the graph's cycle loses that cycle's sound for good: its
    // data thread runs at real-time priority where the system grants it.
    connection = Connection::open(-1, refused, true);
    if (!connection) {
        stopped = true;
        done(makeError(noDaemon, "no sound server is reachable (" +
                                     (refused ? refused->description : "PipeWire") + ")"));
        return;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = onDone;
        return e;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = onGlobal;
        e.global_remove = onGlobalRemove;
        return e;
    }();
    Connection::Lock lock(*connection);
    completion = std::move(done);
    startedAt = std::chrono::steady_clock::now();
    core = connection->core();
    connection->onBreak([this](const ErrorPtr& error) {
        fail(makeError(connectionLost, std::string(started ? "the sound server went away ("
                                                           : "no sound server is reachable (") +
                                           (error ? error->description : "PipeWire") + ")"));
    });
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
    pendingSync = pw_core_sync(core, PW_ID_CORE, 0);
    // One tick a period: the wait for the streams that already play, then the mix.
    timer = pw_loop_add_timer(pw_thread_loop_get_loop(connection->loop()), onTick, this);
    timespec period{0, std::chrono::nanoseconds(media::mixPeriod).count()};
    pw_loop_update_timer(pw_thread_loop_get_loop(connection->loop()), timer, &period, &period,
                         false);
}

void PipeWireStream::onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type,
                              std::uint32_t, const spa_dict* props) {
    auto* stream = static_cast<PipeWireStream*>(self);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* mediaClass = props ? spa_dict_lookup(props, PW_KEY_MEDIA_CLASS) : nullptr;
        if (!mediaClass || std::strcmp(mediaClass, "Stream/Output/Audio") != 0) {
            return;
        }
        auto node = std::make_unique<Node>();
        node->owner = stream;
        node->id = id;
        const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
        node->serial = serial ? std::strtoull(serial, nullptr, 10) : id;
        node->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(stream->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (!node->proxy) {
            return;
        }
        static const pw_node_events events = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.info = onNodeInfo;
            return e;
        }();
        pw_proxy_add_object_listener(node->proxy, &node->listener, &events, node.get());
        stream->nodes[id] = std::move(node);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto client = std::make_unique<Client>();
        client->owner = stream;
        client->id = id;
        client->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(stream->registry, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
        if (!client->proxy) {
            return;
        }
        static const pw_client_events events = [] {
            pw_client_events e{};
            e.version = PW_VERSION_CLIENT_EVENTS;
            e.info = onClientInfo;
            return e;
        }();
        pw_proxy_add_object_listener(client->proxy, &client->listener, &events, client.get());
        stream->clients[id] = std::move(client);
    }
}

void PipeWireStream::onGlobalRemove(void* self, std::uint32_t id) {
    auto* stream = static_cast<PipeWireStream*>(self);
    if (auto it = stream->nodes.find(id); it != stream->nodes.end()) {
        Node& node = *it->second;
        node.recorder.reset();
        spa_hook_remove(&node.listener);
        pw_proxy_destroy(node.proxy);
        stream->nodes.erase(it);
    } else if (auto at = stream->clients.find(id); at != stream->clients.end()) {
        spa_hook_remove(&at->second->listener);
        pw_proxy_destroy(at->second->proxy);
        stream->clients.erase(at);
    }
}

void PipeWireStream::onNodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<Node*>(data);
    if (node->answered || !info || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) {
        return;
    }
    node->answered = true;
    node->process = processProperty(info->props, PW_KEY_APP_PROCESS_ID);
    node->client = numberProperty(info->props, PW_KEY_CLIENT_ID);
    node->owner->decide(*node);
}

void PipeWireStream::onClientInfo(void* data, const pw_client_info* info) {
    auto* client = static_cast<Client*>(data);
    if (client->answered || !info || !(info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS)) {
        return;
    }
    client->answered = true;
    client->process = processProperty(info->props, PW_KEY_APP_PROCESS_ID);
    if (!client->process) {
        client->process = processProperty(info->props, PW_KEY_SEC_PID);
    }
    client->owner->decideWaiting();
}

void PipeWireStream::decideWaiting() {
    for (auto& [id, node] : nodes) {
        if (node->answered && !node->leftOut) {
            decide(*node);
        }
    }
}

// Links a node that is not left out as soon as its process is known: a short gap at its
// start is better than sound of the host that slips into the capture.
void PipeWireStream::decide(Node& node) {
    if (node.leftOut || stopped) {
        return;
    }
    std::optional<ProcessID> process = node.process;
    if (!process && node.client) {
        auto client = clients.find(*node.client);
        if (client != clients.end() && !client->second->answered) {
            return;
        }
        if (client != clients.end()) {
            process = client->second->process;
        }
    }
    node.leftOut = process && session::descendsFrom(*process, excluded);
    if (!*node.leftOut) {
        node.recorder = std::make_unique<AudioRecorder>(core, node.id, node.serial, rate, channels,
                                                        mixer, mixLock);
    }
}

void PipeWireStream::onDone(void* self, std::uint32_t id, int seq) {
    auto* stream = static_cast<PipeWireStream*>(self);
    if (id != PW_ID_CORE || seq != stream->pendingSync || stream->priming || stream->started ||
        stream->stopped) {
        return;
    }
    // The first answer ends the list of what exists; the second, the answers about the nodes
    // and clients bound on the way.
    if (++stream->syncs < 2) {
        stream->pendingSync = pw_core_sync(stream->core, PW_ID_CORE, 0);
        return;
    }
    stream->priming = true;
    stream->primingSince = std::chrono::steady_clock::now();
    for (auto& [nodeId, node] : stream->nodes) {
        if (node->recorder) {
            stream->awaited.push_back(nodeId);
        }
    }
    if (stream->primed()) {
        stream->begin();
    }
}

void PipeWireStream::fail(ErrorPtr error) {
    if (stopped) {
        return;
    }
    stopped = true;
    if (!started) {
        finishStart(std::move(error));
        return;
    }
    if (timer) {
        pw_loop_update_timer(pw_thread_loop_get_loop(connection->loop()), timer, nullptr, nullptr,
                             false);
    }
    if (delegate) {
        delegate->streamDidStopWithError(*this, std::move(error));
    }
}

void PipeWireStream::finishStart(ErrorPtr error) {
    auto done = std::move(completion);
    completion = nullptr;
    if (done) {
        done(std::move(error));
    }
}

bool PipeWireStream::primed() const {
    std::lock_guard lock(const_cast<std::mutex&>(mixLock));
    return std::all_of(awaited.begin(), awaited.end(), [this](std::uint32_t id) {
        auto node = nodes.find(id);
        return node == nodes.end() || !node->second->recorder ||
               !node->second->recorder->connected() || mixer.queued(id) >= framesIn(rate, prefill);
    });
}

void PipeWireStream::onTick(void* self, std::uint64_t) {
    auto* stream = static_cast<PipeWireStream*>(self);
    if (stream->stopped) {
        return;
    }
    if (stream->started) {
        std::lock_guard lock(stream->mixLock);
        stream->mix.produce();
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (stream->priming) {
        if (stream->primed() || now - stream->primingSince >= primingLimit) {
            stream->begin();
        }
    } else if (now - stream->startedAt >= startTimeout) {
        stream->fail(makeError(timedOut, "the sound server does not answer"));
    }
}

// The capture runs: its clock starts now.
void PipeWireStream::begin() {
    priming = false;
    started = true;
    mix.start(weak_from_this());
    finishStart(nullptr);
}

} // namespace

bool audioSocketFound() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string name = remote && *remote ? remote : "pipewire-0";
    std::string path = name;
    if (name.front() != '/') {
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir) {
            dir = std::getenv("XDG_RUNTIME_DIR");
        }
        if (!dir || !*dir) {
            return false;
        }
        path = std::string(dir) + "/" + name;
    }
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

std::shared_ptr<Stream> createAudioStream(std::shared_ptr<const ContentFilter> filter,
                                          std::shared_ptr<const StreamConfiguration> configuration,
                                          std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<PipeWireStream>(std::move(filter), std::move(configuration),
                                            std::move(delegate));
}

} // namespace lumatap::pipewire
