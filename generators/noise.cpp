#include "generators/noise.h"

#include <algorithm>
#include <bit>
#include <ctime>

#include "generators/frame_writer.h"
#include "generators/generators.h"
#include "generators/vector_clones.h"

namespace vantoro {

NoiseSource MakeNoiseSource(uint32_t seed) {
    return NoiseSource{seed};
}

NoiseSource MakeClockNoiseSource() {
    return MakeNoiseSource(static_cast<uint32_t>(std::time(nullptr)));
}

namespace {

constexpr uint32_t kMultiplier = 196314165u;
constexpr uint32_t kIncrement = 907633515u;

// Exponent 1 with the top 23 bits of the state as mantissa: [2, 4).
uint32_t DrawBits(uint32_t seed) {
    return (seed >> 9) | 0x40000000u;
}

double DrawValue(uint32_t seed, float scale) {
    return (static_cast<double>(std::bit_cast<float>(DrawBits(seed))) - 3.0) *
           static_cast<double>(scale);
}

// The steps of the pink and brown filters; draw() gives the next white
// value of scale 0.5.
template <class Draw> double PinkStep(NoiseSource& source, Draw&& draw) {
    // Row r is renewed every 2^(r+1) frames, counting the trailing zeros of
    // the counter modulo 16. The counter wraps rather than overflows.
    const int row = std::countr_zero(static_cast<uint32_t>(source.pinkCounter)) % 16;
    const double old = source.pinkRows[row];
    double candidate;
    do {
        const double renewed = draw();
        source.pinkRows[row] = static_cast<float>(renewed);
        candidate = source.pinkSum + (renewed - old);
    } while (!(candidate >= -4.0 && candidate <= 4.0));
    source.pinkSum = static_cast<float>(candidate);
    source.pinkCounter = static_cast<int32_t>(static_cast<uint32_t>(source.pinkCounter) + 1u);
    const double white = draw();
    return (white + source.pinkSum) * 0.125;
}

template <class Draw> double BrownStep(NoiseSource& source, Draw&& draw) {
    double candidate;
    do {
        candidate = source.brownSum + draw();
    } while (!(candidate >= -8.0 && candidate <= 8.0));
    source.brownSum = static_cast<float>(candidate);
    return candidate * 0.0625;
}

constexpr int kLanes = 8;

// The `count` (a multiple of kLanes) states after `seed` and their draws of
// scale 0.5, computed kLanes at a time from states kLanes draws apart
// (x(k+8) = A * x(k) + C with the constants of eight steps), so that the
// loop vectorises.
VANTORO_VECTOR_CLONES void ComputeDraws(uint32_t seed, uint32_t* seeds, double* values, int count) {
    uint32_t multiplier = 1, increment = 0;
    uint32_t lane[kLanes];
    uint32_t x = seed;
    for (int j = 0; j < kLanes; ++j) {
        x = x * kMultiplier + kIncrement;
        lane[j] = x;
        increment = increment * kMultiplier + kIncrement;
        multiplier *= kMultiplier;
    }
    for (int k = 0; k < count; k += kLanes)
        for (int j = 0; j < kLanes; ++j) {
            seeds[k + j] = lane[j];
            lane[j] = lane[j] * multiplier + increment;
        }
    for (int k = 0; k < count; ++k)
        values[k] = DrawValue(seeds[k], 0.5f);
}

// The generator's next states computed ahead in batches.
class DrawsAhead {
  public:
    // `expected`: how many draws are likely to be taken; they are computed
    // at the first draw, any further ones in small batches.
    DrawsAhead(uint32_t seed, int expected) : seed_(seed), want_(expected) {}
    double Take() {
        if (next_ == size_) Refill();
        return values_[next_++];
    }
    // The state after the draws taken so far.
    uint32_t Seed() const { return !filled_ || next_ == 0 ? seed_ : seeds_[next_ - 1]; }
    bool Taken() const { return filled_; }

  private:
    static constexpr int kCount = 512;
    void Refill() {
        seed_ = Seed();
        filled_ = true;
        next_ = 0;
        size_ = std::min(kCount, std::max(kLanes, (want_ + kLanes - 1) / kLanes * kLanes));
        want_ = 4 * kLanes;
        ComputeDraws(seed_, seeds_, values_, size_);
    }

    uint32_t seed_;
    int want_;
    int size_ = 0;
    int next_ = 0;
    bool filled_ = false;
    uint32_t seeds_[kCount];
    double values_[kCount];
};

} // namespace

double NextWhite(NoiseSource& source, float scale) {
    source.seed = source.seed * kMultiplier + kIncrement;
    source.drawBits = DrawBits(source.seed);
    return DrawValue(source.seed, scale);
}

double NextPink(NoiseSource& source) {
    return PinkStep(source, [&source] { return NextWhite(source, 0.5f); });
}

double NextBrown(NoiseSource& source) {
    return BrownStep(source, [&source] { return NextWhite(source, 0.5f); });
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
    const auto makeValue = [&](const FrameShape&) {
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
    };
    // The same steps on draws computed ahead; the source is left as the
    // frame-by-frame steps leave it.
    const auto makeFill = [&](const FrameShape&) {
        return [&shared = source, kind](uint32_t, int count, double* s, const auto&) {
            if (count <= 0) return;
            if (kind == 3) {
                // One draw a frame: straight into the block (whose length
                // is a multiple of the lane count).
                static_assert(kBlockFrames % kLanes == 0);
                uint32_t seeds[kBlockFrames];
                ComputeDraws(shared.seed, seeds, s, (count + kLanes - 1) / kLanes * kLanes);
                shared.seed = seeds[count - 1];
                shared.drawBits = DrawBits(shared.seed);
                return;
            }
            // A copy of the source for the block, so that its running sums
            // stay in registers.
            NoiseSource source = shared;
            DrawsAhead draws(source.seed, kind == 4 ? 2 * count : count);
            const auto draw = [&draws] { return draws.Take(); };
            switch (kind) {
            case 4:
                for (int k = 0; k < count; ++k)
                    s[k] = PinkStep(source, draw);
                break;
            case 5:
                for (int k = 0; k < count; ++k)
                    s[k] = BrownStep(source, draw);
                break;
            default:
                for (int k = 0; k < count; ++k)
                    s[k] = 0.0;
                break;
            }
            if (draws.Taken()) {
                source.seed = draws.Seed();
                source.drawBits = DrawBits(source.seed);
            }
            shared = source;
        };
    };
    return WriteFrames(buffer, byteCount, channels, bits, amplitude, progress, StoreOrder::Forward,
                       makeValue, makeFill);
}

} // namespace vantoro
