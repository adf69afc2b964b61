#include "PipeWireConnection.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-module.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qor::pipewire {

namespace {

// The most events one round of a PipeWire loop takes up.
constexpr int kLoopBatch = 32;
// The real-time priority of PipeWire's client data threads (its real-time module's default).
constexpr int kRealtimePriority = 88;

Properties propertiesOf(const spa_dict* dict) {
    Properties properties;
    if (dict != nullptr) {
        const spa_dict_item* item;
        spa_dict_for_each(item, dict) {
            if (item->key != nullptr && item->value != nullptr) {
                properties[item->key] = item->value;
            }
        }
    }
    return properties;
}

std::optional<std::uint32_t> rateValue(const char* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    return unsignedProperty(Properties{{"rate", value}}, "rate");
}

void initializeLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        // Standard error carries the program's JSON lines only; PipeWire's own warnings (a lost
        // server, a refused connection) would break them. PIPEWIRE_DEBUG still turns them on.
        if (std::getenv("PIPEWIRE_DEBUG") == nullptr) {
            pw_log_set_level(SPA_LOG_LEVEL_NONE);
        }
    });
}

}  // namespace

// The I/O queue's wait while the connection is attached: one round of the data loop, which also
// watches loop_'s epoll fd and an eventfd that the queue's posts signal. Queue thread only once
// installed, but for wake().
class Connection::LoopWaiter final : public IOQueue::Waiter {
  public:
    // On the main thread, while it owns both loops and loop_ no longer watches the data loop (an
    // epoll set may not watch one that watches it). nullptr when the system refuses a part.
    static std::shared_ptr<LoopWaiter> create(std::shared_ptr<Connection> connection) {
        auto waiter = std::make_shared<LoopWaiter>(std::move(connection));
        pw_loop* dataLoop = waiter->connection_->dataLoop_;
        if (waiter->wakeFd_ < 0) {
            return nullptr;
        }
        waiter->wakeSource_ = pw_loop_add_io(dataLoop, waiter->wakeFd_, SPA_IO_IN, false,
                                             &LoopWaiter::onWake, waiter.get());
        waiter->mainSource_ =
            pw_loop_add_io(dataLoop, pw_loop_get_fd(waiter->connection_->loop_), SPA_IO_IN, false,
                           &LoopWaiter::onMainLoop, waiter.get());
        if (waiter->wakeSource_ == nullptr || waiter->mainSource_ == nullptr) {
            waiter->release();
            return nullptr;
        }
        return waiter;
    }

    explicit LoopWaiter(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    // Only the eventfd: a waiter that was never released belongs to a queue that never gave the
    // loop back, and its sources stay with the loops the connection leaves as they are.
    ~LoopWaiter() override {
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }
    LoopWaiter(const LoopWaiter&) = delete;
    LoopWaiter& operator=(const LoopWaiter&) = delete;

    bool wait(std::chrono::milliseconds bound) override {
        woken_ = false;
        if (connection_ != nullptr) {
            iterateLoop(connection_->dataLoop_, static_cast<int>(bound.count()));
        }
        return woken_;
    }

    // The eventfd stays open as long as the waiter, so a wake-up that comes late is harmless.
    void wake() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }

    // Takes the sources out of the data loop and lets the connection go; on the loops' owner.
    void release() {
        if (connection_ == nullptr) {
            return;
        }
        for (spa_source** source : {&wakeSource_, &mainSource_}) {
            if (*source != nullptr) {
                pw_loop_destroy_source(connection_->dataLoop_, *source);
                *source = nullptr;
            }
        }
        connection_.reset();
    }

  private:
    static void onWake(void* data, int fd, std::uint32_t) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
        static_cast<LoopWaiter*>(data)->woken_ = true;
    }

    // One round of loop_: its fd is level-triggered here, so what is left over wakes the next wait.
    // A lost server may leave it ready for good; it is not watched from then on.
    static void onMainLoop(void* data, int, std::uint32_t) {
        auto* self = static_cast<LoopWaiter*>(data);
        Connection& connection = *self->connection_;
        iterateLoop(connection.loop_, 0);
        if (connection.lost() && self->mainSource_ != nullptr) {
            pw_loop_update_io(connection.dataLoop_, self->mainSource_, 0);
        }
    }

    // While set it keeps the connection alive, so a queue that never gives the loop back can never
    // see it destroyed.
    std::shared_ptr<Connection> connection_;
    const int wakeFd_;
    spa_source* wakeSource_ = nullptr;
    spa_source* mainSource_ = nullptr;
    bool woken_ = false;
};

