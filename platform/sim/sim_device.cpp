#include "platform/sim/sim_device.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "platform/stream_layout.h"

// One process-wide record, guarded by one mutex: the configuration, the
// records tests read, and the open devices. The mutex is never held while a
// caller's callback or acceptFormat runs, so a callback that (wrongly) makes
// wave calls is recorded instead of deadlocking.
//
// A block owes exactly one WOM_DONE from the moment it is written; a device
// owes a WOM_OPEN from its open and a WOM_CLOSE from its close. `owed` counts
// the notifications owed and not yet delivered (callback returned), which is
// what WaitQuiet waits for. A finished block leaves its device's queue (flags
// updated) before its callback runs, so a client that learns of it from the
// callback can unprepare it and close the device at once.

namespace vantoro::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that only a callback that never returns trips it.
constexpr auto kDeliveryWatchdog = std::chrono::seconds(10);

struct QueuedBlock {
    WAVEHDR* header = nullptr;
    LPSTR data = nullptr;
    DWORD length = 0;
    size_t record = 0;     // index into State::blocks
    uint64_t seq = 0;      // global write order
    bool granted = false;  // CompleteBlocks let it finish
    bool returned = false; // a reset took it back
    bool started = false;  // RealTime: its playing time has begun
    Clock::time_point end;
};

struct Device {
    uintptr_t id = 0;
    int openIndex = 0;
    LPWAVECALLBACK callback = nullptr;
    DWORD_PTR instance = 0;
    platform::StreamLayout layout;
    Pacing pacing = Pacing::Instant;
    double speed = 1.0;
    unsigned jitterSeed = 0;
    bool resetNotifiesBeforeReturn = true;

    std::deque<QueuedBlock> queue;
    bool openOwed = true;
    bool closing = false;
    bool playheadValid = false;
    Clock::time_point playhead; // RealTime: when the last started block ends
    std::thread thread;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Config config;
    int prepareCalls = 0;
    int writeCalls = 0;
    int queries = 0;
    int opens = 0;
    int successfulOpens = 0;
    std::vector<PlayedBlock> blocks;
    std::vector<MessageBoxRecord> boxes;
    std::vector<std::string> violations;
    WAVEFORMATEXTENSIBLE lastFormat{};
    std::map<uintptr_t, std::shared_ptr<Device>> devices;
    uintptr_t nextId = 1;
    uint64_t nextSeq = 1;
    int owed = 0;
    std::set<uint64_t> undelivered; // seqs of written blocks whose WOM_DONE has not returned
};

// Never destroyed: a device a broken test leaves open keeps a thread that
// still uses it at exit.
State& S() {
    static State* state = new State;
    return *state;
}

thread_local int insideCallback = 0;

void Violate(std::string text) {
    S().violations.push_back(std::move(text));
}

// Records a call made from inside the callback. Returns true when it was.
bool CheckNotInCallback(const char* function) {
    if (insideCallback == 0) return false;
    Violate(std::string(function) + ": called from inside the wave callback");
    return true;
}

HWAVEOUT ToHandle(uintptr_t id) {
    return reinterpret_cast<HWAVEOUT>(id << 4);
}

std::shared_ptr<Device> FindDevice(HWAVEOUT handle, const char* function) {
    const uintptr_t raw = reinterpret_cast<uintptr_t>(handle);
    auto it = S().devices.find(raw >> 4);
    if ((raw & 0xF) != 0 || it == S().devices.end() || it->second->closing) {
        Violate(std::string(function) + ": closed or unknown handle");
        return nullptr;
    }
    return it->second;
}

bool HeaderArgumentsOk(LPWAVEHDR header, UINT size, const char* function) {
    if (header && size >= sizeof(WAVEHDR)) return true;
    Violate(std::string(function) + ": null header or wrong header size");
    return false;
}

bool InQueue(const Device& device, const WAVEHDR* header) {
    return std::any_of(device.queue.begin(), device.queue.end(),
                       [&](const QueuedBlock& b) { return b.header == header; });
}

void RecordFormat(const WAVEFORMATEX* format) {
    WAVEFORMATEXTENSIBLE copy{};
    std::memcpy(&copy, format, platform::FormatRecordBytes(format));
    S().lastFormat = copy;
}

