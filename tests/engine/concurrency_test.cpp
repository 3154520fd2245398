// Starts, stops and natural ends racing each other on a paced device. Meant
// for the ThreadSanitizer build as much as for the others: every test has a
// watchdog that aborts on a hang instead of letting it stall the suite.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"
#include "tests/engine/watchdog.h"

namespace vantoro {
namespace {

using test::EngineTest;
using test::Start;

using test::Watchdog;

// A short signal: 11025 bytes of 8-bit mono, one block (or `seconds` blocks
// of it), played fast.
Start ShortSignal(std::mt19937& random) {
    Start s;
    s.rateIndex = 0;
    s.bits = 8;
    s.channels = 1;
    s.seconds = 1 + static_cast<int32_t>(random() % 3);
    s.kind = static_cast<int32_t>(random() % 6);
    s.loop = random() % 4 == 0;
    return s;
}

sim::Config FastDevice(unsigned seed) {
    sim::Config config;
    config.pacing = sim::Pacing::RealTime;
    config.speed = 40.0;
    config.jitterSeed = seed;
    config.resetNotifiesBeforeReturn = seed % 2 == 0;
    return config;
}

void SleepMicroseconds(std::mt19937& random, int maxMicroseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % maxMicroseconds));
}

class Concurrency : public EngineTest {};

TEST_F(Concurrency, StartStopCyclesWithRandomTiming) {
    Watchdog watchdog(std::chrono::seconds(240));
    Configure(FastDevice(11));
    std::mt19937 random(1);
    for (int cycle = 0; cycle < 1500; ++cycle) {
        ASSERT_EQ(ShortSignal(random).Play(), 0) << cycle;
        SleepMicroseconds(random, cycle % 3 == 0 ? 40000 : 3000);
        EXPECT_EQ(PlayStop(), 0);
        ASSERT_FALSE(EngineBusy());
    }
}

TEST_F(Concurrency, SecondThreadStopsWhileTheSignalEnds) {
    Watchdog watchdog(std::chrono::seconds(240));
    Configure(FastDevice(12));
    std::mt19937 random(2);
    for (int cycle = 0; cycle < 600; ++cycle) {
        Start s = ShortSignal(random);
        s.loop = 0;
        s.seconds = 1;
        ASSERT_EQ(s.Play(), 0) << cycle;
        // One block plays in about 25 ms: stop around its end.
        const int delay = 15000 + static_cast<int>(random() % 20000);
        std::thread stopper([delay] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            PlayStop();
        });
        stopper.join();
        PlayStop();
        ASSERT_FALSE(EngineBusy());
    }
}

TEST_F(Concurrency, StartsRaceStops) {
    Watchdog watchdog(std::chrono::seconds(240));
    Configure(FastDevice(13));
    std::atomic<int> started{0};
    auto host = [&started](unsigned seed) {
        std::mt19937 random(seed);
        for (int k = 0; k < 500; ++k) {
            if (random() % 2) {
                if (ShortSignal(random).Play() == 0) started.fetch_add(1);
            } else {
                PlayStop();
            }
            SleepMicroseconds(random, 2000);
            if (random() % 8 == 0) GetProgressRang(1, 3, 16, 2);
        }
    };
    std::thread a(host, 21), b(host, 22), c(host, 23);
    a.join();
    b.join();
    c.join();
    PlayStop();
    EXPECT_GT(started.load(), 0);
    EXPECT_FALSE(EngineBusy());
}

TEST_F(Concurrency, ProgressCallbackMayCallBackIntoTheEngine) {
    Watchdog watchdog(std::chrono::seconds(60));
    static std::atomic<int> nestedResults{0};
    sim::Config manual;
    manual.pacing = sim::Pacing::Manual;
    Configure(manual);
    Start s;
    s.rateIndex = 0;
    s.progress = [](uint32_t written) {
        // Inside a start: the engine reads as idle, a stop does nothing, a
        // nested start is turned away as busy.
        if (written == 2) {
            PlayStop();
            nestedResults.store(Start{}.Play());
            GetProgressRang(1, 0, 8, 1);
        }
    };
    ASSERT_EQ(s.Play(), 0);
    EXPECT_EQ(nestedResults.load(), -1);
    EXPECT_EQ(sim::MessageBoxTexts(), std::vector<std::string>{kBusyMessage});
    EXPECT_TRUE(EngineBusy());
}

} // namespace
} // namespace vantoro
