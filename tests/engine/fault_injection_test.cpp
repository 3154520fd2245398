// Faults injected into every step a playback depends on: the signal and
// header allocations, the device's prepare and write, the open, and the
// timing of the device's notifications. Each fault must end in a clean -1 or
// in the engine stopping itself, never in a crash, a leak or a hang; the
// fixture's teardown checks what is left behind. Loops that wait on the
// engine are bounded and fail instead of hanging.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/watchdog.h"

namespace vantoro {
namespace {

using test::CompletedBlocks;
using test::EngineTest;
using test::Start;
using test::Stream;
using test::WaitIdle;
using Texts = std::vector<std::string>;

using test::Watchdog;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// 5 s of a 16-bit mono sine at 11025 Hz: 110250 bytes, four whole blocks
// and one of 14250 bytes. Frames of 2 bytes divide every block.
Start FiveBlockSignal() {
    Start s;
    s.seconds = 5;
    s.rateIndex = 0;
    s.bits = 16;
    s.channels = 1;
    return s;
}

// The byte stream a signal of `bytes` bytes gives when played `blocks`
// blocks far: the block sequence of a looping signal, or of one pass.

// Manual pacing: lets blocks finish one at a time until the engine stops by
// itself or `enough` blocks have played. False when neither happened within
// the step budget.
bool DriveManual(size_t enough) {
    for (int step = 0; step < 20000; ++step) {
        if (!EngineBusy() || CompletedBlocks() >= enough) return true;
        if (sim::QueuedBlocks() == 0) {
            SleepMs(1);
            continue;
        }
        sim::CompleteBlocks(1);
    }
    return false;
}

// What the allocation hook does: let `failAt` allocations through and fail
// the next one only, or every one from there on.
std::atomic<int> allocationsSeen{0};
std::atomic<int> failAt{-1};
std::atomic<bool> failFromThereOn{false};

bool CountedFailure(size_t) {
    const int index = allocationsSeen.fetch_add(1);
    const int at = failAt.load();
    if (at < 0) return false;
    return failFromThereOn.load() ? index >= at : index == at;
}

void InstallCountedFailure(int at, bool fromThereOn) {
    allocationsSeen.store(0);
    failAt.store(at);
    failFromThereOn.store(fromThereOn);
    SetHeapFailureHook(&CountedFailure);
}

class FaultInjection : public EngineTest {};

// Allocation k of a playback fails (0 is the signal, then the headers in the
// order they are queued), alone or with every later one. A failed signal is
// a clean -1; a failed header is retried at the next queue, so a single
// failure loses nothing, and when every later header fails the engine plays
// the blocks it has and stops itself.
TEST_F(FaultInjection, EveryAllocationFailsInTurn) {
    Watchdog watchdog(std::chrono::seconds(300));
    const Start signal = FiveBlockSignal();
    const std::vector<uint8_t> bytes = signal.Render();
    struct Mode {
        const char* what;
        bool loop;
        sim::Pacing pacing;
        bool fromThereOn;
    };
    const Mode modes[] = {
        {"one failure, instant", false, sim::Pacing::Instant, false},
        {"one failure, manual", false, sim::Pacing::Manual, false},
        {"one failure, looping", true, sim::Pacing::Manual, false},
        {"all from there on, instant", false, sim::Pacing::Instant, true},
        {"all from there on, manual", false, sim::Pacing::Manual, true},
        {"all from there on, looping", true, sim::Pacing::Manual, true},
    };
    constexpr size_t kLoopBlocks = 13; // more than two passes of five blocks
    for (const Mode& mode : modes) {
        for (int at = 0; at <= 16; ++at) {
            SCOPED_TRACE(std::string(mode.what) + ", allocation " + std::to_string(at));
            sim::Config config;
            config.pacing = mode.pacing;
            Configure(config);
            InstallCountedFailure(at, mode.fromThereOn);
            Start s = signal;
            s.loop = mode.loop ? 1 : 0;
            const int32_t result = (at % 2 == 0) ? s.Play() : s.Play1();
            if (at == 0) {
                EXPECT_EQ(result, -1);
                EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
                EXPECT_TRUE(EngineBusy());
                EXPECT_EQ(engineState.signalBuffer, nullptr);
                EXPECT_EQ(sim::OpenCount(), 0);
                EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
                PlayStop();
                SetHeapFailureHook(nullptr);
                continue;
            }
            ASSERT_EQ(result, 0);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            if (mode.pacing == sim::Pacing::Manual) {
                ASSERT_TRUE(DriveManual(mode.loop && !mode.fromThereOn ? kLoopBlocks : 1000))
                    << "no progress";
            }
            if (mode.loop && !mode.fromThereOn) {
                EXPECT_TRUE(EngineBusy()) << "one failed header stopped a looping signal";
            } else {
                ASSERT_TRUE(WaitIdle()) << "the engine did not stop by itself";
            }
            PlayStop();
            SetHeapFailureHook(nullptr);
            ASSERT_TRUE(sim::WaitQuiet(5000));
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
            EXPECT_EQ(sim::OpenDevices(), 0);
            const std::vector<uint8_t> played = sim::PlayedBytes();
            if (!mode.fromThereOn && !mode.loop) {
                EXPECT_EQ(played, bytes) << "a single failed header lost or repeated bytes";
            } else if (!mode.fromThereOn) {
                const std::vector<uint8_t> expected = Stream(bytes, true, CompletedBlocks());
                EXPECT_GE(CompletedBlocks(), kLoopBlocks);
                EXPECT_EQ(played, expected);
            } else {
                // Headers 1 .. at-1 were allocated; each carried one block.
                EXPECT_EQ(played, Stream(bytes, mode.loop, static_cast<size_t>(at - 1)));
            }
        }
    }
}

// Prepare or write fails at call k, with every failure code the device may
// give: the block is freed and retried, the stream stays whole and the
// engine ends as usual.
TEST_F(FaultInjection, PrepareOrWriteFailsAtEveryBlock) {
    Watchdog watchdog(std::chrono::seconds(300));
    struct Signal {
        int32_t seconds;
        int32_t channels;
        int32_t loop;
    };
    // 22050, 44100 and 110250 bytes: one, two and five blocks.
    const Signal signals[] = {{1, 1, 0}, {1, 2, 0}, {5, 1, 0}, {5, 1, 1}, {1, 1, 1}};
    const MMRESULT codes[] = {MMSYSERR_NOMEM, MMSYSERR_ERROR, MMSYSERR_INVALHANDLE,
                              MMSYSERR_INVALPARAM, WAVERR_STILLPLAYING};
    int round = 0;
    for (const Signal& sig : signals) {
        Start s = FiveBlockSignal();
        s.seconds = sig.seconds;
        s.channels = sig.channels;
        s.loop = sig.loop;
        const std::vector<uint8_t> bytes = s.Render();
        for (bool write : {false, true}) {
            for (int at = 0; at <= 12; ++at, ++round) {
                SCOPED_TRACE(std::string(write ? "write " : "prepare ") + std::to_string(at) +
                             ", " + std::to_string(bytes.size()) + " bytes" +
                             (sig.loop ? ", looping" : ""));
                sim::Config config;
                config.pacing = sig.loop ? sim::Pacing::Manual : sim::Pacing::Instant;
                (write ? config.failWriteAt : config.failPrepareAt) = at;
                config.injectedFailure = codes[round % std::size(codes)];
                Configure(config);
                ASSERT_EQ(s.Play(), 0);
                if (sig.loop) {
                    ASSERT_TRUE(DriveManual(14));
                    // A looping signal of one block has one block in flight: when
                    // its requeue fails nothing is left and the engine stops.
                    const bool oneBlock = bytes.size() <= static_cast<size_t>(kBlockBytes);
                    const bool stops = oneBlock && at >= 1;
                    EXPECT_EQ(EngineBusy(), !stops);
                    if (stops) {
                        EXPECT_EQ(CompletedBlocks(), static_cast<size_t>(at));
                    }
                    PlayStop();
                }
                ASSERT_TRUE(WaitIdle());
                ASSERT_TRUE(sim::WaitQuiet(5000));
                const std::vector<uint8_t> played = sim::PlayedBytes();
                if (sig.loop) {
                    EXPECT_EQ(played, Stream(bytes, true, CompletedBlocks()));
                } else {
                    EXPECT_EQ(played, bytes);
                }
                EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
                EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            }
        }
    }
}

// Both calls fail, at two different blocks of the first queue: two blocks
// still reach the device and the rest follows.
TEST_F(FaultInjection, PrepareAndWriteFailInTheSameQueue) {
    const Start s = FiveBlockSignal();
    const std::vector<uint8_t> bytes = s.Render();
    for (int prepare = 0; prepare < 4; ++prepare) {
        for (int write = 0; write < 4; ++write) {
            SCOPED_TRACE("prepare " + std::to_string(prepare) + ", write " + std::to_string(write));
            sim::Config config;
            config.failPrepareAt = prepare;
            config.failWriteAt = write;
            Configure(config);
            ASSERT_EQ(s.Play(), 0);
            ASSERT_TRUE(WaitIdle());
            ASSERT_TRUE(sim::WaitQuiet(5000));
            EXPECT_EQ(sim::PlayedBytes(), bytes);
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        }
    }
}

// Every result code an open can fail with, through both start operations:
// -1, the open message, the filled buffer kept until PlayStop, nothing open.
TEST_F(FaultInjection, OpenFailsWithEveryResultCode) {
    std::vector<MMRESULT> codes;
    for (MMRESULT code = 1; code <= 40; ++code)
        codes.push_back(code);
    for (MMRESULT code : {0x100u, 0xFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu})
        codes.push_back(code);
    for (MMRESULT code : codes) {
        for (bool first : {true, false}) {
            SCOPED_TRACE("open result " + std::to_string(code) + (first ? "" : ", second start"));
            sim::Config config;
            config.openResult = code;
            Configure(config);
            Start s;
            s.rateIndex = 0;
            s.loop = 1;
            EXPECT_EQ(first ? s.Play() : s.Play1(), -1);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{kOpenFailedMessage});
            EXPECT_EQ(sim::OpenCount(), 1);
            EXPECT_EQ(sim::OpenDevices(), 0);
            EXPECT_TRUE(EngineBusy());
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart + 1);
            EXPECT_EQ(engineState.waveOut, nullptr);
            EXPECT_EQ(PlayStop(), 0);
            EXPECT_FALSE(EngineBusy());
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        }
    }
}

