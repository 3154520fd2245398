// The noise source and the noise generator: the draw, the pink and brown
// filters with their bounded sums, and the frames they produce.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include <gtest/gtest.h>

#include "generators/generators.h"
#include "generators/noise.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

static_assert(offsetof(NoiseSource, seed) < offsetof(NoiseSource, pinkCounter));
static_assert(offsetof(NoiseSource, pinkCounter) < offsetof(NoiseSource, drawBits));
static_assert(offsetof(NoiseSource, drawBits) < offsetof(NoiseSource, pinkSum));
static_assert(offsetof(NoiseSource, pinkSum) < offsetof(NoiseSource, brownSum));
static_assert(offsetof(NoiseSource, brownSum) < offsetof(NoiseSource, pinkRows));

constexpr uint32_t kMultiplier = 196314165u;
constexpr uint32_t kIncrement = 907633515u;

constexpr uint32_t Step(uint32_t seed) {
    return seed * kMultiplier + kIncrement;
}

// The multiplier's inverse modulo 2^32 (Newton's iteration doubles the
// correct low bits each round), to find the state that precedes a draw.
constexpr uint32_t InverseMultiplier() {
    uint32_t x = kMultiplier;
    for (int i = 0; i < 5; ++i)
        x *= 2u - kMultiplier * x;
    return x;
}
static_assert(InverseMultiplier() * kMultiplier == 1u);

// A state whose next draw has mantissa bits `mantissa` (seed >> 9).
constexpr uint32_t SeedBefore(uint32_t mantissa) {
    return ((mantissa << 9) - kIncrement) * InverseMultiplier();
}

// Draws made between two states, found by stepping; -1 if more than `limit`.
int DrawsBetween(uint32_t before, uint32_t after, int limit = 64) {
    for (int k = 0; k <= limit; ++k) {
        if (before == after) return k;
        before = Step(before);
    }
    return -1;
}

// The value of the source's last draw at scale 0.5, from its stored pattern.
double LastDraw(const NoiseSource& s) {
    return (static_cast<double>(std::bit_cast<float>(s.drawBits)) - 3.0) * 0.5;
}

