"""Side-by-side synthesis times: vantoro against SoX, FFmpeg, numpy/scipy and
a program that only fills fresh memory, on the same signals and bytes.

Whole processes are timed with hyperfine (minimum and median of several
runs); numpy and scipy are timed inside Python, without the import."""
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy import signal as scipy_signal

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
RUNS = int(os.environ.get("BENCH_RUNS", "10"))
SECONDS = 60
VANTORO = os.path.join(BUILD, "vantoro")
FRESH = os.path.join(BUILD, "bench", "fresh_memory")


def hyperfine(command):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(["hyperfine", "-N", "--warmup", "2", "--runs", str(RUNS), "--export-json",
                        out.name, "--style", "none", command], check=True,
                       stdout=subprocess.DEVNULL)
        result = json.load(open(out.name))["results"][0]
    return min(result["times"]), result["median"]


def in_python(make):
    times = []
    for _ in range(max(3, RUNS // 2)):
        start = time.perf_counter()
        make()
        times.append(time.perf_counter() - start)
    return min(times), float(np.median(times))


def layouts():
    # (label, rate, vantoro --bits, sox encoding, ffmpeg format, numpy dtype)
    yield "44100 Hz stereo 16-bit", 44100, 16, "-e signed -b 16", "s16le", np.int16
    yield "192000 Hz stereo float", 192000, 32, "-e floating-point -b 32", "f32le", np.float32


def numpy_tone(rate, dtype, values):
    def make():
        x = values(rate)
        if dtype == np.int16:
            x = (x * 32767.0).astype(np.int16)
        else:
            x = (x * 0.5).astype(np.float32)
        return np.repeat(x, 2).tobytes()
    return make


def signals(rate):
    n = rate * SECONDS
    t = np.arange(n) / rate
    rng = np.random.default_rng(1)
    return [
        ("sine 1 kHz", "sine --freq 1000", "sine 1000", "sine=frequency=1000",
         lambda r: np.sin(2 * np.pi * 1000 * np.arange(n) / r)),
        ("linear sweep", "sine --sweep linear --from 20 --to 20000", "sine 20:20000", None,
         lambda r: scipy_signal.chirp(t, 20, SECONDS, 20000, method="linear")),
        ("log sweep", "sine --sweep log --from 20 --to 20000", "sine 20/20000", None,
         lambda r: scipy_signal.chirp(t, 20, SECONDS, 20000, method="logarithmic")),
        ("white noise", "white", "whitenoise", "anoisesrc=color=white:amplitude=0.5",
         lambda r: rng.uniform(-0.5, 0.5, n)),
        ("pink noise", "pink", "pinknoise", "anoisesrc=color=pink:amplitude=0.5", None),
        ("brown noise", "brown", "brownnoise", "anoisesrc=color=brown:amplitude=0.5", None),
    ]


def main():
    rows = []
    for label, rate, bits, sox_enc, ff_fmt, dtype in layouts():
        nbytes = rate * SECONDS * 2 * (2 if bits == 16 else 4)
        base = hyperfine(f"{FRESH} {nbytes}")
        for name, ours, sox, ff, numpy_values in signals(rate):
            row = {"layout": label, "signal": name, "baseline": base}
            row["vantoro"] = hyperfine(f"{VANTORO} render {ours} --seconds {SECONDS} --rate {rate} "
                                       f"--bits {bits} --channels 2 -o /dev/null")
            row["sox"] = hyperfine(f"sox -r {rate} -c 2 -n -D {sox_enc} -t raw /dev/null "
                                   f"synth {SECONDS} {sox}")
            if ff:
                row["ffmpeg"] = hyperfine(
                    f"ffmpeg -v quiet -nostdin -f lavfi -i {ff}:sample_rate={rate}:"
                    f"duration={SECONDS} -ac 2 -f {ff_fmt} -y /dev/null")
            if numpy_values:
                row["numpy"] = in_python(numpy_tone(rate, dtype, numpy_values))
            rows.append(row)
            print(f"measured {label}, {name}", file=sys.stderr)

    print()
    print("| layout | signal | vantoro min / median ms | SoX | FFmpeg | numpy/scipy | "
          "fresh-memory baseline |")
    print("|---|---|---|---|---|---|---|")
    for row in rows:
        ours = row["vantoro"][0]

        def cell(peer):
            if peer not in row:
                return "—"
            return f"{row[peer][0] * 1000:.1f} ms, {row[peer][0] / ours:.1f}x"

        base = row["baseline"][0]
        print(f"| {row['layout']} | {row['signal']} | {ours * 1000:.1f} / "
              f"{row['vantoro'][1] * 1000:.1f} | {cell('sox')} | {cell('ffmpeg')} | "
              f"{cell('numpy')} | {base * 1000:.1f} ms, vantoro {ours / base:.2f}x its time |")
    print()
    print("Peers: their minimum time and how many times vantoro's minimum fits in it "
          "(above 1: vantoro is faster). Baseline: vantoro's time over the time of "
          "writing the same bytes into fresh memory.")


if __name__ == "__main__":
    main()
