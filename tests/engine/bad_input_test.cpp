// Every invalid and boundary value of every exported parameter, in one
// table: what the call returns, the message it shows, what it allocates and
// what state it leaves the engine in.
//
// Signal sizes at the 2 GiB boundary are checked without allocating them: a
// heap hook records the size of every allocation and refuses the large ones,
// so a start that passes the size check shows up as a refused allocation of
// exactly signalBytes + 2 bytes, and one that fails it asks for nothing.
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "tests/engine/engine_fixture.h"
#include "tests/generators/progress_recorder.h"

namespace vantoro {
namespace {

using test::CompletedBlocks;
using test::EngineTest;
using test::Start;
using test::Stream;
using test::WaitIdle;
using Texts = std::vector<std::string>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Allocations above this are refused (and recorded like every other).
constexpr size_t kLargestAllowed = 8u << 20;

std::mutex requestsMutex;
std::vector<size_t> requests;

bool RecordAndRefuseLarge(size_t bytes) {
    std::lock_guard lock(requestsMutex);
    requests.push_back(bytes);
    return bytes > kLargestAllowed;
}

std::vector<size_t> TakeRequests() {
    std::lock_guard lock(requestsMutex);
    std::vector<size_t> taken;
    taken.swap(requests);
    return taken;
}

// The arguments of one call. Base: a 1 s, 8-bit mono sine at 11025 Hz, one
// block of 11025 bytes.
struct Args : Start {
    Args() {
        seconds = 1;
        rateIndex = 0;
        bits = 8;
        channels = 1;
    }
    Args& Kind(int32_t v) { return kind = v, *this; }
    Args& Seconds(int32_t v) { return seconds = v, *this; }
    Args& Rate(int32_t v) { return rateIndex = v, *this; }
    Args& Bits(int32_t v) { return bits = v, *this; }
    Args& Channels(int32_t v) { return channels = v, *this; }
    Args& Loop(int32_t v) { return loop = v, *this; }
    Args& Amplitude(double v) { return amplitude = v, *this; }
    Args& Frequency(int32_t v) { return frequency = v, *this; }
    Args& Sweep(int32_t mode, int32_t from, int32_t to) {
        sweepMode = mode;
        sweepStart = from;
        sweepEnd = to;
        return *this;
    }
};

enum class Call { Play, Play1, GetRange };

enum class Outcome {
    Rejected,    // -1, no message, busy, nothing allocated
    NoMemory,    // -1, no message, busy, the signal's allocation refused
    InvalidKind, // -1, no message, busy, the unfilled buffer kept until PlayStop
    Unsupported, // -1, the format message, busy, the buffer kept, nothing opened
    Plays,       // 0, the whole signal streamed, then the engine stops itself
    Silent,      // 0, a signal of no length: device open, nothing queued, busy
    Loops,       // 0, the signal repeats without gap until PlayStop
    Count,       // GetProgressRang's count; the engine stays idle
    CountFails,  // GetProgressRang's -1; the engine is left busy
};

// Bytes the arguments ask for, computed apart from the engine; -1 when a
// code is invalid or the count exceeds 64 bits.
int64_t SignalBytesOf(const Start& a) {
    static constexpr int64_t kRates[] = {11025, 22050, 32000, 44100, 48000, 96000, 192000};
    if (a.rateIndex < 0 || a.rateIndex > 6) return -1;
    int64_t container = 0;
    switch (a.bits) {
    case 8:
        container = 1;
        break;
    case 16:
        container = 2;
        break;
    case 20:
    case 24:
    case 32:
        container = 4;
        break;
    default:
        return -1;
    }
    const int64_t perSecond = container * (a.channels == 0 ? 2 : a.channels) * kRates[a.rateIndex];
    if (a.seconds != 0 && perSecond > INT64_MAX / a.seconds) return -1;
    return perSecond * a.seconds;
}

struct Row {
    const char* what;
    Call call;
    Args args;
    Outcome outcome;
    int32_t count = 0;              // Outcome::Count: the count
    bool filledWithSilence = false; // Plays: every 8-bit value is the midpoint 0x80
};

class BadInput : public EngineTest {};

TEST_F(BadInput, EveryParameterAtItsLimits) {
    using enum Call;
    using enum Outcome;
    const Row rows[] = {
        // kind: checked after the allocation, so an invalid one keeps the buffer;
        // but every other check comes first.
        {"kind -1", Play, Args().Kind(-1), InvalidKind},
        {"kind 6", Play, Args().Kind(6), InvalidKind},
        {"kind INT_MIN", Play1, Args().Kind(INT_MIN), InvalidKind},
        {"kind INT_MAX", Play1, Args().Kind(INT_MAX), InvalidKind},
        {"kind 6, 0 s: a buffer of the 2 spare bytes", Play, Args().Kind(6).Seconds(0),
         InvalidKind},
        {"kind 6, rate 7", Play, Args().Kind(6).Rate(7), Rejected},
        {"kind -1, 12 bits", Play1, Args().Kind(-1).Bits(12), Rejected},
        {"kind 6, too long", Play, Args().Kind(6).Rate(6).Bits(32).Channels(2).Seconds(1399),
         Rejected},
        {"kind 6, allocation refused", Play, Args().Kind(6).Seconds(1000), NoMemory},
        {"kind 0 sine", Play, Args().Kind(0), Plays},
        {"kind 1 square", Play1, Args().Kind(1), Plays},
        {"kind 2 ramp", Play, Args().Kind(2), Plays},
        {"kind 3 white", Play, Args().Kind(3), Plays},
        {"kind 4 pink", Play1, Args().Kind(4), Plays},
        {"kind 5 brown", Play, Args().Kind(5), Plays},

        // rate code
        {"rate -1", Play, Args().Rate(-1), Rejected},
        {"rate 7", Play1, Args().Rate(7), Rejected},
        {"rate INT_MIN", Play, Args().Rate(INT_MIN), Rejected},
        {"rate INT_MAX", Play1, Args().Rate(INT_MAX), Rejected},
        {"rate 0", Play, Args().Rate(0), Plays},
        {"rate 6", Play1, Args().Rate(6), Plays},

        // width
        {"bits 0", Play, Args().Bits(0), Rejected},
        {"bits 12", Play, Args().Bits(12), Rejected},
        {"bits 33", Play1, Args().Bits(33), Rejected},
        {"bits -8", Play, Args().Bits(-8), Rejected},
        {"bits 65544 (8 in the low 16 bits)", Play, Args().Bits(65536 + 8), Rejected},
        {"bits INT_MIN", Play1, Args().Bits(INT_MIN), Rejected},
        {"bits 8", Play, Args().Bits(8), Plays},
        {"bits 16", Play, Args().Bits(16), Plays},
        {"bits 20", Play1, Args().Bits(20), Plays},
        {"bits 24", Play, Args().Bits(24), Plays},
        {"bits 32", Play1, Args().Bits(32), Plays},

        // seconds, and the 2 GiB boundary at two layouts
        {"seconds -1", Play, Args().Seconds(-1), Rejected},
        {"seconds INT_MIN", Play1, Args().Seconds(INT_MIN), Rejected},
        {"seconds INT_MAX", Play, Args().Seconds(INT_MAX), Rejected},
        {"seconds 0", Play, Args().Seconds(0), Silent},
        {"seconds 0, looping", Play1, Args().Seconds(0).Loop(1), Silent},
        {"seconds 3", Play, Args().Seconds(3), Plays},
        {"largest that fits, 8-bit mono 11025 Hz: 2147482575 bytes", Play,
         Args().Seconds(INT32_MAX / 11025), NoMemory},
        {"one second more", Play, Args().Seconds(INT32_MAX / 11025 + 1), Rejected},
        {"largest that fits, 32-bit stereo 192 kHz: 2147328000 bytes", Play1,
         Args().Rate(6).Bits(32).Channels(2).Seconds(1398), NoMemory},
        {"one second more", Play1, Args().Rate(6).Bits(32).Channels(2).Seconds(1399), Rejected},
        {"antiphase counts two channels: 1398 s fit", Play,
         Args().Rate(6).Bits(32).Channels(0).Seconds(1398), NoMemory},
        {"antiphase, 1399 s", Play, Args().Rate(6).Bits(32).Channels(0).Seconds(1399), Rejected},
        {"32-bit, 65535 channels, 192 kHz: 1 s does not fit", Play,
         Args().Rate(6).Bits(32).Channels(65535).Seconds(1), Rejected},

        // Sizes whose exact product exceeds 2^63 must not wrap into range:
        // these wrap to 49152 and 464384 bytes in 64-bit arithmetic.
        {"2^65 + 49152 bytes", Play, Args().Rate(6).Bits(32).Channels(64808).Seconds(1111862641),
         Rejected},
        {"2^64 * 5 + 464384 bytes", Play1,
         Args().Rate(6).Bits(8).Channels(59649).Seconds(1610702477), Rejected},

        // channels
        {"channels -1", Play, Args().Channels(-1), Rejected},
        {"channels INT_MIN", Play1, Args().Channels(INT_MIN), Rejected},
        {"channels 65536", Play, Args().Channels(65536), Rejected},
        {"channels INT_MAX", Play1, Args().Channels(INT_MAX), Rejected},
        {"channels 0: two in antiphase", Play, Args().Channels(0), Plays},
        {"channels 0, 16-bit", Play1, Args().Channels(0).Bits(16), Plays},
        {"channels 1", Play, Args().Channels(1), Plays},
        {"channels 8", Play, Args().Channels(8).Bits(24), Plays},
        {"channels 65535, 0 s", Play, Args().Channels(65535).Seconds(0), Silent},
        {"channels 65535, 1 s: 722523375 bytes fit", Play, Args().Channels(65535), NoMemory},
        // A frame of 262140 bytes, or 65535 bytes at 192000 frames a second,
        // cannot be described to the device (16-bit fields, 32-bit byte rate):
        // the start is refused as an unsupported format without handing the
        // device a descriptor whose fields contradict each other.
        {"channels 65535, 32-bit, 0 s", Play, Args().Channels(65535).Bits(32).Seconds(0),
         Unsupported},
        {"channels 65535, 192 kHz, 0 s", Play1, Args().Channels(65535).Rate(6).Seconds(0),
         Unsupported},

        // loop flag: any nonzero value loops
        {"loop 1", Play, Args().Loop(1), Loops},
        {"loop -1", Play1, Args().Loop(-1), Loops},
        {"loop INT_MIN", Play, Args().Loop(INT_MIN).Seconds(3), Loops},
        {"loop INT_MAX", Play, Args().Loop(INT_MAX).Bits(16), Loops},

        // amplitude: any double, the stored values wrap or saturate as defined
        {"amplitude 0", Play, Args().Amplitude(0), Plays},
        {"amplitude -1", Play, Args().Amplitude(-1), Plays},
        {"amplitude NaN", Play, Args().Amplitude(kNaN), Plays},
        {"amplitude NaN, 32-bit", Play1, Args().Amplitude(kNaN).Bits(32), Plays},
        {"amplitude +inf", Play, Args().Amplitude(kInf), Plays},
        {"amplitude -inf, 16-bit", Play1, Args().Amplitude(-kInf).Bits(16), Plays},
        {"amplitude +inf, 32-bit", Play, Args().Amplitude(kInf).Bits(32), Plays},
        {"amplitude 1e300", Play, Args().Amplitude(1e300), Plays},
        {"amplitude 1e300, 24-bit", Play, Args().Amplitude(1e300).Bits(24), Plays},
        {"amplitude -1e300, 32-bit", Play1, Args().Amplitude(-1e300).Bits(32), Plays},
        {"amplitude DBL_MAX, 20-bit", Play, Args().Amplitude(DBL_MAX).Bits(20), Plays},
        {"amplitude smallest subnormal", Play, Args().Amplitude(4.9e-324), Plays},
        {"amplitude 1e300, white noise", Play, Args().Amplitude(1e300).Kind(3), Plays},
        {"amplitude NaN, brown noise 32-bit", Play1, Args().Amplitude(kNaN).Kind(5).Bits(32),
         Plays},

        // frequency of the fixed tone
        {"sine at 0 Hz is silence", Play, Args().Frequency(0), Plays, 0, true},
        {"ramp at 0 Hz is silence", Play, Args().Kind(2).Frequency(0), Plays, 0, true},
        {"square at 0 Hz", Play, Args().Kind(1).Frequency(0), Plays},
        {"sine at -1000 Hz", Play, Args().Frequency(-1000), Plays},
        {"ramp at -1 Hz", Play1, Args().Kind(2).Frequency(-1), Plays},
        {"ramp at -1000 Hz", Play, Args().Kind(2).Frequency(-1000), Plays},
        {"sine at the rate", Play, Args().Frequency(11025), Plays},
        {"ramp at the rate", Play, Args().Kind(2).Frequency(11025), Plays},
        {"ramp just above the rate is silence", Play, Args().Kind(2).Frequency(11026), Plays, 0,
         true},
        {"square above the rate", Play1, Args().Kind(1).Frequency(20000), Plays},
        {"sine at INT_MAX Hz", Play, Args().Frequency(INT_MAX), Plays},
        {"ramp at INT_MAX Hz is silence", Play, Args().Kind(2).Frequency(INT_MAX), Plays, 0, true},
        {"ramp at INT_MIN Hz is silence", Play, Args().Kind(2).Frequency(INT_MIN), Plays, 0, true},
        {"square at INT_MIN Hz", Play1, Args().Kind(1).Frequency(INT_MIN), Plays},

        // sweeps: mode 1 is linear through the first start, logarithmic through
        // the second; other nonzero modes are logarithmic
        {"linear, ends equal", Play, Args().Sweep(1, 1000, 1000), Plays},
        {"linear, reversed", Play, Args().Sweep(1, 1000, 100), Plays},
        {"linear, 0 to 0", Play, Args().Sweep(1, 0, 0), Plays, 0, true},
        {"linear, negative to positive", Play, Args().Sweep(1, -5000, 5000), Plays},
        {"linear, INT_MIN to INT_MAX", Play, Args().Sweep(1, INT_MIN, INT_MAX).Kind(2), Plays},
        {"linear ramp, INT_MAX to INT_MIN", Play, Args().Sweep(1, INT_MAX, INT_MIN).Kind(2), Plays},
        {"log, ends equal", Play, Args().Sweep(2, 1000, 1000), Plays},
        {"log, ends equal, second start", Play1, Args().Sweep(1, 440, 440), Plays},
        {"log, reversed", Play, Args().Sweep(2, 1000, 100), Plays},
        {"log, reversed, second start", Play1, Args().Sweep(1, 8000, 20), Plays},
        {"log, 0 to 0", Play, Args().Sweep(-1, 0, 0).Kind(1), Plays},
        {"log, from 0", Play1, Args().Sweep(1, 0, 1000), Plays},
        {"log, to 0", Play, Args().Sweep(INT_MAX, 1000, 0).Kind(2), Plays},
        {"log, negative ends", Play, Args().Sweep(2, -1000, -10), Plays},
        {"log, INT_MIN to INT_MAX", Play1, Args().Sweep(INT_MIN, INT_MIN, INT_MAX), Plays},
        {"log square, INT_MAX to INT_MIN", Play, Args().Sweep(2, INT_MAX, INT_MIN).Kind(1), Plays},
        {"log, 32-bit, reversed", Play, Args().Sweep(2, 20000, 20).Bits(32).Channels(0), Plays},

        // GetProgressRang(seconds, rate, unused, channels); `bits` carries the
        // unused argument
        {"range 1 s mono", GetRange, Args(), Count, 11025},
        {"range antiphase", GetRange, Args().Channels(0).Bits(INT_MIN), Count, 22050},
        {"range 0 s, 65535 channels, 192 kHz", GetRange, Args().Seconds(0).Rate(6).Channels(65535),
         Count, 0},
        {"range 65535 channels", GetRange, Args().Channels(65535).Bits(-1), Count, 722523375},
        {"range largest at 11025 Hz", GetRange, Args().Seconds(INT32_MAX / 11025), Count,
         2147482575},
        {"range one second more", GetRange, Args().Seconds(INT32_MAX / 11025 + 1), CountFails},
        {"range largest at 192 kHz", GetRange, Args().Rate(6).Seconds(11184).Bits(INT_MAX), Count,
         2147328000},
        {"range one second more at 192 kHz", GetRange, Args().Rate(6).Seconds(11185), CountFails},
        {"range 1 s, 65535 channels, 192 kHz", GetRange, Args().Rate(6).Channels(65535),
         CountFails},
        {"range 2^64 * 5 + 464384 values", GetRange,
         Args().Rate(6).Channels(59649).Seconds(1610702477), CountFails},
        {"range seconds -1", GetRange, Args().Seconds(-1), CountFails},
        {"range seconds INT_MIN", GetRange, Args().Seconds(INT_MIN), CountFails},
        {"range rate -1", GetRange, Args().Rate(-1), CountFails},
        {"range rate 7", GetRange, Args().Rate(7), CountFails},
        {"range channels -1", GetRange, Args().Channels(-1), CountFails},
        {"range channels 65536", GetRange, Args().Channels(65536), CountFails},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Args& a = row.args;
        sim::Config config;
        if (row.outcome == Loops) config.pacing = sim::Pacing::Manual;
        Configure(config);

        const int64_t bytes = SignalBytesOf(a);
        const bool deterministic = a.kind >= 0 && a.kind <= 2;
        const bool rendered = row.outcome == Plays || row.outcome == Loops;
        const SweepModeOne modeOne =
            row.call == Play ? SweepModeOne::Linear : SweepModeOne::Logarithmic;
        const std::vector<uint8_t> expected = rendered ? a.Render(modeOne) : std::vector<uint8_t>{};

        SetHeapFailureHook(&RecordAndRefuseLarge);
        TakeRequests();
        Start s = a;
        s.progress = test::RecordingProgress();
        int32_t result = 0;
        switch (row.call) {
        case Play:
            result = s.Play();
            break;
        case Play1:
            result = s.Play1();
            break;
        case GetRange:
            result = GetProgressRang(a.seconds, a.rateIndex, a.bits, a.channels);
            break;
        }
        const std::vector<size_t> asked = TakeRequests();
        const std::vector<uint32_t> progress = test::ProgressValues();

        // What was allocated first: the signal, or nothing at all.
        switch (row.outcome) {
        case Rejected:
        case Count:
        case CountFails:
            EXPECT_EQ(asked, std::vector<size_t>{}) << "nothing is allocated";
            break;
        default:
            ASSERT_FALSE(asked.empty()) << "the signal was not allocated";
            EXPECT_EQ(asked.front(), static_cast<size_t>(bytes) + 2);
            EXPECT_EQ(asked.front() > kLargestAllowed, row.outcome == NoMemory);
        }

        switch (row.outcome) {
        case Rejected:
        case NoMemory:
        case InvalidKind:
        case Unsupported: {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(sim::MessageBoxTexts(),
                      row.outcome == Unsupported ? Texts{kUnsupportedFormatMessage} : Texts{});
            EXPECT_TRUE(progress.empty()) << "a generator ran";
            EXPECT_EQ(sim::OpenCount(), 0);
            EXPECT_EQ(sim::OpenDevices(), 0);
            const bool kept = row.outcome == InvalidKind || row.outcome == Unsupported;
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart + (kept ? 1 : 0));
            EXPECT_EQ(engineState.signalBuffer != nullptr, kept);
            EXPECT_TRUE(EngineBusy());
            break;
        }
        case CountFails:
            EXPECT_EQ(result, -1);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            EXPECT_TRUE(EngineBusy()) << "an invalid range leaves the engine busy";
            EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
            break;
        case Count:
            EXPECT_EQ(result, row.count);
            EXPECT_EQ(int64_t{result}, SignalBytesOf(Args(a).Bits(8))) << "values of every channel";
            EXPECT_FALSE(EngineBusy());
            break;
        case Silent:
            EXPECT_EQ(result, 0);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            EXPECT_TRUE(progress.empty());
            EXPECT_EQ(sim::OpenDevices(), 1);
            EXPECT_EQ(sim::QueuedBlocks(), 0);
            ASSERT_TRUE(sim::WaitQuiet(5000));
            EXPECT_TRUE(EngineBusy()) << "a signal of no length never ends by itself";
            EXPECT_TRUE(sim::Blocks().empty());
            EXPECT_EQ(sim::LastFormat().Format.nChannels,
                      static_cast<WORD>(ChannelCountFor(a.channels)));
            break;
        case Plays:
        case Loops: {
            ASSERT_EQ(result, 0);
            EXPECT_EQ(sim::MessageBoxTexts(), Texts{});
            const WAVEFORMATEXTENSIBLE f = sim::LastFormat();
            EXPECT_EQ(uint32_t{f.Format.nChannels}, ChannelCountFor(a.channels));
            EXPECT_EQ(f.Format.nSamplesPerSec, SampleRateForIndex(a.rateIndex));
            EXPECT_EQ(int32_t{f.Samples.wValidBitsPerSample}, a.bits);
            if (row.call == Play) {
                ASSERT_FALSE(progress.empty());
                EXPECT_EQ(int64_t{progress.back()},
                          GetProgressRang(a.seconds, a.rateIndex, 0, a.channels));
            } else {
                EXPECT_TRUE(progress.empty()) << "the second start reports no progress";
            }
            std::vector<uint8_t> played;
            if (row.outcome == Plays) {
                ASSERT_TRUE(sim::WaitQuiet(10000));
                ASSERT_TRUE(WaitIdle()) << "the engine did not stop after the last block";
                played = sim::PlayedBytes();
                EXPECT_EQ(played.size(), static_cast<size_t>(bytes));
                if (deterministic) {
                    EXPECT_EQ(played, expected);
                }
            } else {
                const size_t blocksPerPass = (static_cast<size_t>(bytes) + kBlockBytes - 1) /
                                             static_cast<size_t>(kBlockBytes);
                for (int step = 0; step < 1000 && CompletedBlocks() < 2 * blocksPerPass + 1; ++step)
                    sim::CompleteBlocks(1);
                EXPECT_TRUE(EngineBusy()) << "a looping signal does not end by itself";
                EXPECT_EQ(PlayStop(), 0);
                played = sim::PlayedBytes();
                EXPECT_EQ(played, Stream(expected, true, CompletedBlocks()));
            }
            if (row.filledWithSilence) {
                EXPECT_EQ(played, std::vector<uint8_t>(static_cast<size_t>(bytes), 0x80));
            }
            break;
        }
        }

        // Whatever the call left, PlayStop clears it.
        if (row.outcome != Count && row.outcome != Plays && row.outcome != Loops) {
            EXPECT_TRUE(EngineBusy());
            EXPECT_EQ(Start{}.Play(), -1) << "the engine is busy";
            const Texts texts = sim::MessageBoxTexts();
            EXPECT_TRUE(!texts.empty() && texts.back() == kBusyMessage);
        }
        SetHeapFailureHook(nullptr);
        EXPECT_EQ(PlayStop(), 0);
        EXPECT_FALSE(EngineBusy());
        EXPECT_TRUE(sim::WaitQuiet(5000));
        EXPECT_EQ(HeapLiveBlocks(), liveAtStart);
        EXPECT_EQ(sim::OpenDevices(), 0);
        EXPECT_EQ(engineState.signalBuffer, nullptr);
        EXPECT_EQ(sim::TakeViolations(), Texts{});
    }
}

} // namespace
} // namespace vantoro