std::vector<int16_t> ReadShorts(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

TEST(NoiseSource, StartsFromTheSeedWithEmptyFilters) {
    const NoiseSource s = MakeNoiseSource(0xDEADBEEFu);
    EXPECT_EQ(s.seed, 0xDEADBEEFu);
    EXPECT_EQ(s.pinkCounter, 1);
    EXPECT_EQ(s.drawBits, 0u);
    EXPECT_EQ(s.pinkSum, 0.0f);
    EXPECT_EQ(s.brownSum, 0.0f);
    for (const float row : s.pinkRows)
        EXPECT_EQ(row, 0.0f);
}

TEST(NoiseSource, ClockSeedIsTheCurrentTime) {
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    const NoiseSource s = MakeClockNoiseSource();
    const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_LE(s.seed - before, after - before);
    EXPECT_EQ(s.pinkCounter, 1);
    EXPECT_EQ(s.pinkSum, 0.0f);
}

struct DrawCase {
    uint32_t seed, drawBits;
    double value;
};

// The first draws from seed 0, and one from seed 1.
TEST(NoiseDraw, WorkedExample) {
    const DrawCase fromZero[] = {
        {907633515u, 0x401B0CB1u, -0.2886751890182495},
        {2641306770u, 0x404EB792u, +0.11497712135314941},
        {4111285669u, 0x407A869Eu, +0.457233190536499},
        {4143921812u, 0x407B7F9Du, +0.4648319482803345},
        {1151390735u, 0x4022506Au, -0.23192095756530762},
        {1144653446u, 0x40221D03u, -0.23348963260650635},
    };
    NoiseSource s = MakeNoiseSource(0);
    for (const DrawCase& c : fromZero) {
        EXPECT_EQ(NextWhite(s, 0.5f), c.value);
        EXPECT_EQ(s.seed, c.seed);
        EXPECT_EQ(s.drawBits, c.drawBits);
    }
    NoiseSource one = MakeNoiseSource(1);
    EXPECT_EQ(NextWhite(one, 0.5f), -0.24296724796295166);
    EXPECT_EQ(one.seed, 1103947680u);
    EXPECT_EQ(one.drawBits, 0x4020E673u);
}

// A draw is the float in [2, 4) with the state's top 23 bits as mantissa,
// less 3, times the scale; at scale 0.5 exactly (seed >> 9) * 2^-23 - 0.5.
TEST(NoiseDraw, FollowsTheMantissaOfTheState) {
    const float scales[] = {0.5f, 1.0f, 0.25f, 3.0f, -2.0f};
    uint32_t seed = 12345u;
    for (int i = 0; i < 10000; ++i) {
        for (const float scale : scales) {
            NoiseSource s = MakeNoiseSource(seed);
            const double value = NextWhite(s, scale);
            const uint32_t next = Step(seed);
            ASSERT_EQ(s.seed, next);
            ASSERT_EQ(s.drawBits, (next >> 9) | 0x40000000u);
            const double mantissa = static_cast<double>(next >> 9);
            ASSERT_EQ(value, (mantissa * 0x1p-22 - 1.0) * scale);
            if (scale == 0.5f) {
                ASSERT_EQ(value, mantissa * 0x1p-23 - 0.5);
            }
        }
        seed = Step(seed) ^ 0x9E3779B9u;
    }
    // The two ends of the range.
    NoiseSource lowest = MakeNoiseSource(SeedBefore(0));
    EXPECT_EQ(NextWhite(lowest, 0.5f), -0.5);
    NoiseSource highest = MakeNoiseSource(SeedBefore(0x7FFFFF));
    EXPECT_EQ(NextWhite(highest, 0.5f), 0.5 - 0x1p-23);
}

struct ColourCase {
    const char* name;
    int32_t kind;
    double (*next)(NoiseSource&);
    double values[4];
    double sums[4]; // pinkSum or brownSum after each frame; unused for white
    int16_t samples[4];
};

double NextWhiteHalf(NoiseSource& s) {
    return NextWhite(s, 0.5f);
}

const ColourCase kColours[] = {
    {"white",
     3,
     NextWhiteHalf,
     {-0.2886751890182495, +0.11497712135314941, +0.457233190536499, +0.4648319482803345},
     {},
     {-9459, 3767, 14982, 15231}},
    {"pink",
     4,
     NextPink,
     {-0.021712258458137512, +0.079173743724823, -0.0010221749544143677, -0.013865381479263306},
     {-0.2886751890182495, +0.1685580015182495, +0.2253122329711914, +0.3001997470855713},
     {-711, 2594, -33, -454}},
    {"brown",
     5,
     NextBrown,
     {-0.018042199313640594, -0.010856129229068756, +0.017720945179462433, +0.04677294194698334},
     {-0.2886751890182495, -0.1736980676651001, +0.2835351228713989, +0.7483670711517334},
     {-591, -355, 580, 1532}},
};

// The first four frames of each colour from seed 0, as values, running sums
// and 16-bit samples.
TEST(NoiseColours, WorkedExampleFromSeedZero) {
    for (const ColourCase& c : kColours) {
        SCOPED_TRACE(c.name);
        NoiseSource s = MakeNoiseSource(0);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(c.next(s), c.values[i]) << "frame " << i + 1;
            if (c.kind == 4) {
                EXPECT_EQ(s.pinkSum, c.sums[i]);
            }
            if (c.kind == 5) {
                EXPECT_EQ(s.brownSum, c.sums[i]);
            }
        }
        std::vector<uint8_t> buffer(8);
        ASSERT_EQ(GenerateNoiseFromSeed(0, buffer.data(), 8, 44100, 1, 16, c.kind, 1.0, nullptr),
                  1);
        const std::vector<int16_t> samples = ReadShorts(buffer);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(samples[i], c.samples[i]) << "frame " << i + 1;
    }
}

