#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "generators/generators.h"
#include "tests/engine/engine_fixture.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

using test::EngineTest;
using test::Start;
using Texts = std::vector<std::string>;

class StartSequence : public EngineTest {};

// Every invalid code and out-of-range argument fails with -1 and no message,
// and leaves the engine busy until PlayStop.
TEST_F(StartSequence, RejectionsLeaveTheEngineBusyWithoutAMessage) {
    struct Case {
        const char* what;
        Start start;
        int64_t buffersLeft; // an invalid kind leaves the unfilled buffer
    };
    auto with = [](auto change) {
        Start s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"rate -1", with([](Start& s) { s.rateIndex = -1; }), 0},
        {"rate 7", with([](Start& s) { s.rateIndex = 7; }), 0},
        {"rate INT_MIN", with([](Start& s) { s.rateIndex = INT_MIN; }), 0},
        {"bits 0", with([](Start& s) { s.bits = 0; }), 0},
        {"bits 12", with([](Start& s) { s.bits = 12; }), 0},
        {"bits 33", with([](Start& s) { s.bits = 33; }), 0},
        {"bits 65552", with([](Start& s) { s.bits = 65536 + 16; }), 0},
        {"kind -1", with([](Start& s) { s.kind = -1; }), 1},
        {"kind 6", with([](Start& s) { s.kind = 6; }), 1},
        {"kind INT_MAX", with([](Start& s) { s.kind = INT_MAX; }), 1},
        {"seconds -1", with([](Start& s) { s.seconds = -1; }), 0},
        {"channels -1", with([](Start& s) { s.channels = -1; }), 0},
        {"channels 65536", with([](Start& s) { s.channels = 65536; }), 0},
        {"2^31 bytes", with([](Start& s) {
             s.rateIndex = 6;
             s.bits = 32;
             s.seconds = 1399;
         }),
         0},
        {"2^32 + 86054 bytes", with([](Start& s) {
             s.rateIndex = 0;
             s.bits = 8;
             s.channels = 1;
             s.seconds = 389574;
         }),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::RecordingProgress();
        Start s = c.start;
        s.progress = &test::RecordProgress;
        EXPECT_EQ(s.Play(), -1);
        EXPECT_TRUE(test::ProgressValues().empty()) << "a generator ran";
        EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
        EXPECT_EQ(sim::QueryCount(), 0);
        EXPECT_TRUE(EngineBusy());
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart + c.buffersLeft);
        // The next start meets the busy engine.
        EXPECT_EQ(Start{}.Play(), -1);
        EXPECT_EQ(sim::MessageBoxTexts(), Texts{kBusyMessage});
        EXPECT_EQ(PlayStop(), 0);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        EXPECT_FALSE(EngineBusy());
        Configure(sim::Config{});
    }
}

TEST_F(StartSequence, LoopFlagIsStoredEvenWhenTheStartFails) {
    Start s;
    s.rateIndex = 9;
    s.loop = 5;
    EXPECT_EQ(s.Play(), -1);
    EXPECT_EQ(engineState.loopPlayback, 5);
}

TEST_F(StartSequence, FailedAllocationRunsNoGenerator) {
    SetHeapFailureHook([](size_t bytes) { return bytes > 1000; });
    Start s;
    s.progress = test::RecordingProgress();
    EXPECT_EQ(s.Play(), -1);
    EXPECT_TRUE(test::ProgressValues().empty());
    EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
    EXPECT_TRUE(EngineBusy());
    EXPECT_EQ(engineState.signalBuffer, nullptr);
    SetHeapFailureHook(nullptr);
    PlayStop();
    EXPECT_EQ(s.Play(), 0);
}

TEST_F(StartSequence, BusyStartChangesNothing) {
    Start first;
    first.loop = 1;
    ASSERT_EQ(first.Play(), 0);
    uint8_t* const buffer = engineState.signalBuffer;
    Start second;
    second.kind = 3;
    second.loop = 0;
    EXPECT_EQ(second.Play(), -1);
    EXPECT_EQ(second.Play1(), -1);
    EXPECT_EQ(sim::MessageBoxTexts(), (Texts{kBusyMessage, kBusyMessage}));
    EXPECT_EQ(engineState.signalBuffer, buffer);
    EXPECT_EQ(engineState.loopPlayback, 1);
    EXPECT_EQ(sim::OpenCount(), 1);
    PlayStop();
    EXPECT_EQ(Start{}.Play(), 0);
}

TEST_F(StartSequence, MessageBoxIsAWarningWithoutCaption) {
    ASSERT_EQ(Start{}.Play(), 0);
    EXPECT_EQ(Start{}.Play(), -1);
    const auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kBusyMessage);
    EXPECT_EQ(boxes[0].caption, "");
    EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONWARNING);
}

