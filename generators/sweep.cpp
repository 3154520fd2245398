#include <cmath>

#include "engine/engine_state.h"
#include "generators/fast_sine.h"
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

// The block version of SweepValue for a frequency law f(t): the phases are
// accumulated exactly as frame by frame, then sine and square take the block
// sine and fall back to the standard library wherever the approximation
// could change a sample.
template <class Frequency> auto SweepFill(int32_t kind, double rate, Frequency frequency) {
    return [=](uint32_t first, int count, double* s, const auto& guard) {
        if (kind != 0 && kind != 1) {
            for (int k = 0; k < count; ++k) {
                const int32_t t = static_cast<int32_t>(first + static_cast<uint32_t>(k));
                s[k] = SweepValue(kind, rate, frequency(t), t);
            }
            return;
        }
        // The steps first (their divisions vectorise), then the running sum.
        double phases[kBlockFrames];
        for (int k = 0; k < count; ++k)
            phases[k] = frequency(static_cast<int32_t>(first + static_cast<uint32_t>(k)));
        for (int k = 0; k < count; ++k)
            phases[k] = (phases[k] * kTwoPi) / rate;
        double phase = engineState.sweepPhase;
        for (int k = 0; k < count; ++k) {
            phase = phase + phases[k];
            phases[k] = phase;
        }
        engineState.sweepPhase = phase;
        if (kind == 0) {
            SineBlock(phases, s, count, guard);
        } else {
            FastSinBlock(phases, s, count);
            bool certain[kBlockFrames];
            // The sign is certain once the sine is clear of zero.
            for (int k = 0; k < count; ++k)
                certain[k] =
                    (std::fabs(phases[k]) < kFastTrigLimit) & (std::fabs(s[k]) > kFastTrigError);
            for (int k = 0; k < count; ++k) {
                const double sine = certain[k] ? s[k] : std::sin(phases[k]);
                s[k] = sine > 0 ? 1.0 : -1.0;
            }
        }
    };
}

} // namespace

int32_t GenerateLinearSweep(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate,
                            uint32_t channels, uint16_t bits, int32_t kind, double sweepStart,
                            double sweepEnd, double amplitude, ProgressCallback progress) {
    // Every call starts from phase 0, including one that fails on the width.
    engineState.sweepPhase = 0.0;
    const double rate = static_cast<double>(sampleRate);
    // The sweep spans L = n / C frames, unrounded.
    const auto law = [=](const FrameShape& shape) {
        const double length =
            static_cast<double>(shape.capacity) / static_cast<double>(shape.channelCount);
        const double distance = sweepEnd - sweepStart;
        return
            [=](int32_t t) { return ((static_cast<double>(t) * distance) / length) + sweepStart; };
    };
    return WriteFrames(
        buffer, byteCount, channels, bits, amplitude, progress, StoreOrder::Forward,
        [&](const FrameShape& shape) {
            return [=, f = law(shape)](int32_t t) { return SweepValue(kind, rate, f(t), t); };
        },
        [&](const FrameShape& shape) { return SweepFill(kind, rate, law(shape)); });
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
    const auto law = [=](const FrameShape& shape) {
        const double length =
            static_cast<double>(shape.capacity) / static_cast<double>(shape.channelCount);
        // K^L = high - low. Equal ends give K = 10^-inf = 0, so frame 0 is at
        // low + 1 and the rest at low.
        const double k = std::pow(10.0, std::log10(high - low) / length);
        // A power every frame rather than a running product, so no rounding
        // accumulates.
        return [=](int32_t t) { return std::pow(k, static_cast<double>(t)) + low; };
    };
    return WriteFrames(
        buffer, byteCount, channels, bits, amplitude, progress,
        falling ? StoreOrder::Reversed : StoreOrder::Forward,
        [&](const FrameShape& shape) {
            return [=, f = law(shape)](int32_t t) { return SweepValue(kind, rate, f(t), t); };
        },
        [&](const FrameShape& shape) { return SweepFill(kind, rate, law(shape)); });
}

} // namespace vantoro