// One value per frame, shared by all channels (inverted on the second in
// antiphase), drawn in frame order.
TEST(NoiseColours, OneValuePerFrameInEveryChannel) {
    for (const ColourCase& c : kColours) {
        for (const uint32_t channels : {0u, 2u, 3u}) {
            SCOPED_TRACE(testing::Message() << c.name << ", channels " << channels);
            const uint32_t perFrame = channels == 0 ? 2 : channels;
            std::vector<uint8_t> buffer(4 * perFrame * 2);
            ASSERT_EQ(GenerateNoiseFromSeed(0, buffer.data(), buffer.size(), 8000, channels, 16,
                                            c.kind, 1.0, nullptr),
                      1);
            const std::vector<int16_t> samples = ReadShorts(buffer);
            for (uint32_t i = 0; i < samples.size(); ++i) {
                const int16_t expected = c.samples[i / perFrame];
                const bool inverted = channels == 0 && i % 2 == 1;
                ASSERT_EQ(samples[i], inverted ? -expected : expected) << "value " << i;
            }
        }
    }
}

// The generator stores, frame after frame, the values the source gives; at
// 32 bits each is kept exactly, as a float of half its value.
TEST(NoiseColours, GeneratorFollowsTheSource) {
    for (const ColourCase& c : kColours) {
        SCOPED_TRACE(c.name);
        const uint32_t frames = 50000;
        std::vector<uint8_t> buffer(frames * 4);
        ASSERT_EQ(GenerateNoiseFromSeed(99, buffer.data(), frames * 4, 48000, 1, 32, c.kind, 1.0,
                                        nullptr),
                  1);
        std::vector<float> got(frames);
        std::memcpy(got.data(), buffer.data(), buffer.size());
        NoiseSource s = MakeNoiseSource(99);
        for (uint32_t t = 0; t < frames; ++t) {
            ASSERT_EQ(got[t], static_cast<float>(c.next(s) * 0.5)) << "frame " << t + 1;
        }
    }
}

// The first brown redraw is in frame 505, counting frames from 1: the 504
// frames before it take one draw each, it takes two.
TEST(BrownNoise, FirstRedrawFromSeedZero) {
    NoiseSource s = MakeNoiseSource(0);
    for (int frame = 1; frame <= 504; ++frame) {
        const uint32_t before = s.seed;
        NextBrown(s);
        ASSERT_EQ(DrawsBetween(before, s.seed), 1) << "frame " << frame;
    }
    EXPECT_EQ(DrawsBetween(0, s.seed, 600), 504);
    EXPECT_EQ(s.brownSum, 7.604475975036621);

    // The two draws frame 505 will make.
    NoiseSource peek = s;
    const double rejected = NextWhite(peek, 0.5f);
    const double accepted = NextWhite(peek, 0.5f);
    EXPECT_EQ(rejected, 0.4744296073913574);
    EXPECT_EQ(s.brownSum + rejected, 8.078905582427979);
    EXPECT_EQ(accepted, -0.03727567195892334);

    const double value = NextBrown(s);
    EXPECT_EQ(s.seed, peek.seed);
    EXPECT_EQ(DrawsBetween(0, s.seed, 600), 506);
    EXPECT_EQ(s.brownSum, 7.567200183868408);
    // The value is the unrounded candidate, not the stored float sum.
    EXPECT_EQ(value, (7.604475975036621 + accepted) * 0.0625);
}

