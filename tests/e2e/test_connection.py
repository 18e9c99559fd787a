"""The helper as a server: framing, events, connections and the end of the
process, against the real executable under Wine."""
import socket
import struct
import threading
import time

import pytest

import amf3
from harness import MAGIC, command, inbound_frame, wait_until

MINIMIZE_FRAME = bytes.fromhex(
    "DADADADA0000001D"
    "0901096461746103097479706506 1B6D696E696D697A654576656E7401".replace(" ", ""))
CLOSE_FRAME = bytes.fromhex(
    "DADADADA0000001A"
    "09010964617461030974797065061563 6C6F73654576656E7401".replace(" ", ""))


def test_events_byte_for_byte_on_every_connection(helper):
    a = helper.connect()
    b = helper.connect()
    a.send_command("launcherMinimize")
    assert a.read_frame() == MINIMIZE_FRAME
    assert b.read_frame() == MINIMIZE_FRAME
    b.send_command("launcherClose")
    assert a.read_frame() == CLOSE_FRAME
    assert b.read_frame() == CLOSE_FRAME


MINIMIZE = command("launcherMinimize")

# Each case sends raw bytes (in pieces) and then one ordinary command: the
# helper must still answer it, and answer nothing else.
FRAMING_CASES = {
    "header split 3 then 5": [inbound_frame(MINIMIZE)[:3], inbound_frame(MINIMIZE)[3:8],
                              inbound_frame(MINIMIZE)[8:]],
    "two frames in one write": [inbound_frame(MINIMIZE) + inbound_frame(MINIMIZE)],
    "zero-length frame": [inbound_frame(b"")],
    "object marker": [inbound_frame(b"\x0A\x0B\x01")],
    "unknown marker": [inbound_frame(b"\xFF")],
    "member list cut short": [inbound_frame(b"\x09\x01\x09type")],
    "string reference beyond table": [inbound_frame(b"\x09\x01\x09type\x06\x04\x01")],
    "two values": [inbound_frame(MINIMIZE + MINIMIZE)],
    "no type member": [inbound_frame(amf3.encode({"Type": "launcherMinimize"}))],
    "name in other case": [inbound_frame(command("LauncherMinimize"))],
    "array without members": [inbound_frame(b"\x09\x01\x01")],
}
# Minimize commands answered by each case before the final one.
FRAMING_EXTRA = {"header split 3 then 5": 1, "two frames in one write": 2}


@pytest.mark.parametrize("name", list(FRAMING_CASES))
def test_framing_keeps_serving(helper, name):
    conn = helper.connect()
    pieces = FRAMING_CASES[name]
    for i, piece in enumerate(pieces):
        conn.send_raw(piece)
        if i + 1 < len(pieces):
            # Each piece in its own segment, and nothing may come of a part.
            conn.expect_silence(0.1)
    for _ in range(FRAMING_EXTRA.get(name, 0)):
        assert conn.read_frame() == MINIMIZE_FRAME
    conn.send_command("launcherClose")
    assert conn.read_frame() == CLOSE_FRAME
    conn.expect_silence(0.2)


def expect_closed(conn, timeout=5.0):
    """The helper ends the connection, having sent nothing on it."""
    conn.sock.settimeout(timeout)
    try:
        chunk = conn.sock.recv(65536)
    except ConnectionResetError:
        return
    assert chunk == b"", f"unexpected bytes: {chunk[:64].hex()}"


def test_other_magic_bytes_close_the_connection(helper):
    main = helper.connect()
    other = helper.connect()
    main.send_command("launcherMinimize")
    assert main.read_frame() == MINIMIZE_FRAME
    assert other.read_frame() == MINIMIZE_FRAME
    # The frame behind the foreign header is never looked at.
    other.send_raw(inbound_frame(MINIMIZE, magic=b"\x00\x11\x22\x33") + inbound_frame(MINIMIZE))
    expect_closed(other)
    main.expect_silence(0.3)
    main.send_command("launcherClose")
    assert main.read_frame() == CLOSE_FRAME


def test_large_payload_is_collected_whole(helper):
    conn = helper.connect()
    payload = amf3.encode({"type": "launcherMinimize", "padding": "x" * 10000})
    assert len(payload) > 10000
    frame = inbound_frame(payload)
    for i in range(0, len(frame), 1000):
        conn.send_raw(frame[i:i + 1000])
    assert conn.read_frame() == MINIMIZE_FRAME


