// A tiny wave output client for the backend tests, written the way the
// platform wants: its callback only records the notification and wakes a
// consumer thread, and the consumer thread does the unprepares.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wave_api.h"

namespace vantoro::test {

// Generous: only a hang reaches it.
inline constexpr auto kWatchdog = std::chrono::seconds(20);

struct Notification {
    HWAVEOUT device = nullptr;
    UINT message = 0;
    DWORD_PTR instance = 0;
    WAVEHDR* header = nullptr;
    DWORD flags = 0; // the header's flags as the callback saw them
    std::thread::id thread;
};

inline WAVEFORMATEXTENSIBLE ExtensibleFormat(unsigned rate, unsigned channels, unsigned container,
                                             unsigned validBits, bool isFloat) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = static_cast<WORD>(channels);
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = static_cast<WORD>(channels * container);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = static_cast<WORD>(8 * container);
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = static_cast<WORD>(validBits);
    f.dwChannelMask = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    f.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

inline WAVEFORMATEX PlainFormat(WORD tag, unsigned rate, unsigned channels, unsigned bits) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = static_cast<WORD>(bits);
    f.cbSize = 0;
    return f;
}

// Deterministic filler bytes, different for every block and position.
inline std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 12345u;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

class WaveClient {
  public:
    // Runs inside the callback after the notification is recorded. Tests use
    // it to stall the device thread or to misbehave on purpose.
    std::function<void(const Notification&)> inCallback;

    WaveClient() : consumer_([this] { ConsumeLoop(); }) {}
    ~WaveClient() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        consumer_.join();
    }
    WaveClient(const WaveClient&) = delete;
    WaveClient& operator=(const WaveClient&) = delete;

    MMRESULT Open(const WAVEFORMATEX* format) {
        return waveOutOpen(&handle_, WAVE_MAPPER, format, reinterpret_cast<DWORD_PTR>(&Callback),
                           reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }
    HWAVEOUT Handle() const { return handle_; }

    // A block the client owns, prepared but not written.
    WAVEHDR* NewBlock(std::vector<uint8_t> bytes) {
        auto block = std::make_unique<Block>();
        block->data = std::move(bytes);
        block->header.lpData = reinterpret_cast<LPSTR>(block->data.data());
        block->header.dwBufferLength = static_cast<DWORD>(block->data.size());
        WAVEHDR* header = &block->header;
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
        return header;
    }
    // Prepares and writes; returns the first failing result.
    MMRESULT PrepareAndWrite(WAVEHDR* header) {
        const MMRESULT prepared = waveOutPrepareHeader(handle_, header, sizeof(WAVEHDR));
        if (prepared != MMSYSERR_NOERROR) return prepared;
        return waveOutWrite(handle_, header, sizeof(WAVEHDR));
    }

    // Waits until `count` WOM_DONE notifications arrived and the consumer has
    // unprepared each of them.
    bool WaitDone(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWatchdog, [&] { return unprepared_.size() >= count; });
    }
    bool WaitMessages(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWatchdog, [&] { return log_.size() >= count; });
    }
    std::vector<Notification> Log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // Results of the consumer's unprepares, in order.
    std::vector<MMRESULT> UnprepareResults() {
        std::lock_guard lock(mutex_);
        return unprepared_;
    }
    std::vector<WAVEHDR*> DoneHeaders() {
        std::lock_guard lock(mutex_);
        std::vector<WAVEHDR*> headers;
        for (const Notification& n : log_)
            if (n.message == WOM_DONE) headers.push_back(n.header);
        return headers;
    }

  private:
    struct Block {
        WAVEHDR header{};
        std::vector<uint8_t> data;
    };

    static void CALLBACK Callback(HWAVEOUT device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR) {
        auto* self = reinterpret_cast<WaveClient*>(instance);
        Notification n;
        n.device = device;
        n.message = message;
        n.instance = instance;
        n.header = reinterpret_cast<WAVEHDR*>(param1);
        n.flags = n.header ? n.header->dwFlags : 0;
        n.thread = std::this_thread::get_id();
        {
            std::lock_guard lock(self->mutex_);
            self->log_.push_back(n);
            if (message == WOM_DONE) self->done_.push_back(n.header);
        }
        self->changed_.notify_all();
        if (self->inCallback) self->inCallback(n);
    }

    void ConsumeLoop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return quit_ || !done_.empty(); });
            if (done_.empty()) return;
            WAVEHDR* header = done_.front();
            done_.pop_front();
            const HWAVEOUT handle = handle_;
            lock.unlock();
            const MMRESULT result = waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR));
            lock.lock();
            unprepared_.push_back(result);
            changed_.notify_all();
        }
    }

    HWAVEOUT handle_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notification> log_;
    std::deque<WAVEHDR*> done_;
    std::vector<MMRESULT> unprepared_;
    std::deque<std::unique_ptr<Block>> blocks_;
    bool quit_ = false;
    std::thread consumer_;
};

// A one-shot gate a callback can wait on; the wait gives up after the
// watchdog time so a broken backend fails the test instead of hanging it.
class Gate {
  public:
    void Open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWatchdog, [&] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

} // namespace vantoro::test
