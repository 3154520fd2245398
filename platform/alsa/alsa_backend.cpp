#include "platform/alsa/alsa_backend.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/alsa/alsa_library.h"
#include "platform/stream_layout.h"

// Each open device is a heap record (the handle points at it) with one
// notification thread. The thread alone touches the PCM after the open: it
// writes the queued blocks in order with non-blocking writes, waiting in poll
// on the PCM's descriptors and an eventfd the callers signal; it performs the
// drop a reset asks for; it drains and closes the PCM at the close. Callers
// only queue, flag and signal, so no wave call blocks on the sound device
// except waveOutReset and waveOutClose, which wait for the thread.
//
// A block is done once the PCM has taken all of its frames. A block whose
// length is not a whole number of frames leaves its last partial frame to be
// completed by the start of the next block.

namespace vantoro::alsa {

namespace {

// Loaded by waveOutOpen before any other call can reach a device.
const AlsaLibrary& Alsa() {
    return *LoadAlsa();
}

using platform::SampleEncoding;
using platform::StreamLayout;

// Rough figures for the device buffer; the PCM picks the nearest it supports.
constexpr unsigned kBufferMicroseconds = 250000;
constexpr unsigned kPeriodMicroseconds = 50000;
// Upper bound on one wait for the PCM, in case a plugin never wakes poll.
constexpr int kPcmPollMilliseconds = 100;

struct Pending {
    WAVEHDR* header = nullptr;
    const uint8_t* data = nullptr;
    size_t length = 0;
};

struct Device {
    snd_pcm_t* pcm = nullptr;
    StreamLayout layout;
    LPWAVECALLBACK callback = nullptr;
    DWORD_PTR instance = 0;
    int wakeFd = -1;
    std::thread thread;

    // Guarded by mutex.
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Pending> queue; // written and not yet taken by the PCM; front in progress
    size_t outstanding = 0;    // written and not yet marked done
    uint64_t resetsRequested = 0;
    uint64_t resetsServed = 0;
    bool closing = false;

    // The notification thread's own.
    size_t offset = 0;          // bytes of the front block handed to the PCM
    std::vector<uint8_t> carry; // a frame split across blocks
    bool failed = false;        // the PCM broke for good: blocks are discarded
    int recoveries = 0;         // recoveries since the PCM last took frames
    bool written = false;       // frames handed over since the last drop
};

std::mutex registryMutex;

std::unordered_map<const void*, std::shared_ptr<Device>>& Registry() {
    static auto* registry = new std::unordered_map<const void*, std::shared_ptr<Device>>;
    return *registry;
}

// The device whose notification thread this is, on that thread.
thread_local const Device* threadDevice = nullptr;

std::mutex observerMutex;
ResetObserver resetObserver = nullptr;
void* resetObserverContext = nullptr;

std::shared_ptr<Device> Lookup(HWAVEOUT handle) {
    std::lock_guard lock(registryMutex);
    const auto it = Registry().find(handle);
    return it == Registry().end() ? nullptr : it->second;
}

HWAVEOUT HandleOf(Device& device) {
    return reinterpret_cast<HWAVEOUT>(&device);
}

bool HeaderArgumentsOk(LPWAVEHDR header, UINT size) {
    return header != nullptr && size >= sizeof(WAVEHDR);
}

void Wake(Device& device) {
    const uint64_t one = 1;
    if (write(device.wakeFd, &one, sizeof one) < 0) {
        // Only a full counter fails, and then the thread is woken anyway.
    }
}

void Notify(Device& device, UINT message, WAVEHDR* header) {
    if (device.callback)
        device.callback(HandleOf(device), message, device.instance,
                        reinterpret_cast<DWORD_PTR>(header), 0);
}

// With device.mutex held.
void MarkDone(Device& device, WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    --device.outstanding;
}

snd_pcm_format_t AlsaFormat(SampleEncoding encoding) {
    switch (encoding) {
    case SampleEncoding::U8:
        return SND_PCM_FORMAT_U8;
    case SampleEncoding::S16:
        return SND_PCM_FORMAT_S16_LE;
    case SampleEncoding::S24Packed:
        return SND_PCM_FORMAT_S24_3LE;
    case SampleEncoding::S32:
        return SND_PCM_FORMAT_S32_LE;
    case SampleEncoding::F32:
        return SND_PCM_FORMAT_FLOAT_LE;
    }
    return SND_PCM_FORMAT_UNKNOWN;
}

// Interleaved frames of exactly the layout's encoding, channel count and rate:
// no resampling. False when the PCM cannot take them.
bool ConfigureHardware(snd_pcm_t* pcm, const StreamLayout& layout) {
    snd_pcm_hw_params_t* raw = nullptr;
    if (Alsa().snd_pcm_hw_params_malloc(&raw) < 0) return false;
    std::unique_ptr<snd_pcm_hw_params_t, void (*)(snd_pcm_hw_params_t*)> hw(
        raw, Alsa().snd_pcm_hw_params_free);
    if (Alsa().snd_pcm_hw_params_any(pcm, hw.get()) < 0) return false;
    if (Alsa().snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 0) < 0) return false;
    if (Alsa().snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
        return false;
    if (Alsa().snd_pcm_hw_params_set_format(pcm, hw.get(), AlsaFormat(layout.encoding)) < 0)
        return false;
    if (Alsa().snd_pcm_hw_params_set_channels(pcm, hw.get(), layout.channels) < 0) return false;
    if (Alsa().snd_pcm_hw_params_set_rate(pcm, hw.get(), layout.sampleRate, 0) < 0) return false;
    // Buffer and period sizes are wishes: a PCM that cannot meet them keeps
    // its own.
    unsigned bufferTime = kBufferMicroseconds;
    Alsa().snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferTime, nullptr);
    unsigned periodTime = kPeriodMicroseconds;
    Alsa().snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &periodTime, nullptr);
    return Alsa().snd_pcm_hw_params(pcm, hw.get()) >= 0;
}