Clock::duration PlayingTime(const Device& device, DWORD length) {
    const double speed = device.speed > 0 ? device.speed : 1.0;
    const double seconds =
        device.layout.bytesPerSecond == 0 ? 0.0 : length / (device.layout.bytesPerSecond * speed);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Runs the callback for one notification with the mutex released, then
// settles the books. `seq` is the block's for WOM_DONE, 0 otherwise.
void Deliver(std::unique_lock<std::mutex>& lock, Device& device, std::mt19937& jitter, UINT message,
             WAVEHDR* header, uint64_t seq) {
    lock.unlock();
    if (device.jitterSeed != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(jitter() % 1000));
    if (device.callback) {
        ++insideCallback;
        device.callback(ToHandle(device.id), message, device.instance,
                        reinterpret_cast<DWORD_PTR>(header), 0);
        --insideCallback;
    }
    lock.lock();
    --S().owed;
    if (seq != 0) S().undelivered.erase(seq);
    S().changed.notify_all();
}

// Takes the front block off the queue and marks it done; `played` copies its
// bytes as they are now.
QueuedBlock FinishFront(Device& device, bool played) {
    QueuedBlock block = device.queue.front();
    device.queue.pop_front();
    PlayedBlock& record = S().blocks[block.record];
    if (block.header->lpData != block.data || block.header->dwBufferLength != block.length)
        Violate("waveOutWrite: header changed while queued");
    if (played) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(block.data);
        record.bytes.assign(bytes, bytes + block.length);
    }
    record.completed = played;
    record.finished = true;
    block.header->dwFlags = (block.header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    return block;
}

void RunDevice(std::shared_ptr<Device> shared) {
    Device& device = *shared;
    std::mt19937 jitter(device.jitterSeed + static_cast<unsigned>(device.id));
    std::unique_lock lock(S().mutex);
    for (;;) {
        if (device.openOwed) {
            device.openOwed = false;
            Deliver(lock, device, jitter, WOM_OPEN, nullptr, 0);
            continue;
        }
        if (!device.queue.empty()) {
            QueuedBlock& front = device.queue.front();
            bool ready = front.returned || front.granted;
            if (!ready && device.pacing == Pacing::Instant) ready = true;
            if (!ready && device.pacing == Pacing::RealTime) {
                const auto now = Clock::now();
                if (!front.started) {
                    const auto start =
                        device.playheadValid && device.playhead > now ? device.playhead : now;
                    front.end = start + PlayingTime(device, front.length);
                    front.started = true;
                    device.playhead = front.end;
                    device.playheadValid = true;
                }
                if (now >= front.end) {
                    ready = true;
                } else {
                    S().changed.wait_until(lock, front.end);
                    continue;
                }
            }
            if (!ready) {
                S().changed.wait(lock);
                continue;
            }
            const QueuedBlock done = FinishFront(device, !front.returned);
            Deliver(lock, device, jitter, WOM_DONE, done.header, done.seq);
            continue;
        }
        if (device.closing) {
            Deliver(lock, device, jitter, WOM_CLOSE, nullptr, 0);
            return;
        }
        S().changed.wait(lock);
    }
}

// Waits, with the state lock held by `lock`, until none of `seqs` is owed a
// WOM_DONE any more. A callback that never returns trips the watchdog.
void AwaitDelivery(std::unique_lock<std::mutex>& lock, const std::vector<uint64_t>& seqs,
                   const char* function) {
    const bool delivered = S().changed.wait_for(lock, kDeliveryWatchdog, [&] {
        return std::none_of(seqs.begin(), seqs.end(),
                            [](uint64_t seq) { return S().undelivered.count(seq) != 0; });
    });
    if (!delivered)
        Violate(std::string(function) + ": notifications not delivered within the watchdog time");
}

MMRESULT CheckFormat(const WAVEFORMATEX* format, const char* function) {
    switch (platform::DescribeStream(format, nullptr)) {
    case platform::LayoutStatus::Ok:
        return MMSYSERR_NOERROR;
    case platform::LayoutStatus::Malformed:
        Violate(std::string(function) + ": malformed format descriptor");
        return WAVERR_BADFORMAT;
    case platform::LayoutStatus::Unsupported:
        break;
    }
    return WAVERR_BADFORMAT;
}

// acceptFormat, run with the lock released.
bool Accepts(std::unique_lock<std::mutex>& lock, const WAVEFORMATEX* format) {
    std::function<bool(const WAVEFORMATEX*)> accept = S().config.acceptFormat;
    if (!accept) return true;
    lock.unlock();
    const bool accepted = accept(format);
    lock.lock();
    return accepted;
}

} // namespace

void Configure(const Config& config) {
    std::lock_guard lock(S().mutex);
    CheckNotInCallback("Configure");
    if (!S().devices.empty()) {
        Violate("Configure: called while a device is open");
        return;
    }
    State& s = S();
    s.config = config;
    s.prepareCalls = s.writeCalls = s.queries = s.opens = s.successfulOpens = 0;
    s.blocks.clear();
    s.boxes.clear();
    s.violations.clear();
    s.lastFormat = WAVEFORMATEXTENSIBLE{};
}

std::vector<PlayedBlock> Blocks() {
    std::lock_guard lock(S().mutex);
    return S().blocks;
}

