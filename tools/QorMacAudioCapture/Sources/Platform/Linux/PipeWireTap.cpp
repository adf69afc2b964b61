#include "PipeWireTap.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

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
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
        "Stream/Input/Audio", PW_KEY_NODE_NAME, uid_.c_str(), PW_KEY_NODE_DESCRIPTION, uid_.c_str(),
        PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true",
        PW_KEY_NODE_WANT_DRIVER, "true", PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
    filter_ = pw_filter_new(connection_->core(), uid_.c_str(), properties);
    if (filter_ == nullptr) {
        return kStatusStreamFailed;
    }
    static const pw_filter_events filterEvents = [] {
        pw_filter_events events{};
        events.version = PW_VERSION_FILTER_EVENTS;
        events.state_changed = &CaptureTap::onStateChanged;
        events.process = &CaptureTap::onProcess;
        return events;
    }();
    pw_filter_add_listener(filter_, &filterListener_, &filterEvents, this);
    static constexpr const char* channels[kChannels] = {"FL", "FR"};
    static constexpr const char* portNames[kChannels] = {"input_FL", "input_FR"};
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        pw_properties* portProperties =
            pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                              portNames[channel], PW_KEY_AUDIO_CHANNEL, channels[channel], nullptr);
        ports_[channel] =
            pw_filter_add_port(filter_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                               sizeof(std::uint32_t), portProperties, nullptr, 0);
        if (ports_[channel] == nullptr) {
            return kStatusStreamFailed;
        }
    }
    // Process is called from the data loop, which the connection runs on the loop owner's thread
    // (the I/O queue while a capture delivers): no hop through the main loop for every cycle.
    const auto flags =
        static_cast<pw_filter_flags>(PW_FILTER_FLAG_INACTIVE | PW_FILTER_FLAG_RT_PROCESS);
    if (pw_filter_connect(filter_, flags, nullptr, 0) < 0) {
        return kStatusStreamFailed;
    }

    const OSStatus status = connection_->waitUntil(
        [this] {
            node_ = pw_filter_get_node_id(filter_);
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
    watchTimer_ = pw_loop_add_timer(connection_->loop(), &CaptureTap::onWatchTimer, this);
    if (watchTimer_ == nullptr) {
        return kStatusStreamFailed;
    }
    connection_->addObserver(this);
    observing_ = true;
    reconcile();
    // Returns once the server has the links, so the tap is complete when creation reports it.
    return connection_->sync(deadline);
}

void CaptureTap::close() {
    running_ = false;
    block_ = nullptr;
    lost_ = nullptr;
    if (observing_) {
        connection_->removeObserver(this);
        observing_ = false;
    }
    links_.clear();
    held_.clear();
    if (watchTimer_ != nullptr) {
        pw_loop_destroy_source(connection_->loop(), watchTimer_);
        watchTimer_ = nullptr;
    }
    if (filter_ != nullptr) {
        // Stop the graph from scheduling us, then run what it already signalled to our loops
        // while the node still exists.
        if (!connection_->lost()) {
            pw_filter_set_active(filter_, false);
        }
        connection_->dispatchPending();
        spa_hook_remove(&filterListener_);
        pw_filter_destroy(filter_);  // the ports go with it
        filter_ = nullptr;
        std::fill(std::begin(ports_), std::end(ports_), nullptr);
    }
}

AudioStreamBasicDescription CaptureTap::format() const {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate_;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | (1u << 3) | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = sizeof(float);  // per buffer: one buffer per channel
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = sizeof(float);
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
    if (filter_ == nullptr) {
        return kStatusUnknownObject;
    }
    if (connection_->lost()) {
        return kStatusServerLost;
    }
    if (pw_filter_set_active(filter_, active) < 0) {
        return kStatusStreamFailed;
    }
    running_ = active;
    fit_.reset();
    handedOn_ = 0;
    lastCycleNs_ = 0;
    if (watchTimer_ != nullptr) {
        // Every 20 ms while the node runs.
        timespec interval{0, active ? 20'000'000 : 0};
        pw_loop_update_timer(connection_->loop(), watchTimer_, &interval, &interval, false);
    }
    return kAudioHardwareNoError;
}

void CaptureTap::graphChanged() {
    reconcile();
}

void CaptureTap::connectionLost() {
    reportLost();
}

void CaptureTap::reconcile() {
    if (filter_ == nullptr || node_ == SPA_ID_INVALID || connection_->lost()) {
        return;
    }
    const Graph& graph = connection_->graph();
    const auto wanted = wantedLinks(graph, node_, selection_);
    // A link whose port has gone was removed by the server along with the port; one that the
    // selection no longer wants is removed by destroying it.
    for (auto link = links_.begin(); link != links_.end();) {
        if (graph.ports.count(link->first.first) == 0 ||
            graph.ports.count(link->first.second) == 0 || wanted.count(link->first) == 0 ||
            held_.count(graph.ports.at(link->first.first).node) > 0) {
            link = links_.erase(link);
        } else {
            ++link;
        }
    }
    for (const auto& [output, input] : wanted) {
        if (links_.count({output, input}) > 0) {
            continue;  // made already (or refused by the server: no second attempt)
        }
        if (held_.count(graph.ports.at(output).node) > 0) {
            continue;
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
void CaptureTap::onProcess(void* data, spa_io_position* position) {
    if (position != nullptr) {
        static_cast<CaptureTap*>(data)->deliver(position->clock);
    }
}

namespace {
// As much silence as the graph's largest cycle holds.
const float kSilence[8192] = {};
}  // namespace

// One block per cycle while the tap runs, of each port's buffer as the graph filled it. The graph
// may schedule the node before it is made active (a filter's process is called once it is
// linked): those cycles only give the buffers back. A port that has no samples this cycle (an
// unlinked port has no buffers at all) reads as silence; with nothing linked the block is the
// cycle's length of silence, as a tap of idle output delivers. The core takes the frame count
// from buffer 0 and reads buffer 1 only as far as it goes.
//
// The graph's clock tells the cycle's time and rate: the rate may change while the node runs (a
// forced rate, a driver that follows its device), and the ports' samples are at the new rate from
// the first cycle that reports it.
void CaptureTap::deliver(const spa_io_clock& clock) {
    const std::uint64_t cycleFrames = clock.duration;
    lastCycleNs_ = clock.nsec;
    if (clock.rate.denom > 0) {
        cycleLengthNs_ = clock.duration * 1'000'000'000ull * clock.rate.num / clock.rate.denom;
    }
    pw_buffer* buffers[kChannels] = {};
    std::uint32_t frames = 0;
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        AudioBuffer& out = list_.buffer(channel);
        out.mNumberChannels = 1;
        out.mDataByteSize = 0;
        out.mData = nullptr;
        buffers[channel] =
            ports_[channel] != nullptr ? pw_filter_dequeue_buffer(ports_[channel]) : nullptr;
        const spa_buffer* buffer = buffers[channel] != nullptr ? buffers[channel]->buffer : nullptr;
        if (buffer == nullptr || buffer->n_datas == 0 || buffer->datas == nullptr) {
            continue;
        }
        const spa_data& data = buffer->datas[0];
        if (data.data == nullptr || data.chunk == nullptr) {
            continue;
        }
        // The chunk comes from the other side of the graph: keep it inside the mapped memory.
        const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
        std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
        size -= size % sizeof(float);
        out.mDataByteSize = size;
        out.mData = static_cast<std::uint8_t*>(data.data) + offset;
        frames = std::max<std::uint32_t>(frames, size / sizeof(float));
    }
    // A chunk may claim more than the cycle holds (seen as the graph changes its quantum): the
    // cycle's length bounds what is read, so the stream never gains frames.
    const auto cycleLength =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(cycleFrames, UINT32_MAX));
    if (frames == 0 || (cycleLength > 0 && frames > cycleLength)) {
        frames = cycleLength > 0 ? cycleLength : frames;
        for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
            AudioBuffer& out = list_.buffer(channel);
            out.mDataByteSize = std::min<std::uint32_t>(out.mDataByteSize, frames * sizeof(float));
        }
    }
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        AudioBuffer& out = list_.buffer(channel);
        if (out.mDataByteSize == 0) {
            out.mData = const_cast<float*>(kSilence);  // read only, like every input buffer
            out.mDataByteSize =
                std::min<std::uint32_t>(frames, std::size(kSilence)) * sizeof(float);
        }
    }
    if (block_ && running_ && frames > 0) {
        handOn(clock, frames);
    }
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        if (buffers[channel] != nullptr) {
            pw_filter_queue_buffer(ports_[channel], buffers[channel]);
        }
    }
}

