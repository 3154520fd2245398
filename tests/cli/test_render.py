"""`vantoro render`: the WAV file it writes, read back by real readers (sox and
scipy), and how it answers bad options."""
import os
import struct
import subprocess
import tempfile
import unittest

import numpy as np
from scipy.io import wavfile

CLI = os.environ["VANTORO_CLI"]
HEADER = 12 + 8 + 40 + 8  # RIFF, fmt chunk of 40 bytes, data chunk header


def render(path, *args):
    return subprocess.run([CLI, "render", *args, "-o", path], capture_output=True, text=True)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def soxi(flag, path):
    out = subprocess.run(["soxi", flag, path], capture_output=True, text=True, check=True)
    return out.stdout.strip()


class RenderedFile(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name="t.wav"):
        return os.path.join(self.dir.name, name)

    def test_one_second_of_cd_stereo(self):
        p = self.path()
        r = render(p, "sine", "--rate", "44100", "--bits", "16", "--channels", "2",
                   "--seconds", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        data = read_bytes(p)
        self.assertEqual(len(data), 176468)
        self.assertEqual(data[0:4], b"RIFF")
        self.assertEqual(struct.unpack("<I", data[4:8])[0], 176460)
        self.assertEqual(data[8:16], b"WAVEfmt ")
        self.assertEqual(struct.unpack("<I", data[16:20])[0], 40)
        tag, ch, rate, avg, align, bits, cb, valid, mask = struct.unpack("<HHIIHHHHI", data[20:44])
        self.assertEqual((tag, ch, rate, avg, align, bits, cb, valid, mask),
                         (0xFFFE, 2, 44100, 176400, 4, 16, 22, 16, 3))
        self.assertEqual(data[44:60], bytes.fromhex("0100000000001000800000aa00389b71"))
        self.assertEqual(data[60:64], b"data")
        self.assertEqual(struct.unpack("<I", data[64:68])[0], 176400)
        self.assertEqual(soxi("-r", p), "44100")
        self.assertEqual(soxi("-c", p), "2")
        self.assertEqual(soxi("-b", p), "16")
        self.assertAlmostEqual(float(soxi("-D", p)), 1.0)

    def test_every_width_and_layout_reads_back(self):
        cases = [  # signal, rate, bits, channels, container dtype
            ("sine", 11025, 8, 1, np.uint8),
            ("square", 22050, 16, 3, np.int16),
            ("ramp", 32000, 20, 2, np.int32),
            ("sine", 48000, 24, 0, np.int32),
            ("sine", 96000, 32, 6, np.float32),
            ("white", 44100, 16, 2, np.int16),
            ("pink", 44100, 24, 1, np.int32),
            ("brown", 44100, 32, 2, np.float32),
        ]
        for signal, rate, bits, channels, dtype in cases:
            with self.subTest(signal=signal, bits=bits, channels=channels):
                p = self.path(f"{signal}{bits}{channels}.wav")
                r = render(p, signal, "--rate", str(rate), "--bits", str(bits),
                           "--channels", str(channels), "--seconds", "2", "--seed", "7")
                if signal in ("sine", "square", "ramp"):
                    # --seed is refused for tones; render without it.
                    self.assertEqual(r.returncode, 2)
                    r = render(p, signal, "--rate", str(rate), "--bits", str(bits),
                               "--channels", str(channels), "--seconds", "2")
                self.assertEqual(r.returncode, 0, r.stderr)
                carried = channels or 2
                container = np.dtype(dtype).itemsize
                if bits not in (20, 24):
                    # SoX does not read samples padded into wider containers.
                    self.assertEqual(soxi("-r", p), str(rate))
                    self.assertEqual(soxi("-c", p), str(carried))
                    self.assertAlmostEqual(float(soxi("-D", p)), 2.0)
                    self.assertEqual(int(soxi("-b", p)), bits)
                read_rate, samples = wavfile.read(p)
                self.assertEqual(read_rate, rate)
                self.assertEqual(samples.dtype, np.dtype(dtype))
                self.assertEqual(samples.shape, (2 * rate, carried) if carried > 1 else (2 * rate,))
                raw = read_bytes(p)[HEADER:HEADER + 2 * rate * carried * container]
                self.assertEqual(samples.tobytes(), raw)
                if bits in (20, 24):
                    low = (1 << (32 - bits)) - 1
                    self.assertFalse(np.any(samples.astype(np.int64) & low))
                if channels == 0:
                    self.assertTrue(np.array_equal(samples[:, 1], -samples[:, 0]))

    def test_odd_data_chunk_is_padded(self):
        p = self.path()
        self.assertEqual(render(p, "sine", "--rate", "11025", "--bits", "8", "--channels", "1",
                                "--seconds", "1").returncode, 0)
        data = read_bytes(p)
        self.assertEqual(len(data), HEADER + 11025 + 1)
        self.assertEqual(struct.unpack("<I", data[64:68])[0], 11025)
        self.assertEqual(struct.unpack("<I", data[4:8])[0], len(data) - 8)
        self.assertEqual(soxi("-s", p), "11025")

    def test_zero_seconds_is_an_empty_data_chunk(self):
        p = self.path()
        self.assertEqual(render(p, "sine", "--seconds", "0").returncode, 0)
        self.assertEqual(os.path.getsize(p), HEADER)

    def test_sweep_and_seed_options(self):
        a, b, c = self.path("a.wav"), self.path("b.wav"), self.path("c.wav")
        for p, args in ((a, ["--sweep", "log", "--from", "20", "--to", "20000"]),
                        (b, ["--sweep", "linear", "--from", "20", "--to", "20000"]),
                        (c, [])):
            self.assertEqual(render(p, "sine", "--seconds", "1", *args).returncode, 0)
        self.assertNotEqual(read_bytes(a), read_bytes(b))
        self.assertNotEqual(read_bytes(b), read_bytes(c))


class BadOptions(unittest.TestCase):
    def test_each_bad_option_is_named_and_exits_2(self):
        cases = [
            (["sine", "--rate", "44000"], "--rate"),
            (["sine", "--bits", "12"], "--bits"),
            (["sine", "--channels", "-1"], "--channels"),
            (["sine", "--channels", "65536"], "--channels"),
            (["sine", "--seconds", "-1"], "--seconds"),
            (["sine", "--seconds", "1399", "--rate", "192000", "--bits", "32"], "--seconds"),
            (["noise"], "SIGNAL"),
            (["sine", "--sweep", "cubic", "--from", "1", "--to", "2"], "--sweep"),
            (["sine", "--sweep", "log"], "--sweep"),
            (["sine", "--from", "100"], "--from"),
            (["sine", "--seed", "3"], "--seed"),
            (["white", "--seed", "-3"], "--seed"),
            (["sine", "--amplitude", "loud"], "--amplitude"),
        ]
        with tempfile.TemporaryDirectory() as d:
            p = os.path.join(d, "bad.wav")
            for args, option in cases:
                with self.subTest(args=args):
                    r = render(p, *args)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    lines = r.stderr.strip().splitlines()
                    self.assertEqual(len(lines), 1, r.stderr)
                    self.assertIn(option, lines[0])
                    self.assertFalse(os.path.exists(p))
                    if os.path.exists(p):
                        os.unlink(p)

    def test_unwritable_output_leaves_nothing(self):
        r = subprocess.run([CLI, "render", "sine", "-o", "/nonexistent/dir/x.wav"],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("/nonexistent/dir/x.wav", r.stderr)

    def test_help_lists_everything(self):
        out = subprocess.run([CLI, "--help"], capture_output=True, text=True)
        self.assertEqual(out.returncode, 0)
        for word in ("render", "play", "--seconds", "--rate", "--bits", "--channels",
                     "--amplitude", "--freq", "--sweep", "--from", "--to", "--seed", "--loop"):
            self.assertIn(word, out.stdout)


if __name__ == "__main__":
    unittest.main()
