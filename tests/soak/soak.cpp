// The soak: looping signals streamed for a long time through the ALSA
// backend into ALSA's file plugin, checking that what the device receives is
// the signal repeated byte for byte (no gap, no duplicate, no lost block) and
// that memory use stays flat.
//
// The default PCM is the file plugin over the null PCM, writing into a FIFO
// that this program reads. The null PCM takes frames as fast as they come, so
// the reader paces the stream instead: it reads at most `speed` times the
// signal's byte rate, and the file plugin's writes block while the FIFO is
// full. Every byte read is compared at once with the byte the signal has at
// that offset, so nothing is stored and the soak can run for hours.
//
// The run is a sequence of rounds. Each round starts one looping signal (a
// pattern buffer through StartSynthesized, or a tone through the exported
// start), lets it play for a few seconds, and stops it with PlayStop. A
// round passes when the bytes captured are a prefix of the repeated signal
// at least one pass long, the heap holds no more than the buffer and four
// headers while playing and nothing after the stop. Resident memory is
// sampled every second; it must not grow after the first rounds.
//
//   vantoro_soak [--seconds N] [--round-seconds N] [--speed X]
//
// Exits 0 and prints a summary when every round passed, 1 otherwise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/heap.h"
#include "engine/playback.h"
#include "engine/signal.h"
#include "vantoro.h"

namespace {

using namespace vantoro;
using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 30;
    double roundSeconds = 4;
    double speed = 4;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (k + 1 >= argc) return false;
        const double value = std::atof(argv[++k]);
        if (value <= 0) return false;
        if (arg == "--seconds")
            o.seconds = value;
        else if (arg == "--round-seconds")
            o.roundSeconds = value;
        else if (arg == "--speed")
            o.speed = value;
        else
            return false;
    }
    return true;
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// What the reader checks the stream against, set by the main thread before
// each round starts.
struct Expectation {
    std::vector<uint8_t> signal;
    uint32_t bytesPerSecond = 0;
};

class Capture {
  public:
    explicit Capture(std::string fifo) : fifo_(std::move(fifo)) {}

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }

    void Finish() {
        quit_.store(true);
        // Unblocks a reader waiting in open() for the next writer.
        const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        thread_.join();
    }

    // Sets what the next data the FIFO carries must be.
    void Expect(Expectation e) {
        std::lock_guard lock(mutex_);
        expected_ = std::move(e);
        received_ = 0;
        mismatchAt_ = -1;
        sessionsWithData_ = 0;
        lastData_ = Clock::now();
    }

    // Waits until a writer that sent data has closed the FIFO; false on
    // timeout.
    bool AwaitSessionEnd(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return sessionsWithData_ > 0; });
    }

    uint64_t Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    int64_t MismatchAt() {
        std::lock_guard lock(mutex_);
        return mismatchAt_;
    }
    double SecondsSinceData() {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double>(Clock::now() - lastData_).count();
    }
    void SetSpeed(double speed) { speed_ = speed; }

  private:
    void Run() {
        std::vector<uint8_t> chunk(4096);
        while (!quit_.load()) {
            const int fd = open(fifo_.c_str(), O_RDONLY);
            if (fd < 0) {
                std::perror("soak: open capture FIFO");
                std::exit(1);
            }
            bool any = false;
            const auto begin = Clock::now();
            uint64_t sessionBytes = 0;
            for (;;) {
                // Pace: never more than speed x the byte rate since the session began.
                uint32_t rate;
                {
                    std::lock_guard lock(mutex_);
                    rate = expected_.bytesPerSecond;
                }
                const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
                const double allowed = (elapsed + 0.05) * rate * speed_;
                if (rate != 0 && static_cast<double>(sessionBytes) >= allowed) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                const ssize_t n = read(fd, chunk.data(), chunk.size());
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                any = true;
                sessionBytes += static_cast<uint64_t>(n);
                Check(chunk.data(), static_cast<size_t>(n));
            }
            close(fd);
            if (any) {
                std::lock_guard lock(mutex_);
                ++sessionsWithData_;
                changed_.notify_all();
            }
        }
    }

    void Check(const uint8_t* bytes, size_t n) {
        std::lock_guard lock(mutex_);
        const std::vector<uint8_t>& s = expected_.signal;
        for (size_t k = 0; k < n; ++k, ++received_) {
            if (mismatchAt_ >= 0) continue;
            if (s.empty() || bytes[k] != s[received_ % s.size()])
                mismatchAt_ = static_cast<int64_t>(received_);
        }
        lastData_ = Clock::now();
    }

    std::string fifo_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    std::atomic<double> speed_{1};
    std::mutex mutex_;
    std::condition_variable changed_;
    Expectation expected_;
    uint64_t received_ = 0;
    int64_t mismatchAt_ = -1;
    int sessionsWithData_ = 0;
    Clock::time_point lastData_ = Clock::now();
};

