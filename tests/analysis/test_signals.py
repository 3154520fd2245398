#!/usr/bin/python3
"""What the rendered signals sound like, measured with a real analyser.

Each test renders WAV files with the command-line tool into a temporary
directory and analyses them with numpy and scipy: the tone's spectral peak, the
square's harmonics, the sweeps' instantaneous frequency, the noise colours'
spectral slopes and the repeatability of seeded noise.

The tool is taken from the VANTORO_CLI environment variable or from the first
command-line argument:

    VANTORO_CLI=build/vantoro /usr/bin/python3 tests/analysis/test_signals.py
    /usr/bin/python3 tests/analysis/test_signals.py build/vantoro [unittest options]
"""

import dataclasses
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from scipy import signal as sps

CLI = os.environ.get("VANTORO_CLI", "")

# The tail shared by the PCM and IEEE float subformat GUIDs; the first two
# bytes hold the format tag.
GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")
FORMAT_PCM = 1
FORMAT_FLOAT = 3
FORMAT_EXTENSIBLE = 0xFFFE


@dataclasses.dataclass
class Wav:
    rate: int
    channels: int
    container_bits: int
    valid_bits: int
    subformat: int
    channel_mask: int
    block_align: int
    byte_rate: int
    data: bytes
    # Sample values with full scale at +-1.0, shape (frames, channels).
    samples: np.ndarray


def read_wav(path):
    """Parses a WAVE_FORMAT_EXTENSIBLE file, decoding every supported width.

    The parser is our own, so 24-in-32 and float extensible files need nothing
    from scipy.io.wavfile.
    """
    with open(path, "rb") as f:
        raw = f.read()
    riff, riff_size, wave = struct.unpack_from("<4sI4s", raw, 0)
    if riff != b"RIFF" or wave != b"WAVE":
        raise ValueError(f"{path}: not a RIFF/WAVE file")
    if riff_size != len(raw) - 8:
        raise ValueError(f"{path}: RIFF size {riff_size}, file has {len(raw) - 8} bytes after it")
    chunks = {}
    pos = 12
    while pos + 8 <= len(raw):
        chunk_id, size = struct.unpack_from("<4sI", raw, pos)
        chunks[chunk_id] = raw[pos + 8 : pos + 8 + size]
        pos += 8 + size + (size & 1)
    fmt = chunks[b"fmt "]
    data = chunks[b"data"]
    if len(fmt) != 40:
        raise ValueError(f"{path}: fmt chunk of {len(fmt)} bytes, expected 40")
    tag, channels, rate, byte_rate, block_align, bits = struct.unpack_from("<HHIIHH", fmt, 0)
    extra, valid_bits, mask = struct.unpack_from("<HHI", fmt, 16)
    guid = fmt[24:40]
    subformat = struct.unpack_from("<H", guid, 0)[0]
    if tag != FORMAT_EXTENSIBLE or extra != 22 or guid[2:] != GUID_TAIL:
        raise ValueError(f"{path}: not an extensible fmt chunk")

    frames = len(data) // block_align
    body = data[: frames * block_align]
    if subformat == FORMAT_FLOAT and bits == 32:
        # Floats are stored at half scale.
        values = np.frombuffer(body, dtype="<f4").astype(np.float64) * 2.0
    elif subformat == FORMAT_PCM and bits == 8:
        values = (np.frombuffer(body, dtype=np.uint8).astype(np.float64) - 128.0) / 128.0
    elif subformat == FORMAT_PCM and bits == 16:
        values = np.frombuffer(body, dtype="<i2").astype(np.float64) / 32768.0
    elif subformat == FORMAT_PCM and bits == 32:
        # 20 and 24 bits sit in the upper bits of a 32-bit container.
        values = np.frombuffer(body, dtype="<i4").astype(np.float64) / 2147483648.0
    else:
        raise ValueError(f"{path}: subformat {subformat} at {bits} bits")
    return Wav(rate, channels, bits, valid_bits, subformat, mask, block_align, byte_rate, data,
               values.reshape(frames, channels))