// Playback starts once the buffer has filled (or at the drain), and the
// thread is woken a period at a time.
bool ConfigureSoftware(snd_pcm_t* pcm) {
    snd_pcm_uframes_t bufferSize = 0;
    snd_pcm_uframes_t periodSize = 0;
    if (Alsa().snd_pcm_get_params(pcm, &bufferSize, &periodSize) < 0) return false;
    snd_pcm_sw_params_t* raw = nullptr;
    if (Alsa().snd_pcm_sw_params_malloc(&raw) < 0) return false;
    std::unique_ptr<snd_pcm_sw_params_t, void (*)(snd_pcm_sw_params_t*)> sw(
        raw, Alsa().snd_pcm_sw_params_free);
    if (Alsa().snd_pcm_sw_params_current(pcm, sw.get()) < 0) return false;
    const snd_pcm_uframes_t start = periodSize > 0 && bufferSize >= periodSize
                                        ? bufferSize - bufferSize % periodSize
                                        : bufferSize;
    if (Alsa().snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), start) < 0) return false;
    if (periodSize > 0 && Alsa().snd_pcm_sw_params_set_avail_min(pcm, sw.get(), periodSize) < 0)
        return false;
    return Alsa().snd_pcm_sw_params(pcm, sw.get()) >= 0;
}

constexpr snd_pcm_sframes_t kBlocked = -1;
// A PCM that fails this many times in a row without taking a frame is given up.
constexpr int kMaxRecoveries = 16;

// Hands up to `frames` frames to the PCM. Returns how many it took, or
// kBlocked when it has no room. Underruns and suspends are recovered; any
// other failure marks the device failed.
snd_pcm_sframes_t WriteFrames(Device& device, const uint8_t* data, snd_pcm_uframes_t frames) {
    const snd_pcm_sframes_t n = Alsa().snd_pcm_writei(device.pcm, data, frames);
    if (n > 0) {
        device.written = true;
        device.recoveries = 0;
        return n;
    }
    if (n == 0 || n == -EAGAIN) return kBlocked;
    if (++device.recoveries > kMaxRecoveries ||
        Alsa().snd_pcm_recover(device.pcm, static_cast<int>(n), 1) < 0)
        device.failed = true;
    return 0;
}

enum class Step { Progress, Blocked, Finished };

// One step of handing the front block to the PCM.
Step WriteStep(Device& device, const Pending& block) {
    const size_t frameBytes = device.layout.frameBytes;
    if (device.failed) {
        device.carry.clear();
        return Step::Finished;
    }
    if (device.carry.size() == frameBytes) {
        const snd_pcm_sframes_t n = WriteFrames(device, device.carry.data(), 1);
        if (n == kBlocked) return Step::Blocked;
        if (n == 1) device.carry.clear();
        return Step::Progress;
    }
    if (device.offset == block.length) return Step::Finished;
    const uint8_t* const next = block.data + device.offset;
    const size_t left = block.length - device.offset;
    if (!device.carry.empty() || left < frameBytes) {
        const size_t take = std::min(frameBytes - device.carry.size(), left);
        device.carry.insert(device.carry.end(), next, next + take);
        device.offset += take;
        return Step::Progress;
    }
    const snd_pcm_sframes_t n = WriteFrames(device, next, left / frameBytes);
    if (n == kBlocked) return Step::Blocked;
    device.offset += static_cast<size_t>(n) * frameBytes;
    return Step::Progress;
}

