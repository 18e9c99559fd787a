"""A small internet-radio server for the end-to-end tests and the demo.

It streams an MP3 made at start (a tone encoded by lame) at its real rate,
after a short burst as real stations send, with ICY metadata whose title
changes every few seconds, and it has a path for every fault the player
must survive:

  /stream             the station (ICY metadata when the client asks for it)
  /file.mp3           a finite MP3 with a Content-Length
  /slow               the station at half its rate
  /fast               the station as fast as the client takes it
  /drop               the first connection breaks after two seconds; later
                      ones stream normally (a short drop)
  /dropdead           the first connection breaks, later ones get 503
  /hangmid            two seconds of audio, then nothing, connection open
  /hang               accepts, reads the request, never answers
  /404                not found
  /wrongtype          an HTML page
  /garbage            random bytes labelled audio/mpeg
  /hugemeta           response headers of 200 KB
  /redirect           302 to /stream
  /loop-a, /loop-b    a redirect loop
  /playlist.m3u       a missing entry, then the station
  /playlist.pls       the station as a PLS file
  /icy                the station as a legacy server sends it: "ICY 200 OK"
                      and its headers instead of an HTTP status line
  /relay/<path>       another server's stream (relay_base + <path>, an
                      Icecast mount say) passed on with its ICY headers and
                      metadata but no Content-Type, as careless relays do:
                      the player must tell the codec from the bytes

HLS (HlsStation below), live playlists of 1 s MPEG-TS segments of AAC-LC
whose tone steps with each segment (HLS_TONES), each segment with a timed
ID3 title "Song <sequence // 2>" in an ID3 PES stream:
  /hls/<mode>/live.m3u8  a live playlist of the last HLS_WINDOW segments,
                      /hls/<mode>/<sequence>.ts; any mode not below is a
                      healthy station (the master's variants are such)
  /hls/stale/...      the playlist stops updating 4 s after its first
                      request, for HLS_STALE_SECONDS, then goes on live
  /hls/gap/...        the segment two after the newest at the first
                      request answers 404, every time
  /hls/slow-<k>/...   after the first k segment requests, every segment
                      trickles in at HLS_SLOW_BYTES a second
  /hls/lag-<ms>/...   every segment's answer starts <ms> ms after its request
  /hls/master.m3u8    a master: a video variant, an AC-3 one, an audio-only
                      one at 128 kbit/s whose AUDIO group has a default
                      rendition (NAME "Tunara HLS", /hls/main/) and another
                      (/hls/commentary/), and one at 64 kbit/s

Hostile servers, each of which must give one error and nothing worse:
  /endless-header     a header line that never ends (4 MB, then silence)
  /endless-status     an "ICY 200" status line that never ends (likewise)
  /bad-chunk          chunked transfer encoding whose first size is not hex
  /redirect-ftp       302 to an ftp:// address
  /close-handshake    reads the request and closes without a word

Standard library only; lame (Debian's package) makes the MP3 audio, ffmpeg
the HLS segments (once, on the first HLS request). Every loop
ends by itself: a stream stops after max_seconds.

  python3 radio_server.py [--port 8000]
"""
import argparse
import math
import os
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import wave
from collections import Counter
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

STATION_NAME = "Tunara Test Radio"
STATION_GENRE = "Test Tones"
STATION_URL = "http://radio.test/"
META_INT = 8192
BURST_SECONDS = 1.0

_BITRATES_V1 = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0]
_RATES_V1 = [44100, 48000, 32000]


def make_tone_wav(path, seconds, amplitude=0.5, rate=44100):
    """A stereo 16-bit sine whose pitch steps every second, so that the
    audio is not one long identical frame."""
    frames = bytearray()
    for i in range(int(rate * seconds)):
        pitch = 440 + 110 * (int(i / rate) % 4)
        sample = int(amplitude * 32767 * math.sin(2 * math.pi * pitch * i / rate))
        frames += struct.pack("<hh", sample, sample)
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(bytes(frames))


