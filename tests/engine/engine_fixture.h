// Each engine test starts from an idle engine on a fresh simulated device and
// ends with everything released: no live heap block, nothing queued, no
// protocol violation.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "engine/heap.h"
#include "engine/playback.h"
#include "engine/signal.h"
#include "platform/sim/sim_device.h"
#include "vantoro.h"

namespace vantoro::test {

class EngineTest : public testing::Test {
  protected:
    void SetUp() override {
        PlayStop();
        SetHeapFailureHook(nullptr);
        Configure(sim::Config{});
    }
    void TearDown() override {
        PlayStop();
        SetHeapFailureHook(nullptr);
        EXPECT_TRUE(sim::WaitQuiet(5000));
        EXPECT_FALSE(EngineBusy());
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart) << "heap blocks leaked";
        EXPECT_EQ(sim::OpenDevices(), 0);
        EXPECT_EQ(sim::Violations(), std::vector<std::string>{});
    }
    void Configure(const sim::Config& config) {
        sim::Configure(config);
        liveAtStart = HeapLiveBlocks();
    }

    int64_t liveAtStart = 0;
};

// A start of the typical kind with every argument named.
struct Start {
    int32_t kind = 0, seconds = 1, rateIndex = 3, bits = 16, channels = 2, loop = 0;
    double amplitude = 1.0;
    int32_t sweepMode = 0, frequency = 1000, sweepStart = 100, sweepEnd = 1000;
    ProgressCallback progress = nullptr;

    int32_t Play() const {
        return fnVantoroCreateAndPlay(kind, seconds, rateIndex, bits, channels, loop, amplitude,
                                      sweepMode, frequency, sweepStart, sweepEnd, progress);
    }
    int32_t Play1() const {
        return fnVantoroCreateAndPlay1(kind, seconds, rateIndex, bits, channels, loop, amplitude,
                                       sweepMode, frequency, sweepStart, sweepEnd);
    }
    // The buffer the start synthesises, rendered the way `vantoro render` does.
    std::vector<uint8_t> Render(SweepModeOne modeOne = SweepModeOne::Linear) const {
        SignalRequest r;
        r.kind = kind;
        r.seconds = seconds;
        r.rateIndex = rateIndex;
        r.bits = bits;
        r.channels = channels;
        r.amplitude = amplitude;
        r.sweepMode = sweepMode;
        r.frequency = frequency;
        r.sweepStart = sweepStart;
        r.sweepEnd = sweepEnd;
        const Synthesis s = SynthesizeSignal(r, modeOne);
        EXPECT_EQ(s.status, SynthesisStatus::Ready);
        std::vector<uint8_t> bytes(s.buffer, s.buffer + s.layout.signalBytes);
        HeapFree(s.buffer);
        return bytes;
    }
};

} // namespace vantoro::test
