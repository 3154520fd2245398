#!/usr/bin/python3
"""Compares what Vantoro.dll played under Wine with what `vantoro render`
writes on Linux for the same arguments.

The captures are the raw bytes ALSA's file plugin recorded from Wine's wave
output (vantoro_host.exe batch renames each to NAME.raw). For every line of
the play list the signal is rendered with the Linux CLI (noise with the seed
the host read from the clock) and the WAV's data chunk is compared with the
capture:

- byte-identical: pass;
- a looping signal: the capture must be the signal repeated, whole copies and
  then a prefix of the next;
- sine tones and sweeps (kind 0): the two C libraries' sine may differ in the
  last bit, so samples may differ by one least-significant step (one integer
  step, or one unit in the last place of a float), on at most
  --max-sine-differences samples; the count is always printed;
- silence the device path added before or after the signal (whole frames of
  the encoding's silence value) is reported and stripped, never silently.

Prints one PASS or FAIL line per capture.
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

SIGNALS = ["sine", "square", "ramp", "white", "pink", "brown"]
RATES = [11025, 22050, 32000, 44100, 48000, 96000, 192000]


def data_chunk(path):
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    pos = 12
    while pos + 8 <= len(blob):
        tag, size = blob[pos:pos + 4], int.from_bytes(blob[pos + 4:pos + 8], "little")
        if tag == b"data":
            return blob[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    raise ValueError(f"{path}: no data chunk")


def render_args(play, seed):
    api, kind, seconds, rate_index, bits, channels = (play[k] for k in
                                                      ("api", "kind", "seconds", "rate", "bits",
                                                       "channels"))
    args = [SIGNALS[kind], "--seconds", str(seconds), "--rate", str(RATES[rate_index]), "--bits",
            str(bits), "--channels", str(channels), "--amplitude", repr(play["amp"]), "--freq",
            str(play["freq"])]
    mode = play["sweep"]
    if mode != 0:
        # sweepMode 1 is linear for fnVantoroCreateAndPlay and logarithmic for
        # fnVantoroCreateAndPlay1; every other nonzero value is logarithmic.
        linear = mode == 1 and api == 0
        args += ["--sweep", "linear" if linear else "log", "--from", str(play["from"]), "--to",
                 str(play["to"])]
    if kind >= 3:
        args += ["--seed", str(seed)]
    return args


def samples(raw, bits):
    if bits == 8:
        return np.frombuffer(raw, dtype=np.uint8).astype(np.int64), 0x80
    if bits == 16:
        return np.frombuffer(raw, dtype=np.int16).astype(np.int64), 0
    # Floats compared as sign-magnitude integers: neighbouring values of one
    # sign differ by one.
    bits32 = np.frombuffer(raw, dtype=np.uint32).astype(np.int64)
    magnitude = bits32 & 0x7FFFFFFF
    return np.where(bits32 >> 31, -magnitude, magnitude), 0


def strip_device_silence(capture, expected, bits, frame):
    """Leading/trailing whole frames of silence in the capture that the
    signal does not have, when removing them leaves the signal exactly."""
    silence = b"\x80" if bits == 8 else b"\x00"
    extra = len(capture) - len(expected)
    if extra <= 0 or extra % frame:
        return None
    for lead in range(0, extra + 1, frame):
        head, body, tail = capture[:lead], capture[lead:lead + len(expected)], capture[lead +
                                                                                       len(expected):]
        if body == expected and head == silence * len(head) and tail == silence * len(tail):
            return lead, len(tail)
    return None


def compare_loop(capture, expected, bits, frame):
    """A looping capture: whole copies of the signal, each followed by
    nothing or by whole frames of silence, then a prefix of one more copy.
    Silence appears where a restart left the device with nothing queued."""
    silence = 0x80 if bits == 8 else 0
    pos, copies, gaps = 0, 0, []
    n = len(expected)
    while len(capture) - pos >= n:
        if capture[pos:pos + n] == expected:
            copies += 1
            pos += n
            continue
        run = pos
        while run < len(capture) and capture[run] == silence:
            run += 1
        # The signal itself may begin with silence: try every frame boundary.
        for start in range(pos + frame, run + 1, frame):
            rest = capture[start:start + n]
            if rest == expected[:len(rest)]:
                gaps.append(start - pos)
                pos = start
                break
        else:
            return False, f"looping capture: unexpected bytes after {copies} copies, at {pos}"
    # The end: silence, a prefix of one more copy, silence (any may be empty).
    rest = capture[pos:]
    lead = len(rest) - len(rest.lstrip(bytes([silence])))
    tail_ok = False
    for start in range(0, lead + 1, frame):
        common = 0
        while (start + common < len(rest) and common < n
               and rest[start + common] == expected[common]):
            common += 1
        common -= common % frame
        if not rest[start + common:].strip(bytes([silence])):
            tail_ok = True
            break
    if not tail_ok:
        return False, f"looping capture: the last {len(rest)} bytes are not the signal"
    if copies < 2:
        return False, f"looping capture holds {copies} copies"
    detail = f"{copies} whole copies of the signal"
    if gaps:
        detail += (f", {len(gaps)} of them followed by device silence of "
                   f"{'/'.join(str(g // frame) for g in sorted(set(gaps)))} frames")
    else:
        detail += " back to back"
    return True, detail


def compare(play, capture, expected, max_sine_differences):
    bits = play["bits"]
    width = 1 if bits == 8 else (2 if bits == 16 else 4)
    channels = 2 if play["channels"] == 0 else play["channels"]
    frame = width * channels
    if play["loop"]:
        return compare_loop(capture, expected, bits, frame)
    if capture == expected:
        return True, f"byte-identical, {len(expected)} bytes"
    if len(capture) != len(expected):
        stripped = strip_device_silence(capture, expected, bits, frame)
        if stripped is None:
            return False, f"captured {len(capture)} bytes, signal {len(expected)}"
        return True, (f"identical after {stripped[0]} leading and {stripped[1]} trailing bytes "
                      "of device silence")
    got, _ = samples(capture, bits)
    want, _ = samples(expected, bits)
    difference = np.abs(got - want)
    differing = int(np.count_nonzero(difference))
    largest = int(difference.max())
    if play["kind"] == 0 and largest <= 1 and differing <= max_sine_differences:
        return True, (f"{differing} of {len(want)} samples one step apart (sine), "
                      f"the rest identical{note}")
    first = int(np.flatnonzero(difference)[0])
    return False, (f"{differing} of {len(want)} samples differ, largest by {largest}; first at "
                   f"sample {first}: {got[first]} vs {want[first]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--plays", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--captures", required=True)
    parser.add_argument("--max-sine-differences", type=int, default=16)
    options = parser.parse_args()

    results = {}
    with open(options.results, errors="replace") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[0] == "PLAY":
                fields = dict(p.split("=", 1) for p in parts[2:5])
                results[parts[1]] = fields

    failures = 0
    with open(options.plays) as f, tempfile.TemporaryDirectory() as scratch:
        for line in f:
            parts = line.split()
            if len(parts) != 13 or parts[0].startswith("#"):
                continue
            name = parts[0]
            keys = ("api", "kind", "seconds", "rate", "bits", "channels", "loop")
            play = dict(zip(keys, map(int, parts[1:8])))
            play["amp"] = float(parts[8])
            play.update(zip(("sweep", "freq", "from", "to"), map(int, parts[9:13])))
            result = results.get(name)
            ok, detail = False, "no result from the host"
            if result and result.get("rc") != "0":
                detail = f"start returned {result.get('rc')}"
            elif result and play["kind"] >= 3 and result.get("seed") == "-1":
                detail = "the clock moved during every start: no seed"
            elif result:
                wav = os.path.join(scratch, name + ".wav")
                rendered = subprocess.run([options.cli, "render"] +
                                          render_args(play, result.get("seed")) + ["-o", wav],
                                          capture_output=True, text=True)
                capture_path = os.path.join(options.captures, name + ".raw")
                if rendered.returncode != 0:
                    detail = "render failed: " + rendered.stderr.strip()
                elif not os.path.exists(capture_path):
                    detail = "no capture"
                else:
                    with open(capture_path, "rb") as c:
                        ok, detail = compare(play, c.read(), data_chunk(wav),
                                             options.max_sine_differences)
            print(f"{'PASS' if ok else 'FAIL'} capture {name}: {detail}")
            failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