def make_mp3(seconds=12.0, bitrate=128, amplitude=0.5):
    """Encodes the tone once per machine and keeps it in the temp folder."""
    cache = Path(tempfile.gettempdir()) / f"tunara-radio-{seconds}-{bitrate}-{amplitude}.mp3"
    if cache.is_file() and cache.stat().st_size > 0:
        return cache.read_bytes()
    lame = shutil.which("lame")
    assert lame, "lame is needed to make the test radio's audio (apt-get install lame)"
    with tempfile.TemporaryDirectory() as work:
        wav = Path(work) / "tone.wav"
        make_tone_wav(wav, seconds, amplitude)
        out = Path(work) / "tone.mp3"
        subprocess.run([lame, "--quiet", "--cbr", "-b", str(bitrate), "--noreplaygain",
                        str(wav), str(out)], check=True)
        data = out.read_bytes()
    tmp = cache.with_suffix(".tmp")
    tmp.write_bytes(data)
    os.replace(tmp, cache)
    return data


def mp3_frames(data):
    """The MPEG-1 layer III frames of data, as (offset, length)."""
    frames = []
    pos = 0
    while pos + 4 <= len(data):
        b1, b2 = data[pos + 1], data[pos + 2]
        if data[pos] == 0xFF and (b1 & 0xFE) == 0xFA:
            bitrate = _BITRATES_V1[b2 >> 4]
            rate_index = (b2 >> 2) & 3
            if bitrate and rate_index < 3:
                length = 144 * bitrate * 1000 // _RATES_V1[rate_index] + ((b2 >> 1) & 1)
                frames.append((pos, length))
                pos += length
                continue
        pos += 1
    return frames


class Station:
    """The audio and the schedule of titles, shared by all connections."""

    def __init__(self, mp3, title_seconds):
        self.mp3 = mp3
        frames = mp3_frames(mp3)
        # The first frame is lame's information frame; a loop leaves it out.
        self.frames = frames[1:] if len(frames) > 1 else frames
        self.frame_seconds = 1152 / 44100
        self.title_seconds = title_seconds
        self.started = time.monotonic()

    def title(self):
        index = int((time.monotonic() - self.started) / self.title_seconds)
        return f"Song {index + 1}"

    def chunks(self):
        """Endless audio, a frame at a time, with its play time."""
        while True:
            for offset, length in self.frames:
                yield self.mp3[offset:offset + length]


HLS_SEGMENT_SECONDS = 1.0
HLS_WINDOW = 5
HLS_SEGMENTS = 8  # made once, played in a loop
HLS_TONES = tuple(440 + 110 * k for k in range(HLS_SEGMENTS))
HLS_STALE_AFTER, HLS_STALE_SECONDS = 4.0, 6.0
HLS_SLOW_BYTES = 2000
HLS_ARTIST = "Tunara Radio"
HLS_AUDIO_PID, HLS_ID3_PID = 0x100, 0x102


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def id3_tag(frames):
    """An ID3v2.4 tag of UTF-8 text frames."""
    def syncsafe(n):
        return bytes((n >> shift) & 0x7F for shift in (21, 14, 7, 0))
    body = b"".join(name.encode() + syncsafe(len(text.encode()) + 1) + b"\0\0\3" + text.encode()
                    for name, text in frames)
    return b"ID3\4\0\0" + syncsafe(len(body)) + body


def ts_packets(pid, payload, cc=0):
    """A PES cut into packets on pid, the last one padded with an
    adaptation field."""
    out = bytearray()
    first = True
    while payload or first:
        head = bytes([0x47, (0x40 if first else 0) | pid >> 8, pid & 0xFF])
        if len(payload) >= 184:
            out += head + bytes([0x10 | cc]) + payload[:184]
            payload = payload[184:]
        else:
            stuffing = 183 - len(payload)
            field = bytes([stuffing]) + (b"\0" + b"\xff" * (stuffing - 1) if stuffing else b"")
            out += head + bytes([0x30 | cc]) + field + payload
            payload = b""
        cc = (cc + 1) & 0x0F
        first = False
    return bytes(out)


