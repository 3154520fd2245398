// Sequences of the exported calls with arbitrary arguments, on the simulated
// device with pacing, notification timing, device faults and heap faults all
// decoded from the input. After every call the harness checks that the
// engine is in a state the interface allows:
//
// - a start returns 0 or -1; 0 only for valid arguments and with no message;
//   -1 with no message only for invalid arguments or a refused signal
//   allocation, otherwise with exactly the one message its cause gives;
// - a start while the engine holds a failed start, a signal of no length or
//   an invalid GetProgressRang is turned away as busy;
// - GetProgressRang returns the count computed here, or -1 and a busy engine;
// - PlayStop leaves nothing: engine idle, no device, no live heap block;
// - an idle engine holds no device and no heap block;
// - the simulated device records no protocol violation;
// - every block that played is the next piece of its signal (repeated when
//   looping): no gap, no duplicate, no lost block.
//
// Signals are kept small (at most kMaxSignalBytes): a call that would
// synthesise more is skipped. A start that is rejected before allocating is
// cheap and always made.
//
// VANTORO_FUZZ_TRACE=1 prints how long each call took, to find what slows a
// run down.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <bit>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/heap.h"
#include "generators/frame_writer.h"
#include "engine/playback.h"
#include "engine/signal.h"
#include "engine/stream_format.h"
#include "platform/sim/sim_device.h"
#include "vantoro.h"

namespace {

using namespace vantoro;

constexpr int64_t kMaxSignalBytes = 200000;
constexpr int kMaxCalls = 24;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_engine: %s\n", what.c_str());
    std::abort();
}

void CheckNoViolation(const char* after) {
    for (const std::string& v : sim::Violations())
        Fail(std::string("violation after ") + after + ": " + v);
}

template <class T, size_t N> T Pick(FuzzedDataProvider& in, const T (&table)[N]) {
    if (in.ConsumeIntegralInRange<int>(0, 9) == 0) return in.ConsumeIntegral<T>();
    return table[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

double PickAmplitude(FuzzedDataProvider& in) {
    static const double kSpecial[] = {1.0,
                                      0.5,
                                      0.0,
                                      -1.0,
                                      1e300,
                                      -1e300,
                                      DBL_MAX,
                                      4.9e-324,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity()};
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
    return kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)];
}

// ---- heap faults ----

enum class HeapFault { None, Nth, FromNth, Headers, Signal, Random };

std::atomic<HeapFault> heapFault{HeapFault::None};
std::atomic<int> heapCount{0};
std::atomic<int> heapAt{0};
std::atomic<uint32_t> heapRandom{0};
std::atomic<uint32_t> heapOdds{0}; // out of 256
std::atomic<int> signalsRefused{0};

bool HeapHook(size_t bytes) {
    const int index = heapCount.fetch_add(1);
    bool fail = false;
    switch (heapFault.load()) {
    case HeapFault::None:
        break;
    case HeapFault::Nth:
        fail = index == heapAt.load();
        break;
    case HeapFault::FromNth:
        fail = index >= heapAt.load();
        break;
    case HeapFault::Headers:
        fail = bytes == sizeof(WAVEHDR) && index >= heapAt.load();
        break;
    case HeapFault::Signal:
        fail = bytes != sizeof(WAVEHDR);
        break;
    case HeapFault::Random: {
        // Not reproducible across thread interleavings, but any failure it
        // finds is a fault whatever the order.
        uint32_t x = heapRandom.load();
        x = x * 1664525u + 1013904223u;
        heapRandom.store(x);
        fail = (x >> 24) < heapOdds.load();
        break;
    }
    }
    // A signal is never 46 bytes long, so only headers have this size.
    if (fail && bytes != sizeof(WAVEHDR)) signalsRefused.fetch_add(1);
    return fail;
}

// ---- progress callbacks that call back into the engine ----

std::atomic<int> nestedAction{0};
std::atomic<bool> nestedDone{false};
std::atomic<int> nestedBusyMessages{0};

void VANTORO_STDCALL NestedProgress(uint32_t) {
    if (nestedDone.exchange(true)) return;
    switch (nestedAction.load()) {
    case 1:
        if (PlayStop() != 0) Fail("a nested PlayStop did not return 0");
        break;
    case 2:
        if (GetProgressRang(1, 3, 16, 2) != 88200) Fail("a nested GetProgressRang miscounted");
        break;
    case 3:
        if (GetProgressRang(1, 9, 16, 2) != -1) Fail("a nested invalid GetProgressRang");
        break;
    case 4:
        if (fnVantoroCreateAndPlay(0, 1, 0, 8, 1, 0, 1.0, 0, 1000, 0, 0, nullptr) != -1)
            Fail("a start inside a start was not turned away");
        nestedBusyMessages.fetch_add(1);
        break;
    default:
        break;
    }
}