class Renderer:
    """Runs `vantoro render` into one temporary directory."""

    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    def path(self, signal, args):
        self.count += 1
        name = f"{self.count:03d}_{signal}.wav"
        out = os.path.join(self.directory, name)
        command = [CLI, "render", signal, *[str(a) for a in args], "-o", out]
        result = subprocess.run(command, capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise AssertionError(f"{' '.join(command)} exited with {result.returncode}: "
                                 f"{result.stderr.strip()}")
        return out

    def render(self, signal, *args):
        return read_wav(self.path(signal, args))

    def render_bytes(self, signal, *args):
        with open(self.path(signal, args), "rb") as f:
            return f.read()


class SignalTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not CLI or not os.access(CLI, os.X_OK):
            raise RuntimeError(f"no vantoro tool at {CLI!r}: set VANTORO_CLI or pass its path")
        cls._tmp = tempfile.TemporaryDirectory(prefix="vantoro-analysis-")
        cls.renderer = Renderer(cls._tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def render(self, signal, *args):
        return self.renderer.render(signal, *args)


def spectrum(x, rate):
    """Magnitude spectrum with a Hann window, and the bin frequencies."""
    window = np.hanning(len(x))
    magnitude = np.abs(np.fft.rfft(x * window))
    return np.fft.rfftfreq(len(x), 1.0 / rate), magnitude


def band_power(freqs, magnitude, centre, half_width):
    band = np.abs(freqs - centre) <= half_width
    return float(np.sum(magnitude[band] ** 2))


def instantaneous_frequency(x, rate, smooth):
    """Frequency of each sample from the analytic signal's phase, averaged
    over `smooth` samples."""
    phase = np.unwrap(np.angle(sps.hilbert(x)))
    inst = np.diff(phase) * rate / (2.0 * np.pi)
    kernel = np.ones(smooth) / smooth
    return np.convolve(inst, kernel, mode="same")


def octave_slope(x, rate, low=50.0, high=5000.0):
    """Spectral slope in dB per octave: a Welch estimate averaged over
    third-octave bands from `low` to `high`, fitted against log2 f."""
    freqs, psd = sps.welch(x, fs=rate, nperseg=8192)
    edges = low * 2.0 ** (np.arange(0, np.log2(high / low) * 3 + 1) / 3.0)
    centres, levels = [], []
    for lo, hi in zip(edges[:-1], edges[1:]):
        band = (freqs >= lo) & (freqs < hi)
        if np.any(band):
            centres.append(np.sqrt(lo * hi))
            levels.append(10.0 * np.log10(np.mean(psd[band])))
    octaves = np.log2(np.array(centres))
    levels = np.array(levels)
    slope, offset = np.polyfit(octaves, levels, 1)
    residual = levels - (slope * octaves + offset)
    return slope, residual


class ToneTest(SignalTest):
    def test_sine_peak_at_the_asked_frequency(self):
        cases = [(1000, 44100), (440, 48000), (5000, 22050), (12345, 96000), (100, 11025),
                 (17000, 192000)]
        for freq, rate in cases:
            with self.subTest(freq=freq, rate=rate):
                wav = self.render("sine", "--seconds", 1, "--rate", rate, "--channels", 1,
                                  "--freq", freq)
                x = wav.samples[:, 0]
                freqs, magnitude = spectrum(x, rate)
                bin_width = rate / len(x)
                peak = freqs[np.argmax(magnitude)]
                self.assertLessEqual(abs(peak - freq), bin_width)
                # Nothing else within 60 dB outside the main lobe.
                far = np.abs(freqs - freq) > 4 * bin_width
                ratio = np.max(magnitude[far]) / np.max(magnitude)
                self.assertLess(20 * np.log10(ratio), -60.0)

    def test_level_and_frequency_at_every_width(self):
        # The same tone, whatever the width, at the asked amplitude. Eight-bit
        # samples scale their offset with the amplitude, so the level is taken
        # about the mean.
        for bits in (8, 16, 20, 24, 32):
            with self.subTest(bits=bits):
                wav = self.render("sine", "--seconds", 1, "--bits", bits, "--amplitude", 0.5,
                                  "--freq", 750)
                self.assertEqual(wav.channels, 2)
                self.assertEqual(wav.container_bits, 8 if bits == 8 else 16 if bits == 16 else 32)
                self.assertEqual(wav.valid_bits, bits)
                self.assertEqual(wav.subformat, FORMAT_FLOAT if bits == 32 else FORMAT_PCM)
                self.assertEqual(wav.block_align, 2 * wav.container_bits // 8)
                self.assertEqual(wav.byte_rate, 44100 * wav.block_align)
                self.assertEqual(len(wav.data), 44100 * wav.block_align)
                left = wav.samples[:, 0]
                np.testing.assert_array_equal(left, wav.samples[:, 1])
                self.assertAlmostEqual(np.std(left), 0.5 / np.sqrt(2), delta=0.01)
                freqs, magnitude = spectrum(left - np.mean(left), 44100)
                self.assertLessEqual(abs(freqs[np.argmax(magnitude)] - 750), 1.0)

    def test_antiphase_carries_the_inverse_on_the_second_channel(self):
        wav = self.render("sine", "--seconds", 1, "--channels", 0, "--freq", 300)
        self.assertEqual(wav.channels, 2)
        left = np.frombuffer(wav.data, dtype="<i2")[0::2].astype(int)
        right = np.frombuffer(wav.data, dtype="<i2")[1::2].astype(int)
        np.testing.assert_array_equal(right, -left)

    def test_square_has_odd_harmonics_falling_as_one_over_k(self):
        for freq, rate in [(1000, 44100), (600, 48000)]:
            with self.subTest(freq=freq, rate=rate):
                wav = self.render("square", "--seconds", 1, "--rate", rate, "--channels", 1,
                                  "--freq", freq)
                freqs, magnitude = spectrum(wav.samples[:, 0], rate)
                width = 3 * rate / len(freqs)

                def amplitude(k):
                    return np.sqrt(band_power(freqs, magnitude, k * freq, width))

                fundamental = amplitude(1)
                for k in (3, 5, 7):
                    self.assertAlmostEqual(amplitude(k) / fundamental * k, 1.0, delta=0.1,
                                           msg=f"harmonic {k}")
                for k in (2, 4, 6):
                    level = 20 * np.log10(amplitude(k) / fundamental)
                    self.assertLess(level, -40.0, msg=f"harmonic {k}")


class SweepTest(SignalTest):
    RATE = 44100
    SECONDS = 3
    # Edges where the analytic signal and the smoothing are unreliable.
    MARGIN = 0.03

    # Samples the instantaneous frequency is averaged over: about one period
    # at the lowest frequency swept, where the analytic signal ripples most.
    SMOOTH = 2000

    def measure(self, *args):
        wav = self.render("sine", "--seconds", self.SECONDS, "--rate", self.RATE, "--channels",
                          1, *args)
        x = wav.samples[:, 0]
        inst = instantaneous_frequency(x, self.RATE, smooth=self.SMOOTH)
        t = (np.arange(len(inst)) + 1) / self.RATE
        keep = (t > self.MARGIN * self.SECONDS) & (t < (1 - self.MARGIN) * self.SECONDS)
        return t[keep], inst[keep]

    def check_law(self, t, measured, expected, tolerance=0.03):
        error = np.abs(measured - expected) / expected
        worst = int(np.argmax(error))
        self.assertLess(error[worst], tolerance,
                        msg=f"at {t[worst]:.3f} s: measured {measured[worst]:.1f} Hz, "
                        f"law {expected[worst]:.1f} Hz")
        # The law is followed from start to end, not just somewhere.
        self.assertLess(abs(measured[0] - expected[0]) / expected[0], tolerance)
        self.assertLess(abs(measured[-1] - expected[-1]) / expected[-1], tolerance)

    def test_linear_sweep_follows_a_straight_line(self):
        for start, end in [(200, 8000), (10000, 500)]:
            with self.subTest(start=start, end=end):
                t, measured = self.measure("--sweep", "linear", "--from", start, "--to", end)
                expected = start + (end - start) * t / self.SECONDS
                self.check_law(t, measured, expected)

    def test_log_sweep_follows_a_power_of_the_span(self):
        for start, end in [(50, 15000), (20, 2000), (16000, 100)]:
            with self.subTest(start=start, end=end):
                t, measured = self.measure("--sweep", "log", "--from", start, "--to", end)
                low, high = min(start, end), max(start, end)
                # A falling sweep is the rising one played backwards.
                position = t / self.SECONDS if start <= end else 1.0 - t / self.SECONDS
                expected = low + (high - low) ** position
                self.check_law(t, measured, expected)

    def test_falling_log_sweep_is_the_rising_one_reversed(self):
        up = self.render("sine", "--seconds", 1, "--channels", 1, "--bits", 32, "--sweep", "log",
                         "--from", 300, "--to", 3000)
        down = self.render("sine", "--seconds", 1, "--channels", 1, "--bits", 32, "--sweep",
                           "log", "--from", 3000, "--to", 300)
        np.testing.assert_array_equal(down.samples[::-1], up.samples)


class NoiseTest(SignalTest):
    RATE = 44100
    # Expected slopes in dB per octave over 50 Hz to 5 kHz.
    COLOURS = {"white": 0.0, "pink": -3.0, "brown": -6.0}
    slopes = {}

    @classmethod
    def tearDownClass(cls):
        if cls.slopes:
            report = ", ".join(f"{name} {slope:+.2f}" for name, slope in cls.slopes.items())
            print(f"\nmeasured spectral slopes (dB/octave, 50 Hz - 5 kHz): {report}",
                  file=sys.stderr)
        super().tearDownClass()

    def test_spectral_slopes(self):
        for colour, expected in self.COLOURS.items():
            with self.subTest(colour=colour):
                wav = self.render(colour, "--seconds", 10, "--rate", self.RATE, "--channels", 1,
                                  "--seed", 12345)
                slope, residual = octave_slope(wav.samples[:, 0], self.RATE)
                type(self).slopes[colour] = slope
                self.assertAlmostEqual(slope, expected, delta=1.0)
                # A power law all the way: every third-octave band lies near
                # the fitted line, without bends at either end.
                self.assertLess(np.max(np.abs(residual)), 1.5)

    def test_white_noise_is_flat_to_the_band_edge(self):
        wav = self.render("white", "--seconds", 10, "--channels", 1, "--seed", 7)
        x = wav.samples[:, 0]
        self.assertAlmostEqual(np.std(x), 1.0 / np.sqrt(12), delta=0.005)
        freqs, psd = sps.welch(x, fs=self.RATE, nperseg=4096)
        inner = (freqs > 20) & (freqs < 0.98 * self.RATE / 2)
        level = 10 * np.log10(psd[inner])
        self.assertLess(np.max(np.abs(level - np.mean(level))), 2.0)

    def test_one_seed_repeats_exactly_and_another_differs(self):
        for colour in self.COLOURS:
            with self.subTest(colour=colour):
                first = self.renderer.render_bytes(colour, "--seconds", 1, "--seed", 2024)
                again = self.renderer.render_bytes(colour, "--seconds", 1, "--seed", 2024)
                other = self.renderer.render_bytes(colour, "--seconds", 1, "--seed", 2025)
                self.assertEqual(first, again)
                self.assertEqual(len(first), len(other))
                self.assertNotEqual(first, other)
                # The headers agree; the samples differ almost everywhere.
                a = np.frombuffer(first[68:], dtype="<i2")
                b = np.frombuffer(other[68:], dtype="<i2")
                self.assertGreater(np.mean(a != b), 0.99)

    def test_seed_gives_the_same_values_at_every_rate(self):
        for colour in self.COLOURS:
            with self.subTest(colour=colour):
                slow = self.render(colour, "--seconds", 1, "--rate", 11025, "--seed", 99)
                fast = self.render(colour, "--seconds", 1, "--rate", 48000, "--seed", 99)
                np.testing.assert_array_equal(fast.samples[: len(slow.samples)], slow.samples)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)
