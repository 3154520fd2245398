// Each engine test starts from an idle engine on a fresh simulated device and
// ends with everything released: no live heap block, nothing queued, no
// protocol violation.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
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
        const Synthesis s = SynthesizeSignal({kind, seconds, rateIndex, bits, channels, amplitude,
                                              sweepMode, frequency, sweepStart, sweepEnd},
                                             modeOne);
        EXPECT_EQ(s.status, SynthesisStatus::Ready);
        std::vector<uint8_t> bytes(s.buffer, s.buffer + s.layout.signalBytes);
        HeapFree(s.buffer);
        return bytes;
    }
};

// Waits until the engine is idle (a stop, or the end of the signal).
inline bool WaitIdle(int timeoutMs = 10000) {
    for (int k = 0; k < timeoutMs && EngineBusy(); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !EngineBusy();
}

// Blocks the simulated device played to their end.
inline size_t CompletedBlocks() {
    size_t n = 0;
    for (const auto& b : sim::Blocks())
        n += b.completed ? 1 : 0;
    return n;
}

// The first `blocks` blocks the engine streams from `signal`: 24000 bytes
// cut by offset, the last of a pass shorter, starting over when looping.
inline std::vector<uint8_t> Stream(const std::vector<uint8_t>& signal, bool loop, size_t blocks) {
    std::vector<uint8_t> out;
    size_t cursor = 0;
    for (size_t k = 0; k < blocks && !signal.empty(); ++k) {
        if (cursor >= signal.size()) {
            if (!loop) break;
            cursor = 0;
        }
        const size_t length = std::min<size_t>(24000, signal.size() - cursor);
        out.insert(out.end(), signal.begin() + cursor, signal.begin() + cursor + length);
        cursor += length;
    }
    return out;
}

} // namespace vantoro::test
