#include "engine/heap.h"

#include <atomic>
#include <cstdlib>

namespace vantoro {

namespace {
std::atomic<int64_t> liveBlocks{0};
std::atomic<HeapFailureHook> failureHook{nullptr};
} // namespace

void* HeapAllocate(size_t bytes) {
    const HeapFailureHook hook = failureHook.load();
    if (hook && hook(bytes)) return nullptr;
    void* block = std::malloc(bytes);
    if (block) liveBlocks.fetch_add(1);
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
