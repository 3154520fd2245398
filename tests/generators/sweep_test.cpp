// Linear and logarithmic sweeps: the frequency law, the shared running phase,
// the storage order of falling log sweeps and the shapes read at the
// sweeping frequency.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "generators/generators.h"
#include "generators/shapes.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

constexpr double kPi = 3.141592653589793;

enum class Law { Linear, Log };

// 32-bit samples hold s * 0.5 as a float, so frame values can be read back
// with single-precision accuracy.
std::vector<float> ReadFloats(const std::vector<uint8_t>& bytes) {
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

std::vector<int16_t> ReadShorts(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

int32_t Sweep(Law law, std::vector<uint8_t>& buffer, uint32_t byteCount, uint32_t rate,
              uint32_t channels, uint16_t bits, int32_t kind, double from, double to,
              ProgressCallback progress = nullptr) {
    return law == Law::Linear ? GenerateLinearSweep(buffer.data(), byteCount, rate, channels, bits,
                                                    kind, from, to, 1.0, progress)
                              : GenerateLogSweep(buffer.data(), byteCount, rate, channels, bits,
                                                 kind, from, to, 1.0, progress);
}

// The frequency of every frame, written directly from the sweep laws:
// linear f(t) = start + (end - start) * t / L, logarithmic
// f(t) = low + (high - low)^(t / L), with L = n / C frames.
std::vector<double> LawFrequencies(Law law, double from, double to, double length,
                                   uint32_t frames) {
    std::vector<double> f(frames);
    const double low = std::fmin(from, to);
    const double high = std::fmax(from, to);
    for (uint32_t t = 0; t < frames; ++t) {
        f[t] = law == Law::Linear ? from + (to - from) * (t / length)
                                  : low + std::pow(high - low, t / length);
    }
    return f;
}

// Sine values from the running phase: each frame first advances the phase by
// 2 pi f / rate at that frame's frequency, then takes its sine.
std::vector<double> AccumulatedSines(const std::vector<double>& frequencies, double rate,
                                     double* finalPhase = nullptr) {
    std::vector<double> out;
    double phase = 0.0;
    for (const double f : frequencies) {
        phase += 2.0 * kPi * f / rate;
        out.push_back(std::sin(phase));
    }
    if (finalPhase) *finalPhase = phase;
    return out;
}

// The same frequencies and phase in the generators' own order of operations,
// bit for bit: the square and the ramp jump at thresholds, so comparing them
// needs exactly the frequencies the generators use.
std::vector<double> ExactFrequencies(Law law, double from, double to, double length,
                                     uint32_t frames) {
    std::vector<double> f(frames);
    const double low = from > to ? to : from;
    const double high = from > to ? from : to;
    const double k = std::pow(10.0, std::log10(high - low) / length);
    for (uint32_t t = 0; t < frames; ++t) {
        const double td = static_cast<double>(t);
        f[t] = law == Law::Linear ? ((td * (to - from)) / length) + from : std::pow(k, td) + low;
    }
    return f;
}

std::vector<double> ExactSines(const std::vector<double>& frequencies, double rate) {
    std::vector<double> out;
    double phase = 0.0;
    for (const double f : frequencies) {
        phase = phase + ((f * kTwoPi) / rate);
        out.push_back(std::sin(phase));
    }
    return out;
}

uint32_t FrameCount(uint32_t values, uint32_t channels) {
    return (values + channels - 1) / channels;
}

// Frame number that value position p carries, given the storage order.
uint32_t FrameAt(uint32_t p, uint32_t n, uint32_t channels, bool reversed) {
    return (reversed ? n - 1 - p : p) / channels;
}

struct LawCase {
    const char* name;
    Law law;
    double from, to;
    uint32_t rate;
    uint32_t channels;
    uint32_t values; // n; not always a whole number of frames
};

void PrintTo(const LawCase& c, std::ostream* os) {
    *os << c.name;
}

class SweepLaw : public ::testing::TestWithParam<LawCase> {};

// Sine sweeps follow the frequency law frame by frame; falling linear sweeps
// are written forward, falling log sweeps time-reversed.
TEST_P(SweepLaw, SineFollowsTheFrequencyLaw) {
    const LawCase& c = GetParam();
    const uint32_t n = c.values;
    std::vector<uint8_t> buffer(n * 4);
    ASSERT_EQ(Sweep(c.law, buffer, n * 4, c.rate, c.channels, 32, 0, c.from, c.to), 1);
    const double length = static_cast<double>(n) / c.channels;
    const uint32_t frames = FrameCount(n, c.channels);
    double finalPhase = 0.0;
    const std::vector<double> expected =
        AccumulatedSines(LawFrequencies(c.law, c.from, c.to, length, frames), c.rate, &finalPhase);
    const bool reversed = c.law == Law::Log && c.from > c.to;
    const std::vector<float> got = ReadFloats(buffer);
    for (uint32_t p = 0; p < n; ++p) {
        const uint32_t frame = FrameAt(p, n, c.channels, reversed);
        ASSERT_NEAR(got[p], expected[frame] * 0.5, 1e-6) << "position " << p << " frame " << frame;
    }
    // The phase is left where the last frame put it, never wrapped.
    EXPECT_NEAR(engineState.sweepPhase, finalPhase, 1e-9 * finalPhase);
}

// The square has the sine's running phase and is high only where the sine
// is positive.
TEST_P(SweepLaw, SquareFollowsTheSineSign) {
    const LawCase& c = GetParam();
    const uint32_t n = c.values;
    std::vector<uint8_t> buffer(n * 2);
    ASSERT_EQ(Sweep(c.law, buffer, n * 2, c.rate, c.channels, 16, 1, c.from, c.to), 1);
    const double length = static_cast<double>(n) / c.channels;
    const std::vector<double> sines = ExactSines(
        ExactFrequencies(c.law, c.from, c.to, length, FrameCount(n, c.channels)), c.rate);
    const bool reversed = c.law == Law::Log && c.from > c.to;
    const std::vector<int16_t> got = ReadShorts(buffer);
    uint32_t high = 0;
    for (uint32_t p = 0; p < n; ++p) {
        const double s = sines[FrameAt(p, n, c.channels, reversed)];
        ASSERT_EQ(got[p], s > 0 ? 32767 : -32767) << "position " << p;
        high += got[p] > 0;
    }
    // Both levels occur (the equal-ends case is too short for much else).
    EXPECT_GT(high, 0u);
    EXPECT_LT(high, n);
}

INSTANTIATE_TEST_SUITE_P(
    Sweeps, SweepLaw,
    ::testing::Values(LawCase{"LinearRising", Law::Linear, 100, 8000, 44100, 1, 44100},
                      LawCase{"LinearFalling", Law::Linear, 5000, 100, 48000, 1, 24000},
                      LawCase{"LinearStereo", Law::Linear, 20, 20000, 96000, 2, 96000},
                      // 302 values in three channels: L = 100.67, the last
                      // frame only partly stored.
                      LawCase{"LinearPartialFrame", Law::Linear, 300, 3000, 8000, 3, 302},
                      LawCase{"LogRising", Law::Log, 100, 1000, 44100, 1, 44100},
                      LawCase{"LogRisingStereo", Law::Log, 20, 20000, 48000, 2, 96000},
                      LawCase{"LogFalling", Law::Log, 10000, 50, 44100, 1, 44100},
                      LawCase{"LogFallingStereo", Law::Log, 8000, 200, 22050, 2, 22050},
                      LawCase{"LogFallingPartialFrame", Law::Log, 3000, 300, 8000, 3, 302},
                      LawCase{"LogEqualEnds", Law::Log, 440, 440, 44100, 1, 1000},
                      LawCase{"LogDifferenceOne", Law::Log, 300, 301, 44100, 1, 1000}),
    [](const ::testing::TestParamInfo<LawCase>& info) { return std::string(info.param.name); });

// The log sweep's first frame is at low + 1: K^0 = 1 even when the ends are
// equal (K = 0), and K = 1 when they are one apart.
TEST(LogSweep, FrameFrequenciesAtTheEdgeCases) {
    struct Case {
        double from, to;
        double first, rest; // frequency of frame 0 and of every later frame
    };
    const Case cases[] = {{440, 440, 441, 440}, {300, 301, 301, 301}, {0, 0, 1, 0}};
    const double rate = 44100;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        std::vector<uint8_t> buffer(64 * 4);
        ASSERT_EQ(Sweep(Law::Log, buffer, 64 * 4, 44100, 1, 32, 0, c.from, c.to), 1);
        std::vector<double> frequencies(64, c.rest);
        frequencies[0] = c.first;
        const std::vector<double> expected = AccumulatedSines(frequencies, rate);
        const std::vector<float> got = ReadFloats(buffer);
        for (size_t t = 0; t < got.size(); ++t)
            ASSERT_NEAR(got[t], expected[t] * 0.5, 1e-7);
    }
}

TEST(LogSweep, FirstFrameIsOneHertzAboveTheLowEnd) {
    std::vector<uint8_t> buffer(1000 * 4);
    ASSERT_EQ(Sweep(Law::Log, buffer, 1000 * 4, 44100, 1, 32, 0, 100, 1000), 1);
    EXPECT_FLOAT_EQ(ReadFloats(buffer)[0], std::sin(2.0 * kPi * 101.0 / 44100.0) * 0.5);
    // The phase after the first frame is one step at 101 Hz.
    std::vector<uint8_t> one(4);
    ASSERT_EQ(Sweep(Law::Log, one, 4, 44100, 1, 32, 0, 100, 1000), 1);
    EXPECT_DOUBLE_EQ(engineState.sweepPhase, 2.0 * kPi * 101.0 / 44100.0);
}

// With equal ends the linear sine runs at the fixed frequency, one frame ahead
// of the fixed tone: the sweep advances its phase before the first sine, the
// tone starts at sin 0.
TEST(LinearSweep, EqualEndsRunOneFrameAheadOfTheTone) {
    struct Case {
        double frequency;
        uint32_t rate;
    };
    const Case cases[] = {{1000, 44100}, {440, 48000}, {12345.5, 96000}, {50, 11025}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frequency << " Hz at " << c.rate);
        const uint32_t n = 4000;
        std::vector<uint8_t> sweep(n * 4), tone((n + 1) * 4);
        ASSERT_EQ(GenerateLinearSweep(sweep.data(), n * 4, c.rate, 1, 32, 0, c.frequency,
                                      c.frequency, 1.0, nullptr),
                  1);
        ASSERT_EQ(
            GenerateTone(tone.data(), (n + 1) * 4, c.rate, 1, 32, 0, c.frequency, 1.0, nullptr), 1);
        const std::vector<float> s = ReadFloats(sweep), t = ReadFloats(tone);
        for (uint32_t k = 0; k < n; ++k) {
            ASSERT_NEAR(s[k], t[k + 1], 1e-7) << "frame " << k;
            ASSERT_NEAR(s[k], std::sin((k + 1) * 2.0 * kPi * c.frequency / c.rate) * 0.5, 1e-7);
        }
    }
}

