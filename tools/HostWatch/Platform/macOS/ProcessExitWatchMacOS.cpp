// macOS: a dispatch source of the process's exit, on a global queue, kept for the process's life.
#include <dispatch/dispatch.h>
#include <errno.h>
#include <signal.h>

#include <atomic>

#include "HostWatch.h"

namespace qor::hostwatch {

namespace {

// The source fires once; the check after it is made may find the process gone as well.
struct ExitHandler {
    std::function<void()> exited;
    std::atomic<bool> fired{false};
    static void run(void* context) {
        auto* handler = static_cast<ExitHandler*>(context);
        if (!handler->fired.exchange(true)) {
            handler->exited();
        }
    }
};

bool gone(std::int32_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

void watchProcessExit(std::int32_t pid, std::function<void()> exited) {
    auto* handler = new ExitHandler{std::move(exited)};  // lives as long as the watch
    dispatch_queue_t queue = dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0);
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_PROC, static_cast<uintptr_t>(pid), DISPATCH_PROC_EXIT, queue);
    if (source != nullptr) {
        dispatch_set_context(source, handler);
        dispatch_source_set_event_handler_f(source, &ExitHandler::run);
        dispatch_resume(source);
    }
    // A process that had exited before the source was made never fires it.
    if (source == nullptr || gone(pid)) {
        dispatch_async_f(queue, handler, &ExitHandler::run);
    }
}

}  // namespace qor::hostwatch