// Sleeps until a caller signals, or (withPcm) until the PCM has room.
void AwaitWork(Device& device, bool withPcm) {
    std::vector<pollfd> fds(1);
    fds[0] = {device.wakeFd, POLLIN, 0};
    int pcmCount = 0;
    if (withPcm) {
        pcmCount = std::max(0, Alsa().snd_pcm_poll_descriptors_count(device.pcm));
        fds.resize(1 + static_cast<size_t>(pcmCount));
        pcmCount = std::max(0, Alsa().snd_pcm_poll_descriptors(device.pcm, fds.data() + 1,
                                                               static_cast<unsigned>(pcmCount)));
        fds.resize(1 + static_cast<size_t>(pcmCount));
    }
    const int ready = poll(fds.data(), fds.size(), withPcm ? kPcmPollMilliseconds : -1);
    if (ready <= 0) return;
    if (fds[0].revents & POLLIN) {
        uint64_t count = 0;
        if (read(device.wakeFd, &count, sizeof count) < 0) {
            // Nothing was pending after all.
        }
    }
    if (pcmCount > 0) {
        unsigned short revents = 0;
        Alsa().snd_pcm_poll_descriptors_revents(device.pcm, fds.data() + 1,
                                                static_cast<unsigned>(pcmCount), &revents);
    }
}

// Serves a reset, with device.mutex held by `lock`: the PCM drops what it
// holds and every block queued comes back done, in order.
void ServeReset(Device& device, std::unique_lock<std::mutex>& lock) {
    const uint64_t served = device.resetsRequested;
    std::deque<Pending> returned;
    returned.swap(device.queue);
    lock.unlock();
    Alsa().snd_pcm_drop(device.pcm);
    if (Alsa().snd_pcm_prepare(device.pcm) < 0) device.failed = true;
    device.offset = 0;
    device.carry.clear();
    device.written = false;
    for (const Pending& block : returned) {
        lock.lock();
        MarkDone(device, block.header);
        lock.unlock();
        Notify(device, WOM_DONE, block.header);
    }
    lock.lock();
    device.resetsServed = served;
    device.changed.notify_all();
}

void RunDevice(std::shared_ptr<Device> shared) {
    Device& device = *shared;
    threadDevice = &device;
    Notify(device, WOM_OPEN, nullptr);
    std::unique_lock lock(device.mutex);
    for (;;) {
        if (device.resetsRequested != device.resetsServed) {
            ServeReset(device, lock);
            continue;
        }
        if (device.queue.empty()) {
            if (device.closing) break;
            lock.unlock();
            AwaitWork(device, false);
            lock.lock();
            continue;
        }
        const Pending front = device.queue.front();
        lock.unlock();
        const Step step = WriteStep(device, front);
        if (step == Step::Blocked) AwaitWork(device, true);
        lock.lock();
        if (step != Step::Finished) continue;
        // A reset asked for meanwhile returns this block with the others.
        if (device.resetsRequested != device.resetsServed) continue;
        device.queue.pop_front();
        device.offset = 0;
        MarkDone(device, front.header);
        lock.unlock();
        Notify(device, WOM_DONE, front.header);
        lock.lock();
    }
    lock.unlock();
    // What was written plays out, unless a reset dropped it.
    if (device.written && !device.failed && Alsa().snd_pcm_nonblock(device.pcm, 0) >= 0)
        Alsa().snd_pcm_drain(device.pcm);
    Alsa().snd_pcm_close(device.pcm);
    device.pcm = nullptr;
    Notify(device, WOM_CLOSE, nullptr);
}

MMRESULT OpenFailure(int error) {
    return error == -EBUSY || error == -EAGAIN ? MMSYSERR_ALLOCATED : MMSYSERR_BADDEVICEID;
}

} // namespace

void SetResetObserver(ResetObserver observer, void* context) {
    std::lock_guard lock(observerMutex);
    resetObserver = observer;
    resetObserverContext = context;
}

} // namespace vantoro::alsa

