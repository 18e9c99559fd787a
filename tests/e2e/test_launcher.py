"""Starting the UI and the channel to the launcher, against the real helper
under Wine with the UI program and launcher doubles."""
import os
import select
import subprocess
import time

import pytest

from harness import wait_until
from launcher_doubles import (COPYDATA_TO_LAUNCHER, START_PICTURE_BMP, SYNC_ACTIVATE,
                              SYNC_CLOSING, SYNC_MINIMIZING, SYNC_RELEASE, SYNC_SNAPSHOT,
                              SYNC_SNAPSHOT_REQUEST, SYNC_STARTED, UI_PATH_WIN, elapsed_since,
                              launcher, start_helper)  # noqa: F401 (fixtures)

UI_WIDTH, UI_HEIGHT = 640, 400


def ui_row_pixel(y, x=0):
    """The UI double's pixel as the launcher gets it: blue, green, red, 0."""
    red, green, blue = y & 255, ((y >> 8) * 64 + 32) & 255, x & 255
    return blue | green << 8 | red << 16


@pytest.fixture
def started(launcher, ui_double, start_helper):
    """A launcher that acknowledges everything, then a helper that has
    announced the UI to it; yields (helper, connection)."""
    launcher.start("dump on")
    helper = start_helper()
    conn = helper.connect()
    launcher.wait_records(1)
    return helper, conn


def start_picture_pixels():
    """The start picture as the launcher should get it: 32 bits per pixel,
    top row first (the file holds it bottom row first, 24 bits)."""
    data = START_PICTURE_BMP.read_bytes()
    rows = [data[54 + y * 3072:54 + (y + 1) * 3072] for y in range(600)]
    expected = bytearray(1024 * 600 * 4)
    for row, source in enumerate(reversed(rows)):
        target = row * 4096
        expected[target:target + 4096:4] = source[0::3]
        expected[target + 1:target + 4096:4] = source[1::3]
        expected[target + 2:target + 4096:4] = source[2::3]
    return expected


# Without a launcher.

def test_without_launcher_the_ui_is_started_and_asked_to_minimise_and_close(helper, ui_double):
    conn = helper.connect()
    pid = ui_double.window_pid()
    start = ui_double.named("START", pid)[0]
    assert " ".join(start.args) == f'"{UI_PATH_WIN}"'
    assert ui_double.started() == [pid]
    conn.send_command("launcherMinimize")
    assert conn.read_event()[0] == "minimizeEvent"
    conn.send_command("launcherClose")
    assert conn.read_event()[0] == "closeEvent"
    # Closing is the UI's own business here: its window is not told.
    assert not ui_double.named("CLOSE")
    assert ui_double.running(pid)


@pytest.mark.parametrize("case", ["no window", "program missing", "window too late"])
def test_without_a_ui_window_the_helper_ends_silently_at_start(ui_double, start_helper, case):
    if case == "no window":
        ui_double.start_options("no-window")
    elif case == "program missing":
        ui_double.uninstall()
    else:
        ui_double.start_options("window-delay=4000")
    helper = start_helper()
    assert helper.wait_exit(timeout=20) == 0
    if case == "program missing":
        assert ui_double.started() == []
    if case == "window too late":
        # The UI became idle without a window; it keeps running after the
        # helper has gone, and shows its window later.
        (pid,) = ui_double.started()
        ui_double.wait_event("WINDOW", pid)
        assert ui_double.running(pid)


def _free_display(first):
    """The first display from `first` on whose lock and socket file are both
    absent. Xvfb's own search is not used: in a network namespace of its own
    it finds display 0 free (abstract sockets belong to the namespace) and
    takes over, then removes, the socket file of a server elsewhere."""
    n = first
    while os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
        n += 1
    return n


@pytest.fixture
def display_16_bits():
    """An X display of its own at 16 bits per pixel; Wine takes each
    program's depth from the display it runs on."""
    n = 500 + os.getpid() % 400
    for _ in range(8):
        n = _free_display(n)
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", f":{n}", "-displayfd", str(write_end), "-screen", "0",
                                 "1024x600x16", "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        ready, _, _ = select.select([read_end], [], [], 20)
        display = os.read(read_end, 64).decode().strip() if ready else ""
        os.close(read_end)
        if display:
            break
        xvfb.kill()
        xvfb.wait(timeout=10)
        n += 1
    assert display, "Xvfb did not start"
    try:
        yield ":" + display
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)


