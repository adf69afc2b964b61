#include "IOQueue.h"

#include <pthread.h>
#if defined(__APPLE__)
#include <pthread/qos.h>
#endif

namespace qor {

IOQueue::IOQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
    // Thread names are limited to 15 bytes; keep the label's distinctive tail.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    thread_ = std::thread([state = state_, name] {
#if defined(__APPLE__)
        pthread_setname_np(name.c_str());
        // The Core Audio queue that feeds this one runs at this class; a lower one would let
        // ordinary work delay every cycle on its way to the sink.
        pthread_set_qos_class_self_np(QOS_CLASS_USER_INTERACTIVE, 0);
#else
        pthread_setname_np(pthread_self(), name.c_str());
#endif
        state->run();
    });
}

// The io_context's own run() while there is no waiter, so that its handlers keep the memory they
// recycle; setWaiter() stops it to hand the thread over.
void IOQueue::State::run() {
    auto lastPoll = std::chrono::steady_clock::now();
    for (;;) {
        if (!waiter) {
            context.run();
            if (stopping.load(std::memory_order_acquire)) {
                return;
            }
            context.restart();
            // stop() marks itself before it stops the context, so a stop missed here stops the
            // context again after the restart.
            if (stopping.load(std::memory_order_acquire)) {
                return;
            }
            context.poll();  // what was queued behind the handover
            lastPoll = std::chrono::steady_clock::now();
            continue;
        }
        if (stopping.load(std::memory_order_acquire)) {
            return;
        }
        // Held here too: a handler run below may replace the waiter.
        const std::shared_ptr<Waiter> current = waiter;
        const bool woken = current->wait(kWaitBound);
        const auto now = std::chrono::steady_clock::now();
        if (woken || now - lastPoll >= kWaitBound) {
            lastPoll = now;
            if (context.stopped()) {
                context.restart();  // stopped by the handover to this waiter
            }
            if (stopping.load(std::memory_order_acquire)) {
                return;
            }
            context.poll();
        }
    }
}

void IOQueue::State::wake() {
    std::shared_ptr<Waiter> current;
    {
        std::lock_guard guard(wakerLock);
        current = waker;
    }
    if (current) {
        current->wake();
    }
}

void IOQueue::setWaiter(std::shared_ptr<Waiter> waiter) {
    {
        std::lock_guard guard(state_->wakerLock);
        state_->waker = waiter;
    }
    // The io_context's run() must return for the thread to take the waiter; a poll between waits
    // returns by itself.
    const bool leavesRun = !state_->waiter && waiter;
    state_->waiter = std::move(waiter);
    if (leavesRun) {
        state_->context.stop();
    }
}

void IOQueue::stop() {
    if (!thread_.joinable()) {
        return;
    }
    state_->stopping.store(true, std::memory_order_release);
    state_->work.reset();
    state_->context.stop();
    state_->wake();
    // A handler that held the last reference to the queue's owner ends up here on the queue's own
    // thread; it cannot join itself, and the shared state outlives it.
    if (isCurrentThread()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

namespace MainQueue {
boost::asio::io_context& context() {
    static auto* mainContext = new boost::asio::io_context(1);
    return *mainContext;
}

#if !defined(__APPLE__)
// Nothing else asks for the main thread here; macOS defines its own (MainRunLoop.cpp).
void run() {
    context().run();
}
#endif
}  // namespace MainQueue

}  // namespace qor
