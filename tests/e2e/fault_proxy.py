"""An imperfect network between the player and a server: a TCP proxy on
127.0.0.1 that passes the server's bytes on and, when told, stalls them,
slows them down or cuts the connection.

A stall stops reading from the server, as a network stall does: the
server's data waits (in its queue and the kernel's buffers) and arrives in a
rush when the stall ends. Commands act on the connections open at the time
and on later ones until changed:

    proxy = FaultProxy("127.0.0.1", icecast.port).start()
    url = proxy.url("/live.mp3")
    proxy.stall(3.0)        # no bytes for 3 s
    proxy.stall(None)       # no bytes until release()
    proxy.rate(8000)        # at most 8000 bytes a second from now on
    proxy.cut()             # every open connection reset now
    proxy.cut(graceful=True)  # ... or ended after the bytes passed on
    proxy.cut_after(50000)  # the next connection closed after 50000 bytes
    proxy.flip(16000, 8)    # 8 audio bytes damaged in every 16000 from now on
    proxy.flip(None)        # no more damage

Damage falls on the audio only: the response's header passes intact, and
where the server interleaves ICY metadata (icy-metaint) its blocks do too,
as a damaged radio link corrupts the stream a relay passes on.

Standard library only (asyncio in a thread of its own).
"""
import asyncio
import threading
import time