def pes_pts(pts):
    return bytes([0x21 | ((pts >> 29) & 0x0E), (pts >> 22) & 0xFF, 0x01 | ((pts >> 14) & 0xFE),
                  (pts >> 7) & 0xFF, 0x01 | ((pts << 1) & 0xFE)])


def first_pts(ts, pid):
    """The PTS of the first PES that starts on pid."""
    for at in range(0, len(ts) - 187, 188):
        packet = ts[at:at + 188]
        if (packet[1] & 0x1F) << 8 | packet[2] != pid or not packet[1] & 0x40:
            continue
        pos = 4 + (1 + packet[4] if packet[3] & 0x20 else 0)
        if packet[pos:pos + 3] == b"\0\0\1" and packet[pos + 7] & 0x80:
            p = packet[pos + 9:pos + 14]
            return ((p[0] >> 1) & 7) << 30 | p[1] << 22 | (p[2] >> 1) << 15 | p[3] << 7 | p[4] >> 1
    return 0


def with_timed_id3(ts, title):
    """The segment with an ID3 stream (type 0x15) added to its PMT and a
    PES carrying title at the audio's first PTS right after the PMT."""
    out = bytearray()
    pts = first_pts(ts, HLS_AUDIO_PID)
    for at in range(0, len(ts) - 187, 188):
        packet = ts[at:at + 188]
        pid = (packet[1] & 0x1F) << 8 | packet[2]
        if pid != 0x1000 or not packet[1] & 0x40:
            out += packet
            continue
        # ffmpeg's PMT: one packet, no adaptation field, pointer field 0.
        length = (packet[6] & 0x0F) << 8 | packet[7]
        section = bytearray(packet[5:5 + 3 + length - 4])
        section += bytes([0x15, 0xE0 | HLS_ID3_PID >> 8, HLS_ID3_PID & 0xFF, 0xF0, 0x00])
        new_length = len(section) - 3 + 4
        section[1] = (section[1] & 0xF0) | new_length >> 8
        section[2] = new_length & 0xFF
        section += crc32_mpeg(section).to_bytes(4, "big")
        out += packet[:5] + section + b"\xff" * (183 - len(section))
        tag = id3_tag([("TPE1", HLS_ARTIST), ("TIT2", title)])
        pes = b"\0\0\1\xbd" + (len(tag) + 8).to_bytes(2, "big") + b"\x80\x80\x05" + pes_pts(pts)
        out += ts_packets(HLS_ID3_PID, pes + tag)
    return bytes(out)


def make_hls_segments():
    """HLS_SEGMENTS MPEG-TS segments of AAC-LC at 64 kbit/s, one tone each,
    from one run of ffmpeg (the encoder's state and the timestamps run on
    from segment to segment), kept in the temp folder."""
    cache = Path(tempfile.gettempdir()) / "tunara-radio-hls-v1"
    files = [cache / f"s{k}.ts" for k in range(HLS_SEGMENTS)]
    if all(f.is_file() for f in files):
        return [f.read_bytes() for f in files]
    assert shutil.which("ffmpeg"), "ffmpeg is needed to make the test radio's HLS segments"
    work = Path(tempfile.mkdtemp(prefix="tunara-radio-hls-"))
    tone = (f"aevalsrc=0.5*sin(2*PI*({HLS_TONES[0]}+{HLS_TONES[1] - HLS_TONES[0]}"
            f"*mod(floor(t/{HLS_SEGMENT_SECONDS})\\,{HLS_SEGMENTS}))*t):s=44100:c=stereo")
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi",
                    "-i", tone, "-t", str(HLS_SEGMENTS * HLS_SEGMENT_SECONDS), "-c:a", "aac",
                    "-b:a", "64k", "-f", "hls", "-hls_time", str(HLS_SEGMENT_SECONDS),
                    "-hls_list_size", "0", "-hls_segment_filename", str(work / "s%d.ts"),
                    str(work / "vod.m3u8")], check=True)
    data = [(work / f"s{k}.ts").read_bytes() for k in range(HLS_SEGMENTS)]
    shutil.rmtree(work, ignore_errors=True)
    cache.mkdir(exist_ok=True)
    for f, body in zip(files, data):
        tmp = f.with_suffix(".tmp")
        tmp.write_bytes(body)
        os.replace(tmp, f)
    return data


