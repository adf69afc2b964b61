// Linux: a pidfd of the watched process becomes readable when it exits. It names that process and
// no other, whoever reaps it, unlike a pid polled by number. Kernels before 5.3 have no pidfd; the
// watch then asks every 200 ms whether the pid still exists.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "HostWatch.h"

namespace qor::hostwatch {

void watchProcessExit(std::int32_t pid, std::function<void()> exited) {
    const int descriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    const bool gone = descriptor < 0 && errno == ESRCH;
    std::thread([descriptor, gone, pid, exited = std::move(exited)] {
        if (descriptor >= 0) {
            pollfd ready{descriptor, POLLIN, 0};
            while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
            }
            ::close(descriptor);
        } else if (!gone) {
            while (::kill(pid, 0) == 0 || errno == EPERM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
        exited();
    }).detach();
}

}  // namespace qor::hostwatch
