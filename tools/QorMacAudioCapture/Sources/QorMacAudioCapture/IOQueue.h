// Serial executors of the capture program, on Boost.Asio.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <thread>

namespace qor {

// A serial queue with a thread of its own, named after its label: one io_context run by one thread,
// so its handlers never overlap. The capture's I/O callback and its diagnostics timer run here, and
// so does each WebSocket connection on Linux.
class IOQueue {
  public:
    explicit IOQueue(std::string label);
    ~IOQueue() { stop(); }
    IOQueue(const IOQueue&) = delete;
    IOQueue& operator=(const IOQueue&) = delete;

    const std::string& label() const { return label_; }
    boost::asio::io_context& context() { return state_->context; }
    boost::asio::io_context::executor_type executor() { return state_->context.get_executor(); }
    bool isCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

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