// From 0 Hz the first frame's phase step is 0: the sine starts at exactly 0
// and the square, sin 0 not being positive, low.
TEST(LinearSweep, StartingAtZeroHertz) {
    struct Case {
        int32_t kind;
        int16_t first, second;
    };
    const Case cases[] = {{0, 0, 1}, {1, -32767, 32767}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind);
        std::vector<uint8_t> buffer(200);
        ASSERT_EQ(Sweep(Law::Linear, buffer, 200, 44100, 1, 16, c.kind, 0, 5000), 1);
        const std::vector<int16_t> got = ReadShorts(buffer);
        EXPECT_EQ(got[0], c.first);
        // Frame 1 is at 5000 / 100 Hz: a tiny positive sine.
        EXPECT_EQ(got[1] > 0, c.second > 0);
        if (c.kind == 1) {
            EXPECT_EQ(got[1], c.second);
        }
    }
    std::vector<uint8_t> buffer(16, 0xAA);
    ASSERT_EQ(Sweep(Law::Linear, buffer, 16, 44100, 1, 32, 0, 0, 5000), 1);
    uint32_t firstBits;
    std::memcpy(&firstBits, buffer.data(), 4);
    EXPECT_EQ(firstBits, 0u);
}

// The ramp is the fixed tone's ramp at each frame's frequency and frame index;
// it leaves the phase alone. Frequencies of 0 or above the rate give a whole
// period of 0 frames and so silence, without faulting.
TEST(Sweep, RampUsesTheFrameFrequencyAndIndex) {
    struct Case {
        Law law;
        double from, to;
    };
    const Case cases[] = {
        {Law::Linear, 100, 3000},    {Law::Linear, 0, 1000},  {Law::Linear, 0, 0},
        {Law::Linear, 50000, 60000}, {Law::Linear, 3000, 20}, {Law::Log, 50, 5000},
        {Law::Log, 50000, 60000},    {Law::Log, 4000, 30},
    };
    const uint32_t rate = 44100, n = 4410;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.law == Law::Log ? "log " : "linear ") << c.from << " -> " << c.to);
        std::vector<uint8_t> buffer(n * 4);
        engineState.sweepPhase = 7.0;
        ASSERT_EQ(Sweep(c.law, buffer, n * 4, rate, 1, 32, 2, c.from, c.to), 1);
        EXPECT_EQ(engineState.sweepPhase, 0.0);
        const std::vector<double> f = ExactFrequencies(c.law, c.from, c.to, n, n);
        const bool reversed = c.law == Law::Log && c.from > c.to;
        const std::vector<float> got = ReadFloats(buffer);
        for (uint32_t p = 0; p < n; ++p) {
            const uint32_t t = FrameAt(p, n, 1, reversed);
            const double expected = RampValue(rate, f[t], static_cast<int32_t>(t));
            ASSERT_EQ(got[p], static_cast<float>(expected * 0.5)) << "frame " << t;
        }
    }
    // 0 Hz and above the rate are silence.
    for (const double f : {0.0, 44101.0, 90000.0}) {
        std::vector<uint8_t> buffer(400, 0xAA);
        ASSERT_EQ(Sweep(Law::Linear, buffer, 400, rate, 1, 16, 2, f, f), 1);
        EXPECT_EQ(buffer, std::vector<uint8_t>(400, 0x00)) << f << " Hz";
    }
}

