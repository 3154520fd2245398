// The frame loop every generator shares: silence pre-fill, capacity, one value
// per frame written to every channel (or to two channels in antiphase), the
// five sample encodings, the storage order and the progress reports.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "generators/fast_sine.h"
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

// True when no whole number lies within `band` of v (|v| < 2^50), so that
// every value within the band truncates as v does. Adding and subtracting
// 1.5 * 2^52 rounds to the nearest whole number; no branch, so loops over it
// vectorise.
inline bool ClearOfWholeNumbers(double v, double band) {
    const double nearest = (v + 6755399441055744.0) - 6755399441055744.0;
    return (std::fabs(v - nearest) > band) & (std::fabs(v) < 0x1p50);
}

// Each encoding turns the frame value s into one per-frame value, then into
// the stored patterns for sign +1 and sign -1.
struct U8 {
    using Word = uint8_t;
    static constexpr uint8_t kPrefill = 0x80;
    static constexpr double kScale = 127.0, kOffset = 128.0;
    static constexpr bool kInteger = true;
    static double Value(double s, double amplitude) { return (s * 127.0 + 128.0) * amplitude; }
    static Word Pattern(uint32_t x) { return static_cast<Word>(x); }
    static void Patterns(double v, Word& plus, Word& minus) {
        const uint32_t x = TruncateWrap(v);
        plus = Pattern(x);
        minus = Pattern(0u - x);
    }
    static bool Certain(double v, double band) { return ClearOfWholeNumbers(v, band); }
};

struct S16 {
    using Word = uint16_t;
    static constexpr uint8_t kPrefill = 0x00;
    static constexpr double kScale = 32767.0, kOffset = 0.0;
    static constexpr bool kInteger = true;
    static double Value(double s, double amplitude) { return (s * 32767.0) * amplitude; }
    static Word Pattern(uint32_t x) { return static_cast<Word>(x); }
    static void Patterns(double v, Word& plus, Word& minus) {
        const uint32_t x = TruncateWrap(v);
        plus = Pattern(x);
        minus = Pattern(0u - x);
    }
    static bool Certain(double v, double band) { return ClearOfWholeNumbers(v, band); }
};

template <int Shift, int ScaleBits> struct HighBits32 {
    using Word = uint32_t;
    static constexpr uint8_t kPrefill = 0x00;
    static constexpr double kScale = static_cast<double>((1u << ScaleBits) - 1u), kOffset = 0.0;
    static constexpr bool kInteger = true;
    static double Value(double s, double amplitude) { return (s * kScale) * amplitude; }
    static Word Pattern(uint32_t x) { return x << Shift; }
    static void Patterns(double v, Word& plus, Word& minus) {
        const uint32_t x = TruncateWrap(v);
        plus = Pattern(x);
        minus = Pattern(0u - x);
    }
    static bool Certain(double v, double band) { return ClearOfWholeNumbers(v, band); }
};
using S20 = HighBits32<12, 19>; // scale 524287, value in the upper 20 bits
using S24 = HighBits32<8, 23>;  // scale 8388607, value in the upper 24 bits

struct F32 {
    using Word = uint32_t;
    static constexpr uint8_t kPrefill = 0x00;
    static constexpr double kScale = 0.5, kOffset = 0.0;
    static constexpr bool kInteger = false;
    static double Value(double s, double amplitude) { return (s * 0.5) * amplitude; }
    // The sign multiplies the double before it is rounded to single precision.
    static void Patterns(double v, Word& plus, Word& minus) {
        plus = std::bit_cast<Word>(static_cast<float>(v));
        minus = std::bit_cast<Word>(static_cast<float>(-v));
    }
    // Rounding is monotonic: when both ends of the band round to the same
    // single (the same signed zero included), everything between does.
    static bool Certain(double v, double band) {
        return std::bit_cast<Word>(static_cast<float>(v - band)) ==
               std::bit_cast<Word>(static_cast<float>(v + band));
    }
};

} // namespace encoding

// The channel layouts with a block store of their own.
enum class BlockLayout { Mono, Stereo, Antiphase };

// Stores the frames of s[0, count) (count <= kBlockFrames) at `out` in
// `layout`, forward, exactly as the per-frame loop below does, in loops that
// vectorise (store_block.cpp). Returns false, storing nothing, when a value
// is outside what the vector conversion takes (|v| >= 2^31 for the integer
// widths); the caller then stores the block frame by frame.
bool StoreBlock(encoding::U8, const double* s, uint32_t count, double amplitude, BlockLayout layout,
                void* out);
