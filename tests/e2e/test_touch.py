"""The stylus tool and the on-screen keyboard, and "getURL", against the real
helper under Wine with recording doubles of the outside programs."""
import time

import pytest

from touch_doubles import STYLUS_DIR_WIN, http_handler, touch_doubles  # noqa: F401 (fixtures)

STATE = ("StylusManager.exe", " -state")
START = ("StylusManager.exe", " -start")
MINIMIZE = ("StylusManager.exe", " -minimize 1")
LAUNCH = ("Stylus.exe", " -hide -nosplash")

# command, the manager's answers to successive state queries, the programs
# started, in order.
STYLUS_CASES = {
    "show, tool there": ("stylusShow", ["0"], [STATE, START]),
    "show, tool not there twice": ("stylusShow", ["-2"], [STATE, LAUNCH, STATE]),
    "show, tool on its way": ("stylusShow", ["-2", "-1 ready=2000"],
                              [STATE, LAUNCH, STATE, START]),
    "show, manager still running": ("stylusShow", ["0 delay=8000"], [STATE, START]),
    "hide, tool not there": ("stylusHide", ["-2"], [STATE]),
    "hide, tool there": ("stylusHide", ["0"], [STATE, MINIMIZE]),
    "hide, manager hangs": ("stylusHide", ["0 delay=8000"], [STATE, MINIMIZE]),
}


def processed(conn, timeout=40):
    """Waits until every command sent so far has run: commands run in order,
    and "launcherMinimize" without a launcher answers at once."""
    conn.send_command("launcherMinimize")
    assert conn.read_event(timeout=timeout)[0] == "minimizeEvent"


@pytest.mark.parametrize("name", list(STYLUS_CASES))
def test_stylus_command(helper, touch_doubles, name):
    command, answers, expected = STYLUS_CASES[name]
    touch_doubles.script(*answers)
    conn = helper.connect()
    started = time.monotonic()
    conn.send_command(command)
    processed(conn)
    elapsed = time.monotonic() - started
    starts = touch_doubles.starts()
    assert [(program, line) for program, line, _ in starts] == expected
    assert {directory for _, _, directory in starts} == {STYLUS_DIR_WIN}
    if "delay=8000" in answers[0]:
        # Waited 5 s for the manager, then went on while it still ran.
        assert 5.0 <= elapsed < 7.5, elapsed
    if "ready=2000" in answers[-1]:
        assert 2.0 <= elapsed < 5.0, elapsed


def test_stylus_wait_holds_back_later_frames_in_order(helper, touch_doubles):
    touch_doubles.script("0 delay=3000")
    conn = helper.connect()
    started = time.monotonic()
    conn.send_command("stylusShow")
    conn.send_command("launcherMinimize")
    conn.send_command("launcherClose")
    conn.expect_silence(2.0)
    assert conn.read_event(timeout=20)[0] == "minimizeEvent"
    assert time.monotonic() - started >= 3.0
    assert conn.read_event()[0] == "closeEvent"
    assert [(p, line) for p, line, _ in touch_doubles.starts()] == [STATE, START]


def test_tip_show_twice_opens_the_keyboard_twice(helper, touch_doubles):
    conn = helper.connect()
    conn.send_command("tipShow")
    conn.send_command("tipShow")
    processed(conn)
    # The shell does not wait for the keyboard to start.
    starts = touch_doubles.wait_starts(2)
    assert [program for program, _, _ in starts] == ["TabTip.exe", "TabTip.exe"]
    conn.expect_silence(0.5)
    assert len(touch_doubles.starts()) == 2


def test_get_url_with_empty_text_does_nothing(helper, touch_doubles):
    conn = helper.connect()
    conn.send_command("getURL", "")
    processed(conn)
    conn.expect_silence(1.0)
    assert touch_doubles.starts() == []


def test_get_url_starts_a_program_by_path(helper, touch_doubles):
    path = touch_doubles.place_recorder("with space/Opened.exe")
    conn = helper.connect()
    conn.send_command("getURL", path)
    processed(conn)
    starts = touch_doubles.wait_starts(1)
    assert [program for program, _, _ in starts] == ["Opened.exe"]


def test_get_url_web_address_goes_to_its_handler_without_blocking(helper, touch_doubles,
                                                                 http_handler):
    address = "http://127.0.0.1:9/tunara?a=1&b=2"
    conn = helper.connect()
    started = time.monotonic()
    conn.send_command("getURL", address)
    processed(conn, timeout=5)
    assert time.monotonic() - started < 5
    starts = touch_doubles.wait_starts(1)
    assert starts[0][0] == http_handler
    assert starts[0][1].endswith(f'"{address}"'), starts[0][1]