// The overview's request: 5 s of 16-bit stereo at 44100 Hz.
TEST_F(StartSequence, TypicalRequestReportsProgressAndStreamsTheBuffer) {
    Start s;
    s.seconds = 5;
    s.progress = test::RecordingProgress();
    ASSERT_EQ(s.Play(), 0);
    EXPECT_EQ(engineState.signalBytes, 882000);
    const auto& values = test::ProgressValues();
    ASSERT_EQ(values.size(), 220500u);
    for (size_t k = 0; k < values.size(); ++k)
        ASSERT_EQ(values[k], 2 * (k + 1));
    EXPECT_EQ(static_cast<int32_t>(values.back()), GetProgressRang(5, 3, 16, 2));

    ASSERT_TRUE(sim::WaitClosed(10000));
    for (int k = 0; k < 500 && EngineBusy(); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(EngineBusy()) << "the engine stops itself after the last block";
    const auto blocks = sim::Blocks();
    ASSERT_EQ(blocks.size(), 37u);
    for (size_t k = 0; k < 36; ++k)
        EXPECT_EQ(blocks[k].bytes.size(), 24000u);
    EXPECT_EQ(blocks[36].bytes.size(), 18000u);
    EXPECT_EQ(sim::PlayedBytes(), s.Render());
    const WAVEFORMATEXTENSIBLE f = sim::LastFormat();
    EXPECT_EQ(f.Format.nChannels, 2);
    EXPECT_EQ(f.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.Format.nBlockAlign, 4);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 176400u);
}

// The callback receives exactly what the generator reports, for every family
// and layout, through the first start operation; the second reports nothing.
TEST_F(StartSequence, ProgressIsWhatTheGeneratorReports) {
    struct Case {
        int32_t kind, bits, channels, sweepMode;
    };
    const Case cases[] = {{0, 16, 2, 0}, {1, 8, 0, 0},  {2, 24, 3, 0},
                          {0, 32, 1, 1}, {1, 20, 5, 2}, {4, 16, 7, 0}};
    for (const Case& c : cases) {
        Start s;
        s.kind = c.kind;
        s.rateIndex = 0;
        s.bits = c.bits;
        s.channels = c.channels;
        s.sweepMode = c.sweepMode;
        s.progress = test::RecordingProgress();
        ASSERT_EQ(s.Play(), 0);
        const std::vector<uint32_t> reported = test::ProgressValues();
        PlayStop();

        const uint32_t bytes = static_cast<uint32_t>(engineState.signalBytes);
        std::vector<uint8_t> buffer(bytes);
        test::RecordingProgress();
        GenerateTone(buffer.data(), bytes, 11025, static_cast<uint32_t>(c.channels),
                     static_cast<uint16_t>(c.bits), 0, 1000, 1.0, &test::RecordProgress);
        EXPECT_EQ(reported, test::ProgressValues());
        EXPECT_EQ(static_cast<int32_t>(reported.back()),
                  GetProgressRang(s.seconds, s.rateIndex, 0, s.channels));

        test::RecordingProgress();
        ASSERT_EQ(s.Play1(), 0);
        EXPECT_TRUE(test::ProgressValues().empty());
        PlayStop();
    }
}

TEST_F(StartSequence, AntiphaseModeStreamsTwoChannels) {
    Start s;
    s.channels = 0;
    ASSERT_EQ(s.Play(), 0);
    EXPECT_EQ(engineState.signalBytes, 176400);
    const WAVEFORMATEXTENSIBLE f = sim::LastFormat();
    EXPECT_EQ(f.Format.nChannels, 2);
    EXPECT_EQ(f.dwChannelMask, 0x3u);
    ASSERT_TRUE(sim::WaitClosed(5000));
    const auto played = sim::PlayedBytes();
    ASSERT_EQ(played.size(), 176400u);
    // Frame 1 of the sine: +x then -x.
    int16_t a, b;
    std::memcpy(&a, &played[4], 2);
    std::memcpy(&b, &played[6], 2);
    EXPECT_GT(a, 0);
    EXPECT_EQ(b, -a);
}

