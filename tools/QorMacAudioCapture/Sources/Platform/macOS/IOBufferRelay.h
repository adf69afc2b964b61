// Carries the input buffer lists that Core Audio hands to its own dispatch queue over to the
// capture's I/O queue, where the I/O block must run (it shares that queue with the diagnostics
// timer, so the two never overlap).
//
// Why a copy and a post rather than a synchronous hop: Core Audio's queue only copies the cycle
// into a slot it owns and returns, so it never waits for the I/O queue (nor for a diagnostics line
// being written there), and the list the block sees stays valid for as long as the block runs. The
// slots, their data and the memory of the posted handlers are allocated up front, so a steady
// capture allocates nothing per cycle; a slot grows only for a cycle larger than any before it.
// When every slot is still waiting on the I/O queue the cycle is dropped, like any block that
// cannot be delivered.
//
// Portable C++ on purpose: nothing here needs an Apple header.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "AudioHardware.h"
#include "IOQueue.h"

namespace qor::macos {

class IOBufferRelay : public std::enable_shared_from_this<IOBufferRelay> {
  public:
    static constexpr std::size_t kSlotCount = 8;
    // A stereo tap delivers one or two buffers; more than this are not read.
    static constexpr std::uint32_t kMaxBuffers = 16;
    // Enough for 8192 stereo float frames, interleaved or planar, before a slot must grow.
    static constexpr std::size_t kInitialSlotBytes = 64 * 1024;

    static std::shared_ptr<IOBufferRelay> create(IOQueue& queue, IOBlock block);
    ~IOBufferRelay();
    IOBufferRelay(const IOBufferRelay&) = delete;
    IOBufferRelay& operator=(const IOBufferRelay&) = delete;

    // Producer side: one serial thread at a time (Core Audio's dispatch queue). Copies `input`
    // and its time and posts them to the I/O queue; does nothing once closed.
    void deliver(const AudioBufferList& input, const IOCycleTime& time);

    // After this no deliver() posts anything. Lists already posted still reach the block.
    void close() { closed_.store(true, std::memory_order_release); }

  private:
    struct Slot;
    template <class T>
    class HandlerAllocator;
    struct Handler;

    IOBufferRelay(IOQueue& queue, IOBlock block);
    void copyInto(Slot& slot, const AudioBufferList& input);

    boost::asio::io_context::executor_type executor_;  // the I/O queue; immutable
    const IOBlock block_;                              // called on the I/O queue only
    std::array<std::unique_ptr<Slot>, kSlotCount> slots_;
    std::size_t next_ = 0;  // producer thread only
    std::atomic<bool> closed_{false};
};

}  // namespace qor::macos
