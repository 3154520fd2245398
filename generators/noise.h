// The noise source: a 32-bit linear congruential generator read as a float
// in [2, 4), with the running state of the pink and brown filters.
#pragma once

#include <cstdint>

namespace vantoro {

struct NoiseSource {
    uint32_t seed;           // generator state, advanced once per draw
    int32_t pinkCounter = 1; // pink frames made so far, plus one
    uint32_t drawBits = 0;   // the single-precision pattern of the last draw
    float pinkSum = 0.0f;    // running sum of the pink rows, within +-4
    float brownSum = 0.0f;   // running sum of the brown steps, within +-8
    float pinkRows[16] = {}; // the last draw kept for each pink row
};

NoiseSource MakeNoiseSource(uint32_t seed);

// Seeded with the low 32 bits of the current calendar time.
NoiseSource MakeClockNoiseSource();

// One draw, uniform in [-scale, scale): (seed >> 9) read as the mantissa of a
// float in [2, 4), less 3, times scale.
double NextWhite(NoiseSource& source, float scale);

// The next pink value, in [-0.5625, 0.5625).
double NextPink(NoiseSource& source);

// The next brown value, in [-0.5, 0.5].
double NextBrown(NoiseSource& source);

} // namespace vantoro
