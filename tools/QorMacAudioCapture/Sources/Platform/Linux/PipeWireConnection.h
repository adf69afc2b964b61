// One connection to the PipeWire server: its own pw_loop (no thread of its own), the registry
// mirrored into a Graph, and the server's version and graph rate.
//
// Which thread may run the loop is OwnedLoop's to say (PipeWireLoop.h).
//
// Every field below belongs to the owner of the loop unless its comment says otherwise.
#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "IOQueue.h"
#include "PipeWireGraph.h"
#include "PipeWireLoop.h"
#include "PipeWireStatus.h"

namespace qor::pipewire {

// Waits on the server are bounded by this, so a server that accepts the connection but never
// answers costs a few seconds, never a hang.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};
// The server sends every change of the graph as it happens, so a round trip answered this recently
// plus what has arrived since is as current as a new one. The questions a capture asks while it
// starts, a fraction of a millisecond apart, thus share one round trip.
inline constexpr std::chrono::milliseconds kAnswerFreshFor{5};

// Told about the graph and the connection, on the loop owner's thread.
class ConnectionObserver {
  public:
    virtual void graphChanged() = 0;
    virtual void connectionLost() = 0;

  protected:
    ~ConnectionObserver() = default;
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    using Clock = std::chrono::steady_clock;

    // Connects with the environment's settings and waits (bounded) for the server's first answers:
    // its version, the registry and the settings. nullptr and a status when that fails.
    static std::shared_ptr<Connection> open(OSStatus& status);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // --- On the loop owner's thread (inside perform()) ---

    // Iterates the loop until `done()` holds, the deadline passes (kStatusServerTimeout) or the
    // connection breaks (kStatusServerLost).
    template <class Predicate>
    OSStatus waitUntil(Predicate done, Clock::time_point deadline);
    // Waits until the server has handled everything sent so far.
    OSStatus sync(Clock::time_point deadline);
    // The same, unless a round trip was answered within kAnswerFreshFor: then what has arrived
    // since is run, without waiting.
    OSStatus syncUnlessFresh(Clock::time_point deadline);
    // Brings the graph up to date, clients' application properties included (syncUnlessFresh,
    // then a round trip for any client still undescribed).
    OSStatus refresh(Clock::time_point deadline);
    // Runs what the loop has ready now, without waiting.
    void dispatchPending() { loop_.drain(); }

    const Graph& graph() const { return graph_; }
    // Whether a playback stream's node is in the running state (the graph schedules it). A
    // stream is bound for its info when it appears; false until that info has arrived.
    bool streamRunning(std::uint32_t node) const { return runningStreams_.contains(node); }
    const std::string& serverVersion() const { return version_; }
    std::uint32_t rate() const;
    pw_core* core() const { return core_; }
    pw_loop* loop() const { return loop_.loop(); }
    void addObserver(ConnectionObserver* observer);
    void removeObserver(ConnectionObserver* observer);

    // --- Any thread ---
    bool lost() const { return lost_.load(std::memory_order_acquire); }

    // --- The main thread ---

    // Runs `operation` (returning OSStatus) where the loop is owned: at once when detached, else on
    // the I/O queue, waiting for it. The operation may refer to the caller's locals: if the queue
    // does not take it up in time it is never run at all.
    template <class Operation>
    OSStatus perform(Operation&& operation) {
        return loop_.perform(std::forward<Operation>(operation));
    }
    // Hands the loop to `queue`, which must outlive the attachment. Fails when another queue has
    // it. Call it only while no capture node on the connection is active.
    OSStatus attach(IOQueue& queue);
    // Takes the loop back from the queue; afterwards the queue never touches this connection.
    // Call it only once the connection has no capture node left.
    OSStatus detach() { return loop_.detach(); }
    bool attached() const { return loop_.attached(); }

  private:
    struct BoundClient;

    Connection() = default;
    OSStatus connect(Clock::time_point deadline);
    void notifyGraphChanged();
    // A proxy of the object with its owner and id; its listener is the caller's to add.
    std::unique_ptr<BoundClient> bind(std::uint32_t id, const char* type, std::uint32_t version);
    void bindStream(std::uint32_t id);
    void markLost();

    static void onCoreInfo(void* data, const pw_core_info* info);
    static void onCoreDone(void* data, std::uint32_t id, int seq);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static void onClientInfo(void* data, const pw_client_info* info);
    static void onNodeInfo(void* data, const pw_node_info* info);
    static int onMetadataProperty(void* data, std::uint32_t subject, const char* key,
                                  const char* type, const char* value);

    std::atomic<bool> lost_{false};  // written by the owner, read anywhere
    // Before the rest, so that it goes after the context made on it.
    OwnedLoop loop_{lost_};
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_proxy* settings_ = nullptr;  // the "settings" metadata, once announced
    std::uint32_t settingsID_ = SPA_ID_INVALID;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook settingsListener_{};
    std::vector<std::unique_ptr<BoundClient>> clients_;
    std::vector<std::unique_ptr<BoundClient>> streams_;  // playback streams, bound for their state
    std::set<std::uint32_t> runningStreams_;

    Graph graph_;
    std::string version_;
    bool infoReceived_ = false;
    std::optional<std::uint32_t> defaultRate_, settingsRate_, forcedRate_;
    int pendingSeq_ = 0;
    int doneSeq_ = -1;
    std::optional<Clock::time_point> lastAnswer_;  // when the last round trip was answered
    std::vector<ConnectionObserver*> observers_;
};

template <class Predicate>
OSStatus Connection::waitUntil(Predicate done, Clock::time_point deadline) {
    while (!done()) {
        if (lost()) {
            return kStatusServerLost;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return kStatusServerTimeout;
        }
        loop_.iterate(static_cast<int>(left));
    }
    return lost() ? kStatusServerLost : kAudioHardwareNoError;
}

}  // namespace qor::pipewire
