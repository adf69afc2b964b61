// What the code under test writes into a file descriptor, for in-process tests.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace qor::testing {

// Everything written into a pipe (or a stream socket) while `body(writeEnd)` runs. A thread of its
// own reads as the bytes come, so that a write larger than the pipe's buffer does not block; it
// pauses for `pause` after its first read, as a busy host would.
template <typename Body>
std::string readPipeWhile(Body body, bool socket = false, std::chrono::milliseconds pause = {}) {
    int fds[2];
    if ((socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : ::pipe(fds)) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            if (received.empty()) {
                std::this_thread::sleep_for(pause);
            }
            received.append(buffer, static_cast<std::size_t>(count));
        }
    });
    body(fds[1]);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    return received;
}

// Everything written to standard output (file descriptor 1) while `body()` runs.
template <typename Body>
std::string standardOutputOf(Body body, bool socket = false, std::chrono::milliseconds pause = {}) {
    return readPipeWhile(
        [&](int writeEnd) {
            ::fflush(stdout);
            const int saved = ::dup(1);
            ::dup2(writeEnd, 1);
            body();
            ::dup2(saved, 1);
            ::close(saved);
        },
        socket, pause);
}

}  // namespace qor::testing