using namespace vantoro::alsa;

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!pwfx) return MMSYSERR_INVALPARAM;
    if (uDeviceID != WAVE_MAPPER && uDeviceID != 0) return MMSYSERR_BADDEVICEID;
    vantoro::platform::StreamLayout layout;
    if (vantoro::platform::DescribeStream(pwfx, &layout) != vantoro::platform::LayoutStatus::Ok)
        return WAVERR_BADFORMAT;
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    constexpr DWORD kCallbackTypeMask = 0x00070000;
    const DWORD callbackType = fdwOpen & kCallbackTypeMask;
    if (!query) {
        if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION)
            return MMSYSERR_INVALFLAG;
        if (!phwo || (callbackType == CALLBACK_FUNCTION && dwCallback == 0))
            return MMSYSERR_INVALPARAM;
    }

    // Without libasound there is no device to open.
    if (!LoadAlsa()) return MMSYSERR_NODRIVER;
    snd_pcm_t* pcm = nullptr;
    if (const int error =
            Alsa().snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        error < 0)
        return OpenFailure(error);
    if (!ConfigureHardware(pcm, layout)) {
        Alsa().snd_pcm_close(pcm);
        return WAVERR_BADFORMAT;
    }
    if (query) {
        Alsa().snd_pcm_close(pcm);
        return MMSYSERR_NOERROR;
    }
    if (!ConfigureSoftware(pcm)) {
        Alsa().snd_pcm_close(pcm);
        return MMSYSERR_ERROR;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        Alsa().snd_pcm_close(pcm);
        return MMSYSERR_NOMEM;
    }

    try {
        auto device = std::make_shared<Device>();
        device->pcm = pcm;
        device->layout = layout;
        device->callback = callbackType == CALLBACK_FUNCTION
                               ? reinterpret_cast<LPWAVECALLBACK>(dwCallback)
                               : nullptr;
        device->instance = dwInstance;
        device->wakeFd = wakeFd;
        const HWAVEOUT handle = HandleOf(*device);
        {
            std::lock_guard lock(registryMutex);
            Registry()[handle] = device;
        }
        try {
            device->thread = std::thread(RunDevice, device);
        } catch (...) {
            std::lock_guard lock(registryMutex);
            Registry().erase(handle);
            throw;
        }
        *phwo = handle;
        return MMSYSERR_NOERROR;
    } catch (...) {
        close(wakeFd);
        Alsa().snd_pcm_close(pcm);
        return MMSYSERR_NOMEM;
    }
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    const auto device = Lookup(hwo);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(device->mutex);
    pwh->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    const auto device = Lookup(hwo);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(device->mutex);
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    pwh->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    const auto device = Lookup(hwo);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    {
        std::lock_guard lock(device->mutex);
        if (device->closing) return MMSYSERR_INVALHANDLE;
        if (!(pwh->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
        if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
        if (!pwh->lpData && pwh->dwBufferLength != 0) return MMSYSERR_INVALPARAM;
        pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        device->queue.push_back(
            {pwh, reinterpret_cast<const uint8_t*>(pwh->lpData), pwh->dwBufferLength});
        ++device->outstanding;
    }
    Wake(*device);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    const auto device = Lookup(hwo);
    if (!device) return MMSYSERR_INVALHANDLE;
    std::unique_lock lock(device->mutex);
    if (device->closing) return MMSYSERR_INVALHANDLE;
    const uint64_t ticket = ++device->resetsRequested;
    lock.unlock();
    Wake(*device);
    ResetObserver observer;
    void* context;
    {
        std::lock_guard observerLock(observerMutex);
        observer = resetObserver;
        context = resetObserverContext;
    }
    if (observer) observer(hwo, context);
    // From inside the device's own callback the thread cannot serve the reset
    // until the call returns; it does so right after.
    if (threadDevice == device.get()) return MMSYSERR_NOERROR;
    lock.lock();
    device->changed.wait(lock, [&] { return device->resetsServed >= ticket; });
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    const auto device = Lookup(hwo);
    if (!device) return MMSYSERR_INVALHANDLE;
    // The thread sends WOM_CLOSE and ends; it cannot be joined from inside
    // its own callback.
    if (threadDevice == device.get()) return MMSYSERR_ERROR;
    {
        std::lock_guard lock(device->mutex);
        if (device->closing) return MMSYSERR_INVALHANDLE;
        if (device->outstanding != 0) return WAVERR_STILLPLAYING;
        device->closing = true;
    }
    {
        std::lock_guard lock(registryMutex);
        Registry().erase(hwo);
    }
    Wake(*device);
    device->thread.join();
    close(device->wakeFd);
    return MMSYSERR_NOERROR;
}
