// The generators called directly with arbitrary arguments: any byte count
// (the buffer is exactly that long, so AddressSanitizer sees a single byte
// written past it), sample rate, channel count, width and kind, and
// frequencies and amplitudes that include 0, negative, NaN, infinities and
// huge values. Beyond "no crash and no undefined behaviour" every run checks
// what a generator promises about the buffer it fills:
//
// - an unsupported width returns 0 and leaves the buffer untouched;
// - otherwise the progress reports count whole frames up to the capacity;
// - every value of a frame is the same word, or, in antiphase, the pairs are
//   each other's negation;
// - bytes past the last whole value keep the silence pre-fill;
// - the same arguments give the same bytes (noise from a seed, tones, and
//   sweeps, whose phase every call restarts).
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "generators/frame_writer.h"
#include "generators/generators.h"

namespace {

using namespace vantoro;

constexpr uint32_t kMaxBytes = 1u << 20;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_generators: %s\n", what);
    std::abort();
}

// A value from `table`, or now and then any value of the type.
template <class T, size_t N> T Pick(FuzzedDataProvider& in, const T (&table)[N]) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.ConsumeIntegral<T>();
    return table[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

double PickDouble(FuzzedDataProvider& in) {
    static const double kSpecial[] = {0.0,
                                      -0.0,
                                      1.0,
                                      -1.0,
                                      0.5,
                                      1000.0,
                                      440.0,
                                      11025.0,
                                      22050.0,
                                      192000.0,
                                      1e300,
                                      -1e300,
                                      DBL_MAX,
                                      -DBL_MAX,
                                      DBL_MIN,
                                      4.9e-324,
                                      2147483647.0,
                                      -2147483648.0,
                                      4294967296.0,
                                      9223372036854775808.0,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      -std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity()};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
    case 1:
        return static_cast<double>(in.ConsumeIntegral<int32_t>());
    default:
        return kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)];
    }
}

// What the progress callback has seen, checked as it goes.
struct ProgressCheck {
    uint64_t capacity = 0;
    uint64_t channelCount = 0;
    uint64_t calls = 0;
    bool active = false;
} progressCheck;

void VANTORO_STDCALL CheckProgress(uint32_t written) {
    ProgressCheck& p = progressCheck;
    if (!p.active) Fail("progress reported outside a generator call");
    ++p.calls;
    const uint64_t expected = std::min(p.calls * p.channelCount, p.capacity);
    if (written != expected) Fail("progress is not the count of whole frames written");
}

enum class Which { Tone, Linear, Log, Noise, SeededNoise };

struct Call {
    Which which = Which::Tone;
    uint32_t byteCount = 0;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint16_t bits = 0;
    int32_t kind = 0;
    double f1 = 0, f2 = 0, amplitude = 0;
    uint32_t seed = 0;
    bool progress = false;
};

int32_t Run(const Call& c, uint8_t* buffer) {
    const ProgressCallback progress = c.progress ? &CheckProgress : nullptr;
    switch (c.which) {
    case Which::Tone:
        return GenerateTone(buffer, c.byteCount, c.sampleRate, c.channels, c.bits, c.kind, c.f1,
                            c.amplitude, progress);
    case Which::Linear:
        return GenerateLinearSweep(buffer, c.byteCount, c.sampleRate, c.channels, c.bits, c.kind,
                                   c.f1, c.f2, c.amplitude, progress);
    case Which::Log:
        return GenerateLogSweep(buffer, c.byteCount, c.sampleRate, c.channels, c.bits, c.kind, c.f1,
                                c.f2, c.amplitude, progress);
    case Which::Noise:
        return GenerateNoise(buffer, c.byteCount, c.sampleRate, c.channels, c.bits, c.kind,
                             c.amplitude, progress);
    case Which::SeededNoise:
        return GenerateNoiseFromSeed(c.seed, buffer, c.byteCount, c.sampleRate, c.channels, c.bits,
                                     c.kind, c.amplitude, progress);
    }
    return -1;
}

uint32_t Word(const uint8_t* buffer, uint32_t position, uint32_t valueBytes) {
    uint32_t w = 0;
    std::memcpy(&w, buffer + static_cast<size_t>(position) * valueBytes, valueBytes);
    return w;
}

