// Loop ownership. Every PipeWire call on a connection comes from the thread that owns its loop, and
// the owner keeps the loop entered (pw_loop_enter) for as long as it owns it. That matters:
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

#include "IOQueue.h"
#include "PipeWireStatus.h"

namespace qor::pipewire {

// Longer than any bounded operation, so it only expires when the queue itself is stuck.
inline constexpr std::chrono::milliseconds kQueueTimeout{5000};

// pw_loop_iterate is a macro whose interface version check compares an unsigned field with an int
// literal; clang reports that as a sign comparison in the caller.
inline int iterateLoop(pw_loop* loop, int timeoutMilliseconds) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    return pw_loop_iterate(loop, timeoutMilliseconds);
#pragma GCC diagnostic pop
}

// A connection's loop and the context's data loop, and who owns them.
class OwnedLoop {
  public:
    // `lost` tells that the server has gone; it outlives the loop.
    explicit OwnedLoop(const std::atomic<bool>& lost) : lost_(lost) {}
    // Leaves and destroys the loop, unless a queue still has it (a stuck queue may still run it).
    ~OwnedLoop();
    OwnedLoop(const OwnedLoop&) = delete;
    OwnedLoop& operator=(const OwnedLoop&) = delete;

    // --- The opening thread, before anything else ---

    // Creates the loop and enters it: the calling thread owns it from now on. False when the system
    // refuses.
    bool open();
    pw_loop* loop() const { return loop_; }
    // Stops the data thread of `context` (made on this loop) and runs its data loop from this loop.
    bool adoptDataLoop(pw_context* context);
    // Before the context goes: this loop no longer runs its data loop.
    void releaseDataLoop();

    // --- On the loop owner's thread ---

    // One round of the loop, waiting at most `timeoutMilliseconds`.
    int iterate(int timeoutMilliseconds) { return iterateLoop(loop_, timeoutMilliseconds); }
    // Runs what the loop has ready now, without waiting. True when nothing was left.
    bool drain();

    // --- The main thread ---

    // Runs `operation` (returning OSStatus) where the loop is owned: at once when detached, else on
    // the I/O queue, waiting for it. The operation may refer to the caller's locals: if the queue
    // does not take it up in time it is never run at all.
    template <class Operation>
    OSStatus perform(Operation&& operation);
    // Hands the loop to `queue`, which must outlive the attachment; `owner` (what holds this loop)
    // is kept alive until the queue has given the loop back. Fails when another queue has it. Call
    // it only while no capture node on the connection is active.
    OSStatus attach(IOQueue& queue, std::shared_ptr<void> owner);
    // Takes the loop back from the queue; afterwards the queue never touches this loop. Call it
    // only once the connection has no capture node left.
    OSStatus detach();
    bool attached() const { return queue_ != nullptr; }

  private:
    class Waiter;

    void setRealtime(bool realtime);
    bool watchDataLoop();
    static void onDataLoopReady(void* data, int fd, std::uint32_t mask);

    const std::atomic<bool>& lost_;  // any thread
    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;  // the data loop's, for the real-time module
    pw_loop* dataLoop_ = nullptr;    // the context's
    // The data loop's fd as a source of loop_, which runs the data loop while detached. Main thread
    // only: attach() takes it out (loop_'s fd goes into the data loop then), detach() puts it back.
    spa_source* dataSource_ = nullptr;

    // Main thread only.
    IOQueue* queue_ = nullptr;
    std::shared_ptr<Waiter> waiter_;  // the queue's wait while attached
    bool wedged_ = false;  // the queue once failed to take a request up; never wait on it again
};

template <class Operation>
OSStatus OwnedLoop::perform(Operation&& operation) {
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
