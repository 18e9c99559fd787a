#!/usr/bin/env python3
"""The command link at full speed: the real helper under Wine and mpv's JSON
IPC, measured in the same run from the client's side.

- round trip: 2,000 sequential "launcherMinimize" -> "minimizeEvent" (no
  launcher runs, so the helper asks the UI itself), and for mpv a
  "get_property volume" request -> its reply;
- burst: 20,000 commands written at once on one connection, counted until the
  last answer is back;
- both again with 8 connections open, each receiving every event (mpv's
  extra clients only listen: it broadcasts nothing to them).

With --trace the helper also runs once with TUNARA_LINK_TRACE set, and the
stamps it records are joined with the client's to show where a round trip's
time goes (docs/performance.md).

Run in a private network namespace and Wine prefix, with the windows build
made (TUNARA_BUILD picks another build dir):

  WINEPREFIX=$PWD/build/wineprefix-bench unshare -n bash -c \
    'ip link set lo up; source scripts/lib/wine.sh; trap wine_teardown EXIT; wine_setup;
     /usr/bin/python3 bench/link_bench.py [--trace] [--before OTHER.exe]'
"""
import argparse
import json
import multiprocessing
import os
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

from harness import Helper, command, inbound_frame, port_free, wait_until  # noqa: E402
from launcher_doubles import UiDouble, drive_c  # noqa: E402

MINIMIZE_FRAME = bytes.fromhex(
    "DADADADA0000001D0901096461746103097479706506"
    "1B6D696E696D697A654576656E7401")