bool StoreBlock(encoding::S16, const double* s, uint32_t count, double amplitude,
                BlockLayout layout, void* out);
bool StoreBlock(encoding::S20, const double* s, uint32_t count, double amplitude,
                BlockLayout layout, void* out);
bool StoreBlock(encoding::S24, const double* s, uint32_t count, double amplitude,
                BlockLayout layout, void* out);
bool StoreBlock(encoding::F32, const double* s, uint32_t count, double amplitude,
                BlockLayout layout, void* out);

// True when every approximate sine s[k] of the angle x[k] (k < count) is
// certain to be stored as the exact one: |x[k]| < kFastTrigLimit and
// Encoding::Certain(Encoding::Value(s[k], amplitude), band)
// (store_block.cpp).
bool AllSinesCertain(encoding::U8, const double* x, const double* s, uint32_t count,
                     double amplitude, double band);
bool AllSinesCertain(encoding::S16, const double* x, const double* s, uint32_t count,
                     double amplitude, double band);
bool AllSinesCertain(encoding::S20, const double* x, const double* s, uint32_t count,
                     double amplitude, double band);
bool AllSinesCertain(encoding::S24, const double* x, const double* s, uint32_t count,
                     double amplitude, double band);
bool AllSinesCertain(encoding::F32, const double* x, const double* s, uint32_t count,
                     double amplitude, double band);

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

// Whether the fast paths run; on by default. Tests switch them off to
// compare with the straightforward path.
bool FastPathsEnabled();
void SetFastPathsEnabled(bool enabled);

inline constexpr uint32_t kBlockFrames = 256;

// Tells whether an approximate frame value s', known to lie within `error`
// of the exact one, is certain to be stored as the exact value would be.
// Every rounding of the encoding's per-frame value moves it by less than
// 2^-53 of the magnitudes involved, so the two values v and v' differ by less
// than `band`; the encoding's Certain(v', band) holds only when every value
// within the band gives the same sample (for the integer widths: no whole
// number within it, where truncation would jump).
template <class EncodingType> struct SampleGuard {
    using Encoding = EncodingType;
    double amplitude;
    double band;
    // The band is never 0, so that an interval around a zero value always
    // holds both signed zeros and such a value is never taken as certain.
    SampleGuard(double amplitude, double error)
        : amplitude(amplitude),
          band(std::max(
              2.0 * std::fabs(amplitude) *
                  (Encoding::kScale * error + (Encoding::kScale + Encoding::kOffset) * 0x1p-50),
              0x1p-1000)) {}
    bool Exact(double approximate) const {
        return Encoding::Certain(Encoding::Value(approximate, amplitude), band);
    }
};

// s[k] = the sine of x[k] for k < count, as std::sin gives it wherever the
// block sine could store a different sample.
template <class Guard> void SineBlock(const double* x, double* s, int count, const Guard& guard) {
    using Encoding = typename Guard::Encoding;
    FastSinBlock(x, s, count);
    if (AllSinesCertain(Encoding{}, x, s, static_cast<uint32_t>(count), guard.amplitude,
                        guard.band))
        return;
    for (int k = 0; k < count; ++k)
        if (!((std::fabs(x[k]) < kFastTrigLimit) && guard.Exact(s[k]))) s[k] = std::sin(x[k]);
}

