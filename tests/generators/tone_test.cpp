#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "generators/generators.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

enum Kind { kSine = 0, kSquare = 1, kRamp = 2 };

std::vector<int16_t> Tone16(int32_t kind, uint32_t rate, double frequency, uint32_t frames,
                            double amplitude = 1.0) {
    std::vector<uint8_t> bytes(frames * 2);
    EXPECT_EQ(
        GenerateTone(bytes.data(), frames * 2, rate, 1, 16, kind, frequency, amplitude, nullptr),
        1);
    std::vector<int16_t> values(frames);
    std::memcpy(values.data(), bytes.data(), bytes.size());
    return values;
}

std::vector<uint8_t> Tone8(int32_t kind, uint32_t rate, double frequency, uint32_t frames,
                           double amplitude = 1.0) {
    std::vector<uint8_t> bytes(frames);
    GenerateTone(bytes.data(), frames, rate, 1, 8, kind, frequency, amplitude, nullptr);
    return bytes;
}

// The frame values themselves, read back from the 32-bit encoding (v = s / 2).
std::vector<double> ToneValues(int32_t kind, uint32_t rate, double frequency, uint32_t frames) {
    std::vector<uint8_t> bytes(frames * 4);
    GenerateTone(bytes.data(), frames * 4, rate, 1, 32, kind, frequency, 1.0, nullptr);
    std::vector<double> values(frames);
    for (uint32_t k = 0; k < frames; ++k) {
        float f;
        std::memcpy(&f, &bytes[k * 4], 4);
        values[k] = 2.0 * f;
    }
    return values;
}

// A period of exactly four frames. The angle step is pi/2 rounded to a
// double, so only the first period lands on exact quarter turns; the values
// after it are those the formula gives, drift included.
TEST(Tone, QuarterRatePeriodAt16Bits) {
    EXPECT_EQ(Tone16(kSine, 44100, 11025, 16),
              (std::vector<int16_t>{0, 32767, 0, -32767, 0, 32767, 0, -32767, 0, 32767, 0, -32767,
                                    0, 32767, 0, -32767}));
    // cos of frame 13's angle is -9.8e-16: low, not high.
    EXPECT_EQ(Tone16(kSquare, 44100, 11025, 16),
              (std::vector<int16_t>{32767, 32767, -32767, -32767, 32767, 32767, -32767, -32767,
                                    32767, 32767, -32767, -32767, 32767, -32767, -32767, -32767}));
    EXPECT_EQ(Tone16(kRamp, 44100, 11025, 8),
              (std::vector<int16_t>{-32767, -16383, 32767, 16383, -32767, -16383, 32767, 16383}));
}

TEST(Tone, QuarterRateSineAt8Bits) {
    // sin of frame 4's angle is -2.45e-16, so v is 127.99999999999997.
    EXPECT_EQ(Tone8(kSine, 44100, 11025, 8),
              (std::vector<uint8_t>{128, 255, 128, 1, 127, 255, 128, 1}));
}

TEST(Tone, FirstFrameOfEveryShape) {
    for (double f : {1.0, 440.0, 1000.0, 12345.0}) {
        EXPECT_EQ(ToneValues(kSine, 48000, f, 1)[0], 0.0);
        EXPECT_EQ(ToneValues(kSquare, 48000, f, 1)[0], 1.0);
        EXPECT_EQ(ToneValues(kRamp, 48000, f, 1)[0], -1.0);
    }
}

TEST(Tone, RampPeriods) {
    // P = 1: every frame starts a period.
    for (double v : ToneValues(kRamp, 44100, 44100, 10))
        EXPECT_EQ(v, -1.0);
    // P = 3: -1, -1/3, +2/3 repeating.
    const auto three = ToneValues(kRamp, 44100, 14700, 9);
    for (int k = 0; k < 9; k += 3) {
        EXPECT_EQ(three[k], -1.0);
        EXPECT_NEAR(three[k + 1], -1.0 / 3, 1e-7);
        EXPECT_NEAR(three[k + 2], 2.0 / 3, 1e-7);
    }
    // P = 44.1: 23 rising frames, 21 falling, then the next period.
    const auto p44 = ToneValues(kRamp, 44100, 1000, 45);
    EXPECT_NEAR(p44[22], -0.0022676, 1e-6);
    EXPECT_NEAR(p44[23], 0.9569161, 1e-6);
    EXPECT_EQ(p44[44], -1.0);
    EXPECT_LT(p44[21], p44[22]);
    EXPECT_GT(p44[23], p44[24]);
}

TEST(Tone, RampWithoutAWholePeriodIsSilent) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double f : {0.0, 44101.0, 1e9, inf, -inf, std::nan("")}) {
        for (double v : ToneValues(kRamp, 44100, f, 64))
            EXPECT_EQ(v, 0.0) << f;
        EXPECT_EQ(Tone8(kRamp, 44100, f, 4), std::vector<uint8_t>(4, 128)) << f;
    }
}

TEST(Tone, ZeroAndNegativeFrequencies) {
    EXPECT_EQ(Tone16(kSquare, 44100, 0, 100), std::vector<int16_t>(100, 32767));
    EXPECT_EQ(Tone16(kSine, 44100, 0, 100), std::vector<int16_t>(100, 0));
    const auto up = Tone16(kSine, 44100, 997, 500);
    const auto down = Tone16(kSine, 44100, -997, 500);
    for (size_t k = 0; k < up.size(); ++k)
        EXPECT_EQ(down[k], -up[k]) << k;
    EXPECT_EQ(Tone16(kSquare, 44100, -997, 500), Tone16(kSquare, 44100, 997, 500));
    // A negative ramp runs in the second branch, 2.0 to 4.0, and wraps.
    for (double v : ToneValues(kRamp, 44100, -1000, 200)) {
        EXPECT_GE(v, 2.0);
        EXPECT_LT(v, 4.0);
    }
}

TEST(Tone, UnknownKindIsSilenceAtTheEncodingsZeroLine) {
    EXPECT_EQ(Tone8(7, 44100, 1000, 6, 0.5), std::vector<uint8_t>(6, 64));
    EXPECT_EQ(Tone16(-1, 44100, 1000, 6), std::vector<int16_t>(6, 0));
}

TEST(Tone, SameArgumentsSameBytes) {
    for (int32_t kind : {kSine, kSquare, kRamp}) {
        std::vector<uint8_t> a(9000), b(9000, 0x33);
        GenerateTone(a.data(), 9000, 96000, 0, 24, kind, 1234, 0.8, nullptr);
        GenerateTone(b.data(), 9000, 96000, 0, 24, kind, 1234, 0.8, nullptr);
        EXPECT_EQ(a, b);
    }
}

TEST(Tone, ProgressCountsValuesOfAllChannels) {
    std::vector<uint8_t> bytes(2 * 2 * 441);
    GenerateTone(bytes.data(), bytes.size(), 44100, 2, 16, kSine, 1000, 1.0,
                 test::RecordingProgress());
    const auto& values = test::ProgressValues();
    ASSERT_EQ(values.size(), 441u);
    for (size_t k = 0; k < values.size(); ++k)
        EXPECT_EQ(values[k], 2 * (k + 1));
}

TEST(Tone, UnsupportedWidth) {
    std::vector<uint8_t> bytes(64, 0x11);
    EXPECT_EQ(
        GenerateTone(bytes.data(), 64, 44100, 1, 12, kSine, 1000, 1.0, test::RecordingProgress()),
        0);
    EXPECT_EQ(bytes, std::vector<uint8_t>(64, 0x11));
    EXPECT_TRUE(test::ProgressValues().empty());
}

} // namespace
} // namespace vantoro
