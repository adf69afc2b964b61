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
        state->context.run();
    });
}

void IOQueue::stop() {
    if (!thread_.joinable()) {
        return;
    }
    state_->work.reset();
    state_->context.stop();
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