// The block gets the graph's time as its clock tells it in nanoseconds; the audio handed on keeps
// to that clock (see GraphClockFit). Its sample time counts the frames handed on, silence
// included: the drivers' positions jump as the graph switches, and what a jump means for the
// stream has been decided here already.
void CaptureTap::handOn(const spa_io_clock& clock, std::uint32_t frames) {
    IOCycleTime time;
    time.hostTimeNs = clock.nsec;
    const bool rated = clock.rate.num > 0 && clock.rate.denom > 0;
    time.sampleTimeValid = time.hostTimeValid = clock.nsec != 0;
    if (rated) {
        time.announcedRate = static_cast<double>(clock.rate.denom) / clock.rate.num;
    }
    if (clock.nsec == 0 || !rated) {
        fit_.reset();
        time.sampleTime = static_cast<double>(handedOn_);
        block_(list_.list(), time);
        handedOn_ += frames;
        return;
    }
    const double nsPerFrame = 1e9 * clock.rate.num / clock.rate.denom;
    // A port that brought less than the cycle (a player that fell behind) leaves the rest of the
    // cycle's time silent.
    const std::uint32_t cycle = std::max<std::uint32_t>(
        frames, static_cast<std::uint32_t>(std::min<std::uint64_t>(clock.duration, UINT32_MAX)));
    const auto [silence, skip] =
        fit_.fit(clock.id, clock.rate.num, clock.rate.denom, clock.nsec, cycle);
    IOCycleTime end = time;
    end.hostTimeNs += static_cast<std::uint64_t>(cycle * nsPerFrame);
    fillGap(time, silence, nsPerFrame);
    if (skip < frames && block_) {
        for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
            AudioBuffer& out = list_.buffer(channel);
            const std::uint32_t bytes =
                std::min<std::uint32_t>(out.mDataByteSize, skip * sizeof(float));
            out.mData = static_cast<std::uint8_t*>(out.mData) + bytes;
            out.mDataByteSize -= bytes;
        }
        time.sampleTime = static_cast<double>(handedOn_);
        time.hostTimeNs += static_cast<std::uint64_t>(skip * nsPerFrame);
        block_(list_.list(), time);
        handedOn_ += frames - skip;
    }
    fillGap(end, cycle - std::max(frames, skip), nsPerFrame);
}

