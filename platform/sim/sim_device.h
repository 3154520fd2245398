// The simulated wave output device: implements the wave calls of
// platform/wave_api.h in-process, records what was played and every misuse of
// the calls, and lets a test decide how fast blocks finish.
//
// Each open device has its own notification thread, started by the open and
// joined by the close; every WOM_OPEN, WOM_DONE and WOM_CLOSE comes from it,
// never from inside the caller's wave call. While the device thread runs the
// caller's callback, any wave call (or MessageBoxA, or a wait below) made from
// inside it is recorded as a violation and never blocks on the device.
//
// All functions here are safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wave_api.h"

namespace vantoro::sim {

enum class Pacing {
    Instant,  // a block finishes as soon as the notification thread reaches it
    RealTime, // a block takes its playing time (length / nAvgBytesPerSec / speed)
    Manual,   // a block finishes only when CompleteBlocks lets it
};

struct Config {
    // Answer to WAVE_FORMAT_QUERY (e.g. WAVERR_BADFORMAT or MMSYSERR_BADDEVICEID).
    MMRESULT queryResult = MMSYSERR_NOERROR;
    // If set and it returns false for a descriptor, both the query and the open
    // of that descriptor answer WAVERR_BADFORMAT. Called without any lock held.
    std::function<bool(const WAVEFORMATEX*)> acceptFormat;
    // Result of a real open; non-zero opens nothing and sends no WOM_OPEN.
    MMRESULT openResult = MMSYSERR_NOERROR;
    // 0-based index (counted since Configure) of the prepare call that fails
    // with injectedFailure and leaves the header unprepared; -1 none.
    int failPrepareAt = -1;
    // The same for write: the failing write queues nothing.
    int failWriteAt = -1;
    MMRESULT injectedFailure = MMSYSERR_NOMEM;
    Pacing pacing = Pacing::Instant;
    // RealTime: playback-rate factor (2.0 plays twice as fast).
    double speed = 1.0;
    // Nonzero: random delays of up to about 1 ms before each notification.
    unsigned jitterSeed = 0;
    // true: waveOutReset returns only after every WOM_DONE it causes was
    // delivered; false: it returns first and they follow.
    bool resetNotifiesBeforeReturn = true;
};

// Installs `config` and clears every record and counter. Must not be called
// while a device is open: then it records a violation and changes nothing.
void Configure(const Config& config);

struct PlayedBlock {
    // The block's bytes as they were when it finished playing; empty unless
    // completed.
    std::vector<uint8_t> bytes;
    // true: it played to the end; false: reset returned it first (or it is
    // still queued, see finished).
    bool completed = false;
    // false while the block is still queued on the device.
    bool finished = false;
    // Which open it was written to: 0 for the first successful open since
    // Configure, 1 for the next, ...
    int openIndex = 0;
    DWORD length = 0; // dwBufferLength at the write
};

struct MessageBoxRecord {
    std::string text;
    std::string caption; // empty when the caption pointer was null
    UINT type = 0;
};

// Every block successfully written since Configure, in write order (across
// all devices).
std::vector<PlayedBlock> Blocks();
// The bytes of the completed blocks, in write order.
std::vector<uint8_t> PlayedBytes();
// The same, only for the blocks of one open (see PlayedBlock::openIndex).
std::vector<uint8_t> PlayedBytes(int openIndex);
// Every MessageBoxA since Configure, in order. MessageBoxA records and
// returns IDOK (1) at once.
std::vector<std::string> MessageBoxTexts();
std::vector<MessageBoxRecord> MessageBoxes();
// Misuses of the wave protocol since Configure, in the order seen: a wave call
// inside the callback, write of an unprepared or queued header, unprepare of a
// queued header, close with blocks queued, use of a closed or unknown handle,
// a malformed format descriptor or header, a header changed while queued,
// Configure while a device is open, notifications that could not be delivered
// within the watchdog time. (A block need not hold whole frames: the device
// plays the blocks as one stream of bytes.)
std::vector<std::string> Violations();
// Violations() and clears them, for tests that provoke some on purpose.
std::vector<std::string> TakeViolations();

int OpenDevices();  // devices open now
int QueuedBlocks(); // blocks written and not yet reported done (all devices)
int QueryCount();   // WAVE_FORMAT_QUERY calls since Configure
int OpenCount();    // real open calls since Configure, failed ones included
// The descriptor passed to the last query or open: 18 + cbSize bytes copied
// (18 for WAVE_FORMAT_PCM, at most 40), the rest zero.
WAVEFORMATEXTENSIBLE LastFormat();

// Manual pacing: lets the next `count` queued blocks (in write order, across
// devices) finish, and returns once their WOM_DONE notifications have been
// delivered by the device threads. Blocks written later are not affected.
void CompleteBlocks(int count);
// Waits until nothing is queued and every notification owed (WOM_OPEN,
// WOM_DONE, WOM_CLOSE) has been delivered and its callback has returned.
// false on timeout. A client that writes its next block from its own thread
// after a WOM_DONE can look quiet in between: to wait for a stream that the
// client closes at its end, use WaitClosed.
bool WaitQuiet(int timeoutMs);
// Waits until no device is open and every notification owed has been
// delivered. false on timeout.
bool WaitClosed(int timeoutMs);

} // namespace vantoro::sim