MINIMIZE_COMMAND = inbound_frame(command("launcherMinimize"))
EXTRA_CONNECTIONS = 7


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Reader:
    """Reads one stream of fixed-size answers and checks each byte of them."""

    def __init__(self, sock, answer, stamps=None):
        self.sock = sock
        self.answer = answer  # None: anything goes, nothing is checked
        self.pattern = answer * (65536 // len(answer) + 2) if answer else b""
        self.received = 0
        # If given, gets the monotonic time (ns) at which each answer was whole.
        self.stamps = stamps

    def read_some(self):
        chunk = self.sock.recv(262144)
        if not chunk:
            raise ConnectionError("the server closed the connection")
        if self.answer is None:
            self.received += len(chunk)
            return
        offset = self.received % len(self.answer)
        for start in range(0, len(chunk), 65536):
            piece = chunk[start:start + 65536]
            shift = (offset + start) % len(self.answer)
            if piece != self.pattern[shift:shift + len(piece)]:
                raise AssertionError(f"unexpected bytes {piece[:48].hex()}")
        self.received += len(chunk)
        if self.stamps is not None:
            now = time.monotonic_ns()
            whole = self.received // len(self.answer)
            self.stamps.extend([now] * (whole - len(self.stamps)))

    def read_until(self, total):
        while self.received < total:
            self.read_some()


def drain(socks, answer, pipe):
    """Runs in a child process: reads every listening connection, so that the
    measuring process's own timing is not disturbed by them, and tells when
    each of them has a requested number of answers."""
    readers = [Reader(s, answer, [] if answer else None) for s in socks]
    selector = selectors.DefaultSelector()
    for reader in readers:
        reader.sock.setblocking(False)
        selector.register(reader.sock, selectors.EVENT_READ, reader)
    selector.register(pipe, selectors.EVENT_READ, None)
    target = None
    while True:
        for key, _ in selector.select(timeout=1.0):
            if key.data is None:
                message = pipe.recv()
                if message is None:
                    return
                if isinstance(message, tuple):
                    # When each listener had answers [first, first + count).
                    first, count = message
                    pipe.send([r.stamps[first:first + count] for r in readers])
                    continue
                target = message * len(answer or b"-")
            else:
                try:
                    key.data.read_some()
                except BlockingIOError:
                    pass
        if target is not None and all(r.received >= target for r in readers):
            pipe.send(time.monotonic_ns())
            target = None


class Listeners:
    """The connections that only listen, served by a child process."""

    def __init__(self, socks, answer):
        self.pipe, child_end = multiprocessing.Pipe()
        self.process = multiprocessing.get_context("fork").Process(
            target=drain, args=(socks, answer, child_end), daemon=True)
        self.process.start()
        self.socks = socks

    def wait_for(self, answers, timeout=600):
        """Monotonic time (ns) at which every listener had that many answers."""
        self.pipe.send(answers)
        if not self.pipe.poll(timeout):
            raise TimeoutError("the listening connections did not get every answer")
        return self.pipe.recv()

    def stamps(self, first, count):
        """Per listener, the monotonic time (ns) each of those answers was whole."""
        self.pipe.send((first, count))
        return self.pipe.recv()

    def stop(self):
        self.pipe.send(None)
        self.process.join(timeout=10)


def round_trips(sock, request, answer, count, stamps=None, arrivals=None):
    """Sequential round trips; durations in ms. stamps, if given, gets the
    wall-clock (ns) of each write and of each complete answer; arrivals the
    monotonic time (ns) of each complete answer."""
    reader = Reader(sock, answer)
    durations = []
    for _ in range(count):
        wall = time.time_ns()
        start = time.perf_counter_ns()
        sock.sendall(request)
        reader.read_until(reader.received + len(answer))
        durations.append((time.perf_counter_ns() - start) / 1e6)
        if stamps is not None:
            stamps.append((wall, time.time_ns()))
        if arrivals is not None:
            arrivals.append(time.monotonic_ns())
    return durations


def listener_lag(listeners, first, arrivals):
    """How much later than the commanding connection the last listener had
    each answer, in ms: p50, p99 and the worst."""
    per_listener = listeners.stamps(first, len(arrivals))
    lags = [(max(s[i] for s in per_listener) - arrived) / 1e6
            for i, arrived in enumerate(arrivals)]
    return statistics.median(lags), percentile(lags, 0.99), max(lags)


def burst(sock, request, answer, count, listeners=None):
    """count requests written at once; answers per second until the last
    answer has reached every connection."""
    reader = Reader(sock, answer)
    data = request * count
    writer = threading.Thread(target=sock.sendall, args=(data,))
    start = time.monotonic_ns()
    writer.start()
    reader.read_until(count * len(answer))
    end = time.monotonic_ns()
    writer.join()
    if listeners is not None:
        end = max(end, listeners.wait_for(count))
    return count / ((end - start) / 1e9)


def summary(name, durations, rate):
    return {"name": name, "p50": statistics.median(durations), "p99": percentile(durations, 0.99),
            "rate": rate}


# --- the helper ------------------------------------------------------------

def measure_helper(args, trace_path=None, exe=None, label="helper"):
    """Both configurations against one run of the helper (exe: another build
    of it). With trace_path the helper records its stamps there and the
    client's stamps come back too."""
    if trace_path is not None:
        os.environ["TUNARA_LINK_TRACE"] = windows_path(trace_path)
    else:
        os.environ.pop("TUNARA_LINK_TRACE", None)
    assert port_free(), "another helper holds port 33645"
    helper = (Helper(exe=exe) if exe else Helper()).start()
    results, stamps = [], {"1": [], "8": []}
    listeners = None
    try:
        main = helper.connect()
        # Warm up: the first frames pay for page faults and caches.
        round_trips(main.sock, MINIMIZE_COMMAND, MINIMIZE_FRAME, 200)
        one = round_trips(main.sock, MINIMIZE_COMMAND, MINIMIZE_FRAME, args.round_trips,
                          stamps["1"])
        rate = burst(main.sock, MINIMIZE_COMMAND, MINIMIZE_FRAME, args.burst)
        results.append(summary(f"{label}, 1 connection", one, rate))

        extra = []
        for _ in range(EXTRA_CONNECTIONS):
            # A finished handshake is not yet a registered connection (the
            # helper accepts it when it gets to it, maybe after some round
            # trips, and the listener would miss their events): its own
            # command's event, back on every connection, shows that it is.
            conn = helper.connect()
            conn.send_raw(MINIMIZE_COMMAND)
            for other in [main] + extra + [conn]:
                if other.read_frame(timeout=20) != MINIMIZE_FRAME:
                    raise AssertionError("unexpected event while connecting")
            extra.append(conn)
        listeners = Listeners([conn.sock for conn in extra], MINIMIZE_FRAME)
        round_trips(main.sock, MINIMIZE_COMMAND, MINIMIZE_FRAME, 200)
        listeners.wait_for(200)
        arrivals = []
        eight = round_trips(main.sock, MINIMIZE_COMMAND, MINIMIZE_FRAME, args.round_trips,
                            stamps["8"], arrivals)
        listeners.wait_for(200 + args.round_trips)
        lag = listener_lag(listeners, 200, arrivals)
        rate = burst(main.sock, MINIMIZE_COMMAND, MINIMIZE_FRAME, args.burst,
                     _Offset(listeners, 200 + args.round_trips))
        results.append(summary(f"{label}, 8 connections", eight, rate))
        results[-1]["lag"] = lag
    finally:
        if listeners is not None:
            listeners.stop()
            for sock in listeners.socks:
                sock.close()
        helper.stop()
    return results, stamps


class _Offset:
    """Listeners whose counts already include earlier answers."""

    def __init__(self, listeners, before):
        self.listeners = listeners
        self.before = before

    def wait_for(self, answers):
        return self.listeners.wait_for(self.before + answers)


def windows_path(path):
    return subprocess.run(["winepath", "-w", str(path)], capture_output=True, text=True,
                          check=True).stdout.strip()


# --- mpv -------------------------------------------------------------------

def mpv_request(request_id):
    return (json.dumps({"command": ["get_property", "volume"], "request_id": request_id})
            + "\n").encode()


def mpv_answer(request_id):
    return (json.dumps({"data": 100.0, "request_id": request_id, "error": "success"},
                       separators=(",", ":")) + "\n").encode()


def measure_mpv(args):
    directory = tempfile.mkdtemp()
    path = os.path.join(directory, "mpv.sock")
    proc = subprocess.Popen(["mpv", "--idle=yes", "--no-config", "--no-terminal", "--vo=null",
                             "--ao=null", f"--input-ipc-server={path}"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)

    def connect():
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
        except OSError:
            sock.close()
            return None
        return sock

    def read_line(sock):
        line = b""
        while not line.endswith(b"\n"):
            chunk = sock.recv(1)
            if not chunk:
                raise ConnectionError("mpv closed its IPC connection")
            line += chunk
        return line

    def quiet(sock):
        # Only answers to our requests may come back on the measured client.
        # An event sent before mpv took the request is no answer to it.
        sock.sendall(b'{"command":["disable_event","all"]}\n')
        while b'"error"' not in read_line(sock):
            pass
        return sock

    results = []
    listeners = None
    try:
        main = quiet(wait_until(connect, 20, interval=0.05, what="mpv's IPC socket"))
        # mpv prints the number as it likes: learn its answer's exact bytes.
        main.sendall(mpv_request(0))
        answer = read_line(main)
        while b'"data"' not in answer and b'"error":"success"' in answer:
            answer = read_line(main)  # a late reply to an earlier request
        request, expected = mpv_request(1), answer.replace(b'"request_id":0', b'"request_id":1')
        if b'"request_id":0' not in answer:
            raise AssertionError(f"mpv answered {answer!r}")
        for label, extra in (("mpv, 1 connection", 0), ("mpv, 8 connections", EXTRA_CONNECTIONS)):
            others = [wait_until(connect, 5, what="another mpv client") for _ in range(extra)]
            if others:
                listeners = Listeners(others, None)
            round_trips(main, request, expected, 200)
            durations = round_trips(main, request, expected, args.round_trips)
            rate = burst(main, request, expected, args.burst)
            results.append(summary(label, durations, rate))
    finally:
        if listeners is not None:
            listeners.stop()
        proc.terminate()
        proc.wait(timeout=10)
    return results


# --- the trace -------------------------------------------------------------

TRACE_FIELDS = ["frame", "first_notification", "notifications", "passes", "notify", "header",
                "payload", "decoded", "queued", "sent", "handled"]


def read_trace(path):
    counters, frames = {}, []
    for line in Path(path).read_text().splitlines():
        if line.startswith("#"):
            for item in line[1:].split():
                key, _, value = item.partition("=")
                counters[key] = float(value)
        elif line and line[0].isdigit():
            frames.append(dict(zip(TRACE_FIELDS, (int(v) for v in line.split(",")))))
    return counters, frames


def breakdown(frames, stamps, first):
    """Per round trip, in microseconds: the stages between the client's write
    and its read of the answer. Helper stamps are wall-clock ns too."""
    stages = {"client write -> OnReceive": [], "OnReceive -> payload complete": [],
              "decode": [], "dispatch and encode": [], "send": [], "sent -> client has it": [],
              "whole round trip": []}
    notifications, passes = [], []
    for (wrote, read), frame in zip(stamps, frames[first:first + len(stamps)]):
        stages["client write -> OnReceive"].append(frame["notify"] - wrote)
        stages["OnReceive -> payload complete"].append(frame["payload"] - frame["notify"])
        stages["decode"].append(frame["decoded"] - frame["payload"])
        stages["dispatch and encode"].append(frame["queued"] - frame["decoded"])
        stages["send"].append(frame["sent"] - frame["queued"])
        stages["sent -> client has it"].append(read - frame["sent"])
        stages["whole round trip"].append(read - wrote)
        notifications.append(frame["notifications"])
        passes.append(frame["passes"])
    return ({name: (statistics.median(v) / 1000, percentile(v, 0.99) / 1000)
             for name, v in stages.items()},
            statistics.mean(notifications), statistics.mean(passes))


def print_trace(path, stamps, args):
    counters, frames = read_trace(path)
    # Frames: 200 warm-up, the round trips, the burst; one from each new
    # connection; then again with 8.
    first8 = 200 + args.round_trips + args.burst + EXTRA_CONNECTIONS + 200
    expected = first8 + args.round_trips + args.burst
    if len(frames) != expected:
        print(f"trace: {len(frames)} frames recorded, {expected} expected")
        return
    for label, first, key in (("1 connection", 200, "1"), ("8 connections", first8, "8")):
        stages, notes, passes = breakdown(frames, stamps[key], first)
        print(f"\nwhere a round trip goes, {label} (us, median / p99; "
              f"{notes:.2f} read notifications and {passes:.2f} passes per frame):")
        for name, (p50, p99) in stages.items():
            print(f"  {name:32s} {p50:8.1f} {p99:8.1f}")
    for label, first in (("1 connection", 200 + args.round_trips),
                         ("8 connections", first8 + args.round_trips)):
        chunk = frames[first:first + args.burst]
        notes = chunk[-1]["first_notification"] + chunk[-1]["notifications"] - \
            chunk[0]["first_notification"]
        sends = sum(1 for a, b in zip(chunk, chunk[1:]) if a["sent"] != b["sent"]) + 1
        passes = sum(f["passes"] for f in chunk)
        print(f"burst, {label}: {args.burst} frames in {passes} passes over {notes} read "
              f"notifications, their events in {sends} flushes")
    print("counters: " + ", ".join(f"{k} {v:g}" for k, v in counters.items()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--round-trips", type=int, default=2000)
    parser.add_argument("--burst", type=int, default=20000)
    parser.add_argument("--before", type=Path,
                        help="another build of TunaraHelper.exe to measure in the same run")
    parser.add_argument("--trace", action="store_true",
                        help="also run the helper with its trace and print the breakdown")
    args = parser.parse_args()

    ui = UiDouble().install()
    try:
        rows = []
        rows += measure_helper(args)[0]
        if args.before:
            rows += measure_helper(args, exe=args.before.resolve(), label="before")[0]
        rows += measure_mpv(args)
        print(f"\nload average {os.getloadavg()[0]:.1f} (1 min), {os.cpu_count()} cores")
        print(f"{'':24s} {'p50 ms':>8s} {'p99 ms':>8s} {'burst /s':>10s}")
        for row in rows:
            print(f"{row['name']:24s} {row['p50']:8.3f} {row['p99']:8.3f} {row['rate']:10,.0f}")
        for row in rows:
            if "lag" in row:
                print(f"{row['name']}: the listeners had each event "
                      "{:.3f} / {:.3f} / {:.3f} ms (p50 / p99 / worst) after the commanding "
                      "connection".format(*row["lag"]))
        if args.trace:
            trace = drive_c() / "tunara-test" / "link-trace.txt"
            trace.unlink(missing_ok=True)
            traced, stamps = measure_helper(args, trace)
            print("\nwith the trace on:")
            for row in traced:
                print(f"{row['name']:24s} {row['p50']:8.3f} {row['p99']:8.3f} "
                      f"{row['rate']:10,.0f}")
            wait_until(trace.exists, 10, what="the helper's trace")
            print_trace(trace, stamps, args)
    finally:
        ui.end_all()


if __name__ == "__main__":
    main()
