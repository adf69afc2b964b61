#include "AudioSinks.h"

#include <poll.h>
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

}  // namespace

// A blocking write would sit in the kernel until the reader takes the bytes, out of reach of a
// stop. Instead the sink waits in poll, in slices, and then writes at most PIPE_BUF bytes: a pipe
// that polls writable takes that many without blocking. Once told to stop waiting, it writes only
// what fits at once and drops the rest.
void StandardOutputSink::deliver(const char* bytes, std::size_t size) {
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
                return;
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
            return;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

void StandardOutputSink::write(std::span<const float> floatStereo) {
    if (floatStereo.empty()) {
        return;
    }
    if constexpr (std::endian::native == std::endian::little) {
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
        deliver(reinterpret_cast<const char*>(swapped_.data()), floatStereo.size() * 4);
    }
}

}  // namespace qor
