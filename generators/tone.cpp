#include <cmath>

#include "generators/frame_writer.h"
#include "generators/generators.h"
#include "generators/shapes.h"

namespace vantoro {

int32_t GenerateTone(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate, uint32_t channels,
                     uint16_t bits, int32_t kind, double frequency, double amplitude,
                     ProgressCallback progress) {
    const double rate = static_cast<double>(sampleRate);
    // The angle of frame t is (frequency * 2pi / rate) * t, recomputed from t
    // every frame rather than accumulated.
    const double angleStep = (frequency * kTwoPi) / rate;
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress, StoreOrder::Forward,
                       [&](const FrameShape&) {
                           return [=](int32_t t) -> double {
                               switch (kind) {
                               case 0:
                                   return std::sin(angleStep * t);
                               case 1: {
                                   const double c = std::cos(angleStep * t);
                                   return c > 0 ? 1.0 : (c < 0 ? -1.0 : 0.0);
                               }
                               case 2:
                                   return RampValue(rate, frequency, t);
                               default:
                                   return 0.0;
                               }
                           };
                       });
}

} // namespace vantoro
