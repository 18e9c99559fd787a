#!/usr/bin/env python3
"""TunaraPlayer under the real helper in Wine: time from "wmpPlay" to
playing, and the helper's CPU share and memory while it plays the test
radio's 128 kbit/s station for a minute. Results go to docs/radio.md.

Run in a private network namespace and Wine prefix, with the windows build
made (TUNARA_BUILD picks another build dir):

  WINEPREFIX=$PWD/build/wineprefix-radio unshare -n bash -c \
    'ip link set lo up; source scripts/lib/wine.sh; trap wine_teardown EXIT; wine_setup;
     python3 bench/radio_bench.py [--seconds 60] [--starts 10]'
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

from harness import Helper, port_free  # noqa: E402
from launcher_doubles import UiDouble  # noqa: E402
from radio_server import RadioServer  # noqa: E402
from test_radio import PLAYER_DLL, PLAYER_DLL_WIN, Events, registered_server, run_wine  # noqa: E402
import shutil  # noqa: E402
from launcher_doubles import drive_c  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid):
    """(private, resident) in KiB, as Linux counts them for the process."""
    values = {}
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0].endswith(":"):
            values[parts[0][:-1]] = int(parts[1])
    return values.get("Private_Clean", 0) + values.get("Private_Dirty", 0), values.get("Rss", 0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--starts", type=int, default=10)
    args = parser.parse_args()

    home = tempfile.mkdtemp()
    Path(home, ".asoundrc").write_text('pcm.!default { type null }\n')
    os.environ["HOME"] = home

    target = drive_c() / "Program Files" / "TunaraPlayer"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(PLAYER_DLL, target / "TunaraPlayer.dll")
    before = registered_server()
    assert run_wine("regsvr32", "/s", PLAYER_DLL_WIN)[0] == 0
    ui = UiDouble().install()
    radio = RadioServer(max_seconds=args.seconds + 60).start()
    assert port_free()
    helper = Helper().start()
    try:
        conn = helper.connect()
        pid = helper.proc.pid
        time.sleep(1.0)
        idle_private, idle_rss = memory_kib(pid)
        starts = []
        for _ in range(args.starts):
            events = Events(conn)
            sent = time.monotonic()
            conn.send_command("wmpPlay", radio.url("/stream"))
            at, _, _ = events.status(3)
            starts.append((at - sent) * 1000)
            conn.send_command("wmpStop")
            events.status(1)
        events = Events(conn)
        conn.send_command("wmpPlay", radio.url("/stream"))
        events.status(3)
        time.sleep(2)
        cpu0, wall0 = cpu_seconds(pid), time.monotonic()
        peak_private = 0
        while time.monotonic() - wall0 < args.seconds:
            time.sleep(1)
            peak_private = max(peak_private, memory_kib(pid)[0])
        cpu1, wall1 = cpu_seconds(pid), time.monotonic()
        play_private, play_rss = memory_kib(pid)
        conn.send_command("wmpStop")
        events.status(1)
        print(f"play->3 ms: median {statistics.median(starts):.0f}, max {max(starts):.0f} "
              f"over {len(starts)} starts: {[round(s) for s in starts]}")
        print(f"CPU while playing: {100 * (cpu1 - cpu0) / (wall1 - wall0):.2f} % of one core "
              f"over {wall1 - wall0:.0f} s")
        print(f"private KiB: idle {idle_private}, playing {play_private} (peak {peak_private}),"
              f" growth {play_private - idle_private}; RSS idle {idle_rss}, playing {play_rss}")
    finally:
        helper.stop()
        radio.stop()
        ui.uninstall()
        run_wine("regsvr32", "/u", "/s", PLAYER_DLL_WIN)
        assert registered_server() == before


if __name__ == "__main__":
    main()
