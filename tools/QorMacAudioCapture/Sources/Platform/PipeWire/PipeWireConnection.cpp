#include "PipeWireConnection.h"

#include <fcntl.h>
#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-module.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/posix/stream_descriptor.hpp>
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

// A duplicate of a loop's epoll fd registered with the I/O queue's io_context. Queue thread only
// once constructed.
struct Connection::Watch {
    Watch(boost::asio::io_context& context, int fd, pw_loop* loop,
          std::shared_ptr<Connection> owner)
        : descriptor(context, fd), loop(loop), connection(std::move(owner)) {}
    boost::asio::posix::stream_descriptor descriptor;
    pw_loop* const loop;  // the loop this watch runs when its fd is ready
    // Cleared when the main thread takes the loop back. While set it keeps the connection alive,
    // so a queue that never gives the loop back can never see it destroyed.
    std::shared_ptr<Connection> connection;
    bool armed = false;
};

// A client bound for its info: the registry only carries a few of its properties.
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
    dataSource_ = pw_loop_add_io(loop_, pw_loop_get_fd(dataLoop_), SPA_IO_IN, false,
                                 &Connection::onDataLoopReady, this);
    if (dataSource_ == nullptr) {
        return kStatusSystemError;
    }
    for (const char* module : {"libpipewire-module-protocol-native",
                               "libpipewire-module-client-node", "libpipewire-module-metadata"}) {
        if (pw_context_load_module(context_, module, nullptr, nullptr) == nullptr) {
            return kStatusSystemError;
        }
    }
    core_ = pw_context_connect(context_, nullptr, 0);
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
    for (auto& client : clients_) {
        spa_hook_remove(&client->listener);
        pw_proxy_destroy(client->proxy);
    }
    clients_.clear();
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
    std::vector<std::shared_ptr<Watch>> watches;
    for (pw_loop* loop : {loop_, dataLoop_}) {
        const int fd = ::fcntl(pw_loop_get_fd(loop), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            return kStatusSystemError;
        }
        try {
            watches.push_back(
                std::make_shared<Watch>(queue.context(), fd, loop, shared_from_this()));
        } catch (const std::exception&) {
            ::close(fd);
            return kStatusSystemError;
        }
    }
    queue_ = &queue;
    watches_ = watches;
    pw_loop_leave(loop_);
    boost::asio::post(queue.executor(), [watches] {
        Connection& connection = *watches.front()->connection;
        pw_loop_enter(connection.loop_);
        // The queue watches the data loop itself, so a graph cycle wakes it once and runs the data
        // loop alone; through the main loop it would cost a round of each.
        pw_loop_update_io(connection.loop_, connection.dataSource_, 0);
        connection.setRealtime(true);
        for (const auto& watch : watches) {
            connection.pump(watch);
        }
    });
    return kAudioHardwareNoError;
}

OSStatus Connection::detach() {
    if (queue_ == nullptr) {
        return kAudioHardwareNoError;
    }
    auto watches = watches_;
    const OSStatus status = perform([this, &watches] {
        for (const auto& watch : watches) {
            boost::system::error_code ignored;
            watch->descriptor.close(ignored);  // cancels the armed wait
            watch->connection.reset();
        }
        pw_loop_update_io(loop_, dataSource_, SPA_IO_IN);
        setRealtime(false);
        pw_loop_leave(loop_);
        return kAudioHardwareNoError;
    });
    if (status != kAudioHardwareNoError) {
        return status;  // the queue may still hold the loop: it stays attached for good
    }
    queue_ = nullptr;
    watches_.clear();
    pw_loop_enter(loop_);
    return kAudioHardwareNoError;
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

// On the I/O queue. The io_context sees the loop's epoll fd edge-triggered. One round runs what
// woke us, then the wait is armed; arming a wait re-registers the fd with the io_context's epoll,
// which looks at it again, so anything that arrived during the round wakes us at once. A graph
// cycle thus costs one wake-up and one round of the data loop, as on PipeWire's own data thread.
void Connection::pump(const std::shared_ptr<Watch>& watch) {
    const int handled = iterateLoop(watch->loop, 0);
    if (lost()) {
        return;
    }
    if (!watch->armed) {
        watch->armed = true;
        watch->descriptor.async_wait(boost::asio::posix::descriptor_base::wait_read,
                                     [watch](const boost::system::error_code& error) {
                                         watch->armed = false;
                                         if (!error && watch->connection != nullptr) {
                                             watch->connection->pump(watch);
                                         }
                                     });
    }
    if (handled >= kLoopBatch) {
        // A full round may have left events behind that raise no new edge: go on, after letting
        // the diagnostics timer in.
        boost::asio::post(watch->descriptor.get_executor(), [watch] {
            if (watch->connection != nullptr) {
                watch->connection->pump(watch);
            }
        });
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
        auto* proxy = static_cast<pw_proxy*>(
            pw_registry_bind(self->registry_, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
        if (proxy != nullptr) {
            auto bound = std::make_unique<BoundClient>();
            bound->owner = self;
            bound->id = id;
            bound->proxy = proxy;
            static const pw_client_events clientEvents = [] {
                pw_client_events events{};
                events.version = PW_VERSION_CLIENT_EVENTS;
                events.info = &Connection::onClientInfo;
                return events;
            }();
            pw_client_add_listener(reinterpret_cast<pw_client*>(proxy), &bound->listener,
                                   &clientEvents, bound.get());
            self->clients_.push_back(std::move(bound));
        }
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
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
    auto bound = std::find_if(self->clients_.begin(), self->clients_.end(),
                              [id](const auto& client) { return client->id == id; });
    if (bound != self->clients_.end()) {
        spa_hook_remove(&(*bound)->listener);
        pw_proxy_destroy((*bound)->proxy);
        self->clients_.erase(bound);
    }
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