// Kinds other than sine, square and ramp write silence and leave the phase at 0.
TEST(Sweep, OtherKindsAreSilent) {
    for (const Law law : {Law::Linear, Law::Log}) {
        for (const int32_t kind : {-1, 3, 5, 9}) {
            std::vector<uint8_t> buffer(100, 0xAA);
            engineState.sweepPhase = 3.0;
            ASSERT_EQ(Sweep(law, buffer, 100, 44100, 2, 8, kind, 200, 900), 1);
            EXPECT_EQ(buffer, std::vector<uint8_t>(100, 0x80)) << "kind " << kind;
            EXPECT_EQ(engineState.sweepPhase, 0.0);
        }
    }
}

// A falling log sweep stores value i at position n - 1 - i: with 7 bytes at
// 16 bits, three values at positions 2, 1, 0 and the odd last byte silence.
TEST(LogSweep, FallingStoresValuesReversed) {
    std::vector<uint8_t> buffer(8, 0xAA);
    ASSERT_EQ(GenerateLogSweep(buffer.data(), 7, 44100, 1, 16, 0, 1000, 100, 1.0, nullptr), 1);
    // L = 3, K = 900^(1/3): frames at 101, 100 + K, 100 + K^2 Hz.
    const std::vector<double> sines =
        AccumulatedSines(LawFrequencies(Law::Log, 1000, 100, 3, 3), 44100);
    const std::vector<int16_t> got = ReadShorts(buffer);
    for (int i = 0; i < 3; ++i) {
        const int16_t expected = static_cast<int16_t>(sines[i] * 32767.0);
        EXPECT_NEAR(got[2 - i], expected, 1) << "value " << i;
    }
    EXPECT_NE(got[0], got[2]);
    EXPECT_EQ(buffer[6], 0x00);
    EXPECT_EQ(buffer[7], 0xAA);
    // The same rising sweep stores the same values forward.
    std::vector<uint8_t> rising(8, 0xAA);
    ASSERT_EQ(GenerateLogSweep(rising.data(), 7, 44100, 1, 16, 0, 100, 1000, 1.0, nullptr), 1);
    const std::vector<int16_t> forward = ReadShorts(rising);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(forward[i], got[2 - i]);
}

