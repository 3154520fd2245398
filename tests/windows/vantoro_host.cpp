// vantoro_host.exe: a 32-bit Windows host for Vantoro.dll, run under Wine by
// scripts/test-win32. It loads the library at run time, as an application
// built with another compiler would, and drives it only through its export
// table.
//
//   vantoro_host.exe cases
//       lists the self-test cases.
//   vantoro_host.exe selftest CASE
//       one case: exports by ordinal and by name, calling conventions (ESP
//       around every call, EAX of the member functions), progress sequences,
//       start and stop, or one of the warning boxes, read and dismissed while
//       it is shown (no-device expects a configuration without an output
//       device). One line per check: PASS or FAIL.
//   vantoro_host.exe batch CAPTURE LIST
//       plays every signal in LIST, one per line
//           NAME API KIND SECONDS RATEINDEX BITS CHANNELS LOOP AMP SWEEPMODE FREQ FROM TO
//       (API 0 fnVantoroCreateAndPlay, 1 fnVantoroCreateAndPlay1), waits
//       until the device's capture file CAPTURE holds the whole signal (three
//       times over for a looping one), stops, and renames the capture to NAME.raw beside
//       it. Noise is seeded from the clock in whole seconds; the clock is read
//       just before and after the start, and a start whose readings differ is
//       played again. Prints: PLAY NAME rc=R seed=S bytes=B.
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "vantoro.h"

namespace {

// ---------------------------------------------------------------------------
// Calls with the stack pointer observed.

struct CallRecord {
    uint32_t eax;
    uint32_t espBeforePush; // before the arguments are pushed
    uint32_t espAtCall;     // after the pushes, as the callee finds it
    uint32_t espAfter;      // right after the callee returned
};

} // namespace

// Pushes words[count-1] .. words[0] (words[0] ends at the lowest address, as
// the first argument), loads ECX with `self`, calls fn and records EAX and
// ESP. The frame is restored from EBP, so a callee that pops the wrong amount
// is measured, not fatal.
extern "C" void VantoroHostCall(const void* fn, const uint32_t* words, uint32_t count, void* self,
                                CallRecord* record);
asm(R"(
    .text
    .globl _VantoroHostCall
_VantoroHostCall:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 24(%ebp), %ebx
    movl %esp, 4(%ebx)
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    movl %esp, 8(%ebx)
    movl 20(%ebp), %ecx
    movl 8(%ebp), %eax
    call *%eax
    movl 24(%ebp), %ebx
    movl %eax, 0(%ebx)
    movl %esp, 12(%ebx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {

enum class Convention { Cdecl, CalleePops };

// True when ESP after the call is what the convention promises: unchanged
// from the call for the C convention (the caller removes the arguments), back
// to before the pushes when the callee removes them.
bool EspKept(const CallRecord& r, Convention c) {
    return c == Convention::Cdecl ? r.espAfter == r.espAtCall : r.espAfter == r.espBeforePush;
}

struct Words {
    std::vector<uint32_t> w;
    Words& Int(int32_t v) {
        w.push_back(static_cast<uint32_t>(v));
        return *this;
    }
    Words& Ptr(const void* p) {
        w.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)));
        return *this;
    }
    Words& Double(double d) {
        uint32_t halves[2];
        std::memcpy(halves, &d, sizeof d);
        w.push_back(halves[0]);
        w.push_back(halves[1]);
        return *this;
    }
};

CallRecord Call(const void* fn, const Words& words, void* self = nullptr) {
    CallRecord r{};
    VantoroHostCall(fn, words.w.data(), static_cast<uint32_t>(words.w.size()), self, &r);
    return r;
}

// ---------------------------------------------------------------------------
// The library.

HMODULE library = nullptr;
const void* byOrdinal[7] = {};

const void* Export(int ordinal) {
    return byOrdinal[ordinal];
}

int passed = 0;
int failed = 0;

void Report(bool ok, const char* name, const std::string& detail = {}) {
    if (ok) {
        std::printf("PASS %s\n", name);
        ++passed;
    } else {
        std::printf("FAIL %s: %s\n", name, detail.c_str());
        ++failed;
    }
    std::fflush(stdout);
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

bool LoadVantoro() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    dir.resize(dir.find_last_of("\\/") + 1);
    library = LoadLibraryA((dir + "Vantoro.dll").c_str());
    if (!library) return false;
    for (int k = 1; k <= 6; ++k)
        byOrdinal[k] = reinterpret_cast<const void*>(
            GetProcAddress(library, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(k))));
    return true;
}