// The first pink redraws are in frame 23638 (counter 23638, row 1): two
// candidates above 4 are rejected, both measured against the row's old value.
TEST(PinkNoise, FirstRedrawFromSeedZero) {
    NoiseSource s = MakeNoiseSource(0);
    for (int frame = 1; frame < 23638; ++frame) {
        const uint32_t before = s.seed;
        NextPink(s);
        ASSERT_EQ(DrawsBetween(before, s.seed), 2) << "frame " << frame;
    }
    ASSERT_EQ(s.pinkCounter, 23638);
    const double old = s.pinkRows[1];

    NoiseSource peek = s;
    const double first = NextWhite(peek, 0.5f);
    const double second = NextWhite(peek, 0.5f);
    const double third = NextWhite(peek, 0.5f);
    EXPECT_EQ(s.pinkSum + (first - old), 4.091253042221069);
    EXPECT_EQ(s.pinkSum + (second - old), 4.127420544624329);
    const double candidate = s.pinkSum + (third - old);
    EXPECT_LE(candidate, 4.0);
    const double white = NextWhite(peek, 0.5f);

    const uint32_t before = s.seed;
    const double value = NextPink(s);
    EXPECT_EQ(DrawsBetween(before, s.seed), 4);
    EXPECT_EQ(s.pinkSum, 3.847471237182617);
    EXPECT_EQ(s.pinkSum, static_cast<float>(candidate));
    EXPECT_EQ(s.pinkRows[1], static_cast<float>(third));
    EXPECT_EQ(s.pinkCounter, 23639);
    EXPECT_EQ(value, (white + s.pinkSum) * 0.125);
}

// Counter c renews row (trailing zeros of c) mod 16 and no other; the row
// takes the frame's first draw when there is no redraw.
TEST(PinkNoise, RenewsOneRowPerFrame) {
    struct Renewal {
        int32_t counter;
        int row;
    };
    const Renewal listed[] = {{1, 0},     {2, 1},      {12, 2},    {32768, 15},
                              {65536, 0}, {98304, 15}, {131072, 1}};
    NoiseSource s = MakeNoiseSource(0);
    size_t next = 0;
    while (s.pinkCounter <= 131072) {
        const NoiseSource before = s;
        NoiseSource peek = s;
        const double firstDraw = NextWhite(peek, 0.5f);
        NextPink(s);
        const int row = std::countr_zero(static_cast<uint32_t>(before.pinkCounter)) % 16;
        for (int r = 0; r < 16; ++r) {
            if (r != row) {
                ASSERT_EQ(s.pinkRows[r], before.pinkRows[r]) << before.pinkCounter;
            }
        }
        if (next < std::size(listed) && before.pinkCounter == listed[next].counter) {
            SCOPED_TRACE(testing::Message() << "counter " << before.pinkCounter);
            EXPECT_EQ(row, listed[next].row);
            ASSERT_EQ(DrawsBetween(before.seed, s.seed), 2);
            EXPECT_EQ(s.pinkRows[row], static_cast<float>(firstDraw));
            EXPECT_NE(s.pinkRows[row], before.pinkRows[row]);
            ++next;
        }
    }
    EXPECT_EQ(next, std::size(listed));
}

