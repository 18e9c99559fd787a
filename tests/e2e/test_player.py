"""The player host and its events, against the real executable under Wine
with the scriptable test player registered for the player's class id."""
import pytest

from launcher_doubles import start_helper, ui_double  # noqa: F401
from player_double import (INIT_STREAM, PLAYER_DLL_WIN, SERVER_KEYS, player,  # noqa: F401
                           player_registered, reg_value)

STATUS_3_PAYLOAD = bytes.fromhex(
    "0901096461746104030974797065061D776D705374617475734576656E7401")
ERROR_ABC_PAYLOAD = bytes.fromhex(
    "09010964617461090301090109636F646505BFF0000000000000176465736372697074696F6E"
    "0607616263010974797065061B776D704572726F724576656E7401")
URL = "http://radio.example/stream?q=\u00e9\u6771\u4eac"


def put_urls(player):
    return [call.text() for call in player.lines()
            if call.kind == "call" and call.fields[:3] == ["control", "1", "put"]]


def stops(player):
    return len(player.calls("controls", 52))


def assert_sub_objects_released(player):
    """Whatever the helper fetched from the player was released before the
    operation that fetched it ended: nothing is alive once a script's events
    have been handled, and nothing was released twice."""
    alive = 0
    for call in player.lines():
        if call.kind == "new":
            alive += 1
        elif call.kind == "free":
            alive -= 1
        elif call.kind == "script-done":
            assert alive == 0, f"{alive} sub-object(s) alive after {call}"
    assert player.errors() == []


# Runs first, before the module registers the test player: with Wine's own
# player (whose every call fails) the helper must still serve and end.
def test_wine_own_player_does_no_harm(helper):
    server = reg_value(f"HKEY_LOCAL_MACHINE\\{SERVER_KEYS['HKEY_LOCAL_MACHINE']}")
    if server == PLAYER_DLL_WIN:
        pytest.skip("the test player is registered")
    conn = helper.connect()
    for name, data in [("wmpSetVolume", "75"), ("wmpPlay", URL), ("wmpStop", None),
                       ("wmpSetVolume", "loud")]:
        conn.send_command(name, data)
    conn.send_command("launcherMinimize")
    assert conn.read_event() == ("minimizeEvent", True)
    conn.close()
    assert helper.wait_exit(10) == 0


