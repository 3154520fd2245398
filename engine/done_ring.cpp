#include "engine/done_ring.h"

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace vantoro {

namespace {

constexpr int kCapacity = 16;

struct Ring {
    WAVEHDR* entries[kCapacity] = {};
    int head = 0;
    int count = 0;
    bool quit = false;

    bool Push(WAVEHDR* header) {
        if (count == kCapacity) return false;
        entries[(head + count) % kCapacity] = header;
        ++count;
        return true;
    }
    WAVEHDR* Pop() {
        WAVEHDR* header = entries[head];
        head = (head + 1) % kCapacity;
        --count;
        return header;
    }
};

#if defined(_WIN32)

struct DoneRing {
    CRITICAL_SECTION lock;
    HANDLE wake; // auto-reset: set when something was pushed or quit asked
    Ring ring;
    DoneRing() {
        InitializeCriticalSection(&lock);
        wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
};

// Never destroyed: the engine's own static teardown may still use it.
DoneRing& Instance() {
    static DoneRing* instance = new DoneRing;
    return *instance;
}

} // namespace

void DoneRingReset() {
    DoneRing& d = Instance();
    EnterCriticalSection(&d.lock);
    d.ring = Ring{};
    ResetEvent(d.wake);
    LeaveCriticalSection(&d.lock);
}

void DoneRingPush(WAVEHDR* header) {
    DoneRing& d = Instance();
    EnterCriticalSection(&d.lock);
    d.ring.Push(header);
    LeaveCriticalSection(&d.lock);
    SetEvent(d.wake);
}

WAVEHDR* DoneRingPop() {
    DoneRing& d = Instance();
    for (;;) {
        EnterCriticalSection(&d.lock);
        if (d.ring.count > 0) {
            WAVEHDR* header = d.ring.Pop();
            LeaveCriticalSection(&d.lock);
            return header;
        }
        const bool quit = d.ring.quit;
        LeaveCriticalSection(&d.lock);
        if (quit) return nullptr;
        WaitForSingleObject(d.wake, INFINITE);
    }
}

void DoneRingQuit() {
    DoneRing& d = Instance();
    EnterCriticalSection(&d.lock);
    d.ring.quit = true;
    LeaveCriticalSection(&d.lock);
    SetEvent(d.wake);
}

#else

struct DoneRing {
    std::mutex lock;
    std::condition_variable wake;
    Ring ring;
};

// Never destroyed: the engine's own static teardown may still use it.
DoneRing& Instance() {
    static DoneRing* instance = new DoneRing;
    return *instance;
}

} // namespace

void DoneRingReset() {
    DoneRing& d = Instance();
    std::lock_guard guard(d.lock);
    d.ring = Ring{};
}

void DoneRingPush(WAVEHDR* header) {
    DoneRing& d = Instance();
    {
        std::lock_guard guard(d.lock);
        d.ring.Push(header);
    }
    d.wake.notify_one();
}

WAVEHDR* DoneRingPop() {
    DoneRing& d = Instance();
    std::unique_lock guard(d.lock);
    d.wake.wait(guard, [&] { return d.ring.count > 0 || d.ring.quit; });
    return d.ring.count > 0 ? d.ring.Pop() : nullptr;
}

void DoneRingQuit() {
    DoneRing& d = Instance();
    {
        std::lock_guard guard(d.lock);
        d.ring.quit = true;
    }
    d.wake.notify_one();
}

#endif

} // namespace vantoro