// In antiphase the inverted channel follows the value order, so once the
// values are stored reversed the first channel of every frame is the inverted
// one.
TEST(LogSweep, FallingAntiphaseInvertsTheFirstChannel) {
    const uint32_t frames = 500, n = frames * 2;
    std::vector<uint8_t> buffer(n * 2);
    ASSERT_EQ(GenerateLogSweep(buffer.data(), n * 2, 48000, 0, 16, 0, 5000, 100, 1.0, nullptr), 1);
    const std::vector<double> sines =
        AccumulatedSines(LawFrequencies(Law::Log, 5000, 100, frames, frames), 48000);
    const std::vector<int16_t> got = ReadShorts(buffer);
    for (uint32_t m = 0; m < frames; ++m) {
        const uint32_t t = frames - 1 - m; // stored frame m carries sweep frame t
        EXPECT_EQ(got[2 * m], -got[2 * m + 1]) << "stored frame " << m;
        ASSERT_NEAR(got[2 * m + 1], sines[t] * 32767.0, 1.0) << "stored frame " << m;
    }
    // A rising one keeps the usual order: the second channel is inverted.
    std::vector<uint8_t> rising(n * 2);
    ASSERT_EQ(GenerateLogSweep(rising.data(), n * 2, 48000, 0, 16, 0, 100, 5000, 1.0, nullptr), 1);
    const std::vector<int16_t> up = ReadShorts(rising);
    for (uint32_t m = 0; m < frames; ++m) {
        ASSERT_EQ(up[2 * m + 1], -up[2 * m]);
        ASSERT_EQ(up[2 * m], got[2 * (frames - 1 - m) + 1]);
    }
}

