"""`vantoro play` through the real ALSA backend, with ALSA's default device
pointed (for the child process only) at ALSA's `file` plugin over `null`, so
that every byte played lands in a capture file."""
import os
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

CLI = os.environ["VANTORO_CLI"]
HEADER = 68


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class Play(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.serial = 0

    def config(self, text):
        self.serial += 1
        path = os.path.join(self.dir.name, f"asound-{self.serial}.conf")
        with open(path, "w") as f:
            f.write(text)
        return path

    def capture_config(self, capture):
        return self.config('pcm.!default { type file slave.pcm "null" file "%s" format "raw" }\n'
                           'pcm.null { type null }\n' % capture)

    def play(self, config, *args):
        env = dict(os.environ, ALSA_CONFIG_PATH=config)
        return subprocess.run([CLI, "play", *args], env=env, capture_output=True, text=True,
                              timeout=60)

    def render(self, name, *args):
        path = os.path.join(self.dir.name, name)
        r = subprocess.run([CLI, "render", *args, "-o", path], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        data = read_bytes(path)
        size = int.from_bytes(data[64:68], "little")
        return data[HEADER:HEADER + size]

    def test_captures_exactly_what_render_writes(self):
        cases = [(bits, channels) for bits in (8, 16, 24, 32) for channels in (1, 2, 6)]
        cases.append(("log sweep", 2))

        def one(case):
            bits, channels = case
            name = f"{bits}-{channels}".replace(" ", "")
            args = ["sine", "--seconds", "2", "--rate", "22050", "--channels", str(channels)]
            if bits == "log sweep":
                args += ["--sweep", "log", "--from", "40", "--to", "8000"]
            else:
                args += ["--bits", str(bits)]
            capture = os.path.join(self.dir.name, name + ".raw")
            played = self.play(self.capture_config(capture), *args)
            return case, played, capture, args

        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(one, cases))
        for case, played, capture, args in results:
            with self.subTest(case=case):
                self.assertEqual(played.returncode, 0, played.stderr)
                expected = self.render(f"{case[0]}-{case[1]}.wav".replace(" ", ""), *args)
                captured = read_bytes(capture)
                self.assertEqual(len(captured), len(expected))
                self.assertTrue(captured == expected, "captured bytes differ from the render")

    def test_loop_repeats_until_interrupted(self):
        capture = os.path.join(self.dir.name, "loop.raw")
        env = dict(os.environ, ALSA_CONFIG_PATH=self.capture_config(capture))
        args = ["sine", "--seconds", "1", "--rate", "11025", "--bits", "8", "--channels", "1"]
        p = subprocess.Popen([CLI, "play", *args, "--loop"], env=env, stderr=subprocess.DEVNULL)
        try:
            # Wait for more than one pass to reach the device.
            for _ in range(100):
                if os.path.exists(capture) and os.path.getsize(capture) > 2 * 11025:
                    break
                subprocess.run(["sleep", "0.1"])
            p.send_signal(2)
            self.assertEqual(p.wait(timeout=10), 0)
        finally:
            if p.poll() is None:
                p.kill()
        captured = read_bytes(capture)
        one_pass = self.render("loop.wav", *args)
        self.assertGreater(len(captured), 2 * len(one_pass))
        for offset in range(0, len(captured), len(one_pass)):
            chunk = captured[offset:offset + len(one_pass)]
            self.assertEqual(chunk, one_pass[:len(chunk)], f"pass at byte {offset}")

    def test_device_failures_give_their_message(self):
        refuses_float = self.config(
            'pcm.!default { type linear slave { pcm "null" format S16_LE } }\n'
            'pcm.null { type null }\n')
        no_device = self.config('pcm.!default { type hw card 99 }\n')
        cases = [
            (refuses_float, ["--bits", "32"], "UnSupported Format."),
            (no_device, [], "Failed to open waveform output device."),
        ]
        for config, args, message in cases:
            with self.subTest(message=message):
                r = self.play(config, "sine", "--seconds", "1", *args)
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
        # The linear plugin takes 16-bit samples, so only the float stream was refused.
        r = self.play(refuses_float, "sine", "--seconds", "1", "--bits", "16")
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_bad_options_exit_2(self):
        r = subprocess.run([CLI, "play", "sine", "--rate", "12345"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--rate", r.stderr)


if __name__ == "__main__":
    unittest.main()