// The block path of the frame writer: the frame values of up to
// kBlockFrames frames at a time come from fill(firstFrame, count, s, guard),
// then are encoded and stored exactly as the straightforward loop does.
template <class Encoding, class FillFn>
void WriteEncodedBlocks(uint8_t* buffer, uint32_t n, uint32_t channelCount, bool antiphase,
                        double amplitude, ProgressCallback progress, StoreOrder order,
                        FillFn& fill) {
    using Word = typename Encoding::Word;
    const SampleGuard<Encoding> guard(amplitude, kFastTrigError);
    const uint32_t frames = n / channelCount + (n % channelCount != 0);
    // Frames whose every value is stored; the last frame may be cut short.
    const uint32_t wholeFrames = n / channelCount;
    auto* words = reinterpret_cast<Word*>(buffer);
    // Blocks are stored whole where no progress is reported.
    std::optional<BlockLayout> blockLayout;
    if (!progress && antiphase)
        blockLayout = BlockLayout::Antiphase;
    else if (!progress && channelCount == 1)
        blockLayout = BlockLayout::Mono;
    else if (!progress && channelCount == 2)
        blockLayout = BlockLayout::Stereo;
    double s[kBlockFrames];
    for (uint32_t first = 0; first < frames; first += kBlockFrames) {
        const uint32_t count = std::min(kBlockFrames, frames - first);
        fill(first, static_cast<int>(count), s, guard);
        if (blockLayout && order == StoreOrder::Forward && first + count <= wholeFrames &&
            StoreBlock(Encoding{}, s, count, amplitude, *blockLayout,
                       words + static_cast<size_t>(first) * channelCount))
            continue;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t frame = first + k;
            Word plus, minus;
            Encoding::Patterns(Encoding::Value(s[k], amplitude), plus, minus);
            const size_t i = static_cast<size_t>(frame) * channelCount;
            if (order == StoreOrder::Forward && frame < wholeFrames) {
                if (antiphase) {
                    std::memcpy(words + i, &plus, sizeof(Word));
                    std::memcpy(words + i + 1, &minus, sizeof(Word));
                } else {
                    for (uint32_t c = 0; c < channelCount; ++c)
                        std::memcpy(words + i + c, &plus, sizeof(Word));
                }
            } else {
                bool negative = false;
                for (size_t c = 0; c < channelCount && i + c < n; ++c) {
                    const size_t position = order == StoreOrder::Forward ? i + c : n - 1 - (i + c);
                    std::memcpy(words + position, negative ? &minus : &plus, sizeof(Word));
                    if (antiphase) negative = !negative;
                }
            }
            if (progress)
                progress(frame < wholeFrames ? static_cast<uint32_t>(i + channelCount) : n);
        }
    }
}

// Fills buffer[0, byteCount) by the shared frame rules. makeValue(shape) is
// called once, only when at least one value fits, and returns the per-frame
// function double(int32_t t) that gives the frame value s. makeFill(shape),
// used instead on the fast path, returns the block function
// fill(uint32_t firstFrame, int count, double* s, const Guard& guard) that
// writes the values of frames firstFrame .. firstFrame + count - 1, in the
// order of the frames, exactly as makeValue's function would; approximate
// values are allowed where guard.Exact(value) holds. Returns 1, or 0
// (nothing written) for an unsupported width.
template <class MakeValue, class MakeFill>
int32_t WriteFrames(uint8_t* buffer, uint32_t byteCount, uint32_t channels, uint32_t bits,
                    double amplitude, ProgressCallback progress, StoreOrder order,
                    MakeValue&& makeValue, MakeFill&& makeFill) {
    const uint32_t valueBytes = BytesPerValue(bits);
    if (valueBytes == 0) return 0;
    const bool antiphase = channels == 0;
    const FrameShape shape{byteCount / valueBytes, antiphase ? 2u : channels};
    // The approximations are bounded relative to full scale: with a huge or
    // non-finite amplitude every frame takes the straightforward path.
    const bool fast = FastPathsEnabled() && std::fabs(amplitude) < 0x1p20;
    const auto run = [&]<class Encoding>(Encoding) {
        if (!fast) {
            if (byteCount != 0) std::memset(buffer, Encoding::kPrefill, byteCount);
            if (shape.capacity == 0) return;
            auto value = makeValue(shape);
            WriteEncodedFrames<Encoding>(buffer, shape.capacity, shape.channelCount, antiphase,
                                         amplitude, progress, order, value);
            return;
        }
        // Every whole value is overwritten: only the bytes after them need
        // the pre-fill.
        const size_t written = static_cast<size_t>(shape.capacity) * valueBytes;
        if (byteCount > written)
            std::memset(buffer + written, Encoding::kPrefill, byteCount - written);
        if (shape.capacity == 0) return;
        auto fill = makeFill(shape);
        WriteEncodedBlocks<Encoding>(buffer, shape.capacity, shape.channelCount, antiphase,
                                     amplitude, progress, order, fill);
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

// A block function that calls a per-frame value function frame by frame,
// for generators with nothing to approximate.
template <class MakeValue> auto FrameByFrame(MakeValue& makeValue) {
    return [&makeValue](const FrameShape& shape) {
        return
            [value = makeValue(shape)](uint32_t first, int count, double* s, const auto&) mutable {
                for (int k = 0; k < count; ++k)
                    s[k] = value(static_cast<int32_t>(first + static_cast<uint32_t>(k)));
            };
    };
}

// The writer for generators whose frame values are computed exactly either
// way.
template <class MakeValue>
int32_t WriteFrames(uint8_t* buffer, uint32_t byteCount, uint32_t channels, uint32_t bits,
                    double amplitude, ProgressCallback progress, StoreOrder order,
                    MakeValue&& makeValue) {
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress, order, makeValue,
                       FrameByFrame(makeValue));
}

} // namespace vantoro
