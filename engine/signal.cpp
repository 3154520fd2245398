#include "engine/signal.h"

#include "engine/heap.h"
#include "generators/frame_writer.h"
#include "generators/generators.h"

namespace vantoro {

uint32_t SampleRateForIndex(int32_t rateIndex) {
    static constexpr uint32_t kRates[] = {11025, 22050, 32000, 44100, 48000, 96000, 192000};
    if (rateIndex < 0 || rateIndex >= 7) return 0;
    return kRates[rateIndex];
}

bool SignalFits(int32_t seconds, uint32_t sampleRate, int32_t channels, uint32_t containerBytes) {
    if (seconds < 0 || channels < 0 || channels > 65535) return false;
    const int64_t perSecond =
        static_cast<int64_t>(containerBytes) * ChannelCountFor(channels) * sampleRate;
    return seconds == 0 || perSecond <= INT32_MAX / seconds;
}

namespace {

void RunGenerator(const SignalRequest& r, SweepModeOne sweepModeOne, const SignalLayout& layout,
                  uint8_t* buffer) {
    const uint32_t byteCount = static_cast<uint32_t>(layout.signalBytes);
    const uint32_t channels = static_cast<uint32_t>(r.channels);
    const uint16_t bits = static_cast<uint16_t>(r.bits);
    if (r.kind >= 3 && r.seeded) {
        GenerateNoiseFromSeed(r.seed, buffer, byteCount, layout.sampleRate, channels, bits, r.kind,
                              r.amplitude, r.progress);
    } else if (r.kind >= 3) {
        GenerateNoise(buffer, byteCount, layout.sampleRate, channels, bits, r.kind, r.amplitude,
                      r.progress);
    } else if (r.sweepMode == 0) {
        GenerateTone(buffer, byteCount, layout.sampleRate, channels, bits, r.kind, r.frequency,
                     r.amplitude, r.progress);
    } else if (r.sweepMode == 1 && sweepModeOne == SweepModeOne::Linear) {
        GenerateLinearSweep(buffer, byteCount, layout.sampleRate, channels, bits, r.kind,
                            r.sweepStart, r.sweepEnd, r.amplitude, r.progress);
    } else {
        GenerateLogSweep(buffer, byteCount, layout.sampleRate, channels, bits, r.kind, r.sweepStart,
                         r.sweepEnd, r.amplitude, r.progress);
    }
}

} // namespace

Synthesis SynthesizeSignal(const SignalRequest& r, SweepModeOne sweepModeOne) {
    Synthesis result;
    SignalLayout& layout = result.layout;
    layout.sampleRate = SampleRateForIndex(r.rateIndex);
    if (layout.sampleRate == 0) return result;
    layout.channelCount = ChannelCountFor(r.channels);
    layout.containerBytes = BytesPerValue(static_cast<uint32_t>(r.bits));
    if (layout.containerBytes == 0) return result;
    if (!SignalFits(r.seconds, layout.sampleRate, r.channels, layout.containerBytes)) return result;
    layout.signalBytes = static_cast<int32_t>(layout.containerBytes * layout.channelCount *
                                              layout.sampleRate * static_cast<uint32_t>(r.seconds));

    // Two spare bytes follow the signal; the generators never touch them.
    result.buffer =
        static_cast<uint8_t*>(HeapAllocate(static_cast<size_t>(layout.signalBytes) + 2));
    if (!result.buffer) {
        result.status = SynthesisStatus::NoMemory;
        return result;
    }
    if (r.kind < 0 || r.kind > 5) {
        result.status = SynthesisStatus::InvalidKind;
        return result;
    }
    RunGenerator(r, sweepModeOne, layout, result.buffer);
    result.status = SynthesisStatus::Ready;
    return result;
}

} // namespace vantoro
