#include <atomic>

#include "generators/frame_writer.h"

namespace vantoro {

namespace {
std::atomic<bool> fastPaths{true};
} // namespace

bool FastPathsEnabled() {
    return fastPaths.load(std::memory_order_relaxed);
}

void SetFastPathsEnabled(bool enabled) {
    fastPaths.store(enabled, std::memory_order_relaxed);
}

} // namespace vantoro
