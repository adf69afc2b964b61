#include "PipeWireTap.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>

namespace qor::pipewire {

CaptureTap::Link::~Link() {
    pw_proxy_destroy(proxy);
}

CaptureTap::CaptureTap(std::shared_ptr<Connection> connection, StreamSelection selection,
                       std::string uid, std::uint32_t rate)
    : connection_(std::move(connection)),
      selection_(std::move(selection)),
      uid_(std::move(uid)),
      rate_(rate) {}

CaptureTap::~CaptureTap() {
    close();
}

OSStatus CaptureTap::open(Connection::Clock::time_point deadline) {
    // No autoconnect: the session manager would link us to the default source, which on a
    // desktop is often the sink's monitor, and we would hear every stream twice. Want-driver and
    // always-process keep the node scheduled when nothing plays, so a global capture still
    // delivers silence like a tap of idle output does.
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
        uid_.c_str(), PW_KEY_NODE_DESCRIPTION, uid_.c_str(), PW_KEY_NODE_AUTOCONNECT, "false",
        PW_KEY_NODE_DONT_RECONNECT, "true", PW_KEY_NODE_WANT_DRIVER, "true",
        PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
    stream_ = pw_stream_new(connection_->core(), uid_.c_str(), properties);
    if (stream_ == nullptr) {
        return kStatusStreamFailed;
    }
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &CaptureTap::onStateChanged;
        events.process = &CaptureTap::onProcess;
        return events;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    std::uint8_t podBuffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof(podBuffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate_;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* parameters[] = {
        spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    // Process is called from the data loop, which the connection runs on the loop owner's thread
    // (the I/O queue while a capture delivers): no hop through the main loop for every cycle.
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_INACTIVE | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, parameters, 1) < 0) {
        return kStatusStreamFailed;
    }

    const OSStatus status = connection_->waitUntil(
        [this] {
            node_ = pw_stream_get_node_id(stream_);
            return failed_ || (node_ != SPA_ID_INVALID &&
                               captureInputPorts(connection_->graph(), node_).size() == kChannels);
        },
        deadline);
    if (failed_) {
        return kStatusStreamFailed;
    }
    if (status != kAudioHardwareNoError) {
        return status;
    }
    connection_->addObserver(this);
    observing_ = true;
    reconcile();
    // Returns once the server has the links, so the tap is complete when creation reports it.
    return connection_->sync(deadline);
}

void CaptureTap::close() {
    block_ = nullptr;
    lost_ = nullptr;
    if (observing_) {
        connection_->removeObserver(this);
        observing_ = false;
    }
    links_.clear();
    if (stream_ != nullptr) {
        // Stop the graph from scheduling us, then run what it already signalled to our loops
        // while the stream still exists.
        if (!connection_->lost()) {
            pw_stream_set_active(stream_, false);
        }
        connection_->dispatchPending();
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
}

AudioStreamBasicDescription CaptureTap::format() const {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate_;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | (1u << 3);  // float, packed
    format.mBytesPerPacket = kBytesPerFrame;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = kBytesPerFrame;
    format.mChannelsPerFrame = kChannels;
    format.mBitsPerChannel = 32;
    return format;
}

void CaptureTap::setSelection(StreamSelection selection) {
    selection_ = std::move(selection);
    reconcile();
}

void CaptureTap::setHandlers(IOBlock block, DeviceLostHandler lost) {
    block_ = std::move(block);
    lost_ = std::move(lost);
    lostReported_ = false;
    if (connection_->lost() || failed_) {
        reportLost();
    }
}

void CaptureTap::clearHandlers() {
    block_ = nullptr;
    lost_ = nullptr;
}

OSStatus CaptureTap::setActive(bool active) {
    if (stream_ == nullptr) {
        return kStatusUnknownObject;
    }
    if (connection_->lost()) {
        return kStatusServerLost;
    }
    return pw_stream_set_active(stream_, active) < 0 ? kStatusStreamFailed : kAudioHardwareNoError;
}

void CaptureTap::graphChanged() {
    reconcile();
}

void CaptureTap::connectionLost() {
    reportLost();
}

void CaptureTap::reconcile() {
    if (stream_ == nullptr || node_ == SPA_ID_INVALID || connection_->lost()) {
        return;
    }
    const Graph& graph = connection_->graph();
    const auto wanted = wantedLinks(graph, node_, selection_);
    // A link whose port has gone was removed by the server along with the port; one that the
    // selection no longer wants is removed by destroying it.
    for (auto link = links_.begin(); link != links_.end();) {
        if (graph.ports.count(link->first.first) == 0 ||
            graph.ports.count(link->first.second) == 0 || wanted.count(link->first) == 0) {
            link = links_.erase(link);
        } else {
            ++link;
        }
    }
    for (const auto& [output, input] : wanted) {
        if (links_.count({output, input}) > 0) {
            continue;  // made already (or refused by the server: no second attempt)
        }
        pw_properties* properties = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
        pw_properties_setf(properties, PW_KEY_LINK_OUTPUT_NODE, "%u", graph.ports.at(output).node);
        pw_properties_setf(properties, PW_KEY_LINK_OUTPUT_PORT, "%u", output);
        pw_properties_setf(properties, PW_KEY_LINK_INPUT_NODE, "%u", node_);
        pw_properties_setf(properties, PW_KEY_LINK_INPUT_PORT, "%u", input);
        auto* proxy = static_cast<pw_proxy*>(
            pw_core_create_object(connection_->core(), "link-factory", PW_TYPE_INTERFACE_Link,
                                  PW_VERSION_LINK, &properties->dict, 0));
        pw_properties_free(properties);
        if (proxy != nullptr) {
            links_.emplace(std::make_pair(output, input), std::make_unique<Link>(proxy));
        }
    }
}

void CaptureTap::reportLost() {
    if (!lost_ || lostReported_) {
        return;
    }
    lostReported_ = true;
    const DeviceLostHandler handler = lost_;
    handler();
}

// Runs where the loop runs: on the I/O queue while a capture delivers.
void CaptureTap::onProcess(void* data) {
    auto* tap = static_cast<CaptureTap*>(data);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(tap->stream_)) {
        if (buffer->buffer != nullptr) {
            tap->deliver(*buffer->buffer);
        }
        pw_stream_queue_buffer(tap->stream_, buffer);
    }
}

void CaptureTap::deliver(const spa_buffer& buffer) {
    if (!block_ || buffer.n_datas == 0 || buffer.datas == nullptr) {
        return;
    }
    const spa_data& data = buffer.datas[0];
    if (data.data == nullptr || data.chunk == nullptr) {
        return;
    }
    // The chunk comes from the other side of the graph: keep it inside the mapped memory.
    const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
    std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
    size -= size % kBytesPerFrame;
    if (size == 0) {
        return;
    }
    list_.mNumberBuffers = 1;
    list_.mBuffers[0].mNumberChannels = kChannels;
    list_.mBuffers[0].mDataByteSize = size;
    list_.mBuffers[0].mData = static_cast<std::uint8_t*>(data.data) + offset;
    block_(list_);
}

void CaptureTap::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* tap = static_cast<CaptureTap*>(data);
    // The server destroyed our node, or the stream failed: for the capture it is the same as the
    // server going away.
    if (state == PW_STREAM_STATE_ERROR ||
        (state == PW_STREAM_STATE_UNCONNECTED && tap->node_ != SPA_ID_INVALID)) {
        tap->failed_ = true;
        tap->reportLost();
    }
}

}  // namespace qor::pipewire
