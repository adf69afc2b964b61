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

// How long one wait for the reader lasts before the sink looks again whether to stop waiting.
constexpr int kReaderWaitSliceMilliseconds = 50;

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
// sink takes a non-blocking description of its own; elsewhere it falls back to waiting in poll.
StandardOutputSink::StandardOutputSink() {
    constexpr int fd = Diagnostics::standardOutput;
    struct stat output {};
    if (::fstat(fd, &output) != 0) {
        return;
    }
    if (S_ISREG(output.st_mode)) {
        route_ = Route::file;
        return;
    }
    if (!S_ISFIFO(output.st_mode)) {
        return;
    }
    const int own = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat reopened {};
    if (own >= 0 && ::fstat(own, &reopened) == 0 && reopened.st_dev == output.st_dev &&
        reopened.st_ino == output.st_ino) {
        ownPipe_ = own;
        route_ = Route::ownPipe;
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

StandardOutputSink::~StandardOutputSink() {
    if (ownPipe_ >= 0) {
        ::close(ownPipe_);
    }
}

int StandardOutputSink::deliver(const char* bytes, std::size_t size) {
    switch (route_) {
        case Route::file:
            return writeAll(Diagnostics::standardOutput, bytes, size);
        case Route::ownPipe:
            return deliverToOwnPipe(bytes, size);
        case Route::polled:
            return deliverPolled(bytes, size);
    }
    return 0;
}

// A non-blocking write takes what fits and never sits in the kernel, so a block usually costs one
// system call; only a full pipe makes the sink wait, in poll and in slices, until it is told to
// stop waiting. Then it writes only what fits at once and drops the rest.
int StandardOutputSink::deliverToOwnPipe(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(ownPipe_, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN) {
            return errno;
        }
        if (stopWaiting_.load(std::memory_order_acquire)) {
            return 0;
        }
        pollfd writable{ownPipe_, POLLOUT, 0};
        ::poll(&writable, 1, kReaderWaitSliceMilliseconds);
    }
    return 0;
}

// A blocking write would sit in the kernel until the reader takes the bytes, out of reach of a
// stop. Instead the sink waits in poll, in slices, and then writes at most PIPE_BUF bytes: a pipe
// that polls writable takes that many without blocking. Once told to stop waiting, it writes only
// what fits at once and drops the rest.
int StandardOutputSink::deliverPolled(const char* bytes, std::size_t size) {
    constexpr int fd = Diagnostics::standardOutput;
    while (size > 0) {
        const bool stopping = stopWaiting_.load(std::memory_order_acquire);
        pollfd writable{fd, POLLOUT, 0};
        const int ready = ::poll(&writable, 1, stopping ? 0 : kReaderWaitSliceMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            if (stopping) {
                return 0;
            }
            continue;
        }
        // Ready, hung up, in error or not pollable at all: the write tells which (and a reader
        // that has gone raises the broken-pipe signal as before).
        const ssize_t written = ::write(fd, bytes, std::min<std::size_t>(size, PIPE_BUF));
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
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
