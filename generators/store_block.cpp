#include <bit>
#include <cmath>
#include <cstring>

#include "generators/frame_writer.h"
#include "generators/vector_clones.h"

namespace vantoro {

namespace {

// Two words side by side, the first in the low half (little-endian order).
template <class Word> struct PairOf;
template <> struct PairOf<uint8_t> { using Type = uint16_t; };
template <> struct PairOf<uint16_t> { using Type = uint32_t; };
template <> struct PairOf<uint32_t> { using Type = uint64_t; };

template <class Encoding>
[[gnu::always_inline]] inline bool StoreBlockOf(const double* s, uint32_t count, double amplitude,
                                                BlockLayout layout, void* out) {
    using Word = typename Encoding::Word;
    using Pair = typename PairOf<Word>::Type;
    Word plus[kBlockFrames], minus[kBlockFrames];
    if constexpr (Encoding::kInteger) {
        // Below 2^31 in magnitude, truncation to a 32-bit integer is T(v).
        double v[kBlockFrames];
        bool inRange = true;
        for (uint32_t k = 0; k < count; ++k) {
            v[k] = Encoding::Value(s[k], amplitude);
            inRange &= std::fabs(v[k]) < 0x1p31;
        }
        if (!inRange) return false;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t x = static_cast<uint32_t>(static_cast<int32_t>(v[k]));
            plus[k] = Encoding::Pattern(x);
            minus[k] = Encoding::Pattern(0u - x);
        }
    } else {
        for (uint32_t k = 0; k < count; ++k) {
            const double v = Encoding::Value(s[k], amplitude);
            plus[k] = std::bit_cast<Word>(static_cast<float>(v));
            minus[k] = std::bit_cast<Word>(static_cast<float>(-v));
        }
    }
    auto* bytes = static_cast<uint8_t*>(out);
    constexpr unsigned kBits = 8 * sizeof(Word);
    switch (layout) {
    case BlockLayout::Mono:
        std::memcpy(bytes, plus, count * sizeof(Word));
        break;
    case BlockLayout::Stereo:
        for (uint32_t k = 0; k < count; ++k) {
            const Pair pair = static_cast<Pair>(plus[k]) | (static_cast<Pair>(plus[k]) << kBits);
            std::memcpy(bytes + k * sizeof(Pair), &pair, sizeof(Pair));
        }
        break;
    case BlockLayout::Antiphase:
        for (uint32_t k = 0; k < count; ++k) {
            const Pair pair = static_cast<Pair>(plus[k]) | (static_cast<Pair>(minus[k]) << kBits);
            std::memcpy(bytes + k * sizeof(Pair), &pair, sizeof(Pair));
        }
        break;
    }
    return true;
}

template <class Encoding>
[[gnu::always_inline]] inline bool
AllSinesCertainOf(const double* x, const double* s, uint32_t count, double amplitude, double band) {
    unsigned certain = 1;
    for (uint32_t k = 0; k < count; ++k)
        certain &= static_cast<unsigned>(std::fabs(x[k]) < kFastTrigLimit) &
                   static_cast<unsigned>(Encoding::Certain(Encoding::Value(s[k], amplitude), band));
    return certain != 0;
}

} // namespace

// The entry points of one encoding: plain functions, since each is built
// once per instruction set.
#define VANTORO_BLOCK_FUNCTIONS(E)                                                                 \
    VANTORO_VECTOR_CLONES bool StoreBlock(encoding::E, const double* s, uint32_t count,            \
                                          double amplitude, BlockLayout layout, void* out) {       \
        return StoreBlockOf<encoding::E>(s, count, amplitude, layout, out);                        \
    }                                                                                              \
    VANTORO_VECTOR_CLONES bool AllSinesCertain(encoding::E, const double* x, const double* s,      \
                                               uint32_t count, double amplitude, double band) {    \
        return AllSinesCertainOf<encoding::E>(x, s, count, amplitude, band);                       \
    }

VANTORO_BLOCK_FUNCTIONS(U8)
VANTORO_BLOCK_FUNCTIONS(S16)
VANTORO_BLOCK_FUNCTIONS(S20)
VANTORO_BLOCK_FUNCTIONS(S24)
VANTORO_BLOCK_FUNCTIONS(F32)

#undef VANTORO_BLOCK_FUNCTIONS

} // namespace vantoro
