"""What Wine plays, recorded from the tests' own PulseAudio null sink.

scripts/lib/pulse.sh starts the daemon and exports PULSE_SERVER and
TUNARA_PULSE_SINK. The sink consumes samples in real time and its monitor
gives silence while nothing plays, so a recording is a timeline: a gap in
the output is a run of silent windows, and the pitch of every window shows
whether the decoder and the output agree on the format.
"""
import os
import shutil
import signal
import subprocess
import time

import numpy as np

from processes import end_all

RATE = 44100
CHANNELS = 2
# A window of 50 ms gives a frequency resolution of 20 Hz before
# interpolation, fine enough for tones 110 Hz apart.
WINDOW = 0.05
SILENT = 200  # peak below this (of 32767) counts as silence


def pulse_ready():
    return bool(os.environ.get("PULSE_SERVER")) and shutil.which("parec") is not None


class Recording:
    """parec from the sink's monitor into a file, started and stopped by the test."""

    def __init__(self, path):
        self.path = path
        self.proc = None
        self._out = None

    def start(self):
        assert pulse_ready(), "no PulseAudio daemon of the tests' own: run through scripts/test or scripts/e2e"
        sink = os.environ.get("TUNARA_PULSE_SINK", "tunara")
        self._out = open(self.path, "wb")
        self.proc = subprocess.Popen(
            ["parec", "-d", f"{sink}.monitor", "--raw", "--format=s16le", f"--rate={RATE}",
             f"--channels={CHANNELS}", "--latency-msec=20"],
            stdout=self._out, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def first_sample_at(self, timeout=5.0):
        """The monotonic time of the recording's first sample. parec takes
        a while to start (up to half a second under load), so the moment it
        was asked to start is not that of its first sample: once it has
        written something, that is now less what it wrote."""
        deadline = time.monotonic() + timeout
        while True:
            size = os.path.getsize(self.path)
            if size > 0:
                return time.monotonic() - size / (RATE * CHANNELS * 2)
            assert time.monotonic() < deadline, "parec recorded nothing"
            time.sleep(0.005)

    def wait_recording(self, timeout=5.0):
        """Until parec records: under load it takes a second or more to
        connect, and a short test would lose the start of what it plays."""
        deadline = time.monotonic() + timeout
        while not self.path.is_file() or self.path.stat().st_size < RATE * CHANNELS * 2 // 10:
            assert self.proc.poll() is None, "parec ended"
            assert time.monotonic() < deadline, "parec records nothing"
            time.sleep(0.02)
        return self

    def stop(self):
        # SIGINT lets parec write what it holds.
        end_all([self.proc], ask=lambda proc: proc.send_signal(signal.SIGINT))
        if self._out is not None:
            self._out.close()
            self._out = None
        return self

    def samples(self):
        """The recording as floats in [-1, 1], one row a frame, left channel."""
        data = np.fromfile(self.path, dtype="<i2")
        data = data[:len(data) - len(data) % CHANNELS].reshape(-1, CHANNELS)
        return data[:, 0].astype(np.float64) / 32768.0


def windows(samples, seconds=WINDOW):
    size = int(RATE * seconds)
    count = len(samples) // size
    return samples[:count * size].reshape(count, size)


def peaks(samples, seconds=WINDOW):
    """The peak of each window, in 16-bit units."""
    return np.abs(windows(samples, seconds)).max(axis=1) * 32768 if len(samples) else np.array([])


def pitch(block):
    """The dominant frequency of a block in Hz (Hann window, parabolic
    interpolation between the strongest bin and its neighbours)."""
    spectrum = np.abs(np.fft.rfft(block * np.hanning(len(block))))
    spectrum[0] = 0
    k = int(np.argmax(spectrum))
    if 0 < k < len(spectrum) - 1:
        a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-12)
        k += 0.5 * (a - c) / (a - 2 * b + c)
    return k * RATE / len(block)


def pitches(samples, seconds=WINDOW):
    """(time in s, peak, Hz) of every loud window."""
    out = []
    for i, block in enumerate(windows(samples, seconds)):
        peak = np.abs(block).max() * 32768
        if peak >= SILENT:
            out.append((i * seconds, peak, pitch(block)))
    return out


def longest_gap(samples, seconds=WINDOW):
    """The longest silence in seconds between the first and the last loud window."""
    loud = peaks(samples, seconds) >= SILENT
    idx = np.flatnonzero(loud)
    if len(idx) < 2:
        return 0.0
    run = best = 0
    for value in loud[idx[0]:idx[-1] + 1]:
        run = 0 if value else run + 1
        best = max(best, run)
    return best * seconds


def off_pitch(samples, expected, tolerance=0.03, seconds=WINDOW):
    """The loud windows whose pitch is none of the expected tones. The first
    and the last loud window hold the sound's start or end, whose edge
    spreads the spectrum; they are left out."""
    found = pitches(samples, seconds)[1:-1]
    wrong = [(t, hz) for t, _, hz in found
             if not any(abs(hz - f) <= f * tolerance for f in expected)]
    return found, wrong


def timecode_jumps(samples, base, spacing, steps, step_seconds, seconds=WINDOW):
    """Where a time-coded tone (its pitch steps every step_seconds through
    `steps` tones `spacing` Hz apart from `base`) jumps in its own time: a
    list of (time in the recording, jump in seconds), negative when audio
    already heard comes again, positive when some was skipped. Windows whose
    pitch is not clearly one step (a step change inside them) are left out."""
    # Time in the tone advances only while something is heard: a silent gap
    # followed by the next piece is neither a repeat nor a skip.
    marks = []
    for i, (t, _, hz) in enumerate(pitches(samples, seconds)):
        k = (hz - base) / spacing
        if abs(k - round(k)) <= 0.3 and 0 <= round(k) < steps:
            marks.append((i, t, int(round(k))))
    jumps = []
    for (i1, _, k1), (i2, t2, k2) in zip(marks, marks[1:]):
        heard = (i2 - i1) * seconds / step_seconds
        delta = (k2 - k1 - heard + steps / 2) % steps - steps / 2
        if abs(delta) >= 1.5:
            jumps.append((t2, delta * step_seconds))
    return jumps