void VANTORO_STDCALL CountingProgress(uint32_t) {}

// ---- the model of one start ----

struct Args {
    int32_t kind = 0, seconds = 1, rateIndex = 0, bits = 8, channels = 1, loop = 0;
    double amplitude = 1.0;
    int32_t sweepMode = 0, frequency = 1000, sweepStart = 100, sweepEnd = 1000;
};

Args DecodeArgs(FuzzedDataProvider& in) {
    static const int32_t kKinds[] = {0, 1, 2, 3, 4, 5, 0, 1, 2, -1, 6, INT32_MIN, INT32_MAX};
    static const int32_t kSeconds[] = {1, 1, 1, 2, 0, 3, -1, INT32_MAX, INT32_MIN, 194784};
    static const int32_t kRates[] = {0, 0, 0, 1, 2, 3, 4, 5, 6, -1, 7, INT32_MIN};
    static const int32_t kBits[] = {8, 16, 20, 24, 32, 0, 12, 33, 65536 + 8};
    static const int32_t kChannels[] = {1, 2, 0, 3, 4, 6, 8, -1, 65535, 65536, INT32_MIN};
    static const int32_t kLoops[] = {0, 0, 1, -1};
    static const int32_t kModes[] = {0, 0, 1, 2, -1};
    static const int32_t kFrequencies[] = {1000,  440,    0,         -1,        -1000, 11025,
                                           11026, 192000, INT32_MAX, INT32_MIN, 100};
    Args a;
    a.kind = Pick(in, kKinds);
    a.seconds = Pick(in, kSeconds);
    a.rateIndex = Pick(in, kRates);
    a.bits = Pick(in, kBits);
    a.channels = Pick(in, kChannels);
    a.loop = Pick(in, kLoops);
    a.amplitude = PickAmplitude(in);
    a.sweepMode = Pick(in, kModes);
    a.frequency = Pick(in, kFrequencies);
    a.sweepStart = Pick(in, kFrequencies);
    a.sweepEnd = Pick(in, kFrequencies);
    return a;
}

int64_t RateOf(int32_t rateIndex) {
    static constexpr int64_t kRates[] = {11025, 22050, 32000, 44100, 48000, 96000, 192000};
    return rateIndex >= 0 && rateIndex <= 6 ? kRates[rateIndex] : 0;
}

// The count GetProgressRang gives, or -1.
int64_t ExpectedRange(int32_t seconds, int32_t rateIndex, int32_t channels) {
    const int64_t rate = RateOf(rateIndex);
    if (rate == 0 || seconds < 0 || channels < 0 || channels > 65535) return -1;
    const int64_t perSecond = rate * (channels == 0 ? 2 : channels);
    return seconds != 0 && perSecond > INT32_MAX / seconds ? -1 : perSecond * seconds;
}

// The signal's size in bytes, or -1 when a start rejects the arguments
// before allocating.
int64_t SignalBytes(const Args& a) {
    const int64_t rate = RateOf(a.rateIndex);
    const int64_t container = int64_t{BytesPerValue(static_cast<uint32_t>(a.bits))};
    if (rate == 0 || container == 0 || a.seconds < 0 || a.channels < 0 || a.channels > 65535)
        return -1;
    const int64_t perSecond = container * (a.channels == 0 ? 2 : a.channels) * rate;
    return a.seconds != 0 && perSecond > INT32_MAX / a.seconds ? -1 : perSecond * a.seconds;
}

bool ValidKind(const Args& a) {
    return a.kind >= 0 && a.kind <= 5;
}

// A successful start, for the check of what it played.
struct Played {
    Args args;
    bool viaFirst = true;
    int openIndex = 0;
};

// The device configuration of one input.
struct Device {
    sim::Config config;
    int refuseChannelsAbove = 0; // 0: every layout taken
};

