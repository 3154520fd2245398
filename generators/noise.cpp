#include "generators/noise.h"

#include <bit>
#include <ctime>

#include "generators/frame_writer.h"
#include "generators/generators.h"

namespace vantoro {

NoiseSource MakeNoiseSource(uint32_t seed) {
    return NoiseSource{seed};
}

NoiseSource MakeClockNoiseSource() {
    return MakeNoiseSource(static_cast<uint32_t>(std::time(nullptr)));
}

double NextWhite(NoiseSource& source, float scale) {
    source.seed = source.seed * 196314165u + 907633515u;
    // Exponent 1 with the top 23 bits of the state as mantissa: [2, 4).
    source.drawBits = (source.seed >> 9) | 0x40000000u;
    const float f = std::bit_cast<float>(source.drawBits);
    return (static_cast<double>(f) - 3.0) * static_cast<double>(scale);
}

double NextPink(NoiseSource& source) {
    // Row r is renewed every 2^(r+1) frames, counting the trailing zeros of
    // the counter modulo 16. The counter wraps rather than overflows.
    const int row = std::countr_zero(static_cast<uint32_t>(source.pinkCounter)) % 16;
    const double old = source.pinkRows[row];
    double candidate;
    do {
        const double renewed = NextWhite(source, 0.5f);
        source.pinkRows[row] = static_cast<float>(renewed);
        candidate = source.pinkSum + (renewed - old);
    } while (!(candidate >= -4.0 && candidate <= 4.0));
    source.pinkSum = static_cast<float>(candidate);
    source.pinkCounter = static_cast<int32_t>(static_cast<uint32_t>(source.pinkCounter) + 1u);
    const double white = NextWhite(source, 0.5f);
    return (white + source.pinkSum) * 0.125;
}

double NextBrown(NoiseSource& source) {
    double candidate;
    do {
        candidate = source.brownSum + NextWhite(source, 0.5f);
    } while (!(candidate >= -8.0 && candidate <= 8.0));
    source.brownSum = static_cast<float>(candidate);
    return candidate * 0.0625;
}

int32_t GenerateNoise(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate, uint32_t channels,
                      uint16_t bits, int32_t kind, double amplitude, ProgressCallback progress) {
    // The clock is read before anything else, whatever the width.
    const NoiseSource clockSource = MakeClockNoiseSource();
    return GenerateNoiseFromSeed(clockSource.seed, buffer, byteCount, sampleRate, channels, bits,
                                 kind, amplitude, progress);
}

int32_t GenerateNoiseFromSeed(uint32_t seed, uint8_t* buffer, uint32_t byteCount,
                              uint32_t /*sampleRate*/, uint32_t channels, uint16_t bits,
                              int32_t kind, double amplitude, ProgressCallback progress) {
    NoiseSource source = MakeNoiseSource(seed);
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress, StoreOrder::Forward,
                       [&](const FrameShape&) {
                           return [&source, kind](int32_t) -> double {
                               switch (kind) {
                               case 3:
                                   return NextWhite(source, 0.5f);
                               case 4:
                                   return NextPink(source);
                               case 5:
                                   return NextBrown(source);
                               default:
                                   return 0.0;
                               }
                           };
                       });
}

} // namespace vantoro