std::vector<uint8_t> PlayedBytes() {
    std::lock_guard lock(S().mutex);
    std::vector<uint8_t> bytes;
    for (const PlayedBlock& block : S().blocks)
        if (block.completed) bytes.insert(bytes.end(), block.bytes.begin(), block.bytes.end());
    return bytes;
}

std::vector<uint8_t> PlayedBytes(int openIndex) {
    std::lock_guard lock(S().mutex);
    std::vector<uint8_t> bytes;
    for (const PlayedBlock& block : S().blocks)
        if (block.completed && block.openIndex == openIndex)
            bytes.insert(bytes.end(), block.bytes.begin(), block.bytes.end());
    return bytes;
}

std::vector<std::string> MessageBoxTexts() {
    std::lock_guard lock(S().mutex);
    std::vector<std::string> texts;
    for (const MessageBoxRecord& box : S().boxes)
        texts.push_back(box.text);
    return texts;
}

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard lock(S().mutex);
    return S().boxes;
}

std::vector<std::string> Violations() {
    std::lock_guard lock(S().mutex);
    return S().violations;
}

std::vector<std::string> TakeViolations() {
    std::lock_guard lock(S().mutex);
    std::vector<std::string> taken;
    taken.swap(S().violations);
    return taken;
}

int OpenDevices() {
    std::lock_guard lock(S().mutex);
    return static_cast<int>(S().devices.size());
}

int QueuedBlocks() {
    std::lock_guard lock(S().mutex);
    size_t queued = 0;
    for (const auto& [id, device] : S().devices)
        queued += device->queue.size();
    return static_cast<int>(queued);
}

int QueryCount() {
    std::lock_guard lock(S().mutex);
    return S().queries;
}

int OpenCount() {
    std::lock_guard lock(S().mutex);
    return S().opens;
}

WAVEFORMATEXTENSIBLE LastFormat() {
    std::lock_guard lock(S().mutex);
    return S().lastFormat;
}

void CompleteBlocks(int count) {
    std::unique_lock lock(S().mutex);
    const bool inside = CheckNotInCallback("CompleteBlocks");
    std::vector<QueuedBlock*> waiting;
    for (auto& [id, device] : S().devices)
        for (QueuedBlock& block : device->queue)
            if (!block.granted && !block.returned) waiting.push_back(&block);
    std::sort(waiting.begin(), waiting.end(),
              [](const QueuedBlock* a, const QueuedBlock* b) { return a->seq < b->seq; });
    if (count < 0) count = 0;
    if (waiting.size() > static_cast<size_t>(count)) waiting.resize(static_cast<size_t>(count));
    std::vector<uint64_t> seqs;
    for (QueuedBlock* block : waiting) {
        block->granted = true;
        seqs.push_back(block->seq);
    }
    S().changed.notify_all();
    if (!inside) AwaitDelivery(lock, seqs, "CompleteBlocks");
}

bool WaitQuiet(int timeoutMs) {
    std::unique_lock lock(S().mutex);
    if (CheckNotInCallback("WaitQuiet")) return S().owed == 0;
    return S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                [] { return S().owed == 0; });
}

bool WaitClosed(int timeoutMs) {
    std::unique_lock lock(S().mutex);
    if (CheckNotInCallback("WaitClosed")) return S().devices.empty() && S().owed == 0;
    return S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                [] { return S().devices.empty() && S().owed == 0; });
}

} // namespace vantoro::sim

