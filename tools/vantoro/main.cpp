// vantoro: render a test signal to a WAV file, or play it on the default
// output device.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "engine/heap.h"
#include "engine/playback.h"
#include "engine/signal.h"
#include "engine/stream_format.h"
#include "generators/frame_writer.h"
#include "tools/vantoro/wav_file.h"
#include "vantoro.h"

namespace {

using vantoro::SignalRequest;

struct Options {
    std::string signal;
    int32_t seconds = 5;
    int32_t rate = 44100;
    int32_t bits = 16;
    int32_t channels = 2;
    double amplitude = 1.0;
    int32_t frequency = 1000;
    std::string sweep;
    int32_t from = 0;
    int32_t to = 0;
    int64_t seed = -1;
    bool loop = false;
    std::string output;
};

const std::vector<std::string> kSignals = {"sine", "square", "ramp", "white", "pink", "brown"};
const std::vector<int32_t> kRates = {11025, 22050, 32000, 44100, 48000, 96000, 192000};

void AddSignalOptions(CLI::App* command, Options& o) {
    command->add_option("SIGNAL", o.signal, "sine, square, ramp, white, pink or brown")
        ->required()
        ->check(CLI::IsMember(kSignals));
    command->add_option("--seconds", o.seconds, "duration in whole seconds")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->add_option("--rate", o.rate, "sample rate in Hz")
        ->capture_default_str()
        ->check(CLI::IsMember(kRates));
    command->add_option("--bits", o.bits, "sample width: 8, 16, 20, 24 or 32 (float)")
        ->capture_default_str()
        ->check(CLI::IsMember({8, 16, 20, 24, 32}));
    command->add_option("--channels", o.channels, "channel count, 0 = two channels in antiphase")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    command->add_option("--amplitude", o.amplitude, "amplitude factor")->capture_default_str();
    command->add_option("--freq", o.frequency, "frequency of the fixed tone in Hz")
        ->capture_default_str();
    auto* sweep = command->add_option("--sweep", o.sweep, "sweep instead of a fixed tone")
                      ->check(CLI::IsMember({"linear", "log"}));
    auto* from = command->add_option("--from", o.from, "first frequency of the sweep in Hz");
    auto* to = command->add_option("--to", o.to, "last frequency of the sweep in Hz");
    sweep->needs(from, to);
    from->needs(sweep);
    to->needs(sweep);
}

// Progress bar on standard error, drawn only when it is a terminal.
uint32_t progressTotal = 0;
uint32_t progressNext = 0;

void VANTORO_STDCALL DrawProgress(uint32_t written) {
    if (written < progressNext && written != progressTotal) return;
    const int percent =
        progressTotal ? static_cast<int>(uint64_t{written} * 100 / progressTotal) : 100;
    const int filled = percent * 40 / 100;
    std::fprintf(stderr, "\rsynthesising [%.*s%*s] %3d%%", filled,
                 "########################################", 40 - filled, "", percent);
    if (written >= progressTotal) std::fputc('\n', stderr);
    progressNext = written + std::max<uint32_t>(1, progressTotal / 100);
}

ProgressCallback ProgressFor(const SignalRequest& r) {
    if (!isatty(STDERR_FILENO)) return nullptr;
    const int32_t total = GetProgressRang(r.seconds, r.rateIndex, r.bits, r.channels);
    if (total <= 0) return nullptr;
    progressTotal = static_cast<uint32_t>(total);
    progressNext = 0;
    return &DrawProgress;
}

int32_t RateIndexFor(int32_t rate) {
    for (size_t k = 0; k < kRates.size(); ++k)
        if (kRates[k] == rate) return static_cast<int32_t>(k);
    return -1;
}

// Turns the options into a request; prints why and returns false when they
// do not fit together.
bool MakeRequest(const Options& o, SignalRequest& r) {
    for (size_t k = 0; k < kSignals.size(); ++k)
        if (kSignals[k] == o.signal) r.kind = static_cast<int32_t>(k);
    r.seconds = o.seconds;
    r.rateIndex = RateIndexFor(o.rate);
    r.bits = o.bits;
    r.channels = o.channels;
    r.amplitude = o.amplitude;
    r.frequency = o.frequency;
    r.sweepMode = o.sweep.empty() ? 0 : (o.sweep == "linear" ? 1 : 2);
    r.sweepStart = o.from;
    r.sweepEnd = o.to;
    const uint32_t container = vantoro::BytesPerValue(static_cast<uint32_t>(o.bits));
    if (!vantoro::SignalFits(o.seconds, static_cast<uint32_t>(o.rate), o.channels, container)) {
        std::fprintf(stderr,
                     "--seconds: %d s at this rate, width and channel count exceeds the 2 GiB "
                     "signal limit\n",
                     o.seconds);
        return false;
    }
    if (o.seed >= 0) {
        if (r.kind < 3) {
            std::fprintf(stderr, "--seed: applies only to white, pink and brown\n");
            return false;
        }
        r.seeded = true;
        r.seed = static_cast<uint32_t>(o.seed);
    }
    return true;
}

int Render(const Options& o) {
    SignalRequest r;
    if (!MakeRequest(o, r)) return 2;
    r.progress = ProgressFor(r);
    const vantoro::Synthesis s = vantoro::SynthesizeSignal(r, vantoro::SweepModeOne::Linear);
    if (s.status != vantoro::SynthesisStatus::Ready) {
        std::fprintf(stderr, "vantoro: cannot allocate %d bytes for the signal\n",
                     s.layout.signalBytes);
        vantoro::HeapFree(s.buffer);
        return 1;
    }
    const WAVEFORMATEXTENSIBLE format =
        vantoro::BuildStreamFormat(s.layout.sampleRate, s.layout.channelCount,
                                   static_cast<uint32_t>(o.bits), s.layout.containerBytes);
    const bool written = vantoro::WriteWavFile(o.output, format, s.buffer,
                                               static_cast<uint32_t>(s.layout.signalBytes));
    vantoro::HeapFree(s.buffer);
    if (!written) {
        std::fprintf(stderr, "vantoro: cannot write %s\n", o.output.c_str());
        return 1;
    }
    return 0;
}

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
    interrupted = 1;
}

