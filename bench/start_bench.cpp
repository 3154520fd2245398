// The host's wait before the first sound: the typical request (5 s of 1 kHz
// sine, 16-bit stereo at 44100 Hz) from the call until the start returns
// with its first blocks queued, on the simulated device in instant mode;
// beside it the cost of writing the same 882000 bytes into fresh memory.
#include <cstdlib>
#include <cstring>
#include <malloc.h>

#include <benchmark/benchmark.h>

#include "platform/sim/sim_device.h"
#include "vantoro.h"

namespace {

// Every block of this size comes fresh from the kernel, as at a host's first
// start, instead of from memory the previous iteration freed.
const int freshBlocks = mallopt(M_MMAP_THRESHOLD, 128 * 1024);

void BM_TypicalStart(benchmark::State& state) {
    vantoro::sim::Configure(vantoro::sim::Config{});
    for (auto _ : state) {
        if (fnVantoroCreateAndPlay(0, 5, 3, 16, 2, 0, 1.0, 0, 1000, 0, 0, nullptr) != 0)
            state.SkipWithError("start failed");
        state.PauseTiming();
        PlayStop();
        vantoro::sim::Configure(vantoro::sim::Config{});
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TypicalStart)->Unit(benchmark::kMicrosecond);

void BM_FreshMemoryBaseline(benchmark::State& state) {
    for (auto _ : state) {
        auto* block = static_cast<unsigned char*>(std::malloc(882000 + 2));
        std::memset(block, 0x5A, 882000);
        benchmark::DoNotOptimize(block);
        benchmark::ClobberMemory();
        std::free(block);
    }
}
BENCHMARK(BM_FreshMemoryBaseline)->Unit(benchmark::kMicrosecond);

} // namespace