// The query's answer: only a refused format stops the start there; any other
// failure of the query leaves the decision to the open.
TEST_F(FaultInjection, QueryFailsWithEveryResultCode) {
    for (MMRESULT code = 0; code <= 40; ++code) {
        SCOPED_TRACE("query result " + std::to_string(code));
        sim::Config config;
        config.queryResult = code;
        Configure(config);
        Start s;
        s.rateIndex = 0;
        const int32_t result = s.Play();
        if (code == WAVERR_BADFORMAT) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{kUnsupportedFormatMessage});
            EXPECT_EQ(sim::OpenCount(), 0);
            EXPECT_TRUE(EngineBusy());
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart + 1);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            EXPECT_EQ(sim::OpenCount(), 1);
        }
        PlayStop();
        EXPECT_FALSE(EngineBusy());
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
    }
}

// Notifications late, jittered, bunched or delivered after the reset has
// returned: a signal that ends plays whole and stops the engine; a looping
// one repeats without gap until PlayStop, whenever the stop comes.
TEST_F(FaultInjection, NotificationTiming) {
    Watchdog watchdog(std::chrono::seconds(300));
    struct Timing {
        const char* what;
        sim::Pacing pacing;
        double speed;
        unsigned jitterSeed;
        bool resetBeforeReturn;
        int bunch; // Manual: blocks let finish at once
    };
    const Timing timings[] = {
        {"instant, jitter", sim::Pacing::Instant, 1, 7, true, 0},
        {"instant, jitter, late reset", sim::Pacing::Instant, 1, 8, false, 0},
        {"real time x40", sim::Pacing::RealTime, 40, 0, true, 0},
        {"real time x40, jitter, late reset", sim::Pacing::RealTime, 40, 9, false, 0},
        {"real time x400, jitter", sim::Pacing::RealTime, 400, 10, true, 0},
        {"bunched by 4", sim::Pacing::Manual, 1, 0, true, 4},
        {"bunched by 4, late reset", sim::Pacing::Manual, 1, 0, false, 4},
        {"bunched by 3, jitter, late reset", sim::Pacing::Manual, 1, 11, false, 3},
        {"bunched by 2, jitter", sim::Pacing::Manual, 1, 12, true, 2},
    };
    const Start base = FiveBlockSignal();
    const std::vector<uint8_t> bytes = base.Render();
    for (const Timing& t : timings) {
        sim::Config config;
        config.pacing = t.pacing;
        config.speed = t.speed;
        config.jitterSeed = t.jitterSeed;
        config.resetNotifiesBeforeReturn = t.resetBeforeReturn;
        // Let the signal play out, then stop a looping one after 0..7 blocks.
        for (int stopAfter = -1; stopAfter < 8; ++stopAfter) {
            SCOPED_TRACE(std::string(t.what) + ", stop after " + std::to_string(stopAfter));
            if (stopAfter >= 0 && t.pacing == sim::Pacing::Instant) continue;
            Configure(config);
            Start s = base;
            s.loop = stopAfter >= 0 ? 1 : 0;
            ASSERT_EQ(s.Play(), 0);
            const size_t enough = stopAfter >= 0 ? static_cast<size_t>(stopAfter) : 1000;
            for (int step = 0; step < 20000 && EngineBusy() && CompletedBlocks() < enough; ++step) {
                if (t.pacing == sim::Pacing::Manual && sim::QueuedBlocks() > 0)
                    sim::CompleteBlocks(t.bunch);
                else
                    SleepMs(1);
            }
            if (stopAfter >= 0) {
                EXPECT_TRUE(EngineBusy());
                EXPECT_EQ(PlayStop(), 0);
                EXPECT_EQ(sim::OpenDevices(), 0);
                EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
            }
            ASSERT_TRUE(WaitIdle()) << "the engine did not stop";
            ASSERT_TRUE(sim::WaitQuiet(5000));
            const std::vector<uint8_t> played = sim::PlayedBytes();
            if (stopAfter < 0) {
                EXPECT_EQ(played, bytes);
            } else {
                EXPECT_GE(CompletedBlocks(), static_cast<size_t>(stopAfter));
                EXPECT_EQ(played, Stream(bytes, true, CompletedBlocks()));
            }
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        }
    }
}

