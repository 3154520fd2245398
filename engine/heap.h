// The general heap, as the engine uses it for the signal buffer and the block
// headers, with a count of live blocks and an injectable failure for tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantoro {

void* HeapAllocate(size_t bytes);
void HeapFree(void* block);

// Blocks allocated and not yet freed.
int64_t HeapLiveBlocks();

// When set, every allocation first asks it; true makes that allocation fail.
using HeapFailureHook = bool (*)(size_t bytes);
void SetHeapFailureHook(HeapFailureHook hook);

} // namespace vantoro
