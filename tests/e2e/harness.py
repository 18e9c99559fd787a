"""Starts the real TunaraHelper.exe under Wine and talks to it over TCP.

The Wine prefix, Xvfb and a persistent wineserver are set up by the caller
(scripts/test, or scripts/e2e by hand); this module only needs WINEPREFIX
and DISPLAY in the environment. Every wait is on a condition with a
deadline, never a fixed sleep.
"""
import os
import socket
import struct
import subprocess
import time
from pathlib import Path

import amf3

ROOT = Path(__file__).resolve().parents[2]
# TUNARA_BUILD points the tests at another build of the windows preset.
BUILD = Path(os.environ.get("TUNARA_BUILD", ROOT / "build" / "windows"))
HELPER_EXE = BUILD / "TunaraHelper.exe"
PORT = 33645
MAGIC = b"\xDA\xDA\xDA\xDA"


def wait_until(predicate, timeout, interval=0.01, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def inbound_frame(payload, magic=MAGIC):
    """A frame as the UI sends it: the length is little-endian."""
    return magic + struct.pack("<I", len(payload)) + payload


def command(name, data=None, **extra):
    members = {"type": name}
    if data is not None:
        members["data"] = data
    members.update(extra)
    return amf3.encode(members)


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = bytearray()

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_payload(self, payload):
        self.send_raw(inbound_frame(payload))

    def send_command(self, name, data=None, **extra):
        self.send_payload(command(name, data, **extra))

    def _fill(self, count, deadline):
        while len(self.buffer) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"waited for {count} bytes, have {len(self.buffer)}")
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise ConnectionError("helper closed the connection")
            self.buffer += chunk

    def read_frame(self, timeout=5.0):
        """Returns the raw bytes of the next outbound frame (header included)."""
        deadline = time.monotonic() + timeout
        self._fill(8, deadline)
        assert bytes(self.buffer[:4]) == MAGIC, bytes(self.buffer[:8]).hex()
        (length,) = struct.unpack(">I", self.buffer[4:8])
        self._fill(8 + length, deadline)
        frame = bytes(self.buffer[:8 + length])
        del self.buffer[:8 + length]
        return frame

    def read_event(self, timeout=5.0):
        """The next event as (type, data)."""
        values = amf3.decode(self.read_frame(timeout)[8:])
        assert len(values) == 1, values
        return values[0]["type"], values[0]["data"]

    def expect_silence(self, seconds=0.3):
        """Nothing arrives within the given time."""
        self.sock.settimeout(seconds)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return
        raise AssertionError(f"unexpected bytes: {chunk[:64].hex()}")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def try_connect(timeout=1.0):
    try:
        return socket.create_connection(("127.0.0.1", PORT), timeout=timeout)
    except OSError:
        return None


class Helper:
    """One run of TunaraHelper.exe under Wine."""

    def __init__(self, exe=HELPER_EXE, args=()):
        assert "WINEPREFIX" in os.environ and "DISPLAY" in os.environ, \
            "run through scripts/test or scripts/e2e"
        self.exe = exe
        self.args = list(args)
        self.proc = None
        self.connections = []

    def start(self):
        self.proc = subprocess.Popen(["wine", str(self.exe), *self.args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        return self

    def connect(self, timeout=20.0):
        """Connects as a UI would, retrying until the helper listens."""
        def attempt():
            if self.proc.poll() is not None:
                raise RuntimeError(f"helper ended with {self.proc.returncode} before accepting; "
                                   f"sockets on its port: {sockets_on_port()}")
            return try_connect()
        sock = wait_until(attempt, timeout, interval=0.05, what="the helper to listen")
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = Connection(sock)
        self.connections.append(conn)
        return conn

    def wait_exit(self, timeout):
        return self.proc.wait(timeout=timeout)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        for conn in self.connections:
            conn.close()
        if self.proc and self.proc.poll() is None:
            try:
                self.proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        # The port must be free again for the next test.
        wait_until(lambda: port_free(), 10, interval=0.05, what="port 33645 to be free")


def sockets_on_port():
    """What holds the helper's port, when it could not bind it."""
    try:
        out = subprocess.run(["ss", "-tanp"], capture_output=True, text=True, timeout=5).stdout
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    return [line.split() for line in out.splitlines() if f":{PORT} " in line] or "none"


def port_free():
    s = try_connect(timeout=0.2)
    if s is None:
        return True
    s.close()
    return False
