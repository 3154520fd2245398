// Wave shapes shared by the fixed tone and the sweeps.
#pragma once

#include <cstdint>

#include "generators/frame_writer.h"

namespace vantoro {

// The full turn used by every tone and sweep.
inline constexpr double kTwoPi = 6.283185307179586;

// The ramp of period P = sampleRate / frequency at frame t: rising from -1.0
// toward 0 while the position m = t mod N (N = P truncated) is below half the
// unrounded period, then falling from about +1.0 toward 0. When N is 0
// (frequency 0, above the sample rate, or not finite) the frame is silence.
inline double RampValue(double sampleRate, double frequency, int32_t t) {
    const double period = sampleRate / frequency;
    const int32_t wholePeriod = static_cast<int32_t>(TruncateWrap(period));
    if (wholePeriod == 0) return 0.0;
    // 64-bit remainder: INT32_MIN % -1 would overflow in 32 bits.
    const double m = static_cast<double>(static_cast<int64_t>(t) % wholePeriod);
    const double half = period * 0.5;
    const double step = 1.0 / half;
    if (m < half) return m * step - 1.0;
    return 1.0 - (m - half) * step;
}

} // namespace vantoro