def test_on_a_16_bit_display_the_start_picture_is_refused_and_no_ui_started(
        ui_double, start_helper, display_16_bits, monkeypatch):
    monkeypatch.setenv("DISPLAY", display_16_bits)
    helper = start_helper()
    assert helper.wait_exit(timeout=20) == 0
    assert ui_double.started() == []


# With a launcher.

def test_start_is_announced_with_the_start_picture(started, launcher, ui_double):
    (record,) = launcher.records()
    assert record.code == SYNC_STARTED
    assert record.tag == COPYDATA_TO_LAUNCHER
    marker, window, process, width, height, bits = record.words
    assert marker == -1
    assert window == record.wparam and window != 0
    assert process != 0
    assert (width, height, bits) == (1024, 600, 32)
    assert record.count == 2457632
    data = launcher.dumped(record.seq)
    pixels = data[28:28 + 2457600]
    expected = start_picture_pixels()
    for channel in range(3):
        assert pixels[channel::4] == expected[channel::4], f"channel {channel}"
    # The UI was up before the launcher heard of it.
    assert ui_double.named("WINDOW")[0].tick <= record.tick


def test_minimize_sends_a_fresh_capture_bottom_row_first_and_no_event(started, launcher,
                                                                      ui_double):
    _, conn = started
    conn.send_command("launcherMinimize")
    record = launcher.wait_records(2)[1]
    assert record.code == SYNC_MINIMIZING
    assert (record.width, record.height, record.bits_per_pixel) == (UI_WIDTH, UI_HEIGHT, 32)
    assert record.count == UI_WIDTH * UI_HEIGHT * 4 + 32
    assert record.first == ui_row_pixel(UI_HEIGHT - 1)
    assert record.last == ui_row_pixel(0)
    conn.expect_silence(0.5)
    assert not ui_double.named("CLOSE")


def test_close_notifies_the_launcher_then_closes_the_ui_window(started, launcher, ui_double):
    _, conn = started
    pid = ui_double.window_pid()
    conn.send_command("launcherClose")
    record = launcher.wait_records(2)[1]
    assert record.code == SYNC_CLOSING
    assert (record.width, record.height) == (UI_WIDTH, UI_HEIGHT)
    (close,) = ui_double.wait_event("CLOSE", pid)
    assert close.tick >= launcher.done_tick(record.seq)
    conn.expect_silence(0.3)


def test_snapshot_request_is_answered_with_the_stored_picture(started, launcher):
    _, conn = started
    launcher.command(f"send {SYNC_SNAPSHOT_REQUEST}")
    start_record, snapshot = launcher.wait_records(2)
    assert snapshot.code == SYNC_SNAPSHOT
    assert snapshot.checksum == start_record.checksum
    # After a capture, the capture is what is stored: no new one is made.
    conn.send_command("launcherMinimize")
    capture = launcher.wait_records(3)[2]
    launcher.command(f"send {SYNC_SNAPSHOT_REQUEST}")
    snapshot = launcher.wait_records(4)[3]
    assert (snapshot.code, snapshot.checksum) == (SYNC_SNAPSHOT, capture.checksum)
    assert launcher.dumped(snapshot.seq)[28:] == launcher.dumped(capture.seq)[28:]


def test_activate_brings_the_ui_window_back(started, launcher, ui_double):
    pid = ui_double.window_pid()
    ui_double.command(pid, "minimize")
    wait_until(lambda: ui_double.report(pid)["iconic"] == 1, 5, what="the UI to minimise")
    launcher.command(f"send {SYNC_ACTIVATE} 0")
    launcher.wait_sent(SYNC_ACTIVATE)
    state = ui_double.report(pid)
    assert state["iconic"] == 0 and state["visible"] == 1, state