def test_control_is_hosted_and_loaded_byte_for_byte(player, helper):
    helper.connect()
    player.wait_created()
    kinds = [c.kind for c in player.lines()]
    assert kinds[:5] == ["create", "set-client-site", "load", "advise", "activate"]
    assert player.lines()[1].fields == ["ex=1"]
    assert player.stream.read_bytes() == INIT_STREAM
    # Placed at 7, 7 with 302 x 148 dialog units, whatever the font's units.
    left, top, right, bottom = map(int, player.lines()[4].fields[0].split(","))

    def fits(base, *pairs):
        # MapDialogRect rounds halves up.
        return any(all((2 * du * b + div) // (2 * div) == px for du, div, px in pairs)
                   for b in base)
    assert fits(range(1, 40), (7, 4, left), (309, 4, right)), (left, right)
    assert fits(range(1, 80), (7, 8, top), (155, 8, bottom)), (top, bottom)


def test_status_events_only_while_playing(player, helper):
    conn = helper.connect()
    player.wait_created()
    player.script(("state", 3))
    conn.expect_silence()

    conn.send_command("wmpPlay", URL)
    player.wait_calls(1, "control", 1)
    player.script(("state", 3))
    assert conn.read_frame()[8:] == STATUS_3_PAYLOAD
    player.script(("state", 6, "i4"), ("state", "0xFFFFFFFF"))
    assert conn.read_event() == ("wmpStatusEvent", 6)
    assert conn.read_event() == ("wmpStatusEvent", -1)
    # Events the helper does not handle, or with arguments that do not fit
    # the handler, pass without a trace.
    player.script(("event", 5001, 7), ("event", 5101), ("event", 5101, 1, 2), ("event", 5802, 3))
    conn.expect_silence()

    conn.send_command("wmpPlay", "")
    player.wait_calls(2, "control", 1)
    assert put_urls(player) == [URL, ""]

    conn.send_command("wmpStop")
    player.wait_calls(1, "controls", 52)
    player.script(("state", 1))
    conn.expect_silence()
    assert_sub_objects_released(player)


def test_state_changes_inside_a_call_see_the_flag_as_before(player, helper):
    conn = helper.connect()
    player.wait_created()
    conn.send_command("wmpStop")  # stop without a play: still called
    player.wait_calls(1, "controls", 52)

    player.script(("on-url", "state", 9))
    conn.send_command("wmpPlay", URL)
    player.wait_calls(1, "control", 1)
    conn.expect_silence()  # raised inside the first play: not yet playing

    player.script(("on-stop", "state", 1))
    conn.send_command("wmpStop")
    assert conn.read_event() == ("wmpStatusEvent", 1)  # inside the stop: still playing
    player.script(("state", 3))
    conn.expect_silence()


def test_media_events(player, helper):
    conn = helper.connect()
    player.wait_created()
    # Not playing: media events go out all the same.
    player.script(("media", "Title", "Caf\u00e9 \u266b", "Author", "Ann", "Title", "Later"))
    assert conn.read_event() == ("wmpMediaEvent", {"Title": "Later", "Author": "Ann"})
    assert player.calls("media") == [
        ("media", 759, "get", None),
        ("media", 760, "call", "i:0"), ("media", 761, "call", "s:" + b"Title".hex()),
        ("media", 760, "call", "i:1"), ("media", 761, "call", "s:" + b"Author".hex()),
        ("media", 760, "call", "i:2"), ("media", 761, "call", "s:" + b"Title".hex()),
    ]
    player.script(("media",))
    player.script(("nomedia",))
    conn.expect_silence()
    assert_sub_objects_released(player)


def test_error_event_reports_clears_and_stops(player, helper):
    conn = helper.connect()
    player.wait_created()
    conn.send_command("wmpPlay", URL)
    player.wait_calls(1, "control", 1)
    player.script(("error", "0xC00D1197", "first", "5", "second \u00e9", "0x80000000", "third"))
    assert conn.read_event() == ("wmpErrorEvent", [
        {"code": -1072885353.0, "description": "first"},
        {"code": 5.0, "description": "second \u00e9"},
        {"code": -2147483648.0, "description": "third"}])
    conn.expect_silence()
    order = [(o, d) for o, d, _, _ in player.calls()]
    assert order[-3:] == [("error", 851), ("control", 4), ("controls", 52)]
    assert [a for o, d, _, a in player.calls("error", 853)] == ["i:0", "i:1", "i:2"]

    # Stopped: later state changes are not reported until the next play.
    player.script(("state", 3))
    conn.expect_silence()
    # An error that finds the queue empty changes nothing.
    conn.send_command("wmpPlay", URL)
    player.wait_calls(2, "control", 1)
    player.script(("error",))
    conn.expect_silence()
    assert stops(player) == 1
    player.script(("state", 3))
    assert conn.read_event() == ("wmpStatusEvent", 3)
    assert_sub_objects_released(player)


def test_error_event_wire_form_and_state_change_inside_its_stop(player, helper):
    conn = helper.connect()
    player.wait_created()
    conn.send_command("wmpPlay", URL)
    player.wait_calls(1, "control", 1)
    player.script(("on-stop", "state", 1), ("error", "0xFFFFFFFF", "abc"))
    assert conn.read_frame()[8:] == ERROR_ABC_PAYLOAD
    assert conn.read_event() == ("wmpStatusEvent", 1)
    conn.expect_silence()


def test_error_inside_the_url_put_leaves_playing_set(player, helper):
    conn = helper.connect()
    player.wait_created()
    player.script(("on-url", "error", "1", "bad"))
    conn.send_command("wmpPlay", URL)
    assert conn.read_event() == ("wmpErrorEvent", [{"code": 1.0, "description": "bad"}])
    player.wait_calls(1, "controls", 52)
    player.script(("state", 3))
    assert conn.read_event() == ("wmpStatusEvent", 3)


# (volume text, value put on the player or None), sent in this order to one
# helper: the stored value carries over from one command to the next.
VOLUME_SEQUENCE = [
    ("loud", 100),  # nothing parsed yet: the initial value goes again
    ("75", 75),
    ("loud", 75),
    ("42abc", 42),
    ("", None),
    ("   ", None),
    ("-5", -5),
    ("150", 150),
    (" \t+7", 7),
]


def test_volume_puts_exactly_the_scanned_values(player, helper):
    conn = helper.connect()
    player.wait_created()
    for text, _ in VOLUME_SEQUENCE:
        conn.send_command("wmpSetVolume", text)
    conn.send_command("wmpSetVolume")  # no data: ignored
    expected = [f"i:{value}" for _, value in VOLUME_SEQUENCE if value is not None]
    player.wait_calls(len(expected), "settings", 107)
    conn.send_command("launcherMinimize")  # every command before it has run
    conn.read_event()
    assert [a for _, _, _, a in player.calls("settings", 107)] == expected
    # Each settings object is released before the next command's calls.
    lines = [c for c in player.lines() if c.kind in ("call", "free")]
    for i, line in enumerate(lines):
        if line.kind == "call" and line.fields[:2] == ["settings", "107"]:
            assert (lines[i + 1].kind, lines[i + 1].fields) == ("free", ["settings"])
    assert player.errors() == []


def test_last_connection_closing_stops_before_the_end(player, helper):
    first = helper.connect()
    second = helper.connect()
    player.wait_created()
    first.send_command("wmpPlay", URL)
    player.wait_calls(1, "control", 1)
    first.close()
    second.send_command("launcherMinimize")
    second.read_event()
    assert stops(player) == 0
    second.close()
    assert helper.wait_exit(10) == 0
    # The stop came after the last connection went; then the control was
    # taken down and released completely.
    assert player.calls()[-1] == ("controls", 52, "call", None)
    kinds = [c.kind for c in player.lines()]
    assert kinds[kinds.index("unadvise"):] == [
        "unadvise", "deactivate", "close", "set-client-site", "destroy"]
    assert player.lines()[-1].fields == ["live=0"]
    assert player.errors() == []


def test_missing_control_leaves_the_rest_working(player, ui_double, start_helper):
    """The class id names a file that is not there: no control, no crash."""
    player.register(r"C:\Program Files\TunaraTest\missing.dll")
    try:
        helper = start_helper()
        conn = helper.connect()
        for name, data in [("wmpPlay", URL), ("wmpSetVolume", "5"), ("wmpStop", None)]:
            conn.send_command(name, data)
        conn.send_command("launcherMinimize")
        assert conn.read_event() == ("minimizeEvent", True)
        conn.close()
        assert helper.wait_exit(10) == 0
    finally:
        player.register()
    assert player.lines() == []


def test_reader_that_stops_is_cut_off_at_the_cap(player, helper):
    import socket
    main = helper.connect()
    player.wait_created()
    sleeper = socket.socket()
    sleeper.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sleeper.connect(("127.0.0.1", 33645))
    main.send_command("launcherMinimize")  # both are registered once this is answered
    assert main.read_event() == ("minimizeEvent", True)
    # Media events of 1 MB each; the sleeper reads none of them until 20 have
    # gone out, far past the 8 MiB cap plus what the kernels buffer.
    text = "x" * 1_000_000
    for i in range(20):
        player.script(("media", "Title", text + str(i)))
        assert main.read_event(timeout=30) == ("wmpMediaEvent", {"Title": text + str(i)})
    got = bytearray()
    sleeper.settimeout(10)
    while chunk := sleeper.recv(1 << 20):
        got += chunk
    assert 0 < len(got) < 20 * 1_000_000, "the sleeper was never cut off"
    # The helper goes on serving the connection that reads.
    main.send_command("launcherClose")
    assert main.read_event() == ("closeEvent", True)
    assert helper.running()