// A client bound for its info: the registry only carries a few of its properties. A playback
// stream's node is bound the same way, for its state.
struct Connection::BoundClient {
    Connection* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
};

std::shared_ptr<Connection> Connection::open(OSStatus& status) {
    initializeLibrary();
    std::shared_ptr<Connection> connection(new Connection());
    status = connection->connect(Clock::now() + kServerTimeout);
    if (status != kAudioHardwareNoError) {
        return nullptr;
    }
    return connection;
}

OSStatus Connection::connect(Clock::time_point deadline) {
    loop_ = pw_loop_new(nullptr);
    if (loop_ == nullptr) {
        return kStatusSystemError;
    }
    pw_loop_enter(loop_);  // the opening thread owns the loop from now on
    // No client configuration file: it would load modules we never use (devices, session
    // objects) and a user's settings we do not want. Only what the connection needs is loaded.
    // Nor D-Bus: the library would map it (and the libraries behind it, most of a megabyte
    // resident) for every client; only the real-time fallback below may need it.
    context_ = pw_context_new(
        loop_, pw_properties_new(PW_KEY_CONFIG_NAME, "null", "support.dbus", "false", nullptr), 0);
    if (context_ == nullptr) {
        return kStatusSystemError;
    }
    pw_data_loop* dataLoop = pw_context_get_data_loop(context_);
    pw_data_loop_stop(dataLoop);
    dataLoop_ = pw_data_loop_get_loop(dataLoop);
    if (!watchDataLoop()) {
        return kStatusSystemError;
    }
    for (const char* module : {"libpipewire-module-protocol-native",
                               "libpipewire-module-client-node", "libpipewire-module-metadata"}) {
        if (pw_context_load_module(context_, module, nullptr, nullptr) == nullptr) {
            return kStatusSystemError;
        }
    }
    // Marks this program's client, so that no other instance of it lists this one.
    core_ =
        pw_context_connect(context_, pw_properties_new(kCaptureClientProperty, "true", nullptr), 0);
    if (core_ == nullptr) {
        return kStatusServerUnreachable;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.info = &Connection::onCoreInfo;
        events.done = &Connection::onCoreDone;
        events.error = &Connection::onCoreError;
        return events;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_ == nullptr) {
        return kStatusSystemError;
    }
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = &Connection::onGlobal;
        events.global_remove = &Connection::onGlobalRemove;
        return events;
    }();
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    if (const OSStatus status = refresh(deadline); status != kAudioHardwareNoError) {
        return status;
    }
    return infoReceived_ ? kAudioHardwareNoError : kStatusServerTimeout;
}

Connection::~Connection() {
    if (queue_ != nullptr || loop_ == nullptr) {
        return;  // a stuck queue may still run the loop: leave everything as it is
    }
    if (settings_ != nullptr) {
        spa_hook_remove(&settingsListener_);
        pw_proxy_destroy(settings_);
    }
    for (auto* bound : {&clients_, &streams_}) {
        for (auto& object : *bound) {
            spa_hook_remove(&object->listener);
            pw_proxy_destroy(object->proxy);
        }
        bound->clear();
    }
    if (registry_ != nullptr) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
    }
    if (dataSource_ != nullptr) {
        pw_loop_destroy_source(loop_, dataSource_);
    }
    if (context_ != nullptr) {
        pw_context_destroy(context_);
    }
    pw_loop_leave(loop_);
    pw_loop_destroy(loop_);
}