using namespace vantoro::sim;

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen) {
    std::unique_lock lock(S().mutex);
    CheckNotInCallback("waveOutOpen");
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    if (query)
        ++S().queries;
    else
        ++S().opens;
    if (!pwfx) {
        Violate("waveOutOpen: null format descriptor");
        return MMSYSERR_INVALPARAM;
    }
    RecordFormat(pwfx);
    if (uDeviceID != WAVE_MAPPER && uDeviceID != 0) return MMSYSERR_BADDEVICEID;
    if (const MMRESULT format = CheckFormat(pwfx, "waveOutOpen"); format != MMSYSERR_NOERROR)
        return format;

    if (query) {
        if (S().config.queryResult != MMSYSERR_NOERROR) return S().config.queryResult;
        return Accepts(lock, pwfx) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    }

    constexpr DWORD kCallbackTypeMask = 0x00070000;
    const DWORD callbackType = fdwOpen & kCallbackTypeMask;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION) {
        Violate("waveOutOpen: unsupported callback type");
        return MMSYSERR_INVALFLAG;
    }
    if (!phwo || (callbackType == CALLBACK_FUNCTION && dwCallback == 0)) {
        Violate("waveOutOpen: null handle pointer or callback");
        return MMSYSERR_INVALPARAM;
    }
    if (!Accepts(lock, pwfx)) return WAVERR_BADFORMAT;
    if (S().config.openResult != MMSYSERR_NOERROR) return S().config.openResult;

    auto device = std::make_shared<Device>();
    device->id = S().nextId++;
    device->openIndex = S().successfulOpens++;
    device->callback =
        callbackType == CALLBACK_FUNCTION ? reinterpret_cast<LPWAVECALLBACK>(dwCallback) : nullptr;
    device->instance = dwInstance;
    vantoro::platform::DescribeStream(pwfx, &device->layout);
    device->pacing = S().config.pacing;
    device->speed = S().config.speed;
    device->jitterSeed = S().config.jitterSeed;
    device->resetNotifiesBeforeReturn = S().config.resetNotifiesBeforeReturn;
    S().devices[device->id] = device;
    ++S().owed; // WOM_OPEN
    device->thread = std::thread(RunDevice, device);
    *phwo = ToHandle(device->id);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    std::lock_guard lock(S().mutex);
    CheckNotInCallback("waveOutPrepareHeader");
    const int index = S().prepareCalls++;
    if (!FindDevice(hwo, "waveOutPrepareHeader")) return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pwh, cbwh, "waveOutPrepareHeader")) return MMSYSERR_INVALPARAM;
    if (index == S().config.failPrepareAt) return S().config.injectedFailure;
    pwh->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    std::lock_guard lock(S().mutex);
    CheckNotInCallback("waveOutUnprepareHeader");
    const auto device = FindDevice(hwo, "waveOutUnprepareHeader");
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pwh, cbwh, "waveOutUnprepareHeader")) return MMSYSERR_INVALPARAM;
    if (InQueue(*device, pwh) || (pwh->dwFlags & WHDR_INQUEUE)) {
        Violate("waveOutUnprepareHeader: header is still queued");
        return WAVERR_STILLPLAYING;
    }
    pwh->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    std::lock_guard lock(S().mutex);
    CheckNotInCallback("waveOutWrite");
    const int index = S().writeCalls++;
    const auto device = FindDevice(hwo, "waveOutWrite");
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pwh, cbwh, "waveOutWrite")) return MMSYSERR_INVALPARAM;
    if (index == S().config.failWriteAt) return S().config.injectedFailure;
    if (!(pwh->dwFlags & WHDR_PREPARED)) {
        Violate("waveOutWrite: header is not prepared");
        return WAVERR_UNPREPARED;
    }
    if (InQueue(*device, pwh) || (pwh->dwFlags & WHDR_INQUEUE)) {
        Violate("waveOutWrite: header is already queued");
        return WAVERR_STILLPLAYING;
    }
    if (!pwh->lpData && pwh->dwBufferLength != 0) {
        Violate("waveOutWrite: null data pointer");
        return MMSYSERR_INVALPARAM;
    }

    pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    PlayedBlock record;
    record.openIndex = device->openIndex;
    record.length = pwh->dwBufferLength;
    S().blocks.push_back(std::move(record));
    QueuedBlock block;
    block.header = pwh;
    block.data = pwh->lpData;
    block.length = pwh->dwBufferLength;
    block.record = S().blocks.size() - 1;
    block.seq = S().nextSeq++;
    device->queue.push_back(block);
    S().undelivered.insert(block.seq);
    ++S().owed;
    S().changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    std::unique_lock lock(S().mutex);
    const bool inside = CheckNotInCallback("waveOutReset");
    const auto device = FindDevice(hwo, "waveOutReset");
    if (!device) return MMSYSERR_INVALHANDLE;
    std::vector<uint64_t> returned;
    for (QueuedBlock& block : device->queue) {
        if (block.returned) continue;
        block.returned = true;
        returned.push_back(block.seq);
    }
    device->playheadValid = false;
    S().changed.notify_all();
    // From inside the callback the device thread cannot deliver while we wait.
    if (device->resetNotifiesBeforeReturn && !inside) AwaitDelivery(lock, returned, "waveOutReset");
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    std::unique_lock lock(S().mutex);
    const bool inside = CheckNotInCallback("waveOutClose");
    const auto device = FindDevice(hwo, "waveOutClose");
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!device->queue.empty()) {
        Violate("waveOutClose: blocks are still queued");
        return WAVERR_STILLPLAYING;
    }
    // The device thread sends WOM_CLOSE and ends; it cannot be joined from
    // inside its own callback.
    if (inside) return MMSYSERR_ERROR;
    device->closing = true;
    ++S().owed; // WOM_CLOSE
    S().changed.notify_all();
    lock.unlock();
    device->thread.join();
    lock.lock();
    S().devices.erase(device->id);
    S().changed.notify_all();
    return MMSYSERR_NOERROR;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    std::lock_guard lock(S().mutex);
    CheckNotInCallback("MessageBoxA");
    S().boxes.push_back({lpText ? lpText : "", lpCaption ? lpCaption : "", uType});
    return 1; // IDOK
}
