// The fast paths must store exactly the bytes of the straightforward path
// that calls the standard library frame by frame, and report the same
// progress.
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "generators/fast_sine.h"
#include "generators/frame_writer.h"
#include "generators/generators.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

enum class Family { Tone, LinearSweep, LogSweep, Noise };

struct Call {
    Family family;
    int32_t kind;
    uint32_t byteCount, sampleRate, channels;
    uint16_t bits;
    double a, b; // frequency, or the sweep's ends
    double amplitude;
};

std::string Describe(const Call& c) {
    return testing::PrintToString(std::vector<double>{
        static_cast<double>(c.family), static_cast<double>(c.kind),
        static_cast<double>(c.byteCount), static_cast<double>(c.sampleRate),
        static_cast<double>(c.channels), static_cast<double>(c.bits), c.a, c.b, c.amplitude});
}

struct Output {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> progress;
    double sweepPhase;
};

// With reportProgress false no callback is passed: whole blocks of frames are
// then stored at once for the common layouts.
Output Run(const Call& c, bool fast, bool reportProgress = true) {
    SetFastPathsEnabled(fast);
    Output out;
    out.bytes.assign(c.byteCount, 0x5C);
    const ProgressCallback progress = reportProgress ? test::RecordingProgress() : nullptr;
    switch (c.family) {
    case Family::Tone:
        GenerateTone(out.bytes.data(), c.byteCount, c.sampleRate, c.channels, c.bits, c.kind, c.a,
                     c.amplitude, progress);
        break;
    case Family::LinearSweep:
        GenerateLinearSweep(out.bytes.data(), c.byteCount, c.sampleRate, c.channels, c.bits, c.kind,
                            c.a, c.b, c.amplitude, progress);
        break;
    case Family::LogSweep:
        GenerateLogSweep(out.bytes.data(), c.byteCount, c.sampleRate, c.channels, c.bits, c.kind,
                         c.a, c.b, c.amplitude, progress);
        break;
    case Family::Noise:
        GenerateNoiseFromSeed(static_cast<uint32_t>(c.a), out.bytes.data(), c.byteCount,
                              c.sampleRate, c.channels, c.bits, c.kind, c.amplitude, progress);
        break;
    }
    SetFastPathsEnabled(true);
    if (reportProgress) out.progress = test::ProgressValues();
    out.sweepPhase = engineState.sweepPhase;
    return out;
}

void ExpectSame(const Call& c) {
    const Output reference = Run(c, false);
    const Output fast = Run(c, true);
    ASSERT_EQ(fast.bytes.size(), reference.bytes.size());
    for (size_t k = 0; k < fast.bytes.size(); ++k)
        ASSERT_EQ(fast.bytes[k], reference.bytes[k]) << "byte " << k << " of " << Describe(c);
    ASSERT_EQ(fast.progress, reference.progress) << Describe(c);
    ASSERT_EQ(std::bit_cast<uint64_t>(fast.sweepPhase),
              std::bit_cast<uint64_t>(reference.sweepPhase))
        << Describe(c);
    const Output silent = Run(c, true, false);
    for (size_t k = 0; k < silent.bytes.size(); ++k)
        ASSERT_EQ(silent.bytes[k], reference.bytes[k])
            << "byte " << k << " without progress, " << Describe(c);
    ASSERT_EQ(std::bit_cast<uint64_t>(silent.sweepPhase),
              std::bit_cast<uint64_t>(reference.sweepPhase))
        << Describe(c);
}

constexpr uint16_t kWidths[] = {8, 16, 20, 24, 32};
constexpr uint32_t kRates[] = {11025, 22050, 32000, 44100, 48000, 96000, 192000};