def test_commands_wait_for_the_acknowledgement_and_then_run_in_order(started, launcher):
    _, conn = started
    # The launcher goes away after 1 s and acknowledges after 1.5 s: the
    # commands queued behind the first find no launcher and answer the UI.
    launcher.command(f"on {SYNC_MINIMIZING} vanish@1000 ack@1500")
    sent_at = time.monotonic()
    conn.send_command("launcherMinimize")
    conn.send_command("launcherMinimize")
    conn.send_command("launcherClose")
    assert conn.read_event(timeout=10)[0] == "minimizeEvent"
    assert elapsed_since(sent_at) >= 1.4
    assert conn.read_event(timeout=5)[0] == "closeEvent"
    assert [r.code for r in launcher.records()] == [SYNC_STARTED, SYNC_MINIMIZING]


def test_requests_are_served_while_the_helper_is_sending(started, launcher):
    _, conn = started
    # From inside its handling of the record, the launcher asks for the
    # picture: the helper answers while its own send is still running.
    launcher.command(f"on {SYNC_MINIMIZING} inside:{SYNC_SNAPSHOT_REQUEST} ack")
    conn.send_command("launcherMinimize")
    conn.send_command("launcherMinimize")
    _, minimize, snapshot, minimize_again, _ = launcher.wait_records(5)
    assert (minimize.code, snapshot.code) == (SYNC_MINIMIZING, SYNC_SNAPSHOT)
    assert snapshot.tick <= launcher.done_tick(minimize.seq)
    # The picture asked for is the capture just taken.
    assert snapshot.checksum == minimize.checksum
    # The picture's wait and the record's own wait were both acknowledged;
    # a time-out in either would have held the second command 2 s or more.
    assert minimize_again.tick - minimize.tick < 1500


def test_one_acknowledgement_ends_a_nested_snapshot_wait_and_the_outer_wait(launcher,
                                                                             ui_double,
                                                                             start_helper):
    # The start record is answered by a picture request instead of an ack;
    # the one ack for the picture must end the start's wait too.
    launcher.start(f"on {SYNC_STARTED} req:{SYNC_SNAPSHOT_REQUEST}@100",
                   f"on {SYNC_SNAPSHOT} ack@100")
    helper = start_helper()
    conn = helper.connect()
    records = launcher.wait_records(2)
    launcher.command(f"on {SYNC_MINIMIZING} ack")
    conn.send_command("launcherMinimize")
    minimize = launcher.wait_records(3)[2]
    assert [r.code for r in records[:2]] == [SYNC_STARTED, SYNC_SNAPSHOT]
    # Without the shared acknowledgement the start would have waited 30 s.
    assert minimize.tick - records[0].tick < 5000


def test_picture_requests_nested_in_each_answer_stop_at_a_bounded_depth(started, launcher):
    helper, conn = started
    launcher.command(f"on {SYNC_SNAPSHOT} inside:{SYNC_SNAPSHOT_REQUEST} ack@50",
                     f"send {SYNC_SNAPSHOT_REQUEST}")
    launcher.wait_sent(SYNC_SNAPSHOT_REQUEST, count=5)
    time.sleep(1)
    snapshots = [r for r in launcher.records() if r.code == SYNC_SNAPSHOT]
    assert len(snapshots) == 4
    launcher.command(f"on {SYNC_MINIMIZING} ack")
    conn.send_command("launcherMinimize")
    assert launcher.wait_records(6)[5].code == SYNC_MINIMIZING
    assert helper.running()


def test_short_unknown_and_mistagged_requests_change_nothing(started, launcher):
    helper, conn = started
    launcher.command("send 12", "send 13", "send 14", "send 99",
                     f"send {SYNC_SNAPSHOT_REQUEST} bytes=3",
                     f"send {SYNC_ACTIVATE} 0 bytes=4",
                     f"send {SYNC_RELEASE} tag=01326977",
                     f"send {SYNC_SNAPSHOT_REQUEST} tag=0")
    wait_until(lambda: len(launcher.sent()) >= 9, 30, what="the requests to be sent")
    assert all(ok for _, _, ok in launcher.sent()), launcher.sent()
    # No picture was sent, and the release was not taken: the next exchange
    # still waits for its acknowledgement.
    launcher.command(f"on {SYNC_MINIMIZING} ack@1000")
    sent_at = time.monotonic()
    conn.send_command("launcherMinimize")
    conn.send_command("launcherMinimize")
    records = launcher.wait_records(3)
    assert [r.code for r in records] == [SYNC_STARTED, SYNC_MINIMIZING, SYNC_MINIMIZING]
    assert records[2].tick - records[1].tick >= 900
    assert elapsed_since(sent_at) < 10 and helper.running()


