// A process tap on PipeWire: one capture node with two DSP input ports, FL and FR (F32 mono at
// the graph rate, never linked by the session manager) plus the links this program makes into it
// from the selected playback streams, kept up to date as streams come and go. The links are ours:
// created with object.linger=false, so the server removes them with our connection whatever ends
// the process.
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "GraphClockFit.h"
#include "PipeWireConnection.h"

namespace qor::pipewire {

class CaptureTap final : public ConnectionObserver {
  public:
    static constexpr std::uint32_t kChannels = 2;

    // uid, rate and, once open() succeeded, node are fixed for the tap's life and may be read
    // from any thread; everything else belongs to the connection's loop owner.
    CaptureTap(std::shared_ptr<Connection> connection, StreamSelection selection, std::string uid,
               std::uint32_t rate);
    ~CaptureTap();
    CaptureTap(const CaptureTap&) = delete;
    CaptureTap& operator=(const CaptureTap&) = delete;

    // Creates and connects the node (inactive), waits for it and its input ports, then links the
    // selected streams that already play.
    OSStatus open(Connection::Clock::time_point deadline);
    // Links first, then the node. Idempotent.
    void close();

    std::uint32_t node() const { return node_; }
    const std::string& uid() const { return uid_; }
    AudioStreamBasicDescription format() const;
    const std::shared_ptr<Connection>& connection() const { return connection_; }

    // Follows a new process list: links what it now takes, unlinks what it no longer takes.
    void setSelection(StreamSelection selection);
    void setHandlers(IOBlock block, DeviceLostHandler lost);
    void clearHandlers();
    OSStatus setActive(bool active);

    void graphChanged() override;
    void connectionLost() override;

  private:
    // A link we asked the server for. Destroying the proxy destroys the link.
    struct Link {
        explicit Link(pw_proxy* proxy) : proxy(proxy) {}
        ~Link();
        Link(const Link&) = delete;
        Link& operator=(const Link&) = delete;
        pw_proxy* proxy;
    };

    void reconcile();
    void reportLost();
    void deliver(const spa_io_clock& clock);
    void handOn(const spa_io_clock& clock, std::uint32_t frames);
    void fillGap(const IOCycleTime& end, std::uint64_t missing, double nsPerFrame);
    void watchStoppedStreams();
    static void onWatchTimer(void* data, std::uint64_t expirations);
    static void onProcess(void* data, spa_io_position* position);
    static void onStateChanged(void* data, pw_filter_state old, pw_filter_state state,
                               const char* error);

    const std::shared_ptr<Connection> connection_;
    StreamSelection selection_;
    const std::string uid_;
    const std::uint32_t rate_;
    std::uint32_t node_ = SPA_ID_INVALID;

    // No stream and no converter in this process: the graph mixes and hands each port's samples
    // as they are, and the core interleaves them while it copies the block anyway.
    pw_filter* filter_ = nullptr;
    spa_hook filterListener_{};
    void* ports_[kChannels] = {};  // FL, FR: the filter's handles of our ports
    bool observing_ = false;
    bool failed_ = false;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::unique_ptr<Link>> links_;

    IOBlock block_;
    DeviceLostHandler lost_;
    bool running_ = false;  // between setActive(true) and setActive(false): the block is called
    GraphClockFit fit_;     // the loop owner's
    std::uint64_t handedOn_ = 0;  // the loop owner's: frames handed on since the node started
    // The loop owner's: when the graph last ran the node and for how long (its clock's
    // nanoseconds), and the playback nodes whose process is stopped, left unlinked until it goes
    // on (see watchStoppedStreams()).
    std::uint64_t lastCycleNs_ = 0;
    std::uint64_t cycleLengthNs_ = 0;
    std::set<std::uint32_t> held_;
    spa_source* watchTimer_ = nullptr;
    bool lostReported_ = false;
    // The one buffer list handed to the block (one buffer per port); it points into PipeWire's
    // buffers during the call.
    AudioBufferListStorage list_{kChannels};
    AudioBufferListStorage silence_{kChannels};  // the blocks of silence that fill a gap
};

}  // namespace qor::pipewire
