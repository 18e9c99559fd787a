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
            writer.write(data)
            await writer.drain()
            passed += len(data)
            self.bytes_down += len(data)
            if rate:
                await asyncio.sleep(len(data) / rate)
