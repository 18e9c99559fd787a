"""Live HLS made by Debian's ffmpeg, served by a static HTTP server on
127.0.0.1, for the end-to-end tests and the benchmark.

Each kind is one ffmpeg process fed in real time (-re) from a time-coded
tone (the pitch steps every quarter second through TIMECODE_STEPS tones
TIMECODE_HZ apart, as icecast.py's /timecode.mp3), writing a sliding window
(-hls_list_size with delete_segments, or the segment muxer's list size and
wrap) into a folder of its own under the server's root:

  ts-aac      MPEG-TS with AAC-LC, 2 s segments
  ts-aac-4s   the same with 4 s segments
  ts-mp3      MPEG-TS with MP3, 2 s segments
  fmp4        fragmented MP4 (-hls_segment_type fmp4) with AAC-LC, 2 s
  aes         MPEG-TS with AAC-LC, AES-128 (-hls_key_info_file), 2 s
  packed      ADTS .aac segments, each with an ID3 head (the segment muxer,
              write_id3v2) carrying PACKED_TITLE, and its live m3u8, 2 s

Playlists and segments are written under temporary names and renamed
(temp_file), so the server never serves half of one. The server counts the
requests for each path, which tells whether a segment was fetched twice.

  python3 hls.py      makes every kind and serves them until Ctrl-C
"""
import shutil
import subprocess
import tempfile
import threading
import time
from collections import Counter
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from icecast import TIMECODE_BASE, TIMECODE_HZ, TIMECODE_STEP_SECONDS, TIMECODE_STEPS
from processes import end_all

PACKED_ARTIST, PACKED_TITLE = "Tunara", "Tone Show"
AAC_KBPS, MP3_KBPS = 64, 128
# Segments listed in each live playlist.
WINDOW = 6

TIMECODE_SOURCE = (
    "aevalsrc=0.5*sin(2*PI*({base}+{hz}*mod(floor(t/{step})\\,{steps}))*t):s=44100:c=stereo"
    .format(base=TIMECODE_BASE, hz=TIMECODE_HZ, step=TIMECODE_STEP_SECONDS, steps=TIMECODE_STEPS))
TIMECODE_TONES = tuple(TIMECODE_BASE + TIMECODE_HZ * k for k in range(TIMECODE_STEPS))

AES_KEY = bytes(range(0x10, 0x20))


class Kind:
    def __init__(self, name, segment_seconds, file_type, title=None):
        self.name = name
        self.segment_seconds = segment_seconds
        self.file_type = file_type
        self.title = title  # what the stream carries, if anything

    def __repr__(self):
        return self.name


KINDS = {k.name: k for k in (
    Kind("ts-aac", 2, "hls-ts"),
    Kind("ts-aac-4s", 4, "hls-ts"),
    Kind("ts-mp3", 2, "hls-ts"),
    Kind("fmp4", 2, "hls-fmp4"),
    Kind("aes", 2, "hls-ts"),
    Kind("packed", 2, "hls-aac", f"{PACKED_ARTIST} - {PACKED_TITLE}"),
)}


def _hls_args(seconds, extra=()):
    return ["-f", "hls", "-hls_time", str(seconds), "-hls_list_size", str(WINDOW),
            "-hls_flags", "delete_segments+temp_file", *extra]


def ffmpeg_args(kind, folder):
    """The encoder and muxer arguments of one kind, writing into folder."""
    aac = ["-c:a", "aac", "-b:a", f"{AAC_KBPS}k"]
    seconds = kind.segment_seconds
    if kind.name in ("ts-aac", "ts-aac-4s"):
        return aac + _hls_args(seconds) + [str(folder / "live.m3u8")]
    if kind.name == "ts-mp3":
        return (["-c:a", "libmp3lame", "-b:a", f"{MP3_KBPS}k"] + _hls_args(seconds)
                + [str(folder / "live.m3u8")])
    if kind.name == "fmp4":
        return (aac + _hls_args(seconds, ["-hls_segment_type", "fmp4"])
                + [str(folder / "live.m3u8")])
    if kind.name == "aes":
        (folder / "key.bin").write_bytes(AES_KEY)
        # Key URI (relative to the playlist), key file, no IV: ffmpeg then
        # writes the IV out, and the player must use it.
        (folder / "keyinfo").write_text(f"key.bin\n{folder / 'key.bin'}\n")
        return (aac + _hls_args(seconds, ["-hls_key_info_file", str(folder / "keyinfo")])
                + [str(folder / "live.m3u8")])
    if kind.name == "packed":
        return (aac + ["-metadata", f"title={PACKED_TITLE}", "-metadata",
                       f"artist={PACKED_ARTIST}", "-f", "segment", "-segment_time", str(seconds),
                       "-segment_format", "adts", "-segment_format_options", "write_id3v2=1",
                       "-segment_list", str(folder / "live.m3u8"), "-segment_list_type", "m3u8",
                       "-segment_list_size", str(WINDOW), "-segment_list_flags", "+live",
                       "-segment_wrap", str(2 * WINDOW), str(folder / "s%d.aac")])
    raise ValueError(kind.name)