// The phase is reset on entry, even by a call that then fails on the width.
TEST(Sweep, UnsupportedWidthStillResetsThePhase) {
    for (const Law law : {Law::Linear, Law::Log}) {
        for (const uint16_t bits : {0, 12, 31, 64}) {
            std::vector<uint8_t> buffer(64, 0xAA);
            engineState.sweepPhase = 1234.5;
            EXPECT_EQ(Sweep(law, buffer, 64, 44100, 1, bits, 0, 100, 1000), 0);
            EXPECT_EQ(engineState.sweepPhase, 0.0);
            EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xAA)) << "bits " << bits;
        }
    }
}

// Because each call starts from phase 0, the output does not depend on what
// ran before, another sweep included.
TEST(Sweep, RepeatsExactlyWhateverRanBefore) {
    struct Case {
        Law law;
        int32_t kind;
        double from, to;
    };
    const Case cases[] = {{Law::Linear, 0, 200, 9000},
                          {Law::Linear, 1, 9000, 200},
                          {Law::Log, 0, 20, 20000},
                          {Law::Log, 1, 20000, 20}};
    for (const Case& c : cases) {
        const uint32_t bytes = 44100 * 2 * 2;
        std::vector<uint8_t> first(bytes), other(bytes), second(bytes);
        ASSERT_EQ(Sweep(c.law, first, bytes, 44100, 2, 16, c.kind, c.from, c.to), 1);
        const Law otherLaw = c.law == Law::Linear ? Law::Log : Law::Linear;
        ASSERT_EQ(Sweep(otherLaw, other, bytes, 48000, 1, 16, 0, 333, 777), 1);
        engineState.sweepPhase = -5e6;
        ASSERT_EQ(Sweep(c.law, second, bytes, 44100, 2, 16, c.kind, c.from, c.to), 1);
        EXPECT_EQ(first, second) << "kind " << c.kind << " from " << c.from;
    }
}

// Progress is reported after every frame, also for a reversed sweep, with the
// number of values written so far.
TEST(Sweep, ReportsProgressOncePerFrame) {
    struct Case {
        Law law;
        double from, to;
        uint32_t channels, values, calls;
    };
    const Case cases[] = {{Law::Linear, 100, 200, 2, 100, 50},
                          {Law::Log, 200, 100, 2, 100, 50},
                          {Law::Log, 200, 100, 3, 100, 34},
                          {Law::Log, 100, 200, 0, 7, 4}};
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(c.values * 2);
        ASSERT_EQ(Sweep(c.law, buffer, c.values * 2, 44100, c.channels, 16, 0, c.from, c.to,
                        test::RecordingProgress()),
                  1);
        const std::vector<uint32_t>& progress = test::ProgressValues();
        ASSERT_EQ(progress.size(), c.calls);
        EXPECT_EQ(progress.back(), c.values);
        // Strictly increasing.
        EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end(), std::greater_equal<>()),
                  progress.end());
    }
}

} // namespace
} // namespace vantoro