// A bunch of completions and the stop arriving together: the completion
// thread may be queueing the next blocks while the stop resets the device.
TEST_F(FaultInjection, StopRightAfterABunchOfCompletions) {
    Watchdog watchdog(std::chrono::seconds(120));
    const Start base = FiveBlockSignal();
    const std::vector<uint8_t> bytes = base.Render();
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        sim::Config config;
        config.pacing = sim::Pacing::Manual;
        config.jitterSeed = round % 3 == 0 ? 0u : static_cast<unsigned>(round);
        config.resetNotifiesBeforeReturn = round % 2 == 0;
        Configure(config);
        Start s = base;
        s.loop = round % 4 != 3;
        ASSERT_EQ(s.Play(), 0);
        sim::CompleteBlocks(1 + round % 4);
        EXPECT_EQ(PlayStop(), 0);
        EXPECT_FALSE(EngineBusy());
        EXPECT_EQ(sim::OpenDevices(), 0);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        ASSERT_TRUE(sim::WaitQuiet(5000));
        EXPECT_EQ(sim::PlayedBytes(), Stream(bytes, s.loop != 0, CompletedBlocks()));
    }
}

// A second host thread asks GetProgressRang with an invalid rate code while
// PlayStop is under way. The stop must still end with the device closed and
// every header freed; the busy mark the invalid call leaves is cleared by the
// next PlayStop. A stop that waits out its drain timeout abandons the headers
// still queued and cannot close the device, which the checks see.
//
// Runs in a child process: a device the engine loses stays open in the
// simulated device for good and would spoil every later test.
int ProgressRangeDuringStops() {
    const Start base = FiveBlockSignal();
    for (int round = 0; round < 100; ++round) {
        sim::Config config;
        config.pacing = round % 2 == 0 ? sim::Pacing::Manual : sim::Pacing::RealTime;
        config.speed = 20;
        config.jitterSeed = static_cast<unsigned>(round + 1);
        config.resetNotifiesBeforeReturn = round % 4 < 2;
        sim::Configure(config);
        const int64_t live = HeapLiveBlocks();
        Start s = base;
        s.loop = 1;
        if (s.Play() != 0) return std::fprintf(stderr, "round %d: start failed\n", round), 1;
        std::atomic<bool> stopping{false}, stopped{false}, wrong{false};
        std::thread other([&] {
            while (!stopping.load())
                std::this_thread::yield();
            while (!stopped.load())
                if (GetProgressRang(1, 7, 16, 2) != -1) wrong.store(true);
        });
        stopping.store(true);
        PlayStop();
        stopped.store(true);
        other.join();
        const int open = sim::OpenDevices();
        const int queued = sim::QueuedBlocks();
        PlayStop();
        const bool busy = EngineBusy();
        const int64_t leaked = HeapLiveBlocks() - live;
        const std::vector<std::string> violations = sim::Violations();
        if (wrong || open != 0 || queued != 0 || busy || leaked != 0 || !violations.empty()) {
            std::fprintf(stderr,
                         "round %d: after the stop %d device(s) open, %d block(s) queued; "
                         "after a second stop busy %d, %lld heap block(s) leaked, %zu "
                         "violation(s)%s%s\n",
                         round, open, queued, busy ? 1 : 0, static_cast<long long>(leaked),
                         violations.size(), violations.empty() ? "" : ", first: ",
                         violations.empty() ? "" : violations.front().c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "every stop clean\n");
    return 0;
}

TEST_F(FaultInjection, InvalidProgressRangeDuringAStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(ProgressRangeDuringStops()), testing::ExitedWithCode(0),
                "every stop clean");
}

} // namespace
} // namespace vantoro