OSStatus Connection::sync(Clock::time_point deadline) {
    if (lost()) {
        return kStatusServerLost;
    }
    const int seq = pw_core_sync(core_, PW_ID_CORE, pendingSeq_);
    pendingSeq_ = seq;
    const OSStatus status = waitUntil([this, seq] { return doneSeq_ == seq; }, deadline);
    if (status == kAudioHardwareNoError) {
        lastAnswer_ = Clock::now();
    }
    return status;
}

OSStatus Connection::syncUnlessFresh(Clock::time_point deadline) {
    if (!lastAnswer_.has_value() || Clock::now() - *lastAnswer_ >= kAnswerFreshFor) {
        return sync(deadline);
    }
    drain();
    return lost() ? kStatusServerLost : kAudioHardwareNoError;
}

OSStatus Connection::refresh(Clock::time_point deadline) {
    if (const OSStatus status = syncUnlessFresh(deadline); status != kAudioHardwareNoError) {
        return status;
    }
    // The round trip brought new globals and bound new clients; their info follows the binding,
    // so a second one is only needed when some client is still undescribed.
    const bool undescribed = std::any_of(graph_.clients.begin(), graph_.clients.end(),
                                         [](const auto& entry) { return !entry.second.described; });
    return undescribed ? sync(deadline) : kAudioHardwareNoError;
}

std::uint32_t Connection::rate() const {
    return graphRate(forcedRate_, settingsRate_, defaultRate_);
}

void Connection::addObserver(ConnectionObserver* observer) {
    observers_.push_back(observer);
}