// A buffer whose bytes follow no short period, so any shift of the stream
// (a gap, a repeat, a lost block) shows as a mismatch within a few bytes.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    uint32_t x = seed;
    for (size_t k = 0; k < n; ++k) {
        x = x * 1664525u + 1013904223u;
        bytes[k] = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

struct Round {
    const char* what;
    bool pattern;  // StartSynthesized with a pattern buffer, else the exported start
    int32_t bytes; // pattern length (8-bit mono at 11025 Hz)
    int32_t kind, seconds, rateIndex, bits, channels;
};

// Pattern lengths that are no multiple of the 24000-byte block (one ends in
// a block of a single byte), tones of several blocks and one the first queue
// covers whole.
const Round kRounds[] = {
    {"pattern of 100003 bytes", true, 100003, 0, 0, 0, 8, 1},
    {"sine, 16-bit stereo, 1 s", false, 0, 0, 1, 0, 16, 2},
    {"pattern of 72001 bytes", true, 72001, 0, 0, 0, 8, 1},
    {"pattern of 30001 bytes", true, 30001, 0, 0, 0, 8, 1},
    {"square, 8-bit mono 22050 Hz, 3 s", false, 0, 1, 3, 1, 8, 1},
    {"pattern of 96000 bytes", true, 96000, 0, 0, 0, 8, 1},
    {"ramp, 24-bit mono, 1 s", false, 0, 2, 1, 0, 24, 1},
};

bool PlayRound(const Round& r, int index, const Options& o, Capture& capture, int64_t heapBase,
               std::vector<long>& rss) {
    Expectation e;
    int32_t result = -1;
    if (r.pattern) {
        e.signal = PatternBytes(static_cast<size_t>(r.bytes), 0x5eed0000u + index);
        e.bytesPerSecond = 11025;
        Synthesis s;
        s.status = SynthesisStatus::Ready;
        s.layout = {11025, 1, 1, r.bytes};
        s.buffer = static_cast<uint8_t*>(HeapAllocate(static_cast<size_t>(r.bytes) + 2));
        std::memcpy(s.buffer, e.signal.data(), e.signal.size());
        capture.Expect(e);
        result = StartSynthesized(s, 8, 1);
    } else {
        SignalRequest q;
        q.kind = r.kind;
        q.seconds = r.seconds;
        q.rateIndex = r.rateIndex;
        q.bits = r.bits;
        q.channels = r.channels;
        q.frequency = 997;
        const Synthesis s = SynthesizeSignal(q, SweepModeOne::Linear);
        if (s.status != SynthesisStatus::Ready) {
            std::fprintf(stderr, "soak: %s: cannot render the expected signal\n", r.what);
            return false;
        }
        e.signal.assign(s.buffer, s.buffer + s.layout.signalBytes);
        e.bytesPerSecond = s.layout.sampleRate * s.layout.channelCount * s.layout.containerBytes;
        HeapFree(s.buffer);
        capture.Expect(e);
        result = fnVantoroCreateAndPlay(r.kind, r.seconds, r.rateIndex, r.bits, r.channels, 1, 1.0,
                                        0, 997, 0, 0, nullptr);
    }
    if (result != 0) {
        std::fprintf(stderr, "soak: %s: the start failed\n", r.what);
        PlayStop();
        return false;
    }

    bool ok = true;
    const auto begin = Clock::now();
    int64_t heapMax = 0;
    while (std::chrono::duration<double>(Clock::now() - begin).count() < o.roundSeconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        heapMax = std::max(heapMax, HeapLiveBlocks() - heapBase);
        if (!EngineBusy()) {
            std::fprintf(stderr, "soak: %s: a looping signal stopped by itself\n", r.what);
            ok = false;
            break;
        }
        if (capture.SecondsSinceData() > 5) {
            std::fprintf(stderr, "soak: %s: nothing reached the device for 5 s\n", r.what);
            ok = false;
            break;
        }
        static auto lastSample = Clock::now();
        if (Clock::now() - lastSample >= std::chrono::seconds(1)) {
            lastSample = Clock::now();
            rss.push_back(ResidentKiB());
        }
    }
    PlayStop();
    // The device's close ends the plugin's write side of the FIFO.
    if (!capture.AwaitSessionEnd(std::chrono::seconds(10))) {
        std::fprintf(stderr, "soak: %s: the capture never ended\n", r.what);
        ok = false;
    }
    const uint64_t received = capture.Received();
    const int64_t mismatch = capture.MismatchAt();
    const int64_t heapAfter = HeapLiveBlocks() - heapBase;
    std::printf("round %d, %s: %llu bytes, %.1f passes, heap at most %lld blocks%s\n", index,
                r.what, static_cast<unsigned long long>(received),
                static_cast<double>(received) / static_cast<double>(e.signal.size()),
                static_cast<long long>(heapMax), mismatch >= 0 ? ", MISMATCH" : "");
    if (mismatch >= 0) {
        const size_t n = e.signal.size();
        std::fprintf(stderr,
                     "soak: %s: byte %lld (pass %lld, offset %lld, block %lld of the pass) is "
                     "not the signal's\n",
                     r.what, static_cast<long long>(mismatch),
                     static_cast<long long>(mismatch / static_cast<int64_t>(n)),
                     static_cast<long long>(mismatch % static_cast<int64_t>(n)),
                     static_cast<long long>((mismatch % static_cast<int64_t>(n)) / 24000));
        ok = false;
    }
    if (received < e.signal.size()) {
        std::fprintf(stderr, "soak: %s: not even one pass reached the device\n", r.what);
        ok = false;
    }
    if (heapMax > 5) {
        std::fprintf(stderr, "soak: %s: %lld heap blocks live while playing\n", r.what,
                     static_cast<long long>(heapMax));
        ok = false;
    }
    if (heapAfter != 0 || EngineBusy()) {
        std::fprintf(stderr, "soak: %s: %lld heap blocks left after PlayStop%s\n", r.what,
                     static_cast<long long>(heapAfter), EngineBusy() ? ", engine busy" : "");
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: vantoro_soak [--seconds N] [--round-seconds N] [--speed X]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    char pattern[] = "/tmp/vantoro-soak-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("soak: mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string fifo = dir + "/capture.fifo";
    const std::string config = dir + "/asound.conf";
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        std::perror("soak: mkfifo");
        return 1;
    }
    std::ofstream(config) << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << fifo
                          << "\"\n  format \"raw\"\n}\npcm.null { type null }\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

    Capture capture(fifo);
    capture.SetSpeed(o.speed);
    capture.Start();

    const int64_t heapBase = HeapLiveBlocks();
    std::vector<long> rss{ResidentKiB()};
    const auto begin = Clock::now();
    int rounds = 0, failed = 0;
    uint64_t total = 0;
    while (rounds == 0 ||
           std::chrono::duration<double>(Clock::now() - begin).count() + o.roundSeconds <=
               o.seconds) {
        const Round& r = kRounds[rounds % std::size(kRounds)];
        if (!PlayRound(r, rounds, o, capture, heapBase, rss)) ++failed;
        total += capture.Received();
        ++rounds;
        rss.push_back(ResidentKiB());
    }
    capture.Finish();

    // Flat memory: after the first round has loaded everything it needs, the
    // resident size may wander a little but not keep growing.
    const size_t settled = std::min<size_t>(rss.size() - 1, 4);
    const long first = rss[settled];
    const long last = rss.back();
    const long peak =
        *std::max_element(rss.begin() + static_cast<std::ptrdiff_t>(settled), rss.end());
    const bool flat = last - first <= 2048 && peak - first <= 4096;
    std::printf("%d rounds, %d failed, %llu bytes checked in %.0f s; resident %ld KiB after "
                "start-up, %ld KiB at the end, peak %ld KiB%s\n",
                rounds, failed, static_cast<unsigned long long>(total),
                std::chrono::duration<double>(Clock::now() - begin).count(), first, last, peak,
                flat ? "" : " (GROWING)");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    const bool passed = failed == 0 && flat;
    std::printf("soak: %d passed, %d failed\n", passed ? 1 : 0, passed ? 0 : 1);
    return passed ? 0 : 1;
}
