#include "IOBufferRelay.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cstring>
#include <new>

namespace qor::macos {

namespace {

// Each buffer's copy starts on a 16-byte boundary, as Core Audio's own buffers do.
constexpr std::size_t roundUp(std::size_t bytes) {
    return (bytes + 15) & ~std::size_t{15};
}

// A buffer claiming more than this is taken to be this long: no real cycle comes near it, and a
// bogus size must not make the slot grow without bound.
constexpr std::uint32_t kMaxBufferBytes = 4u << 20;

// Room for one posted handler in Asio's operation wrapper; a larger one falls back to the heap.
constexpr std::size_t kHandlerMemoryBytes = 256;

}  // namespace

struct IOBufferRelay::Slot {
    // Who owns the slot's list, data and handler memory: the producer while false; from the post
    // until the block has returned on the I/O queue, the I/O queue.
    std::atomic<bool> queued{false};
    AudioBufferListStorage list{kMaxBuffers};
    IOCycleTime time;
    std::vector<std::byte> data = std::vector<std::byte>(kInitialSlotBytes);
    alignas(std::max_align_t) std::byte handlerMemory[kHandlerMemoryBytes];
    bool handlerMemoryInUse = false;
};

// Serves the posted handler's operation from its slot. It holds the relay, so the slot outlives
// the operation even when the I/O queue destroys it unrun; Asio frees the operation before the
// handler runs, which is before the slot is handed back.
template <class T>
class IOBufferRelay::HandlerAllocator {
  public:
    using value_type = T;

    HandlerAllocator(std::shared_ptr<IOBufferRelay> owner, Slot* slot) noexcept
        : owner_(std::move(owner)), slot_(slot) {}
    template <class U>
    HandlerAllocator(const HandlerAllocator<U>& other) noexcept
        : owner_(other.owner_), slot_(other.slot_) {}

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (!slot_->handlerMemoryInUse && bytes <= sizeof slot_->handlerMemory &&
            alignof(T) <= alignof(std::max_align_t)) {
            slot_->handlerMemoryInUse = true;
            return reinterpret_cast<T*>(slot_->handlerMemory);
        }
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* pointer, std::size_t) noexcept {
        if (reinterpret_cast<std::byte*>(pointer) == slot_->handlerMemory) {
            slot_->handlerMemoryInUse = false;
        } else {
            ::operator delete(pointer);
        }
    }

    template <class U>
    bool operator==(const HandlerAllocator<U>& other) const noexcept {
        return slot_ == other.slot_;
    }
    template <class U>
    bool operator!=(const HandlerAllocator<U>& other) const noexcept {
        return slot_ != other.slot_;
    }

  private:
    template <class U>
    friend class HandlerAllocator;
    std::shared_ptr<IOBufferRelay> owner_;
    Slot* slot_;
};

struct IOBufferRelay::Handler {
    std::shared_ptr<IOBufferRelay> relay;
    Slot* slot;

    using allocator_type = HandlerAllocator<void>;
    allocator_type get_allocator() const noexcept { return allocator_type(relay, slot); }

    void operator()() const {
        relay->block_(slot->list.list(), slot->time);
        slot->queued.store(false, std::memory_order_release);
    }
};

std::shared_ptr<IOBufferRelay> IOBufferRelay::create(IOQueue& queue, IOBlock block) {
    return std::shared_ptr<IOBufferRelay>(new IOBufferRelay(queue, std::move(block)));
}

IOBufferRelay::IOBufferRelay(IOQueue& queue, IOBlock block)
    : executor_(queue.executor()), block_(std::move(block)) {
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
    // if it is still queued, all are.
    Slot& slot = *slots_[next_];
    if (slot.queued.load(std::memory_order_acquire)) {
        return;
    }
    copyInto(slot, input);
    slot.time = time;
    slot.queued.store(true, std::memory_order_relaxed);  // the post publishes it with the data
    next_ = (next_ + 1) % kSlotCount;
    boost::asio::post(executor_, Handler{shared_from_this(), &slot});
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

}  // namespace qor::macos
