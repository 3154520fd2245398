// The frame loop every generator shares: silence pre-fill, capacity, one value
// per frame written to every channel (or to two channels in antiphase), the
// five sample encodings, the storage order and the progress reports.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "vantoro.h"

namespace vantoro {

static_assert(std::endian::native == std::endian::little,
              "samples are stored with native little-endian stores");

// T(v): v truncated toward zero, modulo 2^32 as a two's-complement integer.
// NaN and magnitudes of 2^63 or more give 0, so the conversion to a 64-bit
// integer below is always defined.
inline uint32_t TruncateWrap(double v) {
    if (!(std::fabs(v) < 9223372036854775808.0)) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(v));
}

// Bytes one sample value occupies for a width, or 0 for an unsupported width.
inline uint32_t BytesPerValue(uint32_t bits) {
    switch (bits) {
    case 8:
        return 1;
    case 16:
        return 2;
    case 20:
    case 24:
    case 32:
        return 4;
    default:
        return 0;
    }
}

// What a generator's per-frame value function may depend on besides t.
struct FrameShape {
    uint32_t capacity;     // n: whole sample values that fit the buffer
    uint32_t channelCount; // C: 2 in antiphase mode, else the channel count
};

enum class StoreOrder { Forward, Reversed };

namespace encoding {

// Each encoding turns the frame value s into one per-frame value, then into
// the stored patterns for sign +1 and sign -1.
struct U8 {
    using Word = uint8_t;
    static constexpr uint8_t kPrefill = 0x80;
    static double Value(double s, double amplitude) { return (s * 127.0 + 128.0) * amplitude; }
    static void Patterns(double v, Word& plus, Word& minus) {
        const uint32_t x = TruncateWrap(v);
        plus = static_cast<Word>(x);
        minus = static_cast<Word>(0u - x);
    }
};

struct S16 {
    using Word = uint16_t;
    static constexpr uint8_t kPrefill = 0x00;
    static double Value(double s, double amplitude) { return (s * 32767.0) * amplitude; }
    static void Patterns(double v, Word& plus, Word& minus) {
        const uint32_t x = TruncateWrap(v);
        plus = static_cast<Word>(x);
        minus = static_cast<Word>(0u - x);
    }
};

template <int Shift, int ScaleBits> struct HighBits32 {
    using Word = uint32_t;
    static constexpr uint8_t kPrefill = 0x00;
    static constexpr double kScale = static_cast<double>((1u << ScaleBits) - 1u);
    static double Value(double s, double amplitude) { return (s * kScale) * amplitude; }
    static void Patterns(double v, Word& plus, Word& minus) {
        const uint32_t x = TruncateWrap(v);
        plus = x << Shift;
        minus = (0u - x) << Shift;
    }
};
using S20 = HighBits32<12, 19>; // scale 524287, value in the upper 20 bits
using S24 = HighBits32<8, 23>;  // scale 8388607, value in the upper 24 bits

struct F32 {
    using Word = uint32_t;
    static constexpr uint8_t kPrefill = 0x00;
    static double Value(double s, double amplitude) { return (s * 0.5) * amplitude; }
    // The sign multiplies the double before it is rounded to single precision.
    static void Patterns(double v, Word& plus, Word& minus) {
        plus = std::bit_cast<Word>(static_cast<float>(v));
        minus = std::bit_cast<Word>(static_cast<float>(-v));
    }
};

} // namespace encoding

template <class Encoding, class ValueFn>
void WriteEncodedFrames(uint8_t* buffer, uint32_t n, uint32_t channelCount, bool antiphase,
                        double amplitude, ProgressCallback progress, StoreOrder order,
                        ValueFn& value) {
    using Word = typename Encoding::Word;
    uint32_t i = 0;
    uint32_t frame = 0;
    bool negative = false;
    while (i < n) {
        // The frame index is a signed 32-bit count; it wraps rather than
        // overflows on buffers of more than 2^31 frames.
        const double s = value(static_cast<int32_t>(frame));
        Word plus, minus;
        Encoding::Patterns(Encoding::Value(s, amplitude), plus, minus);
        for (uint32_t c = 0; c < channelCount && i < n; ++c) {
            const uint32_t position = order == StoreOrder::Forward ? i : n - 1 - i;
            const Word word = negative ? minus : plus;
            std::memcpy(buffer + static_cast<size_t>(position) * sizeof(Word), &word, sizeof(Word));
            ++i;
            if (antiphase) negative = !negative;
        }
        ++frame;
        if (progress) progress(i);
    }
}

// Fills buffer[0, byteCount) by the shared frame rules. makeValue(shape) is
// called once, only when at least one value fits, and returns the per-frame
// function double(int32_t t) that gives the frame value s. Returns 1, or 0
// (nothing written) for an unsupported width.
template <class MakeValue>
int32_t WriteFrames(uint8_t* buffer, uint32_t byteCount, uint32_t channels, uint32_t bits,
                    double amplitude, ProgressCallback progress, StoreOrder order,
                    MakeValue&& makeValue) {
    const uint32_t valueBytes = BytesPerValue(bits);
    if (valueBytes == 0) return 0;
    const bool antiphase = channels == 0;
    const FrameShape shape{byteCount / valueBytes, antiphase ? 2u : channels};
    const auto run = [&]<class Encoding>(Encoding) {
        if (byteCount != 0) std::memset(buffer, Encoding::kPrefill, byteCount);
        if (shape.capacity == 0) return;
        auto value = makeValue(shape);
        WriteEncodedFrames<Encoding>(buffer, shape.capacity, shape.channelCount, antiphase,
                                     amplitude, progress, order, value);
    };
    switch (bits) {
    case 8:
        run(encoding::U8{});
        break;
    case 16:
        run(encoding::S16{});
        break;
    case 20:
        run(encoding::S20{});
        break;
    case 24:
        run(encoding::S24{});
        break;
    default:
        run(encoding::F32{});
        break;
    }
    return 1;
}

} // namespace vantoro
