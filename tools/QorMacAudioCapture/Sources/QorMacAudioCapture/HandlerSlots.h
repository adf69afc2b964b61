// Memory for the handlers one thread posts to an Asio executor, so that a post allocates nothing:
// Asio places a posted handler in memory from the handler's associated allocator, and returns that
// memory before it runs the handler. A poster that never has more than `Count` handlers waiting
// therefore never reaches the heap; should every slot be taken, or a handler not fit one, the heap
// serves. A slot is taken on the posting thread and returned on the executor's thread (or wherever
// the executor destroys a handler it did not run); each slot's flag hands its bytes over.
//
// The slots must outlive every handler placed in them: keep them in the object the handler holds.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <new>

namespace qor {

template <std::size_t Count, std::size_t Bytes = 256>
class HandlerSlots {
  public:
    void* allocate(std::size_t bytes, std::size_t alignment) {
        if (bytes <= Bytes && alignment <= alignof(std::max_align_t)) {
            for (Slot& slot : slots_) {
                if (!slot.taken.exchange(true, std::memory_order_acquire)) {
                    return slot.bytes;
                }
            }
        }
        return ::operator new(bytes, std::align_val_t(alignment));
    }

    void deallocate(void* memory, std::size_t alignment) noexcept {
        for (Slot& slot : slots_) {
            if (memory == slot.bytes) {
                slot.taken.store(false, std::memory_order_release);
                return;
            }
        }
        ::operator delete(memory, std::align_val_t(alignment));
    }

  private:
    struct Slot {
        alignas(std::max_align_t) std::byte bytes[Bytes];
        std::atomic<bool> taken{false};
    };
    std::array<Slot, Count> slots_;
};

// The allocator a handler names as its allocator_type and returns from get_allocator().
template <class T, class Slots>
struct HandlerSlotAllocator {
    using value_type = T;

    explicit HandlerSlotAllocator(Slots& slots) noexcept : slots(&slots) {}
    template <class U>
    HandlerSlotAllocator(const HandlerSlotAllocator<U, Slots>& other) noexcept
        : slots(other.slots) {}

    T* allocate(std::size_t count) {
        return static_cast<T*>(slots->allocate(count * sizeof(T), alignof(T)));
    }
    void deallocate(T* memory, std::size_t) noexcept { slots->deallocate(memory, alignof(T)); }

    template <class U>
    bool operator==(const HandlerSlotAllocator<U, Slots>& other) const noexcept {
        return slots == other.slots;
    }

    Slots* slots;
};

}  // namespace qor
