#include "OutputBacklog.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace qor {

namespace {

// The most one write hands the kernel: large, so a backlog drains in few calls.
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr int kWaitSliceMilliseconds = 50;
// The writer's sleep between bursts: a wake-up that slips past it costs at most this, which the
// kernel's own buffer covers; a longer sleep keeps an idle writer from waking often.
constexpr std::chrono::milliseconds kIdleSlice{200};
// At the stop, how long a reader that still reads may take nothing before it is not waited for: a
// busy host, or one that the machine's load keeps from running, pauses that long and reads on.
constexpr std::chrono::milliseconds kReaderPatience{250};

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

struct OutputBacklog::State {
    State(int fd, Mode mode, bool ownsDescriptor)
        : fd(fd), mode(mode), ownsDescriptor(ownsDescriptor), ring(new char[kCapacityBytes]) {}
    ~State() {
        if (ownsDescriptor) {
            ::close(fd);
        }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Writes what the output takes without waiting (blocking mode: what it takes).
    ssize_t writeSome(const char* bytes, std::size_t size) const {
        if (mode == Mode::socket) {
            return ::send(fd, bytes, size, MSG_DONTWAIT);
        }
        return ::write(fd, bytes, size);
    }

    const int fd;
    const Mode mode;
    const bool ownsDescriptor;
    const std::unique_ptr<char[]> ring;
    std::atomic<std::uint64_t> written{0};  // bytes ever queued; advanced by the I/O queue
    std::atomic<std::uint64_t> taken{0};    // bytes ever handed on; advanced by the writer
    // When the output last took bytes that waited (the writer), or when bytes began to wait after
    // the output had taken everything (the I/O queue): the reader's last sign of life.
    std::atomic<std::int64_t> lastTakenNs{0};
    std::atomic<std::uint32_t> wake{0};  // bumped to wake the writer
    std::atomic<bool> sleeping{false};   // the writer waits, or is about to, on `wakeUp`
    // The writer's alone: the producer only notifies, never locks, so a wake-up may slip past a
    // writer about to sleep; its sleep is bounded for that.
    std::mutex sleepLock;
    std::condition_variable wakeUp;
    std::atomic<int> failure{0};
    std::atomic<bool> finishing{false};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> exited{false};
};

OutputBacklog::OutputBacklog(int fd, Mode mode, bool ownsDescriptor)
    : state_(std::make_shared<State>(fd, mode, ownsDescriptor)) {
    std::thread([state = state_] { run(state); }).detach();
}

OutputBacklog::~OutputBacklog() {
    finish(std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

void OutputBacklog::run(const std::shared_ptr<State>& state) {
    State& s = *state;
    for (;;) {
        const std::uint32_t seen = s.wake.load(std::memory_order_acquire);
        const std::uint64_t taken = s.taken.load(std::memory_order_relaxed);
        const std::uint64_t written = s.written.load(std::memory_order_acquire);
        if (s.abandoned.load(std::memory_order_acquire) ||
            (taken == written && s.finishing.load(std::memory_order_acquire))) {
            break;
        }
        if (taken == written) {
            // Said before the last look, so that a producer either sees it and wakes us or
            // stored its bytes before that look (both sequentially consistent).
            s.sleeping.store(true);
            if (s.taken.load(std::memory_order_relaxed) == s.written.load() &&
                !s.finishing.load() && !s.abandoned.load()) {
                std::unique_lock lock(s.sleepLock);
                s.wakeUp.wait_for(lock, kIdleSlice, [&] { return s.wake.load() != seen; });
            }
            s.sleeping.store(false, std::memory_order_relaxed);
            continue;
        }
        const std::size_t offset = taken % kCapacityBytes;
        const std::size_t chunk =
            std::min<std::uint64_t>({written - taken, kCapacityBytes - offset, kChunkBytes});
        const ssize_t count = s.writeSome(s.ring.get() + offset, chunk);
        if (count > 0) {
            s.lastTakenNs.store(steadyNanoseconds(), std::memory_order_relaxed);
            s.taken.store(taken + static_cast<std::uint64_t>(count), std::memory_order_release);
            continue;
        }
        if (count < 0 && !wouldBlock(errno)) {
            s.failure.store(errno, std::memory_order_release);
            break;
        }
        pollfd writable{s.fd, POLLOUT, 0};
        ::poll(&writable, 1, kWaitSliceMilliseconds);
    }
    s.exited.store(true, std::memory_order_release);
}

int OutputBacklog::write(const char* bytes, std::size_t size) {
    State& s = *state_;
    if (const int failure = s.failure.load(std::memory_order_acquire); failure != 0) {
        return failure;
    }
    // Once finished, what the output takes at once still goes (never a wait, and never behind
    // bytes still waiting); the rest is dropped. Only this thread advances `written`, and from
    // now on it no longer does: once the writer has taken everything, it never writes again,
    // whether or not it has got round to leaving (a loaded machine may keep it asleep for longer
    // than finish() waits).
    if (s.finishing.load(std::memory_order_acquire)) {
        const bool alone =
            s.taken.load(std::memory_order_acquire) == s.written.load(std::memory_order_relaxed);
        const ssize_t count = alone && s.mode != Mode::blocking ? s.writeSome(bytes, size) : 0;
        droppedBytes_ += size - static_cast<std::size_t>(std::max<ssize_t>(count, 0));
        return 0;
    }
    const std::uint64_t written = s.written.load(std::memory_order_relaxed);
    std::uint64_t waiting = written - s.taken.load(std::memory_order_acquire);
    // Nothing waits before these bytes: straight to the output, the usual case and one call.
    if (waiting == 0 && owedBytes_ == 0 && s.mode != Mode::blocking) {
        const ssize_t count = s.writeSome(bytes, size);
        if (count < 0 && !wouldBlock(errno)) {
            s.failure.store(errno, std::memory_order_release);
            return errno;
        }
        const auto sent = static_cast<std::size_t>(std::max<ssize_t>(count, 0));
        bytes += sent;
        size -= sent;
        if (size == 0) {
            return 0;
        }
    }
    std::uint64_t end = written;
    const auto put = [&](const char* from, std::size_t count) {
        while (count > 0) {
            const std::size_t offset = end % kCapacityBytes;
            const std::size_t part = std::min(count, kCapacityBytes - offset);
            if (from != nullptr) {
                std::memcpy(s.ring.get() + offset, from, part);
                from += part;
            } else {
                std::memset(s.ring.get() + offset, 0, part);
            }
            end += part;
            count -= part;
        }
    };
    std::uint64_t room = kCapacityBytes - waiting;
    if (owedBytes_ > 0) {
        const std::uint64_t silence = std::min(owedBytes_, room);
        put(nullptr, static_cast<std::size_t>(silence));
        owedBytes_ -= silence;
        room -= silence;
    }
    if (owedBytes_ > 0 || size > room) {
        owedBytes_ += size;
        droppedBytes_ += size;
    } else {
        put(bytes, size);
    }
    if (end != written) {
        if (waiting == 0) {
            s.lastTakenNs.store(steadyNanoseconds(), std::memory_order_relaxed);
        }
        s.written.store(end);
        if (s.sleeping.load()) {
            s.wake.fetch_add(1, std::memory_order_release);
            s.wakeUp.notify_one();
        }
    }
    return 0;
}

void OutputBacklog::finish(std::chrono::steady_clock::time_point deadline) {
    if (finished_) {
        return;
    }
    finished_ = true;
    State& s = *state_;
    s.finishing.store(true, std::memory_order_release);
    s.wake.fetch_add(1, std::memory_order_release);
    s.wakeUp.notify_one();
    // A reader that has taken nothing for kReaderPatience is not waited for any longer. That
    // counts from its last take before the stop too: one that stopped reading long before is let
    // go at once, one that reads is given its pauses.
    const auto patience = std::chrono::nanoseconds(kReaderPatience).count();
    while (!s.exited.load(std::memory_order_acquire)) {
        const auto now = std::chrono::steady_clock::now();
        const std::int64_t idle = std::chrono::nanoseconds(now.time_since_epoch()).count() -
                                  s.lastTakenNs.load(std::memory_order_relaxed);
        if (now >= deadline || idle > patience) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // What the reader did not take in time is left; a writer stuck in a blocking write keeps the
    // state alive until it returns.
    s.abandoned.store(true, std::memory_order_release);
    s.wake.fetch_add(1, std::memory_order_release);
    s.wakeUp.notify_one();
}

}  // namespace qor
