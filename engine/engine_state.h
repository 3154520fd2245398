// The one process-wide playback state.
#pragma once

#include <cstdint>

#include "platform/wave_api.h"

namespace vantoro {

// Bytes in one streamed block.
inline constexpr int32_t kBlockBytes = 24000;

struct EngineState {
    int32_t engineIdle = 1;          // 1 idle; 0 busy from a start's end until PlayStop
    int32_t loopPlayback = 0;        // nonzero: the stream repeats the signal
    HWAVEOUT waveOut = nullptr;      // the open device; null when none is open
    uint8_t* signalBuffer = nullptr; // signalBytes + 2 bytes, or null
    int32_t signalBytes = 0;
    int32_t playCursor = 0;   // offset of the next block to queue
    int32_t blocksQueued = 0; // blocks with the device, not yet reported done
    double sweepPhase = 0.0;  // running phase of the sweep generators
};

extern EngineState engineState;

} // namespace vantoro