// Over a long run every colour stays in its range and the sums within their
// bounds, reaching near the edges; the pink sum tracks the sum of its rows.
TEST(NoiseColours, RangesAndInvariantsOverALongRun) {
    constexpr int kFrames = 2'000'000;
    {
        NoiseSource s = MakeNoiseSource(0);
        double lo = 1, hi = -1;
        for (int i = 0; i < 2 * kFrames; ++i) {
            const double v = NextWhite(s, 0.5f);
            ASSERT_EQ(v, LastDraw(s));
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        EXPECT_GE(lo, -0.5);
        EXPECT_LT(hi, 0.5);
        EXPECT_LT(lo, -0.4999);
        EXPECT_GT(hi, 0.4999);
    }
    {
        NoiseSource s = MakeNoiseSource(7);
        double lo = 1, hi = -1, sumLo = 0, sumHi = 0, drift = 0;
        for (int i = 0; i < kFrames; ++i) {
            const double v = NextPink(s);
            // The value takes the sum as stored, rounded to a float.
            ASSERT_EQ(v, (LastDraw(s) + s.pinkSum) * 0.125) << "frame " << i + 1;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            sumLo = std::min(sumLo, static_cast<double>(s.pinkSum));
            sumHi = std::max(sumHi, static_cast<double>(s.pinkSum));
            if (i % 1000 == 0) {
                double rows = 0;
                for (const float r : s.pinkRows)
                    rows += r;
                drift = std::max(drift, std::fabs(rows - s.pinkSum));
            }
        }
        EXPECT_GE(lo, -0.5625);
        EXPECT_LT(hi, 0.5625);
        EXPECT_GE(sumLo, -4.0);
        EXPECT_LE(sumHi, 4.0);
        EXPECT_LT(sumLo, -3.9);
        EXPECT_GT(sumHi, 3.9);
        // Each update rounds the sum to a float, so it drifts slightly away
        // from the exact sum of the rows.
        EXPECT_LT(drift, 1e-3);
    }
    {
        NoiseSource s = MakeNoiseSource(7);
        double lo = 1, hi = -1, sumLo = 0, sumHi = 0;
        for (int i = 0; i < 2 * kFrames; ++i) {
            const float before = s.brownSum;
            const double v = NextBrown(s);
            // The value is the unrounded sum; the stored sum is its float.
            const double candidate = before + LastDraw(s);
            ASSERT_EQ(v, candidate * 0.0625) << "frame " << i + 1;
            ASSERT_EQ(s.brownSum, static_cast<float>(candidate));
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            sumLo = std::min(sumLo, static_cast<double>(s.brownSum));
            sumHi = std::max(sumHi, static_cast<double>(s.brownSum));
        }
        EXPECT_GE(lo, -0.5);
        EXPECT_LE(hi, 0.5);
        EXPECT_GE(sumLo, -8.0);
        EXPECT_LE(sumHi, 8.0);
        EXPECT_LT(sumLo, -7.9);
        EXPECT_GT(sumHi, 7.9);
    }
}

// The bounds are inclusive: a candidate sum exactly on them is kept.
TEST(NoiseColours, CandidateOnTheBoundIsAccepted) {
    // Mantissa 0x400000 draws exactly 0.0, mantissa 0 draws -0.5.
    struct Case {
        float brownSum;
        uint32_t mantissa;
        double value;
    };
    const Case brown[] = {{8.0f, 0x400000, 0.5}, {-7.5f, 0, -0.5}, {-8.0f, 0x400000, -0.5}};
    for (const Case& c : brown) {
        NoiseSource s = MakeNoiseSource(SeedBefore(c.mantissa));
        s.brownSum = c.brownSum;
        EXPECT_EQ(NextBrown(s), c.value);
        EXPECT_EQ(DrawsBetween(SeedBefore(c.mantissa), s.seed), 1);
        EXPECT_EQ(s.brownSum, c.value * 16.0);
    }
    // Pink: counter 1 renews row 0, which is 0, so the candidate is the sum
    // plus the draw.
    const Case pink[] = {{4.0f, 0x400000, 4.0}, {-3.5f, 0, -4.0}};
    for (const Case& c : pink) {
        NoiseSource s = MakeNoiseSource(SeedBefore(c.mantissa));
        s.pinkSum = c.brownSum;
        NextPink(s);
        EXPECT_EQ(DrawsBetween(SeedBefore(c.mantissa), s.seed), 2);
        EXPECT_EQ(s.pinkSum, c.value);
    }
}

// Kinds that are not noise write silence, still frame by frame.
TEST(NoiseGenerator, OtherKindsAreSilentWithProgress) {
    for (const int32_t kind : {0, 1, 2, 6, -1}) {
        std::vector<uint8_t> buffer(400, 0xAA);
        ASSERT_EQ(GenerateNoiseFromSeed(0, buffer.data(), 400, 44100, 2, 16, kind, 1.0,
                                        test::RecordingProgress()),
                  1);
        EXPECT_EQ(buffer, std::vector<uint8_t>(400, 0x00)) << "kind " << kind;
        const std::vector<uint32_t>& progress = test::ProgressValues();
        ASSERT_EQ(progress.size(), 100u);
        for (uint32_t i = 0; i < 100; ++i) {
            EXPECT_EQ(progress[i], 2 * (i + 1));
        }
    }
}

// Too small a buffer for one value is only pre-filled; an unsupported width
// leaves the buffer untouched.
TEST(NoiseGenerator, BuffersWithoutAWholeValue) {
    struct Case {
        uint32_t byteCount;
        uint16_t bits;
        int32_t result;
        uint8_t fill;
    };
    const Case cases[] = {{3, 32, 1, 0x00}, {3, 24, 1, 0x00}, {1, 16, 1, 0x00},
                          {0, 8, 1, 0xAA},  {8, 12, 0, 0xAA}, {8, 0, 0, 0xAA}};
    for (const Case& c : cases) {
        for (const int32_t kind : {3, 4, 5}) {
            SCOPED_TRACE(testing::Message() << c.byteCount << " bytes at " << c.bits << " bits");
            std::vector<uint8_t> buffer(c.byteCount + 1, 0xAA);
            EXPECT_EQ(GenerateNoiseFromSeed(0, buffer.data(), c.byteCount, 44100, 1, c.bits, kind,
                                            1.0, test::RecordingProgress()),
                      c.result);
            for (uint32_t i = 0; i < c.byteCount; ++i)
                EXPECT_EQ(buffer[i], c.fill);
            EXPECT_EQ(buffer[c.byteCount], 0xAA);
            EXPECT_TRUE(test::ProgressValues().empty());
        }
    }
}

// The rate does not enter the noise: one seed gives the same values at every
// rate, and another seed different ones.
TEST(NoiseGenerator, SeedDecidesTheValues) {
    const uint32_t rates[] = {11025, 22050, 32000, 44100, 48000, 96000, 192000};
    for (const int32_t kind : {3, 4, 5}) {
        std::vector<uint8_t> reference(4000), other(4000);
        ASSERT_EQ(
            GenerateNoiseFromSeed(42, reference.data(), 4000, 8000, 2, 24, kind, 0.7, nullptr), 1);
        for (const uint32_t rate : rates) {
            std::vector<uint8_t> buffer(4000);
            ASSERT_EQ(
                GenerateNoiseFromSeed(42, buffer.data(), 4000, rate, 2, 24, kind, 0.7, nullptr), 1);
            EXPECT_EQ(buffer, reference) << "kind " << kind << " at " << rate;
        }
        ASSERT_EQ(GenerateNoiseFromSeed(43, other.data(), 4000, 8000, 2, 24, kind, 0.7, nullptr),
                  1);
        EXPECT_NE(other, reference) << "kind " << kind;
    }
}

// The clock-seeded generator gives what the seeded one gives for the time
// it read, whichever side of a second boundary that fell.
TEST(NoiseGenerator, ClockSeededMatchesTheSeededGenerator) {
    for (const int32_t kind : {3, 4, 5}) {
        std::vector<uint8_t> buffer(2000), early(2000), late(2000);
        const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
        ASSERT_EQ(GenerateNoise(buffer.data(), 2000, 44100, 1, 16, kind, 1.0, nullptr), 1);
        const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
        ASSERT_EQ(
            GenerateNoiseFromSeed(before, early.data(), 2000, 44100, 1, 16, kind, 1.0, nullptr), 1);
        ASSERT_EQ(GenerateNoiseFromSeed(after, late.data(), 2000, 44100, 1, 16, kind, 1.0, nullptr),
                  1);
        EXPECT_TRUE(buffer == early || buffer == late) << "kind " << kind;
    }
    std::vector<uint8_t> buffer(8, 0xAA);
    EXPECT_EQ(GenerateNoise(buffer.data(), 8, 44100, 1, 12, 3, 1.0, nullptr), 0);
    EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0xAA));
}

} // namespace
} // namespace vantoro