class HlsStation:
    """A live HLS station: the segment with sequence number n is the n-th
    made since the station went on air (ten segments before the server
    started, so that a whole window is there at once); its audio is segment
    n % HLS_SEGMENTS of those made, its title changes every second one."""

    def __init__(self):
        self._segments = None
        self.on_air = time.monotonic() - 10 * HLS_SEGMENT_SECONDS
        self._first = {}  # mode -> (time of its first playlist request, newest then)
        self._fetches = {}  # mode -> segment requests so far
        self.trickling = Counter()  # mode -> segments being sent slowly now
        self._lock = threading.Lock()

    def segments(self):
        with self._lock:
            if self._segments is None:
                self._segments = make_hls_segments()
            return self._segments

    def reset(self):
        with self._lock:
            self._first.clear()
            self._fetches.clear()

    def newest(self, now=None):
        now = time.monotonic() if now is None else now
        return int((now - self.on_air) / HLS_SEGMENT_SECONDS) - 1

    def first_request(self, mode):
        with self._lock:
            if mode not in self._first:
                self._first[mode] = (time.monotonic(), self.newest())
            return self._first[mode]

    def missing(self, mode):
        """The sequence number that answers 404 in the gap mode."""
        return self.first_request(mode)[1] + 2 if mode == "gap" else None

    def playlist(self, mode):
        started, _ = self.first_request(mode)
        now = time.monotonic()
        if mode == "stale" and started + HLS_STALE_AFTER <= now < \
                started + HLS_STALE_AFTER + HLS_STALE_SECONDS:
            now = started + HLS_STALE_AFTER
        newest = self.newest(now)
        first = max(0, newest - HLS_WINDOW + 1)
        lines = ["#EXTM3U", "#EXT-X-VERSION:3",
                 f"#EXT-X-TARGETDURATION:{int(HLS_SEGMENT_SECONDS)}",
                 f"#EXT-X-MEDIA-SEQUENCE:{first}"]
        for n in range(first, newest + 1):
            lines += [f"#EXTINF:{HLS_SEGMENT_SECONDS:.3f},", f"{n}.ts"]
        return ("\n".join(lines) + "\n").encode()

    def segment(self, mode, n):
        """(body, bytes a second or None), or None where the segment is not
        there."""
        if n < 0 or n > self.newest() or n == self.missing(mode):
            return None
        with self._lock:
            self._fetches[mode] = self._fetches.get(mode, 0) + 1
            fetches = self._fetches[mode]
        rate = None
        if mode.startswith("slow-") and fetches > int(mode[len("slow-"):]):
            rate = HLS_SLOW_BYTES
        body = self.segments()[n % HLS_SEGMENTS]
        return with_timed_id3(body, self.title(n)), rate

    @staticmethod
    def title(n):
        return f"Song {n // 2}"

    @staticmethod
    def master():
        return ("#EXTM3U\n"
                '#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID="radio",NAME="Tunara HLS",DEFAULT=YES,'
                'AUTOSELECT=YES,URI="main/live.m3u8"\n'
                '#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID="radio",NAME="Tunara Commentary",DEFAULT=NO,'
                'URI="commentary/live.m3u8"\n'
                '#EXT-X-STREAM-INF:BANDWIDTH=300000,CODECS="avc1.42e01e,mp4a.40.2"\n'
                "video/live.m3u8\n"
                '#EXT-X-STREAM-INF:BANDWIDTH=200000,CODECS="ac-3"\n'
                "ac3/live.m3u8\n"
                '#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS="mp4a.40.2",AUDIO="radio"\n'
                "hi/live.m3u8\n"
                '#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS="mp4a.40.2"\n'
                "lo/live.m3u8\n").encode()


class RadioHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "TunaraTestRadio/1.0"

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        pass

    def do_GET(self):  # noqa: N802 (the base class's name)
        radio = self.server.radio
        path = self.path.split("?", 1)[0]
        radio.note_request(path, dict(self.headers))
        route = {
            "/stream": lambda: self.stream(),
            "/stream.mp3": lambda: self.stream(),
            "/file.mp3": self.file,
            "/slow": lambda: self.stream(rate=0.5),
            "/fast": lambda: self.stream(rate=1000.0),
            "/drop": lambda: self.stream(limit=2.0) if radio.first("drop") else self.stream(),
            "/dropdead": lambda: self.stream(limit=2.0) if radio.first("dropdead")
            else self.error(503),
            "/hangmid": lambda: self.stream(limit=2.0, hang_after=True),
            "/hang": self.hang,
            "/404": lambda: self.error(404),
            "/wrongtype": self.html,
            "/garbage": self.garbage,
            "/hugemeta": self.huge_headers,
            "/redirect": lambda: self.redirect("/stream"),
            "/loop-a": lambda: self.redirect("/loop-b"),
            "/loop-b": lambda: self.redirect("/loop-a"),
            "/playlist.m3u": self.m3u,
            "/playlist.pls": self.pls,
            "/icy": self.icy_stream,
            "/endless-header": lambda: self.endless(
                b"HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nX-Endless: "),
            "/endless-status": lambda: self.endless(b"ICY 200 OK"),
            "/bad-chunk": self.bad_chunk,
            "/redirect-ftp": lambda: self.redirect("ftp://127.0.0.1/stream.mp3"),
            "/close-handshake": self.close_handshake,
        }.get(path)
        if route is None and path.startswith("/relay/") and radio.relay_base:
            route = lambda: self.relay(path[len("/relay"):])  # noqa: E731
        if route is None and path.startswith("/hls/"):
            route = lambda: self.hls(path[len("/hls/"):])  # noqa: E731
        try:
            if route is None:
                self.error(404)
            else:
                route()
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, socket.timeout):
            pass

    def error(self, status):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", "6")
        self.end_headers()
        self.wfile.write(b"error\n")

    def redirect(self, location):
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def html(self):
        body = b"<html><body><h1>Not a radio</h1>" + b"<p>text</p>" * 2000 + b"</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def garbage(self):
        noise = random.Random(5).randbytes(256 * 1024)
        self.send_response(200)
        self.send_header("Content-Type", "audio/mpeg")
        self.end_headers()
        self.wfile.write(noise)

    def huge_headers(self):
        self.send_response(200)
        self.send_header("Content-Type", "audio/mpeg")
        self.send_header("icy-metaint", str(META_INT))
        for i in range(50):
            self.send_header(f"icy-notice{i}", "x" * 4000)
        self.end_headers()
        self.stream_body(limit=5.0)

    def hang(self):
        deadline = time.monotonic() + self.server.radio.max_seconds
        while time.monotonic() < deadline and not self.server.radio.stopping.is_set():
            time.sleep(0.1)

    def m3u(self):
        base = f"http://{self.headers.get('Host')}"
        body = (f"#EXTM3U\n#EXTINF:-1,Missing\n{base}/404\n"
                f"#EXTINF:-1,{STATION_NAME}\n{base}/stream\n").encode()
        self.send_response(200)
        self.send_header("Content-Type", "audio/x-mpegurl")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def pls(self):
        base = f"http://{self.headers.get('Host')}"
        body = (f"[playlist]\nNumberOfEntries=1\nFile1={base}/stream\n"
                f"Title1={STATION_NAME}\nLength1=-1\nVersion=2\n").encode()
        self.send_response(200)
        self.send_header("Content-Type", "audio/x-scpls")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def file(self):
        data = self.server.radio.station.mp3
        self.send_response(200)
        self.send_header("Content-Type", "audio/mpeg")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def stream(self, rate=1.0, limit=None, hang_after=False):
        icy = self.headers.get("Icy-MetaData", "0").strip() == "1"
        self.send_response(200)
        self.send_header("Content-Type", "audio/mpeg")
        self.send_header("icy-name", STATION_NAME)
        self.send_header("icy-genre", STATION_GENRE)
        self.send_header("icy-url", STATION_URL)
        self.send_header("icy-br", "128")
        if icy:
            self.send_header("icy-metaint", str(META_INT))
        self.end_headers()
        self.stream_body(rate=rate, limit=limit, icy=icy)
        if hang_after:
            self.hang()

    def icy_stream(self):
        """The reply of servers that predate HTTP/1.0 compliance."""
        icy = self.headers.get("Icy-MetaData", "0").strip() == "1"
        head = (f"ICY 200 OK\r\nicy-name:{STATION_NAME}\r\nicy-genre:{STATION_GENRE}\r\n"
                f"icy-url:{STATION_URL}\r\nicy-br:128\r\nContent-Type: audio/mpeg\r\n")
        if icy:
            head += f"icy-metaint:{META_INT}\r\n"
        self.wfile.write((head + "\r\n").encode())
        self.close_connection = True
        self.stream_body(icy=icy)

    def relay(self, upstream_path):
        radio = self.server.radio
        host, _, port = radio.relay_base.split("://", 1)[1].partition(":")
        with socket.create_connection((host, int(port or 80)), timeout=10) as upstream:
            icy = self.headers.get("Icy-MetaData", "0").strip()
            upstream.sendall(f"GET {upstream_path} HTTP/1.0\r\nHost: {host}\r\n"
                             f"Icy-MetaData: {icy}\r\nUser-Agent: relay\r\n\r\n".encode())
            reader = upstream.makefile("rb")
            status = reader.readline()
            if b" 200 " not in status:
                self.error(502)
                return
            kept = []
            while (line := reader.readline().rstrip(b"\r\n")):
                name = line.split(b":", 1)[0].strip().lower()
                if name.startswith(b"icy-"):
                    kept.append(line.decode("latin-1"))
            self.send_response(200)
            for line in kept:
                name, _, value = line.partition(":")
                self.send_header(name.strip(), value.strip())
            self.end_headers()
            end = time.monotonic() + radio.max_seconds
            with radio.counting():
                while time.monotonic() < end and not radio.stopping.is_set():
                    data = reader.read1(16384)
                    if not data:
                        return
                    self.wfile.write(data)

    def hls(self, rest):
        station = self.server.radio.hls
        mode, _, name = rest.partition("/")
        if rest == "master.m3u8":
            self.body(station.master(), "application/vnd.apple.mpegurl")
        elif name == "live.m3u8":
            self.body(station.playlist(mode), "application/vnd.apple.mpegurl")
        elif name.endswith(".ts") and name[:-3].isdigit():
            if mode.startswith("lag-"):
                # A server slow to answer, as a far CDN edge is: the head
                # of each segment's answer comes late, its body at once.
                time.sleep(int(mode[len("lag-"):]) / 1000)
            found = station.segment(mode, int(name[:-3]))
            if found is None:
                self.error(404)
            else:
                self.body(*found[:1], "video/mp2t", rate=found[1], mode=mode)
        else:
            self.error(404)

    def body(self, data, content_type, rate=None, mode=None):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if rate is None:
            self.wfile.write(data)
            return
        radio = self.server.radio
        station = radio.hls
        with station._lock:
            station.trickling[mode] += 1
        try:
            for at in range(0, len(data), rate // 10):
                if radio.stopping.is_set():
                    return
                self.wfile.write(data[at:at + rate // 10])
                self.wfile.flush()
                time.sleep(0.1)
        finally:
            with station._lock:
                station.trickling[mode] -= 1

    def endless(self, start, total=4 << 20):
        """A line that never ends: a few MB of it at full speed, then the
        connection stays open and silent, as a stuck server's would."""
        self.wfile.write(start)
        sent = 0
        block = b"a" * 16384
        while sent < total and not self.server.radio.stopping.is_set():
            self.wfile.write(block)
            sent += len(block)
        self.hang()

    def bad_chunk(self):
        self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n"
                         b"Transfer-Encoding: chunked\r\n\r\nzz-not-a-size\r\n")
        self.wfile.write(self.server.radio.station.mp3[:8192])
        self.close_connection = True

    def close_handshake(self):
        self.close_connection = True
        self.connection.shutdown(socket.SHUT_RDWR)

    def stream_body(self, rate=1.0, limit=None, icy=True):
        radio = self.server.radio
        station = radio.station
        start = time.monotonic()
        played = 0.0
        until_meta = META_INT
        end = start + (limit if limit is not None else radio.max_seconds)
        with radio.counting():
            for frame in station.chunks():
                now = time.monotonic()
                if now >= end or radio.stopping.is_set():
                    return
                # After the burst, hold the stream to its playing rate.
                ahead = start + (played - BURST_SECONDS) / rate - now
                if ahead > 0:
                    time.sleep(ahead)
                played += station.frame_seconds
                out = bytearray()
                data = memoryview(frame)
                while icy and len(data) >= until_meta:
                    out += data[:until_meta]
                    data = data[until_meta:]
                    out += self.meta_block(station.title())
                    until_meta = META_INT
                out += data
                if icy:
                    until_meta -= len(data)
                self.wfile.write(out)

    @staticmethod
    def meta_block(title):
        text = f"StreamTitle='{title}';StreamUrl='{STATION_URL}';".encode()
        units = (len(text) + 15) // 16
        return bytes([units]) + text + b"\0" * (units * 16 - len(text))


class RadioServer:
    """The station on 127.0.0.1 at a port of its own choosing."""

    def __init__(self, port=0, title_seconds=2.0, max_seconds=180.0, seconds=12.0):
        self.station = Station(make_mp3(seconds), title_seconds)
        self.hls = HlsStation()
        self.max_seconds = max_seconds
        # Where /relay/<path> takes its stream from ("http://host:port").
        self.relay_base = None
        self.stopping = threading.Event()
        self.requests = []
        self.active = 0
        self._lock = threading.Lock()
        self._firsts = set()
        self.httpd = ThreadingHTTPServer(("127.0.0.1", port), RadioHandler)
        self.httpd.daemon_threads = True
        self.httpd.radio = self
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()

    def url(self, path="/stream"):
        return f"http://127.0.0.1:{self.port}{path}"

    def note_request(self, path, headers):
        with self._lock:
            self.requests.append((path, headers))

    def first(self, name):
        """True for the first request of this name only."""
        with self._lock:
            if name in self._firsts:
                return False
            self._firsts.add(name)
            return True

    def reset(self):
        with self._lock:
            self._firsts.clear()
            self.requests.clear()
        self.hls.reset()

    def counting(self):
        server = self

        class _Count:
            def __enter__(self):
                with server._lock:
                    server.active += 1

            def __exit__(self, *exc):
                with server._lock:
                    server.active -= 1

        return _Count()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=8000)
    args = parser.parse_args()
    server = RadioServer(port=args.port, max_seconds=3600).start()
    print(f"test radio on {server.url()}", flush=True)
    try:
        server.thread.join()
    except KeyboardInterrupt:
        server.stop()


if __name__ == "__main__":
    main()
