// One connection to the PipeWire server: its own pw_loop (no thread of its own), the registry
// mirrored into a Graph, the server's version and graph rate, and the rules for which thread may
// run the loop.
//
// Loop ownership. Every PipeWire call on this connection comes from the thread that owns the loop,
// and the owner keeps the loop entered (pw_loop_enter) for as long as it owns it. That matters:
// PipeWire runs a call sent to a loop that nobody has entered at once, on the sending thread.
//  - Detached: the thread that opened the connection (the main thread) owns the loop and iterates
//    it inside each operation, for bounded waits only.
//  - Attached to an IOQueue (from the I/O proc's creation until the last tap on the connection is
//    destroyed): the queue's thread owns it, and sleeps in the data loop (the queue's Waiter), to
//    which the loop's epoll fd and a wake-up eventfd for the queue's posts are added. The process
//    callback thus runs on the queue itself and hands PipeWire's buffer to the I/O block without a
//    copy. Operations from the main thread are run there by perform(). Ownership only changes
//    hands while no node of ours is running, so nothing is sent to the loop in the instant
//    between one owner's leave and the other's enter.
//
// The data loop. PipeWire would run the graph's side of our nodes (the node's wake-up, buffer
// exchange, the process callback) on a thread of its own, which then had to wake the owner's
// thread for every cycle as well. The connection stops that thread and runs the context's data
// loop on the loop owner's thread instead (nested in its own loop while detached, the queue's wait
// while attached), so one cycle wakes one thread once, as on PipeWire's own data thread: the loop
// owner's, which takes PipeWire's real-time priority for a data thread while it has the loop.
// Nobody enters the data loop, so PipeWire's calls into it run at once on the calling thread,
// which is always the owner.
//
// Every field below belongs to the owner of the loop unless its comment says otherwise.
#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "IOQueue.h"
#include "PipeWireGraph.h"
#include "PipeWireStatus.h"

namespace qor::pipewire {

// Waits on the server are bounded by this, so a server that accepts the connection but never
// answers costs a few seconds, never a hang.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};
// Longer than any bounded operation, so it only expires when the queue itself is stuck.
inline constexpr std::chrono::milliseconds kQueueTimeout{5000};
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
    void dispatchPending() { drain(); }

    const Graph& graph() const { return graph_; }
    // Whether a playback stream's node is in the running state (the graph schedules it). A
    // stream is bound for its info when it appears; false until that info has arrived.
    bool streamRunning(std::uint32_t node) const { return runningStreams_.contains(node); }
    const std::string& serverVersion() const { return version_; }
    std::uint32_t rate() const;
    pw_core* core() const { return core_; }
    pw_loop* loop() const { return loop_; }
    void addObserver(ConnectionObserver* observer);
    void removeObserver(ConnectionObserver* observer);

    // --- Any thread ---
    bool lost() const { return lost_.load(std::memory_order_acquire); }

    // --- The main thread ---

    // Runs `operation` (returning OSStatus) where the loop is owned: at once when detached, else on
    // the I/O queue, waiting for it. The operation may refer to the caller's locals: if the queue
    // does not take it up in time it is never run at all.
    template <class Operation>
    OSStatus perform(Operation&& operation);
    // Hands the loop to `queue`, which must outlive the attachment. Fails when another queue has
    // it. Call it only while no capture node on the connection is active.
    OSStatus attach(IOQueue& queue);
    // Takes the loop back from the queue; afterwards the queue never touches this connection.
    // Call it only once the connection has no capture node left.
    OSStatus detach();
    bool attached() const { return queue_ != nullptr; }

  private:
    class LoopWaiter;
    struct BoundClient;

    Connection() = default;
    OSStatus connect(Clock::time_point deadline);
    void setRealtime(bool realtime);
    bool watchDataLoop();
    bool drain();
    static void onDataLoopReady(void* data, int fd, std::uint32_t mask);
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

    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_loop* dataLoop_ = nullptr;  // the context's
    // The data loop's fd as a source of loop_, which runs the data loop while detached. Main thread
    // only: attach() takes it out (loop_'s fd goes into the data loop then), detach() puts it back.
    spa_source* dataSource_ = nullptr;
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
    std::atomic<bool> lost_{false};  // written by the owner, read anywhere

    // Main thread only.
    IOQueue* queue_ = nullptr;
    std::shared_ptr<LoopWaiter> waiter_;  // the queue's wait while attached
    bool wedged_ = false;  // the queue once failed to take a request up; never wait on it again
};

// pw_loop_iterate is a macro whose interface version check compares an unsigned field with an int
// literal; clang reports that as a sign comparison in the caller.
inline int iterateLoop(pw_loop* loop, int timeoutMilliseconds) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    return pw_loop_iterate(loop, timeoutMilliseconds);
#pragma GCC diagnostic pop
}

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
        iterateLoop(loop_, static_cast<int>(left));
    }
    return lost() ? kStatusServerLost : kAudioHardwareNoError;
}

template <class Operation>
OSStatus Connection::perform(Operation&& operation) {
    if (queue_ == nullptr || queue_->isCurrentThread()) {
        return operation();
    }
    if (wedged_) {
        return kStatusQueueTimeout;
    }
    struct Job {
        std::atomic<bool> claimed{false};
        std::promise<OSStatus> done;
    };
    auto job = std::make_shared<Job>();
    auto result = job->done.get_future();
    auto* run = &operation;
    queue_->post([job, run] {
        if (job->claimed.exchange(true)) {
            return;  // the caller gave up; `run` may be gone
        }
        job->done.set_value((*run)());
    });
    if (result.wait_for(kQueueTimeout) == std::future_status::ready) {
        return result.get();
    }
    if (!job->claimed.exchange(true)) {
        wedged_ = true;
        return kStatusQueueTimeout;
    }
    // The queue is running it; every operation is bounded, so this ends.
    return result.get();
}

}  // namespace qor::pipewire