class FaultProxy:
    def __init__(self, upstream_host, upstream_port, port=0):
        self.upstream = (upstream_host, upstream_port)
        self.port = port
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.server = None
        self.connections = 0
        self.bytes_down = 0
        # Time-stamped record of what the proxy did, for the tests' checks.
        self.log = []
        self._open = set()
        self._upstreams = set()
        self._flowing = None
        self._release = None
        self._rate = None
        self._cut_after = None
        self._flip = None
        self.flipped = 0  # bytes damaged so far

    # -- life ----------------------------------------------------------
    def start(self):
        self.thread.start()
        asyncio.run_coroutine_threadsafe(self._listen(), self.loop).result(5)
        return self

    def stop(self):
        async def close():
            if self.server is not None:
                self.server.close()
            for writer in list(self._open):
                writer.close()
        if self.thread.is_alive():
            asyncio.run_coroutine_threadsafe(close(), self.loop).result(5)
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(5)
        self.loop.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path, host="127.0.0.1"):
        return f"http://{host}:{self.port}{path}"

    # -- faults, from the test's thread --------------------------------
    def stall(self, seconds):
        """No bytes from the server for the given seconds (None: until release)."""
        def begin():
            self._flowing.clear()
            self._note("stall", seconds)
            if self._release is not None:
                self._release.cancel()
            self._release = None if seconds is None else self.loop.call_later(seconds, self._resume)
        self.loop.call_soon_threadsafe(begin)

    def release(self):
        self.loop.call_soon_threadsafe(self._resume)

    def rate(self, bytes_per_second):
        """At most so many bytes a second from the server (None: no limit)."""
        self._rate = bytes_per_second
        self.loop.call_soon_threadsafe(self._note, "rate", bytes_per_second)

    def cut(self, graceful=False):
        """Every open connection closed now: reset (what is in flight is
        lost), or, graceful, ended after what was already passed on."""
        def close_all():
            self._note("cut", len(self._open))
            for writer in list(self._open):
                if not graceful:
                    writer.transport.abort()
                elif writer in self._upstreams:
                    # The client's side ends once what it has been sent is out.
                    writer.close()
        self.loop.call_soon_threadsafe(close_all)

    def cut_after(self, count):
        """The next connection is cut once it has passed count bytes down."""
        self._cut_after = count

    def flip(self, every, count=1):
        """From now on count audio bytes in every `every` are inverted
        (None: no more damage)."""
        self._flip = None if every is None else (every, count)
        self.loop.call_soon_threadsafe(self._note, "flip", self._flip)

    # -- the proxy itself ----------------------------------------------
    def _note(self, what, value=None):
        self.log.append((time.monotonic(), what, value))

    def _resume(self):
        self._release = None
        if not self._flowing.is_set():
            self._note("resume")
        self._flowing.set()

    async def _listen(self):
        self._flowing = asyncio.Event()
        self._flowing.set()
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", self.port)
        self.port = self.server.sockets[0].getsockname()[1]

    async def _serve(self, client_reader, client_writer):
        self.connections += 1
        self._note("connect", self.connections)
        cut_after, self._cut_after = self._cut_after, None
        try:
            server_reader, server_writer = await asyncio.open_connection(*self.upstream)
        except OSError:
            client_writer.close()
            return
        self._open.update((client_writer, server_writer))
        self._upstreams.add(server_writer)
        up = asyncio.ensure_future(self._pump_up(client_reader, server_writer))
        try:
            await self._pump_down(server_reader, client_writer, cut_after)
        except (ConnectionError, OSError):
            pass
        finally:
            up.cancel()
            self._upstreams.discard(server_writer)
            for writer in (client_writer, server_writer):
                self._open.discard(writer)
                # After a reset this is a no-op; otherwise what is queued
                # still goes out before the end.
                writer.close()
            self._note("closed", self.connections)

    async def _pump_up(self, reader, writer):
        try:
            while data := await reader.read(4096):
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        except asyncio.CancelledError:
            pass

    async def _pump_down(self, reader, writer, cut_after):
        passed = 0
        damage = _Damage(self)
        while True:
            await self._flowing.wait()
            rate = self._rate
            data = await reader.read(min(4096, rate // 10) if rate else 16384)
            if not data:
                return
            # A stall that began while this read waited holds the bytes back.
            await self._flowing.wait()
            if cut_after is not None and passed + len(data) >= cut_after:
                writer.write(data[:cut_after - passed])
                self._note("cut", passed + len(data))
                return
            data = damage.apply(data)
            writer.write(data)
            await writer.drain()
            passed += len(data)
            self.bytes_down += len(data)
            if rate:
                await asyncio.sleep(len(data) / rate)


class _Damage:
    """Follows one response (header, then audio with ICY metadata blocks
    every metaint bytes when the server sends them) and inverts bytes of the
    audio as the proxy's flip setting says."""

    def __init__(self, proxy):
        self.proxy = proxy
        self.head = b""
        self.in_head = True
        self.metaint = 0
        self.until_meta = 0   # audio bytes before the next metadata block
        self.meta_left = -1   # metadata bytes still to pass; -1: none open
        self.audio = 0        # audio bytes seen, for the flip spacing

    def apply(self, data):
        out = bytearray(data)
        pos = 0
        if self.in_head:
            self.head += data
            end = self.head.find(b"\r\n\r\n")
            if end < 0:
                return bytes(out)
            self.in_head = False
            for line in self.head[:end].split(b"\r\n"):
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"icy-metaint" and value.strip().isdigit():
                    self.metaint = int(value.strip())
            self.until_meta = self.metaint
            pos = len(data) - (len(self.head) - end - 4)
        while pos < len(out):
            if self.meta_left > 0:
                step = min(self.meta_left, len(out) - pos)
                self.meta_left -= step
                pos += step
                continue
            if self.meta_left == 0:
                self.meta_left = -1
                self.until_meta = self.metaint
            if self.metaint and self.until_meta == 0:
                self.meta_left = out[pos] * 16  # the length byte, then the block
                pos += 1
                continue
            step = len(out) - pos if not self.metaint else min(self.until_meta, len(out) - pos)
            self._damage(out, pos, step)
            self.audio += step
            if self.metaint:
                self.until_meta -= step
            pos += step
        return bytes(out)

    def _damage(self, out, pos, step):
        setting = self.proxy._flip
        if setting is None:
            return
        every, count = setting
        for i in range(step):
            if (self.audio + i) % every < count:
                out[pos + i] ^= 0xFF
                self.proxy.flipped += 1
