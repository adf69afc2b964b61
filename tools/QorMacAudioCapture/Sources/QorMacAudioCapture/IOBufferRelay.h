// Carries the input buffer lists that Core Audio hands to its own dispatch queue over to the
// capture's I/O queue, where the I/O block must run (it shares that queue with the diagnostics
// timer, so the two never overlap).
//
// Why a copy and a hand-over rather than a synchronous hop: Core Audio's queue only copies the
// cycle into a slot of a ring and returns, so it never waits for the I/O queue (nor for a line
// being written there), and the list the block sees stays valid for as long as the block runs. The
// ring holds at least half a second of cycles (sized from the device's buffer), so an I/O queue
// held up by a slow host loses nothing for that long. Slots are single-producer single-consumer,
// handed over by an atomic flag each: no lock. The I/O queue is woken only when it has drained the
// ring and gone idle; while it works through the ring, a new cycle costs no system call and no
// post. The slots, their data and the one posted handler's memory are allocated up front, so a
// steady capture allocates nothing per cycle; a slot grows only for a cycle larger than any before
// it. When every slot still waits, the cycle is dropped and counted; its frames come back as
// silence, since the next cycle's sample time shows the gap.
//
// Portable C++ on purpose: nothing here needs an Apple header, and the tests run it on Linux.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "AudioHardware.h"
#include "HandlerSlots.h"
#include "IOQueue.h"

namespace qor {

class IOBufferRelay : public std::enable_shared_from_this<IOBufferRelay> {
  public:
    // A stereo tap delivers one or two buffers; more than this are not read.
    static constexpr std::uint32_t kMaxBuffers = 16;
    // Enough for 8192 stereo float frames, interleaved or planar, before a slot must grow.
    static constexpr std::size_t kInitialSlotBytes = 64 * 1024;
    static constexpr std::size_t kMinimumSlots = 8;
    static constexpr std::size_t kMaximumSlots = 1024;

    // Enough slots for half a second of cycles of `framesPerCycle` at `sampleRate`.
    static std::size_t slotsFor(double sampleRate, std::uint32_t framesPerCycle);

    static std::shared_ptr<IOBufferRelay> create(IOQueue& queue, IOBlock block,
                                                 std::size_t slotCount = kMinimumSlots);
    ~IOBufferRelay();
    IOBufferRelay(const IOBufferRelay&) = delete;
    IOBufferRelay& operator=(const IOBufferRelay&) = delete;

    // Producer side: one serial thread at a time (Core Audio's dispatch queue). Copies `input`
    // and its time into the next slot and wakes the I/O queue if it is idle; does nothing once
    // closed.
    void deliver(const AudioBufferList& input, const IOCycleTime& time);

    // After this no deliver() queues anything. Lists already queued still reach the block.
    void close() { closed_.store(true, std::memory_order_release); }
    std::size_t slotCount() const { return slots_.size(); }
    // Cycles dropped because every slot still waited; any thread.
    std::uint64_t droppedCycles() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    struct Slot;
    // At most one drain is posted at a time.
    using DrainSlots = HandlerSlots<1>;
    struct Drain;

    IOBufferRelay(IOQueue& queue, IOBlock block, std::size_t slotCount);
    void copyInto(Slot& slot, const AudioBufferList& input);
    // On the I/O queue: runs the block for every queued slot in order, until the ring is empty.
    void drain();

    boost::asio::io_context::executor_type executor_;  // the I/O queue; immutable
    const IOBlock block_;                              // called on the I/O queue only
    std::vector<std::unique_ptr<Slot>> slots_;         // the ring; its size is fixed
    std::size_t produced_ = 0;                         // producer thread only: the next slot
    std::size_t consumed_ = 0;                         // I/O queue only: the next slot
    // True from the post of a drain until it has emptied the ring and said so.
    std::atomic<bool> draining_{false};
    std::atomic<bool> closed_{false};
    std::atomic<std::uint64_t> dropped_{0};
    // The one drain that can be posted at a time lives here, not on the heap.
    DrainSlots drainSlots_;
};

}  // namespace qor
