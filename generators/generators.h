// The signal generators. Each fills buffer[0, byteCount) with one signal and
// returns 1, or 0 (buffer untouched) when `bits` is not 8, 16, 20, 24 or 32.
// channels 0 selects two channels in antiphase. progress, when not null, is
// called after every frame with the number of sample values written.
#pragma once

#include <cstdint>

#include "vantoro.h"

namespace vantoro {

// kind 0 sine, 1 square (cosine phase), 2 ramp; other kinds write silence.
int32_t GenerateTone(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate, uint32_t channels,
                     uint16_t bits, int32_t kind, double frequency, double amplitude,
                     ProgressCallback progress);

// Frequency moving on a straight line from sweepStart toward sweepEnd.
int32_t GenerateLinearSweep(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate,
                            uint32_t channels, uint16_t bits, int32_t kind, double sweepStart,
                            double sweepEnd, double amplitude, ProgressCallback progress);

// Frequency low + K^t, rising from the lower to the higher end; a falling
// sweep is stored time-reversed.
int32_t GenerateLogSweep(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate,
                         uint32_t channels, uint16_t bits, int32_t kind, double sweepStart,
                         double sweepEnd, double amplitude, ProgressCallback progress);

// kind 3 white, 4 pink, 5 brown noise from a source seeded with the clock.
int32_t GenerateNoise(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate, uint32_t channels,
                      uint16_t bits, int32_t kind, double amplitude, ProgressCallback progress);

// The same, from a given seed instead of the clock.
int32_t GenerateNoiseFromSeed(uint32_t seed, uint8_t* buffer, uint32_t byteCount,
                              uint32_t sampleRate, uint32_t channels, uint16_t bits, int32_t kind,
                              double amplitude, ProgressCallback progress);

} // namespace vantoro
