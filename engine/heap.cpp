#include "engine/heap.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantoro {

namespace {
std::atomic<int64_t> liveBlocks{0};
std::atomic<HeapFailureHook> failureHook{nullptr};

constexpr size_t kHugePage = size_t{2} << 20;

// A signal buffer is written once, front to back, right after it is
// allocated. A large one is placed on 2 MiB boundaries, rounded up to whole
// 2 MiB pages, and offered to the kernel for huge pages: that costs a few
// hundred times fewer page faults.
void* AllocateLarge(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= 2 * kHugePage && bytes <= SIZE_MAX - kHugePage) {
        const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        void* block = nullptr;
        if (posix_memalign(&block, kHugePage, rounded) != 0) return nullptr;
        madvise(block, rounded, MADV_HUGEPAGE);
        return block;
    }
#endif
    return std::malloc(bytes);
}
} // namespace

void* HeapAllocate(size_t bytes) {
    const HeapFailureHook hook = failureHook.load();
    if (hook && hook(bytes)) return nullptr;
    void* block = AllocateLarge(bytes);
    if (!block) return nullptr;
    liveBlocks.fetch_add(1);
    return block;
}

void HeapFree(void* block) {
    if (!block) return;
    liveBlocks.fetch_sub(1);
    std::free(block);
}

int64_t HeapLiveBlocks() {
    return liveBlocks.load();
}

void SetHeapFailureHook(HeapFailureHook hook) {
    failureHook.store(hook);
}

} // namespace vantoro
