// The main thread's wait during a capture on macOS. The HAL delivers its property notifications on
// the main run loop unless told otherwise, and the system's frameworks post to the main dispatch
// queue; both stall while the main thread sleeps anywhere else. So the thread sleeps in the run
// loop (which also drains the main queue) and, between turns, runs what the program's own main
// queue has due: the termination-signal handlers and the stop they call.
#include <CoreFoundation/CoreFoundation.h>

#include "IOQueue.h"

namespace qor::MainQueue {

namespace {
// How long the run loop may sleep before the program's queue is looked at again: the longest a
// termination signal waits for its handler. A signal's handler only stops the capture, so a tenth
// of a second is not noticed, and the thread wakes ten times a second at most.
constexpr CFTimeInterval kTurn = 0.1;
}  // namespace

void run() {
    auto& queue = context();
    while (!queue.stopped()) {
        queue.poll();
        if (queue.stopped()) {
            break;
        }
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, kTurn, true);
    }
}

}  // namespace qor::MainQueue