void Connection::removeObserver(ConnectionObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Connection::notifyGraphChanged() {
    const auto observers = observers_;
    for (ConnectionObserver* observer : observers) {
        observer->graphChanged();
    }
}

void Connection::markLost() {
    if (lost_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    const auto observers = observers_;
    for (ConnectionObserver* observer : observers) {
        observer->connectionLost();
    }
}

OSStatus Connection::attach(IOQueue& queue) {
    if (queue_ == &queue) {
        return kAudioHardwareNoError;
    }
    if (queue_ != nullptr) {
        return kStatusQueueBusy;
    }
    if (lost()) {
        return kStatusServerLost;
    }
    if (dataSource_ != nullptr) {
        pw_loop_destroy_source(loop_, dataSource_);
        dataSource_ = nullptr;
    }
    auto waiter = LoopWaiter::create(shared_from_this());
    if (waiter == nullptr) {
        watchDataLoop();
        return kStatusSystemError;
    }
    queue_ = &queue;
    waiter_ = waiter;
    pw_loop_leave(loop_);
    // The waiter keeps the connection alive until this has run.
    queue.post([this, waiter, &queue] {
        pw_loop_enter(loop_);
        setRealtime(true);
        queue.setWaiter(waiter);
    });
    return kAudioHardwareNoError;
}

OSStatus Connection::detach() {
    if (queue_ == nullptr) {
        return kAudioHardwareNoError;
    }
    IOQueue& queue = *queue_;
    const OSStatus status = perform([this, &queue] {
        queue.setWaiter(nullptr);
        waiter_->release();
        setRealtime(false);
        pw_loop_leave(loop_);
        return kAudioHardwareNoError;
    });
    if (status != kAudioHardwareNoError) {
        return status;  // the queue may still hold the loop: it stays attached for good
    }
    queue_ = nullptr;
    waiter_.reset();
    pw_loop_enter(loop_);
    return watchDataLoop() ? kAudioHardwareNoError : kStatusSystemError;
}

bool Connection::watchDataLoop() {
    dataSource_ = pw_loop_add_io(loop_, pw_loop_get_fd(dataLoop_), SPA_IO_IN, false,
                                 &Connection::onDataLoopReady, this);
    return dataSource_ != nullptr;
}

// On the thread that takes the loop, or gives it back: the graph's cycles run here (see the data
// loop above), so this thread gets what PipeWire gives its own data threads, and loses it with the
// loop. Like PipeWire's real-time module, it asks the kernel first, within RLIMIT_RTPRIO; only
// where that is refused is the module loaded, to ask RTKit or the desktop portal over D-Bus (its
// libraries cost most of a megabyte resident, so a capture that does not need them never maps
// them). Where everything refuses, the thread keeps its normal priority.
void Connection::setRealtime(bool realtime) {
    const pthread_t self = pthread_self();
    if (!realtime) {
        sched_param normal{};
        pthread_setschedparam(self, SCHED_OTHER, &normal);
        return;
    }
    int priority = std::clamp(kRealtimePriority, sched_get_priority_min(SCHED_FIFO),
                              sched_get_priority_max(SCHED_FIFO));
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 0 && limit.rlim_cur < static_cast<rlim_t>(priority)) {
        priority = static_cast<int>(limit.rlim_cur);
    }
    sched_param parameter{};
    parameter.sched_priority = priority;
    if (pthread_setschedparam(self, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) == 0) {
        return;
    }
    if (pw_context_get_object(context_, SPA_TYPE_INTERFACE_ThreadUtils) == nullptr) {
        const spa_dict_item dbus[] = {SPA_DICT_ITEM_INIT("support.dbus", "true")};
        const spa_dict allowDBus = SPA_DICT_INIT_ARRAY(dbus);
        pw_context_update_properties(context_, &allowDBus);
        pw_context_load_module(context_, "libpipewire-module-rt", nullptr, nullptr);
    }
    if (auto* utils = static_cast<spa_thread_utils*>(
            pw_context_get_object(context_, SPA_TYPE_INTERFACE_ThreadUtils))) {
        spa_thread_utils_acquire_rt(utils, reinterpret_cast<spa_thread*>(self), kRealtimePriority);
    }
}

bool Connection::drain() {
    for (int round = 0; round < kLoopBatch; ++round) {
        if (iterateLoop(loop_, 0) == 0) {
            return true;
        }
    }
    return false;
}

// One round per call: the data loop's fd is level-triggered in loop_, so what is left over is seen
// on loop_'s next iteration, and a cycle costs a single look at the data loop.
void Connection::onDataLoopReady(void* data, int, std::uint32_t) {
    iterateLoop(static_cast<Connection*>(data)->dataLoop_, 0);
}

void Connection::onCoreInfo(void* data, const pw_core_info* info) {
    auto* self = static_cast<Connection*>(data);
    self->infoReceived_ = true;
    if (info->version != nullptr) {
        self->version_ = info->version;
    }
    if (info->props != nullptr) {
        self->defaultRate_ = rateValue(spa_dict_lookup(info->props, "default.clock.rate"));
    }
}

void Connection::onCoreDone(void* data, std::uint32_t id, int seq) {
    if (id == PW_ID_CORE) {
        static_cast<Connection*>(data)->doneSeq_ = seq;
    }
}

void Connection::onCoreError(void* data, std::uint32_t id, int, int res, const char*) {
    // Errors on other objects (a link the server refused) belong to those objects. On the core,
    // only the library's -EPIPE means the connection failed: the server also reports there a
    // request about an object it has already dropped, as when we let go of a client or link that
    // went away while we were binding or removing it, and the connection carries on.
    if (id == PW_ID_CORE && res == -EPIPE) {
        static_cast<Connection*>(data)->markLost();
    }
}

void Connection::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                          std::uint32_t, const spa_dict* props) {
    auto* self = static_cast<Connection*>(data);
    Properties properties = propertiesOf(props);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        self->graph_.clients[id] = Graph::Client{std::move(properties), false};
        if (auto bound = self->bind(id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT)) {
            static const pw_client_events clientEvents = [] {
                pw_client_events events{};
                events.version = PW_VERSION_CLIENT_EVENTS;
                events.info = &Connection::onClientInfo;
                return events;
            }();
            pw_client_add_listener(reinterpret_cast<pw_client*>(bound->proxy), &bound->listener,
                                   &clientEvents, bound.get());
            self->clients_.push_back(std::move(bound));
        }
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        if (isPlaybackStream(properties)) {
            self->bindStream(id);
        }
        self->graph_.nodes[id] = std::move(properties);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Graph::Port port;
        port.node = unsignedProperty(properties, "node.id").value_or(SPA_ID_INVALID);
        port.output = property(properties, "port.direction") == "out";
        port.monitor = property(properties, "port.monitor") == "true";
        port.channel = property(properties, "audio.channel").value_or("");
        self->graph_.ports[id] = std::move(port);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 &&
               property(properties, "metadata.name") == "settings" && self->settings_ == nullptr) {
        self->settings_ = static_cast<pw_proxy*>(pw_registry_bind(
            self->registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (self->settings_ != nullptr) {
            self->settingsID_ = id;
            static const pw_metadata_events metadataEvents = [] {
                pw_metadata_events events{};
                events.version = PW_VERSION_METADATA_EVENTS;
                events.property = &Connection::onMetadataProperty;
                return events;
            }();
            pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(self->settings_),
                                     &self->settingsListener_, &metadataEvents, self);
        }
        return;
    } else {
        return;
    }
    self->notifyGraphChanged();
}