Device DecodeDevice(FuzzedDataProvider& in) {
    static const MMRESULT kQuery[] = {MMSYSERR_NOERROR, MMSYSERR_NOERROR,     MMSYSERR_NOERROR,
                                      WAVERR_BADFORMAT, MMSYSERR_BADDEVICEID, MMSYSERR_ERROR};
    static const MMRESULT kOpen[] = {MMSYSERR_NOERROR,     MMSYSERR_NOERROR,   MMSYSERR_NOERROR,
                                     MMSYSERR_NOERROR,     MMSYSERR_ALLOCATED, MMSYSERR_NOMEM,
                                     MMSYSERR_BADDEVICEID, WAVERR_BADFORMAT,   0xFFFFFFFFu};
    static const MMRESULT kInjected[] = {MMSYSERR_NOMEM, MMSYSERR_ERROR, MMSYSERR_INVALHANDLE,
                                         WAVERR_STILLPLAYING};
    static const int kFailAt[] = {-1, -1, -1, 0, 1, 2, 3, 4, 5, 6, 8, 12};
    Device d;
    sim::Config& c = d.config;
    c.queryResult = Pick(in, kQuery);
    c.openResult = Pick(in, kOpen);
    c.failPrepareAt = kFailAt[in.ConsumeIntegralInRange<size_t>(0, std::size(kFailAt) - 1)];
    c.failWriteAt = kFailAt[in.ConsumeIntegralInRange<size_t>(0, std::size(kFailAt) - 1)];
    c.injectedFailure = kInjected[in.ConsumeIntegralInRange<size_t>(0, std::size(kInjected) - 1)];
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
    case 1:
        c.pacing = sim::Pacing::Instant;
        break;
    case 2:
        c.pacing = sim::Pacing::RealTime;
        break;
    default:
        c.pacing = sim::Pacing::Manual;
        break;
    }
    c.speed = 5.0 + in.ConsumeIntegralInRange<int>(0, 45);
    c.jitterSeed = in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() : 0u;
    c.resetNotifiesBeforeReturn = in.ConsumeBool();
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0) {
        d.refuseChannelsAbove = in.ConsumeIntegralInRange<int>(1, 4);
        const int above = d.refuseChannelsAbove;
        c.acceptFormat = [above](const WAVEFORMATEX* f) { return f->nChannels <= above; };
    }
    return d;
}

void DecodeHeapFault(FuzzedDataProvider& in) {
    heapCount.store(0);
    signalsRefused.store(0);
    heapAt.store(in.ConsumeIntegralInRange<int>(0, 12));
    heapRandom.store(in.ConsumeIntegral<uint32_t>());
    heapOdds.store(in.ConsumeIntegralInRange<uint32_t>(1, 96));
    heapFault.store(static_cast<HeapFault>(in.ConsumeIntegralInRange<int>(0, 5)));
}

// Where the harness believes the engine is.
struct Model {
    int64_t baseline = 0;       // live heap blocks with the engine idle
    bool stuck = false;         // busy until PlayStop, whatever the device does
    int successfulOpens = 0;    // the sim's open index of the next open
    std::vector<Played> played; // every start that returned 0
};

bool Idle() {
    return !EngineBusy();
}

void CheckIdleIsClean(const Model& m, const char* after) {
    if (!Idle()) return;
    if (sim::OpenDevices() != 0) Fail(std::string("idle with a device open, after ") + after);
    if (HeapLiveBlocks() != m.baseline)
        Fail(std::string("idle with heap blocks live, after ") + after);
    if (engineState.signalBuffer != nullptr)
        Fail(std::string("idle with a signal buffer, after ") + after);
}

void CheckStopped(const Model& m, const char* after) {
    if (!Idle()) Fail(std::string("busy right after ") + after);
    if (sim::QueuedBlocks() != 0) Fail(std::string("blocks still queued after ") + after);
    CheckIdleIsClean(m, after);
}