def listed_segments(text):
    return [line for line in text.splitlines() if line and not line.startswith("#")]


class _Handler(SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    extensions_map = {".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t",
                      ".aac": "audio/aac", ".m4s": "video/iso.segment", ".mp4": "video/mp4",
                      ".bin": "application/octet-stream", "": "application/octet-stream"}

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        pass

    def do_GET(self):  # noqa: N802 (the base class's name)
        self.server.note(self.path.split("?", 1)[0])
        try:
            super().do_GET()
        except (BrokenPipeError, ConnectionResetError):
            pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root):
        super().__init__(("127.0.0.1", 0), partial(_Handler, directory=str(root)))
        self.requests = Counter()
        self._lock = threading.Lock()

    def note(self, path):
        with self._lock:
            self.requests[path] += 1


class LiveHls:
    """The producers of the given kinds and the server in front of them."""

    def __init__(self, kinds=tuple(KINDS)):
        assert shutil.which("ffmpeg"), "apt-get install ffmpeg"
        self.kinds = [KINDS[k] for k in kinds]
        self.dir = Path(tempfile.mkdtemp(prefix="tunara-hls-"))
        self.procs = {}
        self.server = _Server(self.dir)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        for kind in self.kinds:
            folder = self.dir / kind.name
            folder.mkdir()
            log = open(self.dir / f"ffmpeg-{kind.name}.log", "wb")
            self.procs[kind.name] = subprocess.Popen(
                ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-re", "-f",
                 "lavfi", "-i", TIMECODE_SOURCE, *ffmpeg_args(kind, folder)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            log.close()
        return self

    def stop(self):
        end_all(self.procs.values())
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def url(self, kind, host="127.0.0.1", port=None):
        return f"http://{host}:{port or self.port}/{kind}/live.m3u8"

    def playlist(self, kind):
        try:
            return (self.dir / kind / "live.m3u8").read_text()
        except FileNotFoundError:
            return ""

    def segments(self, kind):
        return listed_segments(self.playlist(kind))

    def wait_ready(self, kind, count=4, timeout=40.0):
        """Until the kind's live playlist lists count segments: the player
        starts three target durations from the live end, so a window shorter
        than that would start it at the first segment."""
        deadline = time.monotonic() + timeout
        while len(self.segments(kind)) < count:
            proc = self.procs[kind]
            if proc.poll() is not None:
                log = (self.dir / f"ffmpeg-{kind}.log").read_text()
                raise RuntimeError(f"ffmpeg for {kind} ended: {log}")
            if time.monotonic() > deadline:
                raise TimeoutError(f"{kind}: {self.playlist(kind)!r}")
            time.sleep(0.1)

    def segment_requests(self, kind):
        """Requests per segment path of one kind (the playlist, key and init
        section left out)."""
        with self.server._lock:
            return {path: n for path, n in self.server.requests.items()
                    if path.startswith(f"/{kind}/") and path.endswith((".ts", ".aac", ".m4s"))}

    def reset_requests(self):
        with self.server._lock:
            self.server.requests.clear()


def main():
    live = LiveHls().start()
    try:
        for kind in live.kinds:
            live.wait_ready(kind.name)
            print(f"{kind.name}: {live.url(kind.name)}", flush=True)
        live.thread.join()
    except KeyboardInterrupt:
        pass
    finally:
        live.stop()


if __name__ == "__main__":
    main()