// Hands on `missing` frames of silence that end at `end`'s time.
void CaptureTap::fillGap(const IOCycleTime& end, std::uint64_t missing, double nsPerFrame) {
    while (missing > 0 && block_) {
        const auto chunk =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(missing, std::size(kSilence)));
        for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
            AudioBuffer& out = silence_.buffer(channel);
            out.mNumberChannels = 1;
            out.mData = const_cast<float*>(kSilence);
            out.mDataByteSize = chunk * sizeof(float);
        }
        IOCycleTime gap = end;
        gap.sampleTime = static_cast<double>(handedOn_);
        gap.hostTimeNs -= static_cast<std::uint64_t>(static_cast<double>(missing) * nsPerFrame);
        block_(silence_.list(), gap);
        handedOn_ += chunk;
        missing -= chunk;
    }
}

namespace {
// Whether a process is stopped (by a signal or a tracer): /proc/<pid>/stat's state. Reads into a
// buffer of its own, nothing allocated.
bool processStopped(std::uint32_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char stat[512];
    const ssize_t size = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (size <= 0) {
        return false;
    }
    stat[size] = '\0';
    // "pid (comm) S ...": the name may hold anything, so the state follows its last ')'.
    const char* end = std::strrchr(stat, ')');
    return end != nullptr && end[1] == ' ' && (end[2] == 'T' || end[2] == 't');
}

// A stall shorter than this, or than one and a half of the graph's cycles, is not looked into.
constexpr std::uint64_t kStallNs = 50'000'000;
}  // namespace

void CaptureTap::onWatchTimer(void* data, std::uint64_t) {
    static_cast<CaptureTap*>(data)->watchStoppedStreams();
}

// The graph runs the node only once every node linked into it has run: a stopped player (a
// SIGSTOP, a debugger) would keep the whole capture from running, the other streams with it. While
// the node has not run for a while, the linked playback nodes whose process is stopped are
// unlinked; each is linked again as soon as its process goes on (or its node is gone). A stream
// stuck in any other way is not found here: the capture stalls with it, and the device's time is
// kept by the cycles' clock once it runs again.
void CaptureTap::watchStoppedStreams() {
    if (!running_ || filter_ == nullptr || connection_->lost()) {
        return;
    }
    const Graph& graph = connection_->graph();
    auto pidOf = [&](std::uint32_t node) -> std::optional<std::uint32_t> {
        const auto found = graph.nodes.find(node);
        if (found == graph.nodes.end()) {
            return std::nullopt;
        }
        const auto client = unsignedProperty(found->second, "client.id");
        const auto owner = client ? graph.clients.find(*client) : graph.clients.end();
        if (owner == graph.clients.end()) {
            return std::nullopt;
        }
        return unsignedProperty(owner->second.properties, "pipewire.sec.pid");
    };
    bool changed = false;
    for (auto node = held_.begin(); node != held_.end();) {
        const auto pid = pidOf(*node);
        if (!pid || !processStopped(*pid)) {
            node = held_.erase(node);
            changed = true;
        } else {
            ++node;
        }
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowNs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ull +
                       static_cast<std::uint64_t>(now.tv_nsec);
    const bool stalled = lastCycleNs_ != 0 && nowNs > lastCycleNs_ &&
                         nowNs - lastCycleNs_ > std::max(kStallNs, cycleLengthNs_ * 3 / 2);
    if (stalled) {
        for (const auto& [ports, link] : links_) {
            const auto port = graph.ports.find(ports.first);
            if (port == graph.ports.end() || held_.count(port->second.node) > 0) {
                continue;
            }
            if (const auto pid = pidOf(port->second.node); pid && processStopped(*pid)) {
                held_.insert(port->second.node);
                changed = true;
            }
        }
    }
    if (changed) {
        reconcile();
    }
}

void CaptureTap::onStateChanged(void* data, pw_filter_state, pw_filter_state state, const char*) {
    auto* tap = static_cast<CaptureTap*>(data);
    // The server destroyed our node, or the filter failed: for the capture it is the same as the
    // server going away.
    if (state == PW_FILTER_STATE_ERROR ||
        (state == PW_FILTER_STATE_UNCONNECTED && tap->node_ != SPA_ID_INVALID)) {
        tap->failed_ = true;
        tap->reportLost();
    }
}

}  // namespace qor::pipewire