def test_after_release_no_exchange_waits(started, launcher):
    _, conn = started
    launcher.command(f"on {SYNC_MINIMIZING} none", f"send {SYNC_RELEASE}")
    launcher.wait_sent(SYNC_RELEASE)
    conn.send_command("launcherMinimize")
    conn.send_command("launcherMinimize")
    conn.send_command("launcherClose")
    records = launcher.wait_records(4, timeout=5)
    assert [r.code for r in records[1:]] == [SYNC_MINIMIZING, SYNC_MINIMIZING, SYNC_CLOSING]
    assert records[3].tick - records[1].tick < 2000


def test_a_launcher_that_never_acknowledges_costs_30_seconds_per_exchange(started, launcher):
    """Slow: one full time-out. A release during the wait does not shorten
    it, but spares every later exchange its wait."""
    helper, conn = started
    launcher.command(f"on {SYNC_MINIMIZING} req:{SYNC_RELEASE}@200")
    conn.send_command("launcherMinimize")
    conn.send_command("launcherMinimize")
    conn.send_command("launcherMinimize")
    records = launcher.wait_records(4, timeout=45)
    first, second, third = records[1:]
    assert 29500 <= second.tick - first.tick < 33000
    assert third.tick - second.tick < 2000
    assert helper.running()


def test_closing_the_sync_window_ends_the_helper_without_a_closing_record(started, launcher,
                                                                        ui_double):
    helper, _ = started
    pid = ui_double.window_pid()
    launcher.command("close-sync")
    assert helper.wait_exit(timeout=10) == 0
    assert [r.code for r in launcher.records()] == [SYNC_STARTED]
    assert ui_double.running(pid)


def test_last_connection_closing_sends_the_stored_picture(started, launcher, ui_double):
    helper, conn = started
    pid = ui_double.window_pid()
    conn.close()
    assert helper.wait_exit(timeout=10) == 0
    start_record, closing = launcher.records()
    assert closing.code == SYNC_CLOSING
    assert closing.checksum == start_record.checksum
    assert ui_double.running(pid)


def test_ui_window_replaced_or_gone(started, launcher, ui_double):
    _, conn = started
    pid = ui_double.window_pid()
    # A new window of the same process is found and captured.
    ui_double.command(pid, "recreate 320x200")
    ui_double.wait_event("WINDOW", pid, count=2)
    conn.send_command("launcherMinimize")
    capture = launcher.wait_records(2)[1]
    assert (capture.width, capture.height) == (320, 200)
    # Once the UI has ended, the previous picture goes out again and
    # nothing is posted to a window that is gone.
    ui_double.command(pid, "exit")
    ui_double.wait_event("EXIT", pid)
    conn.send_command("launcherClose")
    closing = launcher.wait_records(3)[2]
    assert (closing.code, closing.checksum) == (SYNC_CLOSING, capture.checksum)
    conn.send_command("launcherMinimize")
    assert launcher.wait_records(4)[3].checksum == capture.checksum


def test_a_hung_launcher_is_given_up_at_once(started, launcher, ui_double):
    """Slow: a launcher counts as hung after 5 s without taking messages."""
    _, conn = started
    pid = ui_double.window_pid()
    launcher.command("hang 12000")
    hung_at = time.monotonic()
    time.sleep(6)
    conn.send_command("launcherClose")
    # Not sent and not awaited: the UI's window is told at once.
    ui_double.wait_event("CLOSE", pid, timeout=3)
    assert elapsed_since(hung_at) < 10
    # Once it takes messages again, the launcher never sees the record.
    wait_until(lambda: elapsed_since(hung_at) > 13, 20)
    launcher.command(f"send {SYNC_SNAPSHOT_REQUEST}")
    assert [r.code for r in launcher.wait_records(2)] == [SYNC_STARTED, SYNC_SNAPSHOT]