// Sample values a start synthesises, or -1; through the export, ESP checked.
int32_t ProgressRange(int32_t seconds, int32_t rateIndex, int32_t channels, bool* espOk = nullptr) {
    const CallRecord r = Call(Export(3), Words{}.Int(seconds).Int(rateIndex).Int(0).Int(channels));
    if (espOk) *espOk = EspKept(r, Convention::Cdecl);
    return static_cast<int32_t>(r.eax);
}

struct Start {
    int api = 0; // 0 fnVantoroCreateAndPlay, 1 fnVantoroCreateAndPlay1
    int32_t kind = 0, seconds = 1, rateIndex = 3, bits = 16, channels = 2, loop = 0;
    double amplitude = 1.0;
    int32_t sweepMode = 0, frequency = 1000, sweepStart = 0, sweepEnd = 0;
    ProgressCallback progress = nullptr;
};

int32_t StartSignal(const Start& s, bool* espOk = nullptr) {
    Words w;
    w.Int(s.kind).Int(s.seconds).Int(s.rateIndex).Int(s.bits).Int(s.channels).Int(s.loop);
    w.Double(s.amplitude).Int(s.sweepMode).Int(s.frequency).Int(s.sweepStart).Int(s.sweepEnd);
    if (s.api == 0) w.Ptr(reinterpret_cast<const void*>(s.progress));
    const CallRecord r = Call(Export(s.api == 0 ? 1 : 4), w);
    if (espOk) *espOk = EspKept(r, Convention::Cdecl);
    return static_cast<int32_t>(r.eax);
}

int32_t Stop(bool* espOk = nullptr) {
    const CallRecord r = Call(Export(2), Words{});
    if (espOk) *espOk = EspKept(r, Convention::Cdecl);
    return static_cast<int32_t>(r.eax);
}

// ---------------------------------------------------------------------------
// Progress reports.

std::vector<uint32_t> progressValues;
// ESP as the callback finds it, and whether the library's calls left it
// balanced: each call is made from the same place in the frame loop, so with
// the callee popping its argument every call sees the same ESP.
uint32_t progressEspFirst = 0;
bool progressEspSteady = true;

void __stdcall OnProgress(uint32_t written) {
    uint32_t esp;
    asm volatile("movl %%esp, %0" : "=r"(esp));
    if (progressValues.empty())
        progressEspFirst = esp;
    else if (esp != progressEspFirst)
        progressEspSteady = false;
    progressValues.push_back(written);
}

// "" when the values are step, 2*step, ..., total; else what is wrong.
std::string CheckProgress(uint32_t step, int32_t total) {
    if (total <= 0) return Format("range %d", total);
    if (progressValues.size() * step != static_cast<uint32_t>(total))
        return Format("%u values, expected %d", static_cast<unsigned>(progressValues.size()),
                      total / static_cast<int32_t>(step));
    for (size_t k = 0; k < progressValues.size(); ++k)
        if (progressValues[k] != (k + 1) * step)
            return Format("value %u is %u, expected %u", static_cast<unsigned>(k),
                          progressValues[k], static_cast<unsigned>((k + 1) * step));
    if (!progressEspSteady) return "ESP differed between progress calls";
    return {};
}

// ---------------------------------------------------------------------------
// Warning boxes: a watcher thread finds the box while it is shown, reads it,
// waits a moment, and presses OK.

std::atomic<int> sequence{0};

struct BoxWatch {
    std::atomic<bool> stop{false};
    std::atomic<bool> callReturned{false};
    bool seen = false;
    bool seenBeforeReturn = false;
    bool ownerless = false;
    bool onCallingThread = false;
    std::string caption, text;
    int seenAt = 0, dismissedAt = 0;
    DWORD callingThread = 0;
    DWORD timeoutMs = 60000;
    HANDLE thread = nullptr;

    static DWORD WINAPI Run(LPVOID self) {
        static_cast<BoxWatch*>(self)->Watch();
        return 0;
    }

