// Validation and synthesis of one signal: everything a start does before it
// touches the device, shared by the start operations and `vantoro render`.
#pragma once

#include <cstdint>

#include "vantoro.h"

namespace vantoro {

struct SignalRequest {
    int32_t kind = 0;
    int32_t seconds = 0;
    int32_t rateIndex = 0;
    int32_t bits = 16;
    int32_t channels = 2;
    double amplitude = 1.0;
    int32_t sweepMode = 0;
    int32_t frequency = 1000;
    int32_t sweepStart = 0;
    int32_t sweepEnd = 0;
    ProgressCallback progress = nullptr;
    // Noise from this seed instead of the clock (the CLI's --seed; the start
    // operations always seed from the clock).
    bool seeded = false;
    uint32_t seed = 0;
};

// Which sweep sweepMode 1 selects: the first start operation plays it as a
// linear sweep, the second as a logarithmic one.
enum class SweepModeOne { Linear, Logarithmic };

struct SignalLayout {
    uint32_t sampleRate = 0;
    uint32_t channelCount = 0; // 2 for the antiphase mode
    uint32_t containerBytes = 0;
    int32_t signalBytes = 0;
};

enum class SynthesisStatus {
    Ready,       // buffer filled
    Rejected,    // an invalid code or an out-of-range argument; nothing allocated
    NoMemory,    // the buffer could not be allocated
    InvalidKind, // buffer allocated (signalBytes + 2 bytes) but not filled
};

struct Synthesis {
    SynthesisStatus status = SynthesisStatus::Rejected;
    SignalLayout layout;
    uint8_t* buffer = nullptr; // from HeapAllocate; the caller owns it
};

// Sample rate for a rate code, or 0 when the code is invalid.
uint32_t SampleRateForIndex(int32_t rateIndex);

// Channels actually carried: `channels`, or 2 for the antiphase mode 0.
inline uint32_t ChannelCountFor(int32_t channels) {
    return channels == 0 ? 2u : static_cast<uint32_t>(channels);
}

// True when seconds and channels are in range: neither negative, at most
// 65535 channels, and sampleRate * channelCount * seconds * containerBytes
// fits a signed 32-bit integer.
bool SignalFits(int32_t seconds, uint32_t sampleRate, int32_t channels, uint32_t containerBytes);

// Steps from the rate code to the filled buffer: resolve rate, channels and
// width, size and allocate the buffer, check the kind, run the generator.
Synthesis SynthesizeSignal(const SignalRequest& request, SweepModeOne sweepModeOne);

} // namespace vantoro
