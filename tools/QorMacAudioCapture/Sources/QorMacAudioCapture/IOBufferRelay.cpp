#include "IOBufferRelay.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cmath>
#include <cstring>
#include <new>

namespace qor {

namespace {

// Each buffer's copy starts on a 16-byte boundary, as Core Audio's own buffers do.
constexpr std::size_t roundUp(std::size_t bytes) {
    return (bytes + 15) & ~std::size_t{15};
}

// A buffer claiming more than this is taken to be this long: no real cycle comes near it, and a
// bogus size must not make the slot grow without bound.
constexpr std::uint32_t kMaxBufferBytes = 4u << 20;

}  // namespace

struct IOBufferRelay::Slot {
    // Who owns the slot's list, time and data: the producer while false; from the hand-over until
    // the block has returned on the I/O queue, the I/O queue.
    std::atomic<bool> queued{false};
    AudioBufferListStorage list{kMaxBuffers};
    IOCycleTime time;
    std::vector<std::byte> data = std::vector<std::byte>(kInitialSlotBytes);
};

struct IOBufferRelay::Drain {
    std::shared_ptr<IOBufferRelay> relay;

    // The drain's memory is the relay's, which the drain holds.
    using allocator_type = HandlerSlotAllocator<void, DrainSlots>;
    allocator_type get_allocator() const noexcept { return allocator_type(relay->drainSlots_); }

    void operator()() const { relay->drain(); }
};

std::size_t IOBufferRelay::slotsFor(double sampleRate, std::uint32_t framesPerCycle) {
    if (!(sampleRate > 0.0) || framesPerCycle == 0) {
        return kMinimumSlots;
    }
    const auto wanted = static_cast<std::size_t>(std::ceil(0.5 * sampleRate / framesPerCycle));
    return std::clamp(wanted, kMinimumSlots, kMaximumSlots);
}

std::shared_ptr<IOBufferRelay> IOBufferRelay::create(IOQueue& queue, IOBlock block,
                                                     std::size_t slotCount) {
    return std::shared_ptr<IOBufferRelay>(new IOBufferRelay(queue, std::move(block), slotCount));
}

IOBufferRelay::IOBufferRelay(IOQueue& queue, IOBlock block, std::size_t slotCount)
    : executor_(queue.executor()),
      block_(std::move(block)),
      slots_(std::clamp(slotCount, kMinimumSlots, kMaximumSlots)) {
    for (auto& slot : slots_) {
        slot = std::make_unique<Slot>();
    }
}

IOBufferRelay::~IOBufferRelay() = default;

void IOBufferRelay::deliver(const AudioBufferList& input, const IOCycleTime& time) {
    if (closed_.load(std::memory_order_acquire)) {
        return;
    }
    // Slots are used in turn and the I/O queue runs them in order, so the next slot is the oldest:
    // if it still waits, all do.
    Slot& slot = *slots_[produced_];
    if (slot.queued.load(std::memory_order_acquire)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    copyInto(slot, input);
    slot.time = time;
    produced_ = (produced_ + 1) % slots_.size();
    // Sequentially consistent with drain()'s last look: either it sees this slot, or this sees
    // that the drain has ended and posts the next one.
    slot.queued.store(true);
    if (!draining_.exchange(true)) {
        boost::asio::post(executor_, Drain{shared_from_this()});
    }
}

void IOBufferRelay::drain() {
    for (;;) {
        Slot& slot = *slots_[consumed_];
        if (slot.queued.load(std::memory_order_acquire)) {
            block_(slot.list.list(), slot.time);
            slot.queued.store(false, std::memory_order_release);
            consumed_ = (consumed_ + 1) % slots_.size();
            continue;
        }
        draining_.store(false);
        // A slot queued between the look above and the store: its producer saw the drain still
        // running and posted nothing, so this drain goes on.
        if (!slot.queued.load() || draining_.exchange(true)) {
            return;
        }
    }
}

void IOBufferRelay::copyInto(Slot& slot, const AudioBufferList& input) {
    const std::uint32_t count = std::min(input.mNumberBuffers, kMaxBuffers);
    std::size_t needed = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (input.mBuffers[i].mData != nullptr) {
            needed += roundUp(std::min(input.mBuffers[i].mDataByteSize, kMaxBufferBytes));
        }
    }
    if (slot.data.size() < needed) {
        slot.data.resize(needed);
    }

    AudioBufferList& list = slot.list.list();
    list.mNumberBuffers = count;
    std::size_t offset = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const AudioBuffer& from = input.mBuffers[i];
        AudioBuffer& to = slot.list.buffer(i);
        const std::uint32_t bytes = std::min(from.mDataByteSize, kMaxBufferBytes);
        to.mNumberChannels = from.mNumberChannels;
        to.mDataByteSize = bytes;
        if (from.mData == nullptr) {
            to.mData = nullptr;
            continue;
        }
        to.mData = slot.data.data() + offset;
        std::memcpy(to.mData, from.mData, bytes);
        offset += roundUp(bytes);
    }
}

}  // namespace qor