    static BOOL CALLBACK FindStaticText(HWND child, LPARAM out) {
        char cls[64] = "", text[512] = "";
        GetClassNameA(child, cls, sizeof cls);
        GetWindowTextA(child, text, sizeof text);
        if (lstrcmpiA(cls, "Static") == 0 && text[0]) {
            *reinterpret_cast<std::string*>(out) = text;
            return FALSE;
        }
        return TRUE;
    }

    void Watch() {
        const DWORD begin = GetTickCount();
        while (!stop.load() && GetTickCount() - begin < timeoutMs) {
            HWND box = nullptr;
            while ((box = FindWindowExA(nullptr, box, "#32770", nullptr))) {
                DWORD pid = 0;
                const DWORD tid = GetWindowThreadProcessId(box, &pid);
                if (pid != GetCurrentProcessId() || !IsWindowVisible(box)) continue;
                seen = true;
                seenBeforeReturn = !callReturned.load();
                seenAt = ++sequence;
                onCallingThread = tid == callingThread;
                ownerless = GetWindow(box, GW_OWNER) == nullptr;
                char buffer[512] = "";
                GetWindowTextA(box, buffer, sizeof buffer);
                caption = buffer;
                EnumChildWindows(box, FindStaticText, reinterpret_cast<LPARAM>(&text));
                // The start must still be waiting while the box is up.
                Sleep(300);
                if (callReturned.load()) seenBeforeReturn = false;
                dismissedAt = ++sequence;
                HWND ok = GetDlgItem(box, IDOK);
                if (ok)
                    PostMessageA(ok, BM_CLICK, 0, 0);
                else
                    PostMessageA(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(20);
        }
    }

    void Begin() {
        callingThread = GetCurrentThreadId();
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }

    // After the call under watch returned.
    int End(DWORD waitMs) {
        callReturned.store(true);
        const int returnedAt = ++sequence;
        if (WaitForSingleObject(thread, waitMs) == WAIT_TIMEOUT) {
            stop.store(true);
            WaitForSingleObject(thread, INFINITE);
        }
        CloseHandle(thread);
        return returnedAt;
    }
};

// A start expected to fail with the warning box `message`.
void ExpectBox(const char* name, const Start& s, const char* message) {
    BoxWatch watch;
    watch.Begin();
    bool espOk = false;
    const int32_t rc = StartSignal(s, &espOk);
    const int returnedAt = watch.End(0);
    std::string problem;
    if (rc != -1) problem += Format("start returned %d; ", rc);
    if (!espOk) problem += "ESP changed; ";
    if (!watch.seen) {
        problem += "no box shown; ";
    } else {
        if (watch.text != message) problem += "text [" + watch.text + "]; ";
        if (watch.caption != "Error") problem += "caption [" + watch.caption + "]; ";
        if (!watch.seenBeforeReturn || watch.dismissedAt > returnedAt)
            problem += "start returned before the box was dismissed; ";
        if (!watch.onCallingThread) problem += "box not on the calling thread; ";
        if (!watch.ownerless) problem += "box has an owner; ";
    }
    Report(problem.empty(), name, problem);
    if (watch.seen)
        std::printf("  box: caption [%s] text [%s]\n", watch.caption.c_str(), watch.text.c_str());
}

// A call expected to show no box.
template <class F> bool NoBox(F call, DWORD settleMs) {
    BoxWatch watch;
    watch.timeoutMs = settleMs;
    watch.Begin();
    call();
    watch.End(settleMs + 1000);
    return !watch.seen;
}

// ---------------------------------------------------------------------------
// The self-test.

using ThiscallCtor = void*(__attribute__((thiscall)) *)(void* self);
using ThiscallAssign = void*(__attribute__((thiscall)) *)(void* self, const void* other);

void TestExports() {
    static const char* const kNames[7] = {nullptr,
                                          "fnVantoroCreateAndPlay",
                                          "PlayStop",
                                          "GetProgressRang",
                                          "fnVantoroCreateAndPlay1",
                                          "??0CVantoro@@QAE@XZ",
                                          "??4CVantoro@@QAEAAV0@ABV0@@Z"};
    std::string problem;
    for (int k = 1; k <= 6; ++k) {
        const void* named = reinterpret_cast<const void*>(GetProcAddress(library, kNames[k]));
        if (!byOrdinal[k] || named != byOrdinal[k])
            problem += Format("ordinal %d %p, %s %p; ", k, byOrdinal[k], kNames[k], named);
    }
    if (GetProcAddress(library, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(7))))
        problem += "an ordinal 7 exists; ";
    Report(problem.empty(), "exports by ordinal and by name", problem);
}

void TestProgressRange() {
    struct Case {
        int32_t seconds, rateIndex, channels, expected;
    };
    static const Case kCases[] = {
        {1, 3, 2, 88200}, {2, 0, 1, 22050}, {1, 6, 0, 384000}, {3, 4, 6, 864000}, {0, 2, 2, 0}};
    std::string problem;
    for (const Case& c : kCases) {
        bool espOk = false;
        const int32_t got = ProgressRange(c.seconds, c.rateIndex, c.channels, &espOk);
        if (got != c.expected || !espOk)
            problem += Format("(%d,%d,%d) = %d%s; ", c.seconds, c.rateIndex, c.channels, got,
                              espOk ? "" : " ESP changed");
    }
    Report(problem.empty(), "GetProgressRang values, C convention", problem);
}

void TestClass() {
    // As an MSVC host would hold it: CVantoro is empty, one byte.
    alignas(4) unsigned char object[4] = {0x5a, 0x5a, 0x5a, 0x5a};
    alignas(4) unsigned char other[4] = {0xa5, 0xa5, 0xa5, 0xa5};
    std::string problem;

    const CallRecord ctor = Call(Export(5), Words{}, object);
    if (ctor.eax != reinterpret_cast<uintptr_t>(object)) problem += "constructor EAX != this; ";
    if (!EspKept(ctor, Convention::CalleePops)) problem += "constructor ESP changed; ";

    const CallRecord assign = Call(Export(6), Words{}.Ptr(other), object);
    if (assign.eax != reinterpret_cast<uintptr_t>(object)) problem += "assignment EAX != this; ";
    if (!EspKept(assign, Convention::CalleePops))
        problem += Format("assignment left ESP at %+d; ",
                          static_cast<int>(assign.espAfter - assign.espBeforePush));

    // The same through typed thiscall pointers, as compiled host code calls.
    const auto construct = reinterpret_cast<ThiscallCtor>(const_cast<void*>(Export(5)));
    const auto assignTo = reinterpret_cast<ThiscallAssign>(const_cast<void*>(Export(6)));
    if (construct(other) != other) problem += "typed constructor returned another pointer; ";
    if (assignTo(other, object) != other) problem += "typed assignment returned another pointer; ";
    Report(problem.empty(), "CVantoro members: thiscall, EAX = this", problem);
}

void TestPlayWithProgress(const char* name, Start s) {
    progressValues.clear();
    progressEspSteady = true;
    s.progress = &OnProgress;
    const uint32_t step = s.channels == 0 ? 2u : static_cast<uint32_t>(s.channels);
    const int32_t total = ProgressRange(s.seconds, s.rateIndex, s.channels);
    bool startEsp = false, stopEsp = false;
    const int32_t rc = StartSignal(s, &startEsp);
    std::string problem;
    if (rc != 0) problem += Format("start returned %d; ", rc);
    if (!startEsp) problem += "start ESP changed; ";
    const std::string progress = CheckProgress(step, total);
    if (!progress.empty()) problem += "progress: " + progress + "; ";
    Sleep(100);
    const int32_t stopped = Stop(&stopEsp);
    if (stopped != 0) problem += Format("stop returned %d; ", stopped);
    if (!stopEsp) problem += "stop ESP changed; ";
    Report(problem.empty(), name, problem);
}

Start Tone() {
    Start tone;
    tone.seconds = 1;
    tone.rateIndex = 0;
    tone.channels = 2;
    return tone;
}

// The self-test cases. Each runs in a process of its own (scripts/test-win32
// starts the host once per case), so that every case starts from a fresh
// engine and each process streams at most one or two signals.
void CaseExports() {
    TestExports();
}

void CaseProgressRange() {
    TestProgressRange();
}

void CaseClass() {
    TestClass();
}

void CaseProgressStereo() {
    TestPlayWithProgress("start with progress 2, 4, ..., GetProgressRang; stop", Tone());
}

void CaseProgressMono() {
    Start mono = Tone();
    mono.channels = 1;
    mono.bits = 8;
    mono.kind = 2;
    TestPlayWithProgress("8-bit mono ramp, progress 1, 2, 3, ...", mono);
}

void CaseProgressAntiphase() {
    Start antiphase = Tone();
    antiphase.channels = 0;
    antiphase.bits = 32;
    antiphase.kind = 3;
    TestPlayWithProgress("antiphase float noise, progress in steps of two", antiphase);
}

void CaseProgressSweep() {
    Start sweep = Tone();
    sweep.sweepMode = 1;
    sweep.sweepStart = 100;
    sweep.sweepEnd = 5000;
    TestPlayWithProgress("linear sweep with progress", sweep);
}

void CaseCreateAndPlay1() {
    Start s = Tone();
    s.api = 1;
    s.sweepMode = 1;
    s.sweepStart = 20;
    s.sweepEnd = 2000;
    bool startEsp = false, stopEsp = false;
    const int32_t rc = StartSignal(s, &startEsp);
    Sleep(100);
    const int32_t stopped = Stop(&stopEsp);
    Report(rc == 0 && stopped == 0 && startEsp && stopEsp,
           "fnVantoroCreateAndPlay1 start and stop, C convention",
           Format("rc %d stop %d esp %d/%d", rc, stopped, startEsp, stopEsp));
}

// A looping signal holds the engine: a second start is turned away with the
// busy box, and the first plays on until stopped.
void CaseBusy() {
    Start loop = Tone();
    loop.loop = 1;
    const int32_t rc = StartSignal(loop);
    Report(rc == 0, "looping start", Format("rc %d", rc));
    Sleep(300);
    ExpectBox("second start while playing: busy box", Tone(),
              "Media Engin is runing,stop it first.");
    Report(Stop() == 0, "stop of the looping signal");
}

// GetProgressRang with an invalid rate code leaves the engine held until
// PlayStop, like a failed start; after the stop a start succeeds.
void CaseInvalidRate() {
    const int32_t range = ProgressRange(1, 7, 2);
    Report(range == -1, "GetProgressRang of rate code 7 is -1", Format("%d", range));
    ExpectBox("start after an invalid rate code: busy box", Tone(),
              "Media Engin is runing,stop it first.");
    Stop();
    const int32_t rc = StartSignal(Tone());
    Report(rc == 0, "start after PlayStop", Format("rc %d", rc));
    Stop();
}

// Samples of 20 and 24 bits travel in 32-bit containers, which the wave
// output refuses at the format query.
void CaseUnsupported(int32_t bits) {
    Start s = Tone();
    s.bits = bits;
    const std::string name = Format("%d-bit start: unsupported-format box", bits);
    ExpectBox(name.c_str(), s, "UnSupported Format.");
    Report(Stop() == 0, "stop after the refused format");
}

// An invalid width fails without a box and holds the engine until PlayStop.
void CaseInvalidWidth() {
    Start s = Tone();
    s.bits = 12;
    int32_t rc = 0;
    const bool quiet = NoBox([&] { rc = StartSignal(s); }, 1500);
    Report(rc == -1 && quiet, "12-bit start fails without a box",
           Format("rc %d box %d", rc, !quiet));
    ExpectBox("start after the failed one: busy box", Tone(),
              "Media Engin is runing,stop it first.");
    Report(Stop() == 0, "stop after the failed start");
}

// Run with no output device.
void CaseNoDevice() {
    ExpectBox("start with no output device: open-failure box", Tone(),
              "Failed to open waveform output device.");
    Report(Stop() == 0, "stop after the failed open");
    ExpectBox("again after the stop: the same box", Tone(),
              "Failed to open waveform output device.");
    Stop();
}

struct SelfTestCase {
    const char* name;
    void (*run)();
};
const SelfTestCase kSelfTestCases[] = {
    {"exports", CaseExports},
    {"progress-range", CaseProgressRange},
    {"class", CaseClass},
    {"progress-stereo", CaseProgressStereo},
    {"progress-mono", CaseProgressMono},
    {"progress-antiphase", CaseProgressAntiphase},
    {"progress-sweep", CaseProgressSweep},
    {"play1", CaseCreateAndPlay1},
    {"busy", CaseBusy},
    {"invalid-rate", CaseInvalidRate},
    {"unsupported-24", [] { CaseUnsupported(24); }},
    {"unsupported-20", [] { CaseUnsupported(20); }},
    {"invalid-width", CaseInvalidWidth},
    {"no-device", CaseNoDevice},
};

// ---------------------------------------------------------------------------
// Captures.

int64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint32_t ContainerBytes(int32_t bits) {
    return bits == 8 ? 1 : (bits == 16 ? 2 : 4);
}

// Waits until the capture holds at least `bytes` and, unless `growing` (a
// looping signal never ends), has stopped growing.
int64_t WaitForCapture(const std::string& capture, int64_t bytes, bool growing, DWORD timeoutMs) {
    const DWORD begin = GetTickCount();
    int64_t last = -2;
    DWORD stableSince = GetTickCount();
    for (;;) {
        const int64_t size = FileSize(capture);
        if (growing && size >= bytes) return size;
        if (size != last) {
            last = size;
            stableSince = GetTickCount();
        } else if (size >= bytes && GetTickCount() - stableSince >= 250) {
            return size;
        }
        if (GetTickCount() - begin > timeoutMs) return size;
        Sleep(20);
    }
}

int Batch(const std::string& capture, const std::string& list) {
    FILE* in = std::fopen(list.c_str(), "r");
    if (!in) {
        std::printf("cannot read %s\n", list.c_str());
        return 2;
    }
    const std::string dir = capture.substr(0, capture.find_last_of("\\/") + 1);
    char line[512];
    int failures = 0;
    while (std::fgets(line, sizeof line, in)) {
        char name[128];
        Start s;
        if (std::sscanf(line, "%127s %d %d %d %d %d %d %d %lf %d %d %d %d", name, &s.api, &s.kind,
                        &s.seconds, &s.rateIndex, &s.bits, &s.channels, &s.loop, &s.amplitude,
                        &s.sweepMode, &s.frequency, &s.sweepStart, &s.sweepEnd) != 13)
            continue;
        const int64_t signalBytes =
            static_cast<int64_t>(ProgressRange(s.seconds, s.rateIndex, s.channels)) *
            ContainerBytes(s.bits);
        // A looping signal is left to come round twice more before the stop.
        const int64_t wanted = s.loop ? 3 * signalBytes : signalBytes;
        int32_t rc = -1;
        long long seed = -1;
        int64_t size = -1;
        for (int attempt = 0; attempt < 5; ++attempt) {
            DeleteFileA(capture.c_str());
            const time_t before = std::time(nullptr);
            rc = StartSignal(s);
            const time_t after = std::time(nullptr);
            size = rc == 0 ? WaitForCapture(capture, wanted, s.loop != 0, 60000) : -1;
            Stop();
            Sleep(100);
            seed = static_cast<long long>(before);
            if (s.kind < 3 || before == after) break;
            seed = -1;
        }
        const std::string target = dir + name + ".raw";
        DeleteFileA(target.c_str());
        if (!MoveFileA(capture.c_str(), target.c_str()))
            size = -1;
        else
            size = FileSize(target);
        std::printf("PLAY %s rc=%d seed=%lld bytes=%lld\n", name, rc, seed,
                    static_cast<long long>(size));
        std::fflush(stdout);
        if (rc != 0) ++failures;
    }
    std::fclose(in);
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "cases") {
        for (const SelfTestCase& c : kSelfTestCases)
            std::printf("%s\n", c.name);
        return 0;
    }
    if (!LoadVantoro()) {
        std::printf("FAIL load Vantoro.dll: error %lu\n", GetLastError());
        return 1;
    }
    if (mode == "batch" && argc == 4) return Batch(argv[2], argv[3]);
    if (mode == "selftest" && argc == 3) {
        for (const SelfTestCase& c : kSelfTestCases)
            if (c.name == std::string(argv[2])) {
                c.run();
                std::printf("%d passed, %d failed (case %s)\n", passed, failed, c.name);
                return failed == 0 ? 0 : 1;
            }
    }
    std::printf("usage: vantoro_host.exe cases | selftest CASE | batch CAPTURE LIST\n");
    return 2;
}
