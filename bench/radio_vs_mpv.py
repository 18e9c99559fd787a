#!/usr/bin/env python3
"""TunaraPlayer in the real helper under Wine against mpv, the player users
would pick instead, in one run on the same Icecast stream and the same paced
PulseAudio sink, one player after the other:

  start      "wmpPlay" to "wmpStatusEvent" 3, against mpv's "loadfile" to its
             "playback-restart" event (JSON IPC); median of 5, the first
             start after the process came up given apart. The helper's first
             command waits for the helper's own start-up (it starts the UI
             program and waits for it to be ready); that wait is measured
             apart, as one "launcherMinimize" round trip before the starts
  CPU, RSS   of the player's process while it plays the 128 kbit/s mount,
             and the CPU of a bare waveOut client (tests/tools/audio_floor.cpp)
             playing a tone through the same ring for as long: what the
             system's audio path takes by itself
  underruns  audible gaps in what the sink played while the fault proxy
             stalled the stream 1.5 s, 3 s and 6 s (the mount bursts 4 s at
             connect); for TunaraPlayer also its state-6 reports
  repeated   seconds of audio heard twice after the proxy cut the
             connection to the bursting time-code mount (what each player
             does about it by default)

--mount /live.aac (or /live.aacp) plays an AAC-LC mount instead for the
starts, CPU, memory and stalls; the cut is measured on the MP3 time code
only, so it is left out then.

--hls KIND plays live HLS that ffmpeg makes in real time instead of Icecast
(tests/e2e/hls.py: ts-aac, ts-aac-4s, ts-mp3, fmp4, aes, packed), from a
static server on 127.0.0.1, the stalls through the fault proxy in front of
it; no cut (a live playlist has no connection to cut).

Results are printed as a table for docs/performance.md. Run in a private
network namespace, with the windows build made:

  unshare -n bash -c 'ip link set lo up; source scripts/lib/wine.sh;
    trap wine_teardown EXIT; wine_setup; python3 bench/radio_vs_mpv.py'
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

import audio  # noqa: E402
from fault_proxy import FaultProxy  # noqa: E402
from harness import BUILD, Helper, port_free  # noqa: E402
from hls import KINDS, LiveHls  # noqa: E402
from icecast import (AAC_MOUNTS, MOUNTS, TIMECODE, TIMECODE_BASE, TIMECODE_HZ, TIMECODE_STEP_SECONDS,  # noqa: E402
                     TIMECODE_STEPS, Icecast)
from launcher_doubles import UiDouble, drive_c  # noqa: E402
from test_radio import (PLAYER_DLL, PLAYER_DLL_WIN, Events, registered_server,  # noqa: E402
                        run_wine)

TICKS = os.sysconf("SC_CLK_TCK")
STALLS = (1.5, 3.0, 6.0)
AUDIO_FLOOR = BUILD / "tools" / "AudioFloor.exe"
GAP = 0.1  # a silence of at least this long counts as an underrun


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def gaps(samples, seconds=audio.WINDOW):
    """The silences of at least GAP s between the first and last sound."""
    loud = audio.peaks(samples, seconds) >= audio.SILENT
    idx = [i for i, v in enumerate(loud) if v]
    if not idx:
        return []
    out, run = [], 0
    for value in loud[idx[0]:idx[-1] + 1]:
        if value:
            if run * seconds >= GAP:
                out.append(run * seconds)
            run = 0
        else:
            run += 1
    return out


class Tunara:
    name = "TunaraPlayer (helper under Wine)"

    def __init__(self):
        self.helper = Helper().start()
        self.conn = self.helper.connect()
        self.pid = self.helper.proc.pid
        self.events = None
        # The first command is served once the helper has finished starting
        # (it waits for the UI program it started); a round trip takes that
        # wait, so that the first "wmpPlay" meets the player, not it.
        sent = time.monotonic()
        self.conn.send_command("launcherMinimize")
        while self.conn.read_event(timeout=10)[0] != "minimizeEvent":
            pass
        self.startup_wait = time.monotonic() - sent

    def play(self, url):
        self.events = Events(self.conn)
        sent = time.monotonic()
        self.conn.send_command("wmpPlay", url)
        at, _, _ = self.events.status(3, timeout=15)
        return at - sent

    def wait_playing_again(self, after, timeout):
        self.events.until(lambda e: e[1] == "wmpStatusEvent" and e[2] == 3 and e[0] > after,
                          timeout, "playing again")

    def pump(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                kind, data = self.conn.read_event(timeout=deadline - time.monotonic())
            except TimeoutError:
                break
            self.events.seen.append((time.monotonic(), kind, data))

    def reports(self):
        return self.events.states().count(6)

    def stop(self):
        self.conn.send_command("wmpStop")
        self.events.status(1, timeout=2)

    def close(self):
        self.helper.stop()


class Mpv:
    name = "mpv 0.35 (Debian, defaults, --ao=pulse)"

    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="tunara-mpv."))
        self.sock_path = self.dir / "ipc"
        self.proc = subprocess.Popen(
            ["mpv", "--idle=yes", "--no-config", "--no-video", "--ao=pulse", "--no-terminal",
             f"--input-ipc-server={self.sock_path}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not self.sock_path.exists():
            assert time.monotonic() < deadline and self.proc.poll() is None, "mpv did not start"
            time.sleep(0.02)
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(str(self.sock_path))
        self.buffer = b""
        self.pid = self.proc.pid
        self.seen = []
        self.send("observe_property", 1, "paused-for-cache")

    def send(self, *command):
        self.sock.sendall(json.dumps({"command": list(command)}).encode() + b"\n")

    def next_message(self, deadline):
        while b"\n" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                raise TimeoutError from None
            assert chunk, "mpv closed its IPC socket"
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        message = json.loads(line)
        self.seen.append((time.monotonic(), message))
        return message

    def until(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            message = self.next_message(deadline)
            if predicate(message):
                return time.monotonic()

    def play(self, url):
        self.seen = []
        sent = time.monotonic()
        self.send("loadfile", url)
        at = self.until(lambda m: m.get("event") == "playback-restart", 15)
        return at - sent

    def wait_playing_again(self, after, timeout):
        self.until(lambda m: m.get("event") == "playback-restart", timeout)

    def pump(self, seconds):
        deadline = time.monotonic() + seconds
        try:
            while True:
                self.next_message(deadline)
        except TimeoutError:
            pass

    def reports(self):
        return sum(1 for _, m in self.seen
                   if m.get("event") == "property-change" and m.get("name") == "paused-for-cache"
                   and m.get("data") is True)

    def stop(self):
        self.send("stop")
        try:
            self.until(lambda m: m.get("event") == "idle", 3)
        except TimeoutError:
            pass  # it was idle already: the stream had ended

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.sock.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def measure(player, live, stalled, cut, proxy, args, work):
    """live: the stream's address; stalled: the same through the proxy;
    cut: the time-coded stream through the proxy, or None."""
    result = {"player": player.name}
    starts = []
    for _ in range(args.starts):
        starts.append(player.play(live))
        player.pump(1.0)
        player.stop()
    result["first_start_ms"] = round(starts[0] * 1000)
    if hasattr(player, "startup_wait"):
        result["startup_wait_ms"] = round(player.startup_wait * 1000)
    result["start_median_ms"] = round(statistics.median(starts) * 1000)
    result["starts_ms"] = [round(s * 1000) for s in starts]

    # CPU and memory while playing, after two seconds to settle.
    player.play(live)
    player.pump(2.0)
    cpu0, wall0 = cpu_seconds(player.pid), time.monotonic()
    peak = 0
    while time.monotonic() - wall0 < args.seconds:
        player.pump(1.0)
        peak = max(peak, rss_kib(player.pid))
    result["cpu_percent"] = round(100 * (cpu_seconds(player.pid) - cpu0) / (time.monotonic() - wall0), 2)
    result["rss_mib"] = round(peak / 1024, 1)
    player.stop()

    # The same stalls, the gaps heard.
    recording = audio.Recording(work / "stalls.raw").start()
    player.play(stalled)
    player.pump(6.0)
    for stall in STALLS:
        proxy.stall(stall)
        player.pump(stall + 7.0)
    player.stop()
    heard_gaps = gaps(recording.stop().samples())
    result["underruns"] = len(heard_gaps)
    result["silent_seconds"] = round(sum(heard_gaps), 2)
    result["underrun_reports"] = player.reports()

    if cut is None:
        return result
    # A cut connection to the bursting mount: what is heard twice.
    recording = audio.Recording(work / "cut.raw").start()
    player.play(cut)
    player.pump(6.0)
    connections = proxy.connections
    proxy.cut()
    cut_at = time.monotonic()
    try:
        player.wait_playing_again(cut_at, 15)
        player.pump(6.0)
        result["reconnected"] = proxy.connections > connections
    except (TimeoutError, AssertionError):
        result["reconnected"] = False
    player.stop()
    samples = recording.stop().samples()
    jumps = audio.timecode_jumps(samples, TIMECODE_BASE, TIMECODE_HZ, TIMECODE_STEPS,
                                 TIMECODE_STEP_SECONDS)
    result["repeated_seconds"] = round(-sum(j for _, j in jumps if j < 0), 2)
    result["skipped_seconds"] = round(sum(j for _, j in jumps if j > 0), 2)
    return result


def audio_floor(seconds):
    """CPU of the bare waveOut client over the given seconds of playing."""
    proc = subprocess.Popen(["wine", str(AUDIO_FLOOR), str(int(seconds) + 4)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        time.sleep(2.0)
        cpu0, wall0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        percent = 100 * (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - wall0)
        assert proc.wait(timeout=15) == 0, "AudioFloor.exe could not play"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return round(percent, 2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=30, help="of playing for CPU and memory")
    parser.add_argument("--starts", type=int, default=5)
    parser.add_argument("--mount", default="/live.mp3", choices=MOUNTS[:1] + AAC_MOUNTS,
                        help="the Icecast mount both play")
    parser.add_argument("--hls", choices=sorted(KINDS), help="live HLS of this kind instead")
    args = parser.parse_args()
    assert audio.pulse_ready(), "run under wine_setup (scripts/lib/wine.sh): no PulseAudio daemon"
    assert shutil.which("mpv"), "apt-get install mpv"
    assert AUDIO_FLOOR.exists(), f"build the windows preset: {AUDIO_FLOOR}"

    target = drive_c() / "Program Files" / "TunaraPlayer"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(PLAYER_DLL, target / "TunaraPlayer.dll")
    before = registered_server()
    assert run_wine("regsvr32", "/s", PLAYER_DLL_WIN)[0] == 0
    ui = UiDouble().install()
    work = Path(tempfile.mkdtemp(prefix="tunara-bench."))
    results = []
    def run(live, stalled, cut, proxy):
        for make in (Tunara, Mpv):
            assert port_free()
            player = make()
            try:
                results.append(measure(player, live, stalled, cut, proxy, args, work))
            finally:
                player.close()
            print(json.dumps(results[-1], ensure_ascii=False), flush=True)

    if args.hls:
        source = LiveHls((args.hls,)).start()
        try:
            with FaultProxy("127.0.0.1", source.port) as proxy:
                # A window of three target durations and one more before
                # either starts, as a station that has been on air a while.
                source.wait_ready(args.hls)
                run(source.url(args.hls), source.url(args.hls, port=proxy.port), None, proxy)
        finally:
            source.stop()
    else:
        mounts = MOUNTS + (TIMECODE,) + ((args.mount,) if args.mount in AAC_MOUNTS else ())
        with Icecast().start(mounts) as icecast, FaultProxy("127.0.0.1", icecast.port) as proxy:
            # The burst mounts hold their four seconds once the sources ran that long.
            time.sleep(4.5)
            cut = proxy.url(TIMECODE) if args.mount in MOUNTS else None
            run(icecast.url(args.mount), proxy.url(args.mount), cut, proxy)
    floor = audio_floor(args.seconds)
    print(json.dumps({"audio_floor_cpu_percent": floor}), flush=True)
    ui.uninstall()
    run_wine("regsvr32", "/u", "/s", PLAYER_DLL_WIN)
    assert registered_server() == before
    shutil.rmtree(work, ignore_errors=True)

    tunara, mpv = results
    rows = [
        ("start, median of 5 (ms)", "start_median_ms"),
        ("first start after launch (ms)", "first_start_ms"),
        ("first command's wait for the helper's start-up (ms)", "startup_wait_ms"),
        ("CPU while playing (% of a core)", "cpu_percent"),
        ("peak RSS while playing (MiB)", "rss_mib"),
        (f"underruns heard under stalls of {', '.join(f'{s:g}' for s in STALLS)} s", "underruns"),
        ("silence heard under those stalls (s)", "silent_seconds"),
        ("underruns reported (state 6 / paused-for-cache)", "underrun_reports"),
        ("reconnected after a cut", "reconnected"),
        ("audio repeated after the reconnect (s)", "repeated_seconds"),
        ("audio skipped at the reconnect (s)", "skipped_seconds"),
    ]
    print("\n| measure | TunaraPlayer | mpv | ratio |\n|---|---|---|---|")
    for label, key in rows:
        if key not in tunara:
            continue
        a, b = tunara[key], mpv.get(key, "")
        ratio = f"{a / b:.2f}" if isinstance(a, (int, float)) and not isinstance(a, bool) and b else ""
        print(f"| {label} | {a} | {b} | {ratio} |")
    print(f"| CPU of a bare waveOut client, same ring (% of a core) | {floor} | | |")


if __name__ == "__main__":
    main()
