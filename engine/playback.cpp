#include "engine/playback.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/done_ring.h"
#include "engine/engine_state.h"
#include "engine/heap.h"
#include "engine/stream_format.h"

// Threads and locks.
//
// stateMutex serialises every access to engineState (but the sweep phase,
// which only the generators touch, and they run inside a start, one at a
// time). It is never held while a warning box is shown or a generator runs.
//
// The function registered with the device, WaveOutNotify, does nothing but
// record the finished header in a small ring and wake the completion thread:
// no wave call and no state lock inside the platform's notification. The
// completion thread, started at each open, takes stateMutex and runs the
// steps of OnWaveOutDone for each header in the order reported, including the
// stop when a signal has played out.
//
// A stop marks the engine idle, resets the device and waits (releasing the
// lock) until the completion thread has freed every header the reset
// returned, then closes the device, frees the signal and ends the completion
// thread. A start that arrives meanwhile waits for the stop to finish; a start
// that arrives while another start is still synthesising fails as busy.

namespace vantoro {

namespace {

constexpr int kMaxBlocksInFlight = 4;
constexpr auto kDrainTimeout = std::chrono::seconds(10);

std::mutex stateMutex;
std::condition_variable stateChanged;
bool startInProgress = false;
bool stopInProgress = false;

// Headers handed to the device and not yet freed. A notification for any
// other header (one from a device abandoned after a drain timeout) is ignored.
WAVEHDR* liveHeaders[kMaxBlocksInFlight] = {};

bool RemoveLiveHeader(WAVEHDR* header) {
    for (WAVEHDR*& slot : liveHeaders)
        if (slot == header) {
            slot = nullptr;
            return true;
        }
    return false;
}

bool AddLiveHeader(WAVEHDR* header) {
    for (WAVEHDR*& slot : liveHeaders)
        if (!slot) {
            slot = header;
            return true;
        }
    return false;
}

void CALLBACK WaveOutNotify(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message == WOM_DONE) DoneRingPush(reinterpret_cast<WAVEHDR*>(param1));
}

// The completion thread of the current (or last) playback.
struct CompletionThread {
    std::thread thread;
    ~CompletionThread() { Finish(); }
    void Finish() {
        if (!thread.joinable()) return;
        DoneRingQuit();
        thread.join();
    }
};
CompletionThread completion;

// True when the self-stop ran, which ends the thread.
bool HandleDone(WAVEHDR* header);

void CompletionLoop() {
    while (WAVEHDR* header = DoneRingPop())
        if (HandleDone(header)) return;
}

// Queues one block of `length` bytes at playCursor. A block that cannot be
// allocated, prepared or written is freed, not counted, and leaves the cursor
// where it was, so the next queue retries the same bytes.
bool QueueBlock(int32_t length) {
    EngineState& s = engineState;
    auto* header = static_cast<WAVEHDR*>(HeapAllocate(sizeof(WAVEHDR)));
    if (!header) return false;
    *header = WAVEHDR{};
    header->lpData = reinterpret_cast<LPSTR>(s.signalBuffer + s.playCursor);
    header->dwBufferLength = static_cast<DWORD>(length);
    header->dwFlags = 0;
    header->dwLoops = 0;
    if (waveOutPrepareHeader(s.waveOut, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        HeapFree(header);
        return false;
    }
    AddLiveHeader(header);
    if (waveOutWrite(s.waveOut, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        RemoveLiveHeader(header);
        waveOutUnprepareHeader(s.waveOut, header, sizeof(WAVEHDR));
        HeapFree(header);
        return false;
    }
    s.playCursor += length;
    s.blocksQueued += 1;
    return true;
}

// The stop, with stateMutex held by `lock`. The host's stop drains the
// headers the reset returns through the completion thread; the completion
// thread's own stop runs only when nothing is in flight.
void StopLocked(std::unique_lock<std::mutex>& lock, bool onCompletionThread) {
    EngineState& s = engineState;
    s.engineIdle = 1;
    stopInProgress = true;
    if (s.waveOut) {
        waveOutReset(s.waveOut);
        if (!onCompletionThread) {
            const bool drained = stateChanged.wait_for(
                lock, kDrainTimeout, [] { return engineState.blocksQueued <= 0; });
            if (!drained) {
                // The device kept some headers: abandon them rather than hang.
                std::fill(std::begin(liveHeaders), std::end(liveHeaders), nullptr);
                s.blocksQueued = 0;
            }
        }
        waveOutClose(s.waveOut);
        s.waveOut = nullptr;
    }
    HeapFree(s.signalBuffer);
    s.signalBuffer = nullptr;
    if (!onCompletionThread) {
        lock.unlock();
        completion.Finish();
        lock.lock();
    }
    stopInProgress = false;
    stateChanged.notify_all();
}

bool HandleDone(WAVEHDR* header) {
    std::unique_lock lock(stateMutex);
    const bool stop = OnWaveOutDone(header);
    if (stop) StopLocked(lock, true);
    stateChanged.notify_all();
    // After the self-stop the device is closed: nothing more comes for this
    // thread.
    return stop;
}

} // namespace

void ShowWarning(const char* text) {
    MessageBoxA(nullptr, text, nullptr, MB_OK | MB_ICONWARNING);
}

MMRESULT QueryFormat(const WAVEFORMATEXTENSIBLE& format, UINT deviceId) {
    return waveOutOpen(nullptr, deviceId, &format.Format, 0, 0, WAVE_FORMAT_QUERY);
}

bool OnWaveOutDone(WAVEHDR* header) {
    EngineState& s = engineState;
    if (!RemoveLiveHeader(header)) return false;
    if (s.engineIdle == 0) waveOutUnprepareHeader(s.waveOut, header, sizeof(WAVEHDR));
    HeapFree(header);
    // A looping signal that the first queue covered whole starts over here.
    if (s.loopPlayback != 0 && s.engineIdle == 0 && s.signalBytes > 0 &&
        s.playCursor >= s.signalBytes)
        s.playCursor = 0;
    const int32_t next = std::min(s.signalBytes - s.playCursor, kBlockBytes);
    s.blocksQueued -= 1;
    if (s.playCursor >= s.signalBytes) return s.engineIdle == 0 && s.blocksQueued <= 0;
    if (s.engineIdle != 0) return false;
    // A block the device would not take: stop once nothing is left in flight.
    if (!QueueBlock(next)) return s.blocksQueued <= 0;
    if (s.loopPlayback != 0 && s.playCursor >= s.signalBytes) s.playCursor = 0;
    return false;
}

namespace {

// The busy check. Waits for a stop that is still under way; fails, showing
// the busy message, while a start holds the engine or another start is still
// synthesising. On success the caller holds the start until CompleteStart.
bool EnterStart(std::unique_lock<std::mutex>& lock, int32_t loop) {
    EngineState& s = engineState;
    stateChanged.wait(lock, [] { return !stopInProgress; });
    if (s.engineIdle == 0 || startInProgress) {
        lock.unlock();
        ShowWarning(kBusyMessage);
        return false;
    }
    startInProgress = true;
    s.loopPlayback = loop;
    lock.unlock();
    // The previous playback's completion thread has finished its work (the
    // engine is idle); collect it before a new one starts.
    completion.Finish();
    lock.lock();
    return true;
}

// Everything after the synthesis: keep the buffer, describe the stream, query
// and open the device, queue the first blocks.
int32_t CompleteStart(std::unique_lock<std::mutex>& lock, const Synthesis& synthesis,
                      uint32_t bits) {
    EngineState& s = engineState;
    startInProgress = false;
    s.engineIdle = 0;
    if (synthesis.status == SynthesisStatus::Rejected ||
        synthesis.status == SynthesisStatus::NoMemory) {
        HeapFree(synthesis.buffer);
        return -1;
    }
    s.signalBuffer = synthesis.buffer;
    s.signalBytes = synthesis.layout.signalBytes;
    if (synthesis.status == SynthesisStatus::InvalidKind) return -1;

    const SignalLayout& layout = synthesis.layout;
    const WAVEFORMATEXTENSIBLE format =
        BuildStreamFormat(layout.sampleRate, layout.channelCount, bits, layout.containerBytes);
    // A frame of more than 65535 bytes, or more than 2^32 - 1 bytes a second,
    // has no descriptor whose fields agree: no device can take it.
    const uint64_t frameBytes = uint64_t{layout.channelCount} * layout.containerBytes;
    const bool describable = frameBytes <= 0xFFFF && frameBytes * layout.sampleRate <= 0xFFFFFFFF;
    if (!describable || QueryFormat(format, WAVE_MAPPER) == WAVERR_BADFORMAT) {
        lock.unlock();
        ShowWarning(kUnsupportedFormatMessage);
        return -1;
    }
    DoneRingReset();
    HWAVEOUT device = nullptr;
    if (waveOutOpen(&device, WAVE_MAPPER, &format.Format,
                    reinterpret_cast<DWORD_PTR>(&WaveOutNotify), 0,
                    CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        lock.unlock();
        ShowWarning(kOpenFailedMessage);
        return -1;
    }
    s.waveOut = device;
    completion.thread = std::thread(CompletionLoop);

    s.blocksQueued = 0;
    s.playCursor = 0;
    s.engineIdle = 0;
    bool blockFailed = false;
    for (int turn = 0; turn < kMaxBlocksInFlight; ++turn) {
        if (s.playCursor < s.signalBytes)
            blockFailed |= !QueueBlock(std::min(kBlockBytes, s.signalBytes - s.playCursor));
    }
    // Nothing reached the device: stop as at the natural end.
    if (blockFailed && s.blocksQueued == 0) StopLocked(lock, false);
    return 0;
}

} // namespace

int32_t StartSignal(const SignalRequest& request, int32_t loop, SweepModeOne sweepModeOne) {
    std::unique_lock lock(stateMutex);
    if (!EnterStart(lock, loop)) return -1;
    lock.unlock();
    const Synthesis synthesis = SynthesizeSignal(request, sweepModeOne);
    lock.lock();
    return CompleteStart(lock, synthesis, static_cast<uint32_t>(request.bits));
}

int32_t StartSynthesized(const Synthesis& synthesis, uint32_t bits, int32_t loop) {
    std::unique_lock lock(stateMutex);
    if (!EnterStart(lock, loop)) {
        HeapFree(synthesis.buffer);
        return -1;
    }
    return CompleteStart(lock, synthesis, bits);
}

int32_t StopSignal() {
    std::unique_lock lock(stateMutex);
    if (engineState.engineIdle != 0) return 0;
    StopLocked(lock, false);
    return 0;
}

bool EngineBusy() {
    std::lock_guard lock(stateMutex);
    return engineState.engineIdle == 0 || stopInProgress;
}

int32_t ProgressRange(int32_t seconds, int32_t rateIndex, int32_t channels) {
    const uint32_t sampleRate = SampleRateForIndex(rateIndex);
    if (sampleRate == 0 || !SignalFits(seconds, sampleRate, channels, 1)) {
        // Marking the engine busy in the middle of a stop would let the
        // completion thread queue again: wait for the stop to finish.
        std::unique_lock lock(stateMutex);
        stateChanged.wait(lock, [] { return !stopInProgress; });
        engineState.engineIdle = 0;
        return -1;
    }
    return static_cast<int32_t>(sampleRate * ChannelCountFor(channels) *
                                static_cast<uint32_t>(seconds));
}

} // namespace vantoro