void Connection::onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Connection*>(data);
    if (id == self->settingsID_ && self->settings_ != nullptr) {
        spa_hook_remove(&self->settingsListener_);
        pw_proxy_destroy(self->settings_);
        self->settings_ = nullptr;
        self->settingsID_ = SPA_ID_INVALID;
        self->settingsRate_.reset();
        self->forcedRate_.reset();
        return;
    }
    for (auto* objects : {&self->clients_, &self->streams_}) {
        auto bound = std::find_if(objects->begin(), objects->end(),
                                  [id](const auto& object) { return object->id == id; });
        if (bound != objects->end()) {
            spa_hook_remove(&(*bound)->listener);
            pw_proxy_destroy((*bound)->proxy);
            objects->erase(bound);
        }
    }
    self->runningStreams_.erase(id);
    const bool known = self->graph_.clients.erase(id) + self->graph_.nodes.erase(id) +
                           self->graph_.ports.erase(id) >
                       0;
    if (known) {
        self->notifyGraphChanged();
    }
}

void Connection::onClientInfo(void* data, const pw_client_info* info) {
    auto* bound = static_cast<BoundClient*>(data);
    Connection* self = bound->owner;
    auto client = self->graph_.clients.find(bound->id);
    if (client == self->graph_.clients.end()) {
        return;
    }
    if (info->props != nullptr) {
        client->second.properties = propertiesOf(info->props);
    }
    client->second.described = true;
    self->notifyGraphChanged();
}

std::unique_ptr<Connection::BoundClient> Connection::bind(std::uint32_t id, const char* type,
                                                          std::uint32_t version) {
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, version, 0));
    if (proxy == nullptr) {
        return nullptr;
    }
    auto bound = std::make_unique<BoundClient>();
    bound->owner = this;
    bound->id = id;
    bound->proxy = proxy;
    return bound;
}

void Connection::bindStream(std::uint32_t id) {
    auto bound = bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE);
    if (bound == nullptr) {
        return;  // its state stays unknown, which reads as not running
    }
    static const pw_node_events nodeEvents = [] {
        pw_node_events events{};
        events.version = PW_VERSION_NODE_EVENTS;
        events.info = &Connection::onNodeInfo;
        return events;
    }();
    pw_node_add_listener(reinterpret_cast<pw_node*>(bound->proxy), &bound->listener, &nodeEvents,
                         bound.get());
    streams_.push_back(std::move(bound));
}

void Connection::onNodeInfo(void* data, const pw_node_info* info) {
    auto* bound = static_cast<BoundClient*>(data);
    if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) == 0) {
        return;
    }
    if (info->state == PW_NODE_STATE_RUNNING) {
        bound->owner->runningStreams_.insert(bound->id);
    } else {
        bound->owner->runningStreams_.erase(bound->id);
    }
}

int Connection::onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*,
                                   const char* value) {
    auto* self = static_cast<Connection*>(data);
    if (subject != PW_ID_CORE) {
        return 0;
    }
    if (key == nullptr) {  // every property cleared
        self->settingsRate_.reset();
        self->forcedRate_.reset();
    } else if (std::strcmp(key, "clock.rate") == 0) {
        self->settingsRate_ = rateValue(value);
    } else if (std::strcmp(key, "clock.force-rate") == 0) {
        self->forcedRate_ = rateValue(value);
    }
    return 0;
}

}  // namespace qor::pipewire