// Whether two stored words are one value with opposite signs.
bool Negations(uint32_t plus, uint32_t minus, uint16_t bits) {
    switch (bits) {
    case 8:
        return static_cast<uint8_t>(plus + minus) == 0;
    case 16:
        return static_cast<uint16_t>(plus + minus) == 0;
    case 20:
    case 24:
        return plus + minus == 0;
    default: {
        const float a = std::bit_cast<float>(plus);
        // The sign is applied before rounding to single precision, so the
        // patterns differ in the sign bit only; NaN keeps no promise.
        return std::isnan(a) || (plus ^ minus) == 0x80000000u;
    }
    }
}

void CheckLayout(const Call& c, const uint8_t* buffer) {
    const uint32_t valueBytes = BytesPerValue(c.bits);
    const uint32_t n = c.byteCount / valueBytes;
    const bool antiphase = c.channels == 0;
    const uint32_t channelCount = antiphase ? 2 : c.channels;
    const bool reversed = c.which == Which::Log && c.f1 > c.f2;
    const auto position = [&](uint32_t i) { return reversed ? n - 1 - i : i; };
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t inFrame = i % channelCount;
        if (inFrame == 0) continue;
        const uint32_t first = Word(buffer, position(i - inFrame), valueBytes);
        const uint32_t word = Word(buffer, position(i), valueBytes);
        if (!antiphase && word != first) Fail("the values of one frame differ");
        if (antiphase && !Negations(first, word, c.bits))
            Fail("the antiphase channel is not the negation of the first");
    }
    const uint8_t prefill = c.bits == 8 ? 0x80 : 0x00;
    for (uint32_t k = n * valueBytes; k < c.byteCount; ++k)
        if (buffer[k] != prefill) Fail("a byte past the last whole value lost the pre-fill");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const uint32_t kRates[] = {11025,  22050, 32000, 44100, 48000,     96000,
                                      192000, 0,     1,     7,     UINT32_MAX};
    static const uint32_t kChannels[] = {0, 1, 2, 3, 5, 6, 7, 8, 65535, 65536, UINT32_MAX};
    static const uint16_t kBits[] = {8, 16, 20, 24, 32, 0, 12, 33, 65535};
    static const int32_t kKinds[] = {0, 1, 2, 3, 4, 5, -1, 6, INT32_MIN, INT32_MAX};
    static const uint32_t kSizeClasses[] = {64, 4096, 65536, kMaxBytes};

    Call c;
    c.which = static_cast<Which>(in.ConsumeIntegralInRange<int>(0, 4));
    const uint32_t sizeLimit =
        kSizeClasses[in.ConsumeIntegralInRange<size_t>(0, std::size(kSizeClasses) - 1)];
    c.byteCount = in.ConsumeIntegralInRange<uint32_t>(0, sizeLimit);
    c.sampleRate = Pick(in, kRates);
    c.channels = Pick(in, kChannels);
    c.bits = Pick(in, kBits);
    c.kind = Pick(in, kKinds);
    c.f1 = PickDouble(in);
    c.f2 = PickDouble(in);
    c.amplitude = PickDouble(in);
    c.seed = in.ConsumeIntegral<uint32_t>();
    c.progress = in.ConsumeBool();

    // Exactly byteCount bytes: any write past them is a heap overflow.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[c.byteCount]);
    std::memset(buffer.get(), 0xA5, c.byteCount);

    const uint32_t valueBytes = BytesPerValue(c.bits);
    const uint32_t channelCount = c.channels == 0 ? 2 : c.channels;
    progressCheck = ProgressCheck{valueBytes ? c.byteCount / valueBytes : 0, channelCount, 0, true};
    const int32_t result = Run(c, buffer.get());
    progressCheck.active = false;

    if (valueBytes == 0) {
        if (result != 0) Fail("an unsupported width did not return 0");
        for (uint32_t k = 0; k < c.byteCount; ++k)
            if (buffer[k] != 0xA5) Fail("an unsupported width touched the buffer");
        if (progressCheck.calls != 0) Fail("an unsupported width reported progress");
        return 0;
    }
    if (result != 1) Fail("a supported width did not return 1");
    const uint64_t capacity = c.byteCount / valueBytes;
    const uint64_t frames = (capacity + channelCount - 1) / channelCount;
    if (c.progress && progressCheck.calls != frames) Fail("progress was not reported per frame");
    CheckLayout(c, buffer.get());

    // The clock-seeded noise may cross a second between two calls.
    if (c.which != Which::Noise && c.byteCount <= 65536) {
        std::unique_ptr<uint8_t[]> again(new uint8_t[c.byteCount]);
        Call quiet = c;
        quiet.progress = false;
        Run(quiet, again.get());
        if (std::memcmp(buffer.get(), again.get(), c.byteCount) != 0)
            Fail("the same arguments gave different bytes");
    }
    return 0;
}
