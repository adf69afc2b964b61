// What standard output cannot take at once waits here, so a host that stops reading for a while
// (busy, paused, swapping) loses nothing, whatever standard output is: a pipe, a socket pair (which
// Node.js and Electron give their children, and whose kernel buffer holds a fraction of a second),
// a terminal. A thread of its own hands the waiting audio on as the reader takes it, in large
// chunks; the I/O queue never waits for the reader.
//
// Threads: write() and droppedFrames() on the I/O queue, finish() on the main thread, and the
// writer thread. The ring is single-producer single-consumer: the I/O queue only advances
// `written`, the writer only `taken`; no lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

namespace qor {

class OutputBacklog {
  public:
    // How the output takes bytes: a descriptor of our own that never blocks, a socket sent to
    // without waiting, or a shared descriptor that may block (only the writer thread writes then).
    enum class Mode { nonBlocking, socket, blocking };
    // Three seconds of float32 stereo at 48 kHz, on top of what the kernel holds. Pages are touched
    // only when audio waits.
    static constexpr std::size_t kCapacityBytes = std::size_t{48000} * 8 * 3;

    // With `ownsDescriptor`, the descriptor is closed once the writer thread is done with it,
    // which may be after the backlog is gone.
    OutputBacklog(int fd, Mode mode, bool ownsDescriptor = false);
    ~OutputBacklog();
    OutputBacklog(const OutputBacklog&) = delete;
    OutputBacklog& operator=(const OutputBacklog&) = delete;

    // Delivers the bytes, or queues what the output does not take at once. When the queue is full
    // the bytes are dropped, counted and owed: the same number of zero bytes (silence, whole
    // frames) goes out before the next bytes that find room, so the stream keeps its length.
    // Returns 0, or the errno of a write that failed here or on the writer thread.
    int write(const char* bytes, std::size_t size);
    std::uint64_t droppedFrames() const { return droppedBytes_ / 8; }
    // Hands on what waits while the reader takes it, until `deadline`; later writes are dropped.
    // Idempotent.
    void finish(std::chrono::steady_clock::time_point deadline);

  private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    // Shared with the writer thread, which may outlive the backlog when it is stuck in a
    // blocking write at the end.
    std::shared_ptr<State> state_;
    // I/O queue only.
    std::uint64_t owedBytes_ = 0;
    std::uint64_t droppedBytes_ = 0;
    // Main thread only.
    bool finished_ = false;
};

}  // namespace qor
