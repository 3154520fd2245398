// Synthesis speed of every generator: 60 s of 16-bit and 32-bit stereo at
// 44100 and 192000 Hz, into a buffer whose pages are already in memory.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "generators/generators.h"

namespace {

using namespace vantoro;

enum Signal {
    kSine,
    kSquare,
    kRamp,
    kLinearSine,
    kLinearSquare,
    kLinearRamp,
    kLogSine,
    kLogSquare,
    kLogRamp,
    kWhite,
    kPink,
    kBrown,
};

const char* const kNames[] = {"sine",
                              "square",
                              "ramp",
                              "linear_sweep_sine",
                              "linear_sweep_square",
                              "linear_sweep_ramp",
                              "log_sweep_sine",
                              "log_sweep_square",
                              "log_sweep_ramp",
                              "white",
                              "pink",
                              "brown"};

void Generate(Signal signal, uint8_t* buffer, uint32_t bytes, uint32_t rate, uint16_t bits) {
    const int32_t shape = static_cast<int32_t>(signal) % 3;
    if (signal <= kRamp)
        GenerateTone(buffer, bytes, rate, 2, bits, shape, 1000, 1.0, nullptr);
    else if (signal <= kLinearRamp)
        GenerateLinearSweep(buffer, bytes, rate, 2, bits, shape, 20, 20000, 1.0, nullptr);
    else if (signal <= kLogRamp)
        GenerateLogSweep(buffer, bytes, rate, 2, bits, shape, 20, 20000, 1.0, nullptr);
    else
        GenerateNoiseFromSeed(1, buffer, bytes, rate, 2, bits, 3 + (signal - kWhite), 1.0, nullptr);
}

void BM_Generate(benchmark::State& state, Signal signal, uint32_t rate, uint16_t bits) {
    const uint32_t container = bits == 16 ? 2 : 4;
    const uint32_t frames = rate * 60;
    const uint32_t bytes = frames * 2 * container;
    std::vector<uint8_t> buffer(bytes);
    for (auto _ : state) {
        Generate(signal, buffer.data(), bytes, rate, bits);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames),
                                                    benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

const int registered = [] {
    for (int signal = kSine; signal <= kBrown; ++signal)
        for (uint32_t rate : {44100u, 192000u})
            for (uint16_t bits : {uint16_t{16}, uint16_t{32}}) {
                const std::string name = std::string(kNames[signal]) + "/" + std::to_string(rate) +
                                         "Hz/" + std::to_string(bits) + "bit";
                benchmark::RegisterBenchmark(name.c_str(), BM_Generate, static_cast<Signal>(signal),
                                             rate, bits)
                    ->Unit(benchmark::kMillisecond);
            }
    return 0;
}();

} // namespace