def test_oversized_announcement_is_skipped(helper):
    conn = helper.connect()
    size = 20 * 1024 * 1024
    conn.send_raw(MAGIC + struct.pack("<I", size))
    block = MINIMIZE * (65536 // len(MINIMIZE)) + b"\0" * (65536 % len(MINIMIZE))
    for _ in range(size // len(block)):
        conn.send_raw(block)
    conn.send_raw(b"\0" * (size % len(block)))
    conn.send_command("launcherClose")
    assert conn.read_frame(timeout=60) == CLOSE_FRAME
    conn.expect_silence(0.2)


def test_last_connection_closing_ends_the_helper(helper):
    a = helper.connect()
    b = helper.connect()
    a.send_command("launcherMinimize")
    assert b.read_frame() == MINIMIZE_FRAME
    a.close()
    b.send_command("launcherMinimize")
    assert b.read_frame() == MINIMIZE_FRAME
    assert helper.running()
    b.close()
    assert helper.wait_exit(timeout=1.5) == 0


def test_port_taken_ends_silently(helper):
    # The fixture's helper has not been started by anyone yet: hold the port.
    helper.proc = None
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", 33645))
    blocker.listen(1)
    try:
        helper.start()
        assert helper.wait_exit(timeout=20) == 0
    finally:
        blocker.close()


def test_command_burst_keeps_order(helper):
    conn = helper.connect()
    count = 10000
    data = b"".join(inbound_frame(command("launcherMinimize" if i % 2 == 0 else "launcherClose"))
                    for i in range(count))
    conn.send_raw(data)
    for i in range(count):
        assert conn.read_frame(timeout=30) == (MINIMIZE_FRAME if i % 2 == 0 else CLOSE_FRAME), i


def test_connection_burst_loses_nothing(helper):
    main = helper.connect()
    others = []
    for _ in range(50):
        # A finished TCP handshake is not yet an accepted connection: an
        # event on the new connection shows that the helper registered it.
        conn = helper.connect()
        conn.send_command("launcherMinimize")
        for earlier in [main] + others + [conn]:
            assert earlier.read_frame(timeout=20) == MINIMIZE_FRAME
        others.append(conn)
    for i, conn in enumerate(others):
        conn.send_command("launcherMinimize" if i % 2 == 0 else "launcherClose")
    expected = [MINIMIZE_FRAME if i % 2 == 0 else CLOSE_FRAME for i in range(50)]
    # Every connection sees every event; the commands of different
    # connections may be served in any order, but the same order everywhere.
    seen = [main.read_frame(timeout=20) for _ in range(50)]
    assert sorted(seen) == sorted(expected)
    for conn in others:
        assert [conn.read_frame(timeout=20) for _ in range(50)] == seen
    for conn in others:
        conn.close()
    main.send_command("launcherClose")
    assert main.read_frame() == CLOSE_FRAME
    assert helper.running()


def test_a_flooding_connection_does_not_hold_up_another(helper):
    flooder = helper.connect()
    other = helper.connect()
    other.send_command("launcherMinimize")
    assert flooder.read_frame() == MINIMIZE_FRAME
    assert other.read_frame() == MINIMIZE_FRAME
    # Commands that no table names: each costs the helper the whole path of a
    # frame (reads, decode, dispatch) and sends nothing back, so the flooder
    # always has bytes waiting and the helper never runs out of work.
    flood = inbound_frame(command("noSuchCommand")) * 2000
    stop = threading.Event()
    written = [0]

    def write():
        while not stop.is_set():
            try:
                flooder.sock.sendall(flood)
            except OSError:
                return
            written[0] += 1

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    delays = []
    try:
        wait_until(lambda: written[0] >= 3, 10, what="the flood to fill the socket")
        for _ in range(10):
            start = time.monotonic()
            other.send_command("launcherClose")
            assert other.read_frame(timeout=5) == CLOSE_FRAME
            delays.append(time.monotonic() - start)
            time.sleep(0.02)
        # The flood was still being served throughout.
        assert writer.is_alive()
    finally:
        stop.set()
    writer.join(timeout=60)
    assert not writer.is_alive()
    assert max(delays) < 0.05, [round(d * 1000, 1) for d in delays]
    # The flooder is served as well, in order, once its flood is through.
    flooder.send_command("launcherMinimize")
    for _ in delays:
        assert flooder.read_frame(timeout=30) == CLOSE_FRAME
    assert flooder.read_frame(timeout=30) == MINIMIZE_FRAME
    assert other.read_frame() == MINIMIZE_FRAME


def test_listeners_get_every_event_of_a_command_stream(helper):
    """While one connection sends command after command, the copies of their
    events that the other connections get may leave together, a little
    later; each still gets every one, in order, and soon."""
    main = helper.connect()
    listeners = []
    for _ in range(3):
        # An event on the new connection shows that the helper registered it.
        conn = helper.connect()
        conn.send_command("launcherMinimize")
        for earlier in [main] + listeners + [conn]:
            assert earlier.read_frame() == MINIMIZE_FRAME
        listeners.append(conn)
    count = 300
    expected = [MINIMIZE_FRAME if i % 2 == 0 else CLOSE_FRAME for i in range(count)]
    for i in range(count):
        main.send_command("launcherMinimize" if i % 2 == 0 else "launcherClose")
        assert main.read_frame() == expected[i], i
    done = time.monotonic()
    for conn in listeners:
        assert [conn.read_frame(timeout=5) for _ in range(count)] == expected
    # The last of them was held back at most for the hold's time (10 ms, a
    # timer's resolution on top), not until something else happened.
    assert time.monotonic() - done < 0.5
    # A lone command afterwards reaches everyone at once, as before.
    listeners[0].send_command("launcherClose")
    for conn in [main] + listeners:
        assert conn.read_frame(timeout=1) == CLOSE_FRAME
    for conn in [main] + listeners:
        conn.expect_silence(0.1)
