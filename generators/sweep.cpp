#include <cmath>

#include "engine/engine_state.h"
#include "generators/frame_writer.h"
#include "generators/generators.h"
#include "generators/shapes.h"

namespace vantoro {

namespace {

// The frame value at frequency f for frame t. Sine and square advance the
// shared sweep phase by one frame at f before reading it; the phase is never
// wrapped. The ramp is the fixed tone's ramp taken at this frame's frequency.
double SweepValue(int32_t kind, double rate, double f, int32_t t) {
    double& phase = engineState.sweepPhase;
    switch (kind) {
    case 0:
        phase = phase + ((f * kTwoPi) / rate);
        return std::sin(phase);
    case 1:
        phase = phase + ((f * kTwoPi) / rate);
        // Zero and NaN both fall to the low level.
        return std::sin(phase) > 0 ? 1.0 : -1.0;
    case 2:
        return RampValue(rate, f, t);
    default:
        return 0.0;
    }
}

} // namespace

int32_t GenerateLinearSweep(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate,
                            uint32_t channels, uint16_t bits, int32_t kind, double sweepStart,
                            double sweepEnd, double amplitude, ProgressCallback progress) {
    // Every call starts from phase 0, including one that fails on the width.
    engineState.sweepPhase = 0.0;
    const double rate = static_cast<double>(sampleRate);
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress, StoreOrder::Forward,
                       [&](const FrameShape& shape) {
                           // The sweep spans L = n / C frames, unrounded.
                           const double length = static_cast<double>(shape.capacity) /
                                                 static_cast<double>(shape.channelCount);
                           const double distance = sweepEnd - sweepStart;
                           return [=](int32_t t) -> double {
                               const double f =
                                   ((static_cast<double>(t) * distance) / length) + sweepStart;
                               return SweepValue(kind, rate, f, t);
                           };
                       });
}

int32_t GenerateLogSweep(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate,
                         uint32_t channels, uint16_t bits, int32_t kind, double sweepStart,
                         double sweepEnd, double amplitude, ProgressCallback progress) {
    engineState.sweepPhase = 0.0;
    // The sweep always rises from the lower end; a falling one is stored
    // time-reversed. Equal ends count as rising.
    const bool falling = sweepStart > sweepEnd;
    const double low = falling ? sweepEnd : sweepStart;
    const double high = falling ? sweepStart : sweepEnd;
    const double rate = static_cast<double>(sampleRate);
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress,
                       falling ? StoreOrder::Reversed : StoreOrder::Forward,
                       [&](const FrameShape& shape) {
                           const double length = static_cast<double>(shape.capacity) /
                                                 static_cast<double>(shape.channelCount);
                           // K^L = high - low. Equal ends give K = 10^-inf = 0,
                           // so frame 0 is at low + 1 and the rest at low.
                           const double k = std::pow(10.0, std::log10(high - low) / length);
                           return [=](int32_t t) -> double {
                               // A power every frame rather than a running
                               // product, so no rounding accumulates.
                               const double f = std::pow(k, static_cast<double>(t)) + low;
                               return SweepValue(kind, rate, f, t);
                           };
                       });
}

} // namespace vantoro
