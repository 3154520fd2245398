#include <cmath>

#include "generators/frame_writer.h"
#include "generators/generators.h"
#include "generators/shapes.h"

namespace vantoro {

namespace {

// The sign of the square wave from a cosine.
double SquareFromCosine(double c) {
    return c > 0 ? 1.0 : (c < 0 ? -1.0 : 0.0);
}

} // namespace

int32_t GenerateTone(uint8_t* buffer, uint32_t byteCount, uint32_t sampleRate, uint32_t channels,
                     uint16_t bits, int32_t kind, double frequency, double amplitude,
                     ProgressCallback progress) {
    const double rate = static_cast<double>(sampleRate);
    // The angle of frame t is (frequency * 2pi / rate) * t, recomputed from t
    // every frame rather than accumulated.
    const double angleStep = (frequency * kTwoPi) / rate;
    const auto makeValue = [&](const FrameShape&) {
        return [=](int32_t t) -> double {
            switch (kind) {
            case 0:
                return std::sin(angleStep * t);
            case 1:
                return SquareFromCosine(std::cos(angleStep * t));
            case 2:
                return RampValue(rate, frequency, t);
            default:
                return 0.0;
            }
        };
    };
    // Sine and square take the block sine or cosine and fall back to the
    // standard library wherever the approximation could change a sample.
    const auto makeFill = [&](const FrameShape& shape) {
        return
            [=, value = makeValue(shape)](uint32_t first, int count, double* s, const auto& guard) {
                if (kind != 0 && kind != 1) {
                    for (int k = 0; k < count; ++k)
                        s[k] = value(static_cast<int32_t>(first + k));
                    return;
                }
                double angle[kBlockFrames];
                for (int k = 0; k < count; ++k)
                    angle[k] = angleStep * static_cast<int32_t>(first + static_cast<uint32_t>(k));
                if (kind == 0) {
                    SineBlock(angle, s, count, guard);
                } else {
                    bool certain[kBlockFrames];
                    FastCosBlock(angle, s, count);
                    // The sign is certain once the cosine is clear of zero.
                    for (int k = 0; k < count; ++k)
                        certain[k] = (std::fabs(angle[k]) < kFastTrigLimit) &
                                     (std::fabs(s[k]) > kFastTrigError);
                    for (int k = 0; k < count; ++k)
                        s[k] = SquareFromCosine(certain[k] ? s[k] : std::cos(angle[k]));
                }
            };
    };
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress, StoreOrder::Forward,
                       makeValue, makeFill);
}

} // namespace vantoro