TEST(FastPath, BoundaryCases) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Frequencies that land on exact quarter turns and zero crossings, where
    // the approximations must give way to the standard library.
    const double tones[] = {0,     1,      1000,   11025, 14700,        22050, 44100, 44101,
                            -1000, -11025, 1e-300, 1e9,   2147483647.0, inf,   -inf,  nan};
    const double amplitudes[] = {0, 0.5, 1, 2, -1, 1e-300, 1e6, 1e300, nan};
    for (uint16_t bits : kWidths)
        for (uint32_t channels : {1u, 2u, 3u, 0u})
            for (int32_t kind : {0, 1, 2, 7})
                for (double f : tones)
                    for (double amplitude : amplitudes)
                        ExpectSame({Family::Tone, kind, 4 * 1009 + 3, 44100, channels, bits, f, 0,
                                    amplitude});
    const std::pair<double, double> sweeps[] = {
        {20, 20000}, {20000, 20}, {1000, 1000},   {0, 1000},        {1000, 0}, {0, 0},  {100, 101},
        {-500, 500}, {1, 200000}, {11025, 11025}, {1e12, 1e12 + 1}, {nan, 1},  {inf, 1}};
    for (Family family : {Family::LinearSweep, Family::LogSweep})
        for (uint16_t bits : kWidths)
            for (uint32_t channels : {1u, 2u, 3u, 0u})
                for (int32_t kind : {0, 1, 2, 9})
                    for (const auto& [from, to] : sweeps)
                        for (double amplitude : {0.0, 0.5, 1.0, 2.0})
                            ExpectSame({family, kind, 2 * 2003 + 1, 22050, channels, bits, from, to,
                                        amplitude});
    for (uint16_t bits : kWidths)
        for (uint32_t channels : {1u, 2u, 3u, 0u})
            for (int32_t kind : {3, 4, 5, 0})
                for (double amplitude : {0.0, 0.5, 1.0, 2.0})
                    ExpectSame({Family::Noise, kind, 3001, 48000, channels, bits, 0, 0, amplitude});
    // Sizes around the block length and below one value.
    for (uint32_t bytes : {0u, 1u, 2u, 3u, 4u, 5u, 255u * 4, 256u * 4, 257u * 4, 513u * 4 + 2})
        for (uint32_t channels : {1u, 2u, 0u, 7u})
            ExpectSame({Family::Tone, 0, bytes, 44100, channels, 32, 997, 0, 1.0});
}

TEST(FastPath, RandomCases) {
    std::mt19937_64 random(20261211);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int n = 0; n < 3000; ++n) {
        Call c;
        c.family = static_cast<Family>(random() % 4);
        c.kind = c.family == Family::Noise ? 3 + static_cast<int32_t>(random() % 3)
                                           : static_cast<int32_t>(random() % 3);
        c.bits = kWidths[random() % 5];
        c.channels = static_cast<uint32_t>(random() % 4);
        c.sampleRate = kRates[random() % 7];
        c.byteCount = static_cast<uint32_t>(random() % 20000);
        const double amplitudes[] = {0.0, 0.5, 1.0, 2.0, unit(random) * 1.5};
        c.amplitude = amplitudes[random() % 5];
        // Frequencies from 0 to above the rate, sometimes negative.
        const double top = c.sampleRate * 1.2;
        c.a = unit(random) * top * (random() % 8 == 0 ? -1 : 1);
        c.b = unit(random) * top;
        if (random() % 6 == 0) c.a = std::floor(c.a);
        if (c.family == Family::Noise) c.a = static_cast<double>(random() % 100000);
        ExpectSame(c);
    }
}

// Long signals reach large angles and phases, where the reduction of the
// block sine carries the error.
TEST(FastPath, LongSignals) {
    ExpectSame({Family::Tone, 0, 4 * 44100 * 60, 44100, 1, 16, 19999, 0, 1.0});
    ExpectSame({Family::Tone, 1, 4 * 48000 * 30, 48000, 1, 32, 15000, 0, 1.0});
    ExpectSame({Family::LinearSweep, 0, 2 * 44100 * 60, 44100, 1, 16, 20, 20000, 1.0});
    ExpectSame({Family::LogSweep, 1, 4 * 96000 * 10, 96000, 2, 24, 20, 40000, 1.0});
    ExpectSame({Family::Tone, 0, 4 * 192000 * 20, 192000, 1, 32, 2147483647.0, 0, 1.0});
    // Seed 0 redraws in brown frame 505 and in pink frame 23638.
    ExpectSame({Family::Noise, 4, 4 * 30000, 44100, 2, 16, 0, 0, 1.0});
    ExpectSame({Family::Noise, 5, 4 * 30000, 44100, 0, 16, 0, 0, 1.0});
}

// The error bound the fast paths rely on, measured: well inside it.
TEST(FastPath, BlockSineStaysWithinItsBound) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> x(kBlockFrames), sine(kBlockFrames), cosine(kBlockFrames);
    double worst = 0;
    for (int block = 0; block < 4000; ++block) {
        const double scale = std::pow(10.0, block % 9); // up to 1e8
        for (double& v : x)
            v = unit(random) * scale;
        x[0] = 0.0;
        x[1] = kFastTrigLimit * 0.999999;
        FastSinBlock(x.data(), sine.data(), kBlockFrames);
        FastCosBlock(x.data(), cosine.data(), kBlockFrames);
        for (uint32_t k = 0; k < kBlockFrames; ++k) {
            worst = std::max(worst, std::fabs(sine[k] - std::sin(x[k])));
            worst = std::max(worst, std::fabs(cosine[k] - std::cos(x[k])));
        }
    }
    EXPECT_LT(worst, kFastTrigError / 30) << worst;
}

} // namespace
} // namespace vantoro
