#include "AudioSinks.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "Diagnostics.h"

namespace qor {

static_assert(sizeof(float) == 4);

namespace {

#ifdef F_SETPIPE_SZ
// What the sink asks of a pipe it writes to: close to three seconds of float32 stereo at 48 kHz,
// and the most an unprivileged process may ask for by default. The pipe's usual 64 KiB hold four
// graph cycles of 2048 frames: a reader that pauses for a sixth of a second makes the audio
// callback wait, and the cycles the graph runs meanwhile are lost to the capture. The kernel takes
// pages only for bytes that wait.
constexpr int kPipeCapacityBytes = 1 << 20;
#endif

}  // namespace

int writeAll(int fileDescriptor, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fileDescriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

std::string outputWriteFailedMessage(int error) {
    return std::string("output_write_failed:") + std::strerror(error);
}

// Standard output's file description is shared with the parent, so the sink may not make it
// non-blocking. Where the system lets a process open its own pipe again (Linux, through /proc), the
// sink takes a non-blocking description of its own; a socket is sent to without waiting; anything
// else is written by the backlog's thread alone.
StandardOutputSink::StandardOutputSink() {
    constexpr int fd = Diagnostics::standardOutput;
    struct stat output {};
    if (::fstat(fd, &output) == 0 && S_ISREG(output.st_mode)) {
        route_ = Route::file;
        return;
    }
    OutputBacklog::Mode mode = OutputBacklog::Mode::blocking;
    int target = fd;
    if (::fstat(fd, &output) == 0 && S_ISSOCK(output.st_mode)) {
        mode = OutputBacklog::Mode::socket;
    } else if (::fstat(fd, &output) == 0 && S_ISFIFO(output.st_mode)) {
        const int own = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat reopened {};
        if (own >= 0 && ::fstat(own, &reopened) == 0 && reopened.st_dev == output.st_dev &&
            reopened.st_ino == output.st_ino) {
            ownPipe_ = own;
            target = own;
            mode = OutputBacklog::Mode::nonBlocking;
#ifdef F_SETPIPE_SZ
            // Only ever larger; where the system refuses, the pipe stays as it was.
            if (::fcntl(own, F_GETPIPE_SZ) < kPipeCapacityBytes) {
                ::fcntl(own, F_SETPIPE_SZ, kPipeCapacityBytes);
            }
#endif
        } else if (own >= 0) {
            ::close(own);
        }
    }
    // The backlog's writer may still use our own pipe after the sink is gone: it closes it.
    backlog_ = std::make_unique<OutputBacklog>(target, mode, ownPipe_ >= 0);
}

StandardOutputSink::~StandardOutputSink() = default;

void StandardOutputSink::stopWaiting() {
    if (!stopBegan_) {
        stopBegan_ = std::chrono::steady_clock::now();
    }
}

// The stop's one second, counted from its beginning, bounds the hand-over of what waits.
void StandardOutputSink::close() {
    if (backlog_) {
        stopWaiting();
        backlog_->finish(*stopBegan_ + std::chrono::milliseconds(900));
    }
}

std::uint64_t StandardOutputSink::droppedFrames() const {
    return backlog_ ? backlog_->droppedFrames() : 0;
}

int StandardOutputSink::deliver(const char* bytes, std::size_t size) {
    if (route_ == Route::file) {
        return writeAll(Diagnostics::standardOutput, bytes, size);
    }
    return backlog_->write(bytes, size);
}

void StandardOutputSink::write(std::span<const float> floatStereo) {
    if (floatStereo.empty() || failure_ != 0) {
        return;
    }
    if constexpr (std::endian::native == std::endian::little) {
        failure_ =
            deliver(reinterpret_cast<const char*>(floatStereo.data()), floatStereo.size_bytes());
    } else {
        if (swapped_.size() < floatStereo.size()) {
            swapped_.resize(floatStereo.size());
        }
        for (std::size_t i = 0; i < floatStereo.size(); ++i) {
            std::uint32_t bits;
            std::memcpy(&bits, &floatStereo[i], 4);
            swapped_[i] = __builtin_bswap32(bits);
        }
        failure_ = deliver(reinterpret_cast<const char*>(swapped_.data()), floatStereo.size() * 4);
    }
}

}  // namespace qor
