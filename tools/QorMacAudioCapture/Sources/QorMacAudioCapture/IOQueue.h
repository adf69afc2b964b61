// Serial executors of the capture program, on Boost.Asio.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qor {

// A serial queue with a thread of its own, named after its label: one io_context run by one thread,
// so its handlers never overlap. The capture's I/O callback and its diagnostics timer run here, and
// so does each WebSocket connection on Linux.
//
// A backend whose events come from an event loop of its own may give the thread a Waiter: the
// thread then sleeps in that loop instead of the io_context's, so each of the loop's events costs
// one wake-up rather than two (the io_context's and the loop's). Between waits the thread runs the
// io_context's ready handlers when a post woke it, and at least every kWaitBound otherwise, which
// keeps the io_context's timers that close to their time.
class IOQueue {
  public:
    static constexpr std::chrono::milliseconds kWaitBound{200};

    class Waiter {
      public:
        virtual ~Waiter() = default;
        // The queue's thread: waits at most `bound`, running the loop's own events meanwhile. True
        // when wake() was called since the last wait began.
        virtual bool wait(std::chrono::milliseconds bound) = 0;
        // Any thread: ends the wait in progress, or the next one, at once.
        virtual void wake() = 0;
    };

    explicit IOQueue(std::string label);
    ~IOQueue() { stop(); }
    IOQueue(const IOQueue&) = delete;
    IOQueue& operator=(const IOQueue&) = delete;

    const std::string& label() const { return label_; }
    boost::asio::io_context& context() { return state_->context; }
    boost::asio::io_context::executor_type executor() { return state_->context.get_executor(); }
    bool isCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Any thread: queues `handler` and wakes the thread, whichever wait it sleeps in. Work posted
    // to the executor directly from another thread waits up to kWaitBound while a Waiter is set.
    template <class Handler>
    void post(Handler&& handler) {
        boost::asio::post(state_->context, std::forward<Handler>(handler));
        state_->wake();
    }
    // The queue's thread only (from a handler or the waiter's own events): the wait the thread
    // sleeps in from now on; nullptr gives it back to the io_context.
    void setWaiter(std::shared_ptr<Waiter> waiter);

    // Ends the thread; handlers not yet run are dropped with the context, never called. Called by
    // the owner, on its thread or on the queue's own, as often as it likes.
    void stop();

  private:
    // Shared with the thread so that a queue stopped from its own thread stays valid until the
    // running handler has returned.
    struct State {
        boost::asio::io_context context{1};
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
            boost::asio::make_work_guard(context)};
        std::atomic<bool> stopping{false};  // set once, by stop()
        std::shared_ptr<Waiter> waiter;     // the queue's thread only
        std::mutex wakerLock;
        std::shared_ptr<Waiter> waker;  // the same waiter, for other threads; under wakerLock

        void run();
        void wake();
    };
    // Set by the constructor; only stop() changes the thread, on the owner's side.
    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// The main thread's event loop: the entry blocks in it during a capture and the termination-signal
// handlers run in it. Process-wide, created on first use, never destroyed.
namespace MainQueue {
boost::asio::io_context& context();
// Runs context() on the main thread until it is stopped. On macOS the thread serves the main run
// loop and the main dispatch queue meanwhile: the HAL and AppKit attach their work there.
void run();
}  // namespace MainQueue

}  // namespace qor