void DoStart(FuzzedDataProvider& in, const Device& device, Model& m, bool first) {
    Args a = DecodeArgs(in);
    // An instant device with a looping signal would stream without bound.
    if (device.config.pacing == sim::Pacing::Instant) a.loop = 0;
    const int64_t bytes = SignalBytes(a);
    if (bytes > kMaxSignalBytes) return;

    ProgressCallback progress = nullptr;
    if (first) {
        const int choice = in.ConsumeIntegralInRange<int>(0, 5);
        nestedAction.store(choice - 1);
        nestedDone.store(false);
        progress = choice == 0 ? nullptr : choice == 1 ? &CountingProgress : &NestedProgress;
    }
    nestedBusyMessages.store(0);
    const bool busyBefore = EngineBusy();
    const size_t boxesBefore = sim::MessageBoxTexts().size();
    const int refusedBefore = signalsRefused.load();
    const int32_t result =
        first ? fnVantoroCreateAndPlay(a.kind, a.seconds, a.rateIndex, a.bits, a.channels, a.loop,
                                       a.amplitude, a.sweepMode, a.frequency, a.sweepStart,
                                       a.sweepEnd, progress)
              : fnVantoroCreateAndPlay1(a.kind, a.seconds, a.rateIndex, a.bits, a.channels, a.loop,
                                        a.amplitude, a.sweepMode, a.frequency, a.sweepStart,
                                        a.sweepEnd);
    const bool signalRefused = signalsRefused.load() != refusedBefore;
    std::vector<std::string> texts = sim::MessageBoxTexts();
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(boxesBefore));
    // The nested start's own busy message comes first.
    for (int k = nestedBusyMessages.load(); k > 0; --k) {
        if (texts.empty() || texts.front() != kBusyMessage)
            Fail("a nested start showed no busy message");
        texts.erase(texts.begin());
    }
    const bool valid = bytes >= 0 && ValidKind(a);

    if (result != 0 && result != -1) Fail("a start returned neither 0 nor -1");
    if (texts.size() > 1) Fail("a start showed more than one message");
    const std::string text = texts.empty() ? "" : texts.front();
    if (m.stuck && (result != -1 || text != kBusyMessage))
        Fail("a start was not turned away by a busy engine");
    if (text == kBusyMessage) {
        if (!busyBefore) Fail("the busy message from an idle engine");
        // A playback may end by itself right after turning the start away.
        return;
    }
    if (result == 0) {
        if (!valid) Fail("a start with invalid arguments returned 0");
        if (!text.empty()) Fail("a successful start showed a message");
        if (signalRefused) Fail("a start whose signal was refused returned 0");
        m.played.push_back({a, first, m.successfulOpens++});
        if (bytes == 0) {
            m.stuck = true;
            if (!EngineBusy()) Fail("a signal of no length ended by itself");
        }
        return;
    }
    // -1 from an idle engine: it now holds the start until PlayStop.
    m.stuck = true;
    if (!EngineBusy()) Fail("a failed start left the engine idle");
    if (text.empty()) {
        if (valid && !signalRefused) Fail("a valid start failed without a message");
        const bool kept = bytes >= 0 && !ValidKind(a) && !signalRefused;
        if (HeapLiveBlocks() != m.baseline + (kept ? 1 : 0))
            Fail("a rejected start left the wrong heap blocks");
        if (sim::OpenDevices() != 0) Fail("a rejected start opened a device");
        return;
    }
    if (!valid) Fail("a start with invalid arguments got as far as the device");
    const uint32_t channelCount = ChannelCountFor(a.channels);
    const bool refusedLayout =
        device.refuseChannelsAbove != 0 && channelCount > uint32_t(device.refuseChannelsAbove);
    // Frames the descriptor cannot describe (a known fault) are refused too.
    const int64_t frameBytes = int64_t{BytesPerValue(static_cast<uint32_t>(a.bits))} * channelCount;
    const bool indescribable = frameBytes > 65535 || frameBytes * RateOf(a.rateIndex) > UINT32_MAX;
    if (text == kUnsupportedFormatMessage) {
        if (device.config.queryResult != WAVERR_BADFORMAT && !refusedLayout && !indescribable)
            Fail("format refused by a device that takes it");
    } else if (text == kOpenFailedMessage) {
        if (device.config.openResult == MMSYSERR_NOERROR && !refusedLayout)
            Fail("open failed on a device that opens");
    } else {
        Fail("an unknown message: " + text);
    }
    if (sim::OpenDevices() != 0) Fail("a failed open left a device open");
    if (HeapLiveBlocks() != m.baseline + 1) Fail("a failed open did not keep just the buffer");
}

void DoRange(FuzzedDataProvider& in, Model& m) {
    static const int32_t kSeconds[] = {1, 0, 5, -1, 11184, 11185, 194783, 194784, INT32_MAX};
    static const int32_t kRates[] = {0, 3, 6, -1, 7};
    static const int32_t kChannels[] = {0, 1, 2, 65535, -1, 65536};
    const int32_t seconds = Pick(in, kSeconds);
    const int32_t rate = Pick(in, kRates);
    const int32_t unused = in.ConsumeIntegral<int32_t>();
    const int32_t channels = Pick(in, kChannels);
    const bool busyBefore = EngineBusy();
    const int32_t result = GetProgressRang(seconds, rate, unused, channels);
    if (result != ExpectedRange(seconds, rate, channels)) Fail("GetProgressRang miscounted");
    if (result == -1 && !busyBefore) {
        if (!EngineBusy()) Fail("an invalid GetProgressRang left the engine idle");
        m.stuck = true;
    }
}

