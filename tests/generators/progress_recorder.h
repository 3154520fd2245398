// Collects what a generator reports to its progress callback.
#pragma once

#include <cstdint>
#include <vector>

#include "vantoro.h"

namespace vantoro::test {

inline std::vector<uint32_t>& ProgressValues() {
    static std::vector<uint32_t> values;
    return values;
}

inline void VANTORO_STDCALL RecordProgress(uint32_t written) {
    ProgressValues().push_back(written);
}

// Starts a fresh record and returns the callback that fills it.
inline ProgressCallback RecordingProgress() {
    ProgressValues().clear();
    return &RecordProgress;
}

} // namespace vantoro::test
