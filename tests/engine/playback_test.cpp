#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "tests/engine/engine_fixture.h"

namespace vantoro {
namespace {

using test::CompletedBlocks;
using test::EngineTest;
using test::Start;
using test::Stream;
using test::WaitIdle;
using Texts = std::vector<std::string>;

// A signal of `bytes` bytes whose every byte tells its offset apart from its
// neighbours', as 16-bit stereo at 44100 Hz (8-bit mono when odd).
struct Pattern {
    std::vector<uint8_t> bytes;
    Synthesis synthesis;
    uint32_t bits;
};

Pattern MakePattern(int32_t bytes) {
    Pattern p;
    p.bytes.resize(bytes);
    for (int32_t k = 0; k < bytes; ++k)
        p.bytes[k] = static_cast<uint8_t>((k * 7 + k / 251) % 256);
    const bool odd = bytes % 4 != 0;
    p.bits = odd ? 8 : 16;
    p.synthesis.status = SynthesisStatus::Ready;
    p.synthesis.layout = {44100, odd ? 1u : 2u, odd ? 1u : 2u, bytes};
    p.synthesis.buffer = static_cast<uint8_t*>(HeapAllocate(bytes + 2));
    if (bytes > 0) std::memcpy(p.synthesis.buffer, p.bytes.data(), bytes);
    return p;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, size_t from, size_t length) {
    return {b.begin() + from, b.begin() + from + length};
}

class Streaming : public EngineTest {};

// Signals that end by themselves: the blocks, their bytes, the stop at the end.
TEST_F(Streaming, BlockSequencesOfSignalsThatPlayOut) {
    struct Case {
        int32_t bytes;
        int32_t loop;
        std::vector<size_t> blocks;
    };
    const Case cases[] = {
        {100000, 0, {24000, 24000, 24000, 24000, 4000}},
        {50000, 0, {24000, 24000, 2000}},
        {96000, 0, {24000, 24000, 24000, 24000}},
        {24000, 0, {24000}},
        {1, 0, {1}},
        {882000, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        Configure(sim::Config{});
        Pattern p = MakePattern(c.bytes);
        ASSERT_EQ(StartSynthesized(p.synthesis, p.bits, c.loop), 0);
        ASSERT_TRUE(sim::WaitClosed(5000));
        ASSERT_TRUE(WaitIdle()) << "the engine did not stop by itself";
        const auto blocks = sim::Blocks();
        std::vector<size_t> lengths;
        for (const auto& b : blocks) {
            EXPECT_TRUE(b.completed);
            lengths.push_back(b.bytes.size());
        }
        if (c.bytes == 882000) {
            ASSERT_EQ(lengths.size(), 37u);
            EXPECT_EQ(lengths.back(), 18000u);
        } else {
            EXPECT_EQ(lengths, c.blocks);
        }
        EXPECT_EQ(sim::PlayedBytes(), p.bytes);
        EXPECT_EQ(engineState.signalBuffer, nullptr);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
    }
}

// The initial queue puts at most four blocks and only what the signal has.
TEST_F(Streaming, InitialQueue) {
    struct Case {
        int32_t bytes;
        int queued;
    };
    for (const Case& c : {Case{50000, 3}, Case{100000, 4}, Case{24001, 2}, Case{0, 0}}) {
        sim::Config manual;
        manual.pacing = sim::Pacing::Manual;
        Configure(manual);
        Pattern p = MakePattern(c.bytes);
        ASSERT_EQ(StartSynthesized(p.synthesis, p.bits, 0), 0);
        EXPECT_EQ(sim::QueuedBlocks(), c.queued) << c.bytes;
        EXPECT_EQ(engineState.blocksQueued, c.queued);
        EXPECT_TRUE(EngineBusy());
        PlayStop();
        EXPECT_EQ(sim::QueuedBlocks(), 0);
    }
}

// Looping signals repeat the buffer with no gap until PlayStop, whatever
// their length; never more than four blocks are in flight.
TEST_F(Streaming, LoopingSequences) {
    struct Case {
        int32_t bytes;
        std::vector<std::pair<size_t, size_t>> blocks; // offset, length
    };
    const Case cases[] = {
        {100000,
         {{0, 24000},
          {24000, 24000},
          {48000, 24000},
          {72000, 24000},
          {96000, 4000},
          {0, 24000},
          {24000, 24000},
          {48000, 24000},
          {72000, 24000},
          {96000, 4000},
          {0, 24000}}},
        {96001,
         {{0, 24000},
          {24000, 24000},
          {48000, 24000},
          {72000, 24000},
          {96000, 1},
          {0, 24000},
          {24000, 24000}}},
        // Short signals the first queue covers whole loop too.
        {96000,
         {{0, 24000},
          {24000, 24000},
          {48000, 24000},
          {72000, 24000},
          {0, 24000},
          {24000, 24000},
          {48000, 24000},
          {72000, 24000},
          {0, 24000}}},
        {30000, {{0, 24000}, {24000, 6000}, {0, 24000}, {24000, 6000}, {0, 24000}}},
        {1, {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        sim::Config manual;
        manual.pacing = sim::Pacing::Manual;
        Configure(manual);
        Pattern p = MakePattern(c.bytes);
        ASSERT_EQ(StartSynthesized(p.synthesis, p.bits, 1), 0);
        while (sim::Blocks().size() < c.blocks.size()) {
            EXPECT_LE(sim::QueuedBlocks(), 4);
            sim::CompleteBlocks(1);
        }
        const auto blocks = sim::Blocks();
        std::vector<uint8_t> expected;
        for (size_t k = 0; k < c.blocks.size(); ++k) {
            EXPECT_EQ(blocks[k].length, c.blocks[k].second) << "block " << k;
            if (blocks[k].completed) {
                EXPECT_EQ(blocks[k].bytes, Slice(p.bytes, c.blocks[k].first, c.blocks[k].second))
                    << "block " << k;
            }
        }
        EXPECT_TRUE(EngineBusy());
        EXPECT_EQ(PlayStop(), 0);
        // Every block still queued came back through the reset and was freed;
        // nothing was queued after it.
        const size_t written = sim::Blocks().size();
        for (const auto& b : sim::Blocks())
            EXPECT_TRUE(b.finished);
        EXPECT_EQ(sim::QueuedBlocks(), 0);
        EXPECT_EQ(sim::OpenDevices(), 0);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        EXPECT_EQ(sim::Blocks().size(), written);
        EXPECT_EQ(Start{}.Play(), 0);
        PlayStop();
    }
}

TEST_F(Streaming, ZeroLengthSignalStaysBusyUntilStopped) {
    Pattern p = MakePattern(0);
    ASSERT_EQ(StartSynthesized(p.synthesis, p.bits, 1), 0);
    ASSERT_TRUE(sim::WaitQuiet(2000));
    EXPECT_TRUE(EngineBusy());
    EXPECT_TRUE(sim::Blocks().empty());
    PlayStop();
    EXPECT_FALSE(EngineBusy());
}

// Seven channels of 4 bytes: blocks end inside frames and the stream carries
// on from the next byte.
TEST_F(Streaming, BlocksAreCutByByteNotByFrame) {
    Start s;
    s.channels = 7;
    s.bits = 32;
    s.rateIndex = 0;
    ASSERT_EQ(s.Play(), 0);
    ASSERT_TRUE(sim::WaitClosed(5000));
    ASSERT_TRUE(WaitIdle());
    const auto blocks = sim::Blocks();
    ASSERT_EQ(blocks.size(), 13u);
    EXPECT_EQ(blocks[0].bytes.size() % 28, 24000u % 28);
    EXPECT_EQ(blocks.back().bytes.size(), 308700u - 12 * 24000);
    EXPECT_EQ(sim::PlayedBytes(), s.Render());
}

// The failures of the query and the open: their message, what they leave
// behind, and the stop that clears them.
TEST_F(Streaming, DeviceFailures) {
    struct Case {
        const char* what;
        MMRESULT query, open;
        const char* message; // null: the start succeeds
    };
    const Case cases[] = {
        {"format refused", WAVERR_BADFORMAT, MMSYSERR_NOERROR, kUnsupportedFormatMessage},
        {"query error, open fine", MMSYSERR_BADDEVICEID, MMSYSERR_NOERROR, nullptr},
        {"no device", MMSYSERR_BADDEVICEID, MMSYSERR_BADDEVICEID, kOpenFailedMessage},
        {"refused only at the open", MMSYSERR_NOERROR, WAVERR_BADFORMAT, kOpenFailedMessage},
        {"allocated", MMSYSERR_NOERROR, MMSYSERR_ALLOCATED, kOpenFailedMessage},
        {"no driver", MMSYSERR_NODRIVER, MMSYSERR_NODRIVER, kOpenFailedMessage},
        {"no memory", MMSYSERR_NOERROR, MMSYSERR_NOMEM, kOpenFailedMessage},
        {"generic error", MMSYSERR_ERROR, MMSYSERR_ERROR, kOpenFailedMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Config config;
        config.queryResult = c.query;
        config.openResult = c.open;
        Configure(config);
        const int32_t result = Start{}.Play();
        if (!c.message) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            PlayStop();
            continue;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(sim::MessageBoxTexts(), Texts{c.message});
        EXPECT_TRUE(EngineBusy());
        EXPECT_EQ(sim::OpenDevices(), 0);
        EXPECT_EQ(sim::OpenCount(), c.query == WAVERR_BADFORMAT ? 0 : 1);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart + 1) << "the filled buffer stays until PlayStop";
        EXPECT_EQ(Start{}.Play(), -1);
        EXPECT_EQ(sim::MessageBoxTexts(), (Texts{c.message, kBusyMessage}));
        EXPECT_EQ(PlayStop(), 0);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        EXPECT_EQ(PlayStop(), 0);
        Configure(sim::Config{});
        EXPECT_EQ(Start{}.Play(), 0);
        PlayStop();
    }
}

TEST_F(Streaming, FormatRefusedForOneLayoutOnly) {
    sim::Config config;
    config.acceptFormat = [](const WAVEFORMATEX* f) { return f->nChannels != 6; };
    Configure(config);
    Start six;
    six.channels = 6;
    EXPECT_EQ(six.Play(), -1);
    EXPECT_EQ(sim::MessageBoxTexts(), Texts{kUnsupportedFormatMessage});
    PlayStop();
    EXPECT_EQ(Start{}.Play(), 0);
}

TEST_F(Streaming, StopInEveryState) {
    EXPECT_EQ(PlayStop(), 0);
    EXPECT_EQ(PlayStop(), 0);
    sim::Config manual;
    manual.pacing = sim::Pacing::Manual;
    for (bool before : {true, false}) {
        manual.resetNotifiesBeforeReturn = before;
        Configure(manual);
        Start s;
        s.loop = 1;
        ASSERT_EQ(s.Play(), 0);
        sim::CompleteBlocks(2);
        EXPECT_EQ(PlayStop(), 0);
        EXPECT_EQ(PlayStop(), 0);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        EXPECT_EQ(sim::OpenDevices(), 0);
        EXPECT_EQ(engineState.signalBuffer, nullptr);
        // Every header that went to the device came back and was freed.
        ASSERT_TRUE(sim::WaitQuiet(2000));
    }
}

// A block the device will not take is freed and retried, so the stream
// still carries every byte; when nothing at all reaches the device the engine
// stops itself.
TEST_F(Streaming, FailedBlocks) {
    struct Case {
        const char* what;
        int failPrepareAt, failWriteAt;
    };
    for (const Case& c :
         {Case{"first prepare", 0, -1}, Case{"third write", -1, 2},
          Case{"prepare in completion", 5, -1}, Case{"write in completion", -1, 6}}) {
        SCOPED_TRACE(c.what);
        sim::Config config;
        config.failPrepareAt = c.failPrepareAt;
        config.failWriteAt = c.failWriteAt;
        Configure(config);
        Pattern p = MakePattern(200000);
        ASSERT_EQ(StartSynthesized(p.synthesis, p.bits, 0), 0);
        ASSERT_TRUE(sim::WaitClosed(5000));
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(sim::PlayedBytes(), p.bytes);
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
    }
}

TEST_F(Streaming, NoHeaderCanBeAllocated) {
    SetHeapFailureHook([](size_t bytes) { return bytes == sizeof(WAVEHDR); });
    EXPECT_EQ(Start{}.Play(), 0);
    EXPECT_FALSE(EngineBusy()) << "a start that reaches no device stops itself";
    EXPECT_EQ(sim::OpenDevices(), 0);
    EXPECT_EQ(Start{}.Play(), 0);
}

int headersAllowed = 0;

TEST_F(Streaming, HeaderAllocationFailsDuringPlayback) {
    // The four first headers, then none: the three blocks in flight finish
    // and the last of them stops the engine.
    headersAllowed = 4;
    SetHeapFailureHook(
        [](size_t bytes) { return bytes == sizeof(WAVEHDR) && headersAllowed-- <= 0; });
    Pattern p = MakePattern(200000);
    ASSERT_EQ(StartSynthesized(p.synthesis, p.bits, 1), 0);
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(sim::WaitQuiet(5000));
    EXPECT_EQ(sim::PlayedBytes(), Slice(p.bytes, 0, 96000));
    EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
}

} // namespace
} // namespace vantoro