// Each open's completed blocks must be the start of its signal's stream.
void CheckPlayedStreams(const Model& m) {
    SetHeapFailureHook(nullptr);
    for (const Played& p : m.played) {
        if (!ValidKind(p.args) || p.args.kind >= 3) continue; // noise is seeded by the clock
        SignalRequest r;
        r.kind = p.args.kind;
        r.seconds = p.args.seconds;
        r.rateIndex = p.args.rateIndex;
        r.bits = p.args.bits;
        r.channels = p.args.channels;
        r.amplitude = p.args.amplitude;
        r.sweepMode = p.args.sweepMode;
        r.frequency = p.args.frequency;
        r.sweepStart = p.args.sweepStart;
        r.sweepEnd = p.args.sweepEnd;
        const Synthesis s =
            SynthesizeSignal(r, p.viaFirst ? SweepModeOne::Linear : SweepModeOne::Logarithmic);
        if (s.status != SynthesisStatus::Ready) Fail("a signal that played cannot be rendered");
        const std::vector<uint8_t> played = sim::PlayedBytes(p.openIndex);
        const size_t n = static_cast<size_t>(s.layout.signalBytes);
        if (p.args.loop == 0 && played.size() > n) Fail("a signal played more than once");
        for (size_t k = 0; k < played.size(); ++k)
            if (played[k] != s.buffer[k % n]) {
                HeapFree(s.buffer);
                Fail("a played block is not the next piece of the signal");
            }
        HeapFree(s.buffer);
    }
}

void Sleep(int microseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SetHeapFailureHook(nullptr);
    PlayStop();
    if (!sim::WaitQuiet(5000)) Fail("the device did not go quiet between inputs");

    const Device device = DecodeDevice(in);
    sim::Configure(device.config);
    CheckNoViolation("configure");
    Model m;
    m.baseline = HeapLiveBlocks();
    DecodeHeapFault(in);
    SetHeapFailureHook(in.ConsumeBool() ? &HeapHook : nullptr);

    static const bool trace = std::getenv("VANTORO_FUZZ_TRACE") != nullptr;
    for (int call = 0; call < kMaxCalls && in.remaining_bytes() > 0; ++call) {
        const auto began = std::chrono::steady_clock::now();
        const char* what = "";
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
        case 1:
        case 2:
            what = "fnVantoroCreateAndPlay";
            DoStart(in, device, m, true);
            break;
        case 3:
            what = "fnVantoroCreateAndPlay1";
            DoStart(in, device, m, false);
            break;
        case 4:
            what = "GetProgressRang";
            DoRange(in, m);
            break;
        case 5:
            what = "PlayStop";
            if (PlayStop() != 0) Fail("PlayStop did not return 0");
            m.stuck = false;
            CheckStopped(m, what);
            break;
        case 6:
            what = "CompleteBlocks";
            sim::CompleteBlocks(in.ConsumeIntegralInRange<int>(1, 4));
            break;
        case 7:
            what = "a pause";
            Sleep(in.ConsumeIntegralInRange<int>(0, 1000));
            break;
        case 8:
            what = "a wait for the engine to stop";
            for (int k = 0; k < 10 && EngineBusy(); ++k)
                Sleep(500);
            break;
        default:
            what = "a change of heap faults";
            SetHeapFailureHook(in.ConsumeBool() ? &HeapHook : nullptr);
            break;
        }
        if (trace)
            std::fprintf(
                stderr, "%s: %lld us\n", what,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::steady_clock::now() - began)
                                           .count()));
        if (m.stuck && !EngineBusy())
            Fail(std::string("the engine let go of a start after ") + what);
        CheckIdleIsClean(m, what);
        CheckNoViolation(what);
    }

    SetHeapFailureHook(nullptr);
    const auto closing = std::chrono::steady_clock::now();
    if (PlayStop() != 0) Fail("PlayStop did not return 0");
    CheckStopped(m, "the last PlayStop");
    if (!sim::WaitQuiet(5000)) Fail("the device did not go quiet after the last PlayStop");
    CheckNoViolation("the last PlayStop");
    CheckPlayedStreams(m);
    if (trace)
        std::fprintf(stderr, "closing: %lld us\n",
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::steady_clock::now() - closing)
                                                .count()));
    return 0;
}