TEST_F(StartSequence, SweepModeDispatch) {
    struct Case {
        int32_t sweepMode;
        bool firstIsLinear; // through fnVantoroCreateAndPlay
    };
    const Case cases[] = {{1, true}, {2, false}, {-1, false}, {INT_MAX, false}};
    for (const Case& c : cases) {
        Start s;
        s.rateIndex = 0;
        s.sweepMode = c.sweepMode;
        const auto linear = s.Render(SweepModeOne::Linear);
        const auto logarithmic = s.Render(SweepModeOne::Logarithmic);
        if (c.sweepMode == 1) {
            ASSERT_NE(linear, logarithmic);
        }
        ASSERT_EQ(s.Play(), 0);
        ASSERT_TRUE(sim::WaitClosed(5000));
        EXPECT_EQ(sim::PlayedBytes(), c.firstIsLinear ? linear : logarithmic) << c.sweepMode;
        PlayStop();
        Configure(sim::Config{});
        ASSERT_EQ(s.Play1(), 0);
        ASSERT_TRUE(sim::WaitClosed(5000));
        EXPECT_EQ(sim::PlayedBytes(), logarithmic) << c.sweepMode;
        PlayStop();
        Configure(sim::Config{});
    }
}

TEST_F(StartSequence, ZeroSecondsOpensAndQueuesNothing) {
    Start s;
    s.seconds = 0;
    s.progress = test::RecordingProgress();
    ASSERT_EQ(s.Play(), 0);
    EXPECT_TRUE(test::ProgressValues().empty());
    EXPECT_EQ(sim::OpenDevices(), 1);
    EXPECT_EQ(sim::QueuedBlocks(), 0);
    EXPECT_TRUE(EngineBusy());
    PlayStop();
    EXPECT_FALSE(EngineBusy());
    EXPECT_TRUE(sim::Blocks().empty());
}

TEST_F(StartSequence, SameArgumentsSucceedAgainAfterStop) {
    Start s;
    s.loop = 1;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(s.Play(), 0) << round;
        EXPECT_EQ(PlayStop(), 0);
    }
}

TEST(ProgressRange, CountsSampleValuesOfEveryChannel) {
    struct Case {
        int32_t seconds, rateIndex, channels, expected;
    };
    const Case cases[] = {
        {1, 3, 0, 88200},
        {1, 3, 1, 44100},
        {1, 3, 2, 88200},
        {5, 3, 2, 441000},
        {2, 0, 7, 154350},
        {0, 6, 2, 0},
        {1, 0, 65535, 11025 * 65535},
        {3, 2, 3, 288000},
        {10, 4, 6, 2880000},
        {1, 5, 2, 192000},
    };
    for (const Case& c : cases)
        for (int32_t third : {0, 8, 16, -1, INT_MAX})
            EXPECT_EQ(GetProgressRang(c.seconds, c.rateIndex, third, c.channels), c.expected)
                << c.seconds << " s, code " << c.rateIndex << ", " << c.channels << " channels";
}

class ProgressRangeRejection : public EngineTest {};

TEST_F(ProgressRangeRejection, InvalidArgumentsGiveMinusOneAndABusyEngine) {
    struct Case {
        int32_t seconds, rateIndex, channels;
    };
    const Case cases[] = {{1, 7, 2},     {1, -1, 2},    {-1, 3, 2},     {1, 3, -1},
                          {1, 3, 65536}, {20000, 6, 1}, {INT_MAX, 0, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(GetProgressRang(c.seconds, c.rateIndex, 16, c.channels), -1);
        EXPECT_EQ(Start{}.Play(), -1);
        EXPECT_EQ(sim::MessageBoxTexts(), Texts{kBusyMessage});
        PlayStop();
        EXPECT_EQ(Start{}.Play(), 0);
        PlayStop();
        Configure(sim::Config{});
    }
}

TEST(SignalSize, LargestSignalThatFits) {
    // 192000 Hz, two channels of 4 bytes: 1398 s fit, 1399 s do not.
    EXPECT_TRUE(SignalFits(1398, 192000, 2, 4));
    EXPECT_FALSE(SignalFits(1399, 192000, 2, 4));
    EXPECT_TRUE(SignalFits(1398, 192000, 0, 4));
    EXPECT_FALSE(SignalFits(1, 192000, -1, 4));
    EXPECT_FALSE(SignalFits(-1, 192000, 2, 4));
    EXPECT_FALSE(SignalFits(1, 11025, 65536, 1));
    EXPECT_TRUE(SignalFits(1, 11025, 65535, 1));
    EXPECT_TRUE(SignalFits(INT32_MAX / 11025, 11025, 1, 1));
    EXPECT_FALSE(SignalFits(INT32_MAX / 11025 + 1, 11025, 1, 1));
    EXPECT_TRUE(SignalFits(0, 192000, 65535, 4));
}

TEST(ExportedClass, ConstructsAndAssigns) {
    CVantoro a;
    CVantoro b;
    EXPECT_EQ(&(a = b), &a);
}

} // namespace
} // namespace vantoro