int Play(const Options& o) {
    SignalRequest r;
    if (!MakeRequest(o, r)) return 2;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int32_t started = fnVantoroCreateAndPlay(
        r.kind, r.seconds, r.rateIndex, r.bits, r.channels, o.loop ? 1 : 0, r.amplitude,
        r.sweepMode, r.frequency, r.sweepStart, r.sweepEnd, ProgressFor(r));
    if (started != 0) {
        PlayStop();
        return 1;
    }
    const bool showTime = isatty(STDERR_FILENO);
    const auto begin = std::chrono::steady_clock::now();
    // A signal of no length queues nothing and never ends by itself.
    while (r.seconds > 0 && !interrupted && vantoro::EngineBusy()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (showTime) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            if (o.loop)
                std::fprintf(stderr, "\rplaying %.1f s (looping, Ctrl-C stops)", elapsed);
            else
                std::fprintf(stderr, "\rplaying %.1f s / %d s", elapsed, o.seconds);
        }
    }
    if (showTime) std::fputc('\n', stderr);
    PlayStop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"vantoro: audio test signals"};
    app.require_subcommand(1);
    Options options;

    CLI::App* render = app.add_subcommand("render", "synthesise a signal into a WAV file");
    AddSignalOptions(render, options);
    render->add_option("--seed", options.seed, "noise only: seed instead of the clock")
        ->check(CLI::Range(int64_t{0}, int64_t{UINT32_MAX}));
    render->add_option("-o,--output", options.output, "output WAV file")->required();

    CLI::App* play = app.add_subcommand("play", "play a signal on the default output device");
    AddSignalOptions(play, options);
    play->add_flag("--loop", options.loop, "repeat until Ctrl-C");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // Help for a subcommand shows its options; the top-level help shows
        // every subcommand with its options.
        if (render->parsed())
            std::fputs(render->help().c_str(), stdout);
        else if (play->parsed())
            std::fputs(play->help().c_str(), stdout);
        else
            std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        for (char& c : message)
            if (c == '\n') c = ' ';
        std::fprintf(stderr, "vantoro: %s\n", message.c_str());
        return 2;
    }
    if (render->parsed()) return Render(options);
    return Play(options);
}
