// Preloaded into a recorder by pipewire-vs-pw-record.sh: counts heap allocations and the bytes in
// use, for any program, into a small file that the bench reads while the program runs.
//
//   LD_PRELOAD=libQorBenchHeapCounter.so QOR_BENCH_HEAP_FILE=/tmp/x program...
//
// The file holds four little-endian unsigned 64-bit counters: allocations (malloc, calloc, realloc,
// aligned allocations), frees, bytes in use and the peak of bytes in use. It reaches the
// allocator through glibc's own entry points, so nothing here allocates.
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* memory);
}

namespace {

struct Counters {
    std::atomic<std::uint64_t> allocations;
    std::atomic<std::uint64_t> frees;
    std::atomic<std::uint64_t> inUse;
    std::atomic<std::uint64_t> peak;
};

// Until the file is mapped (and when it cannot be), the counts go here.
Counters fallback;
Counters* counters = &fallback;

__attribute__((constructor)) void mapCounters() {
    const char* path = std::getenv("QOR_BENCH_HEAP_FILE");
    if (path == nullptr) {
        return;
    }
    const int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, sizeof(Counters)) != 0) {
        return;
    }
    void* mapped = ::mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) {
        return;
    }
    auto* shared = static_cast<Counters*>(mapped);
    shared->allocations = fallback.allocations.load();
    shared->frees = fallback.frees.load();
    shared->inUse = fallback.inUse.load();
    shared->peak = fallback.peak.load();
    counters = shared;
}

void added(void* memory) {
    if (memory == nullptr) {
        return;
    }
    counters->allocations.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t now =
        counters->inUse.fetch_add(malloc_usable_size(memory), std::memory_order_relaxed) +
        malloc_usable_size(memory);
    std::uint64_t peak = counters->peak.load(std::memory_order_relaxed);
    while (now > peak && !counters->peak.compare_exchange_weak(peak, now)) {
    }
}

void removed(void* memory) {
    if (memory == nullptr) {
        return;
    }
    counters->frees.fetch_add(1, std::memory_order_relaxed);
    counters->inUse.fetch_sub(malloc_usable_size(memory), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    void* memory = __libc_malloc(size);
    added(memory);
    return memory;
}

void* calloc(std::size_t count, std::size_t size) {
    void* memory = __libc_calloc(count, size);
    added(memory);
    return memory;
}

void* realloc(void* memory, std::size_t size) {
    if (memory != nullptr) {
        removed(memory);
    }
    void* moved = __libc_realloc(memory, size);
    if (moved == nullptr && memory != nullptr && size != 0) {
        added(memory);  // the old block is still there
        return nullptr;
    }
    added(moved);
    return moved;
}

void free(void* memory) {
    removed(memory);
    __libc_free(memory);
}

void* memalign(std::size_t alignment, std::size_t size) {
    void* memory = __libc_memalign(alignment, size);
    added(memory);
    return memory;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
    void* memory = memalign(alignment, size);
    if (memory == nullptr) {
        return ENOMEM;
    }
    *result = memory;
    return 0;
}

}  // extern "C"
