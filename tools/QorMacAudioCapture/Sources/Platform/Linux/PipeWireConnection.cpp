#include "PipeWireConnection.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-module.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qor::pipewire {

namespace {

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
    if (!loop_.open()) {  // the opening thread owns the loop from now on
        return kStatusSystemError;
    }
    // No client configuration file: it would load modules we never use (devices, session
    // objects) and a user's settings we do not want. Only what the connection needs is loaded.
    // Nor D-Bus: the library would map it (and the libraries behind it, most of a megabyte
    // resident) for every client; only the real-time fallback below may need it.
    context_ = pw_context_new(
        loop_.loop(),
        pw_properties_new(PW_KEY_CONFIG_NAME, "null", "support.dbus", "false", nullptr), 0);
    if (context_ == nullptr) {
        return kStatusSystemError;
    }
    if (!loop_.adoptDataLoop(context_)) {
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
    if (loop_.attached() || loop_.loop() == nullptr) {
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
    loop_.releaseDataLoop();
    if (context_ != nullptr) {
        pw_context_destroy(context_);
    }
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
    loop_.drain();
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
    if (!loop_.attached() && lost()) {
        return kStatusServerLost;
    }
    return loop_.attach(queue, shared_from_this());
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
