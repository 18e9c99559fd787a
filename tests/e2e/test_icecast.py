"""TunaraPlayer in the real helper against a real Icecast 2 server fed by
ffmpeg (icecast.py), its audio recorded from the paced PulseAudio sink.

Run in a network namespace of their own:
  unshare -n bash -c 'ip link set lo up; scripts/e2e -k icecast'
TUNARA_HEALTHY_SECONDS shortens the one long healthy run (60 s) by hand."""
import os
import socket
import statistics
import time
import urllib.parse

import pytest

import audio
from icecast import TONE_HZ, Icecast
from test_radio import (BUFFERING, PLAYING, STOPPED, Events, capture, play,  # noqa: F401
                        radio_player)

HEALTHY_SECONDS = float(os.environ.get("TUNARA_HEALTHY_SECONDS", "60"))

# Titles as stations set them: non-ASCII, a Latin-1 one that Icecast
# converts, and the quote and semicolon that also delimit the ICY block.
TITLES = [
    ("Ünïcödé – 東京 Ωmega", "UTF-8"),
    ("Ça va, l'été à Zürich", "ISO-8859-1"),
    ("Rock 'n' Roll; live", "UTF-8"),
    ("Don't stop; believin'", "UTF-8"),
]


@pytest.fixture(scope="module")
def icecast():
    server = Icecast().start()
    # The burst mount holds four seconds once the source has run that long.
    time.sleep(4.5)
    yield server
    server.stop()


@pytest.fixture
def listener(radio_player, icecast, capture, helper):
    yield helper.connect()


def title_of(data):
    return data.get("Title", "")


def server_first_audio(url, timeout=5.0):
    """Seconds from connecting to the first byte of audio, for a plain
    socket client: what the server itself takes before any player can
    start."""
    parts = urllib.parse.urlsplit(url)
    began = time.monotonic()
    with socket.create_connection((parts.hostname, parts.port), timeout=timeout) as sock:
        sock.sendall(f"GET {parts.path} HTTP/1.0\r\nHost: {parts.netloc}\r\n\r\n".encode())
        received = b""
        while True:
            data = sock.recv(65536)
            if not data:
                raise AssertionError(f"{url} closed before any audio")
            received += data
            head_end = received.find(b"\r\n\r\n")
            if head_end >= 0 and len(received) > head_end + 4:
                return time.monotonic() - began


def test_start_reaches_playing_within_300_ms(listener, icecast):
    """The first "wmpPlay" after the helper started, and nine more, each
    timed to state 3; a stop between them. Each is paired with a plain
    socket client's wait for the server's first audio byte, so that what
    the player adds is told apart from what the server takes."""
    times, server = [], []
    for _ in range(10):
        server.append(server_first_audio(icecast.url("/live.mp3")))
        events, sent = play(listener, icecast.url("/live.mp3"))
        at, _, _ = events.status(PLAYING, timeout=5)
        times.append(at - sent)
        listener.send_command("wmpStop")
        events.status(STOPPED, timeout=1)
    first, median = times[0], statistics.median(times)
    server_median = statistics.median(server)
    figures = (f"first {first * 1000:.0f} ms, median of 10 {median * 1000:.0f} ms, "
               f"all {[round(t * 1000) for t in times]}; the server's first audio byte "
               f"median {server_median * 1000:.0f} ms, all {[round(t * 1000) for t in server]}")
    print(f"wmpPlay to state 3: {figures}")
    # What the player adds to the server's own wait: the command's way in,
    # the request, 200 ms of audio decoded (a burst brings it at once), the
    # device and the event's way out. The first play after start is no
    # slower than the others: the output was brought up beforehand.
    assert median - server_median < 0.1, figures
    assert first - server_median < 0.1, figures
    if server_median >= 0.25:
        # Measured on this machine: 320 to 370 ms, burst or not; no player
        # can start before its first byte.
        pytest.xfail(f"Icecast itself sends the first audio byte only after "
                     f"{server_median * 1000:.0f} ms: {figures}")
    assert median < 0.3, figures
    assert first < 0.3, figures


def test_healthy_stream_plays_steadily_with_exact_titles(listener, icecast, capture):
    """One long run that checks what a listener meets on a healthy station:
    no underrun at all, no gap, the tone's pitch throughout, and every title
    set through the admin interface arriving exactly."""
    capture.start()
    events, _ = play(listener, icecast.url("/live.mp3"))
    started, _, _ = events.status(PLAYING, timeout=5)
    _, _, media = events.media()
    assert media["SourceURL"] == icecast.url("/live.mp3")
    assert media["FileType"] == "mp3"
    assert media["Bitrate"] == "128000"
    assert media["Name"] == "Tunara Icecast"
    assert media["Genre"] == "Sine"
    # The titles spread over the run, each awaited before the next is set.
    step = max(HEALTHY_SECONDS / (len(TITLES) + 1), 2.0)
    for index, (title, charset) in enumerate(TITLES):
        icecast.set_title(title, charset=charset)
        events.media(lambda data, t=title: title_of(data) == t, timeout=step + 5)
        events.watch(started + step * (index + 1) - time.monotonic())
    events.watch(started + HEALTHY_SECONDS - time.monotonic())
    listener.send_command("wmpStop")
    events.status(STOPPED, timeout=1)
    samples = capture.stop().samples()

    titles = [title_of(e[2]) for e in events.seen if e[1] == "wmpMediaEvent"]
    for title, _ in TITLES:
        assert title in titles, (title, titles)
    assert BUFFERING not in events.states(), events.summary()
    found, wrong = audio.off_pitch(samples, (TONE_HZ,), tolerance=0.02)
    assert len(found) * audio.WINDOW >= HEALTHY_SECONDS - 1.5, len(found)
    # A decoder or output at the wrong rate puts every window off; a click
    # of a few ms on a loaded machine disturbs the odd one.
    assert len(wrong) <= 0.01 * len(found), wrong[:10]
    assert audio.longest_gap(samples) < 0.15


def test_icecast_m3u_plays_its_mount(listener, icecast):
    events, _ = play(listener, icecast.url("/noburst.mp3.m3u"))
    events.status(PLAYING, timeout=5)
    _, _, media = events.media()
    assert media["SourceURL"] == icecast.url("/noburst.mp3")


def test_icecast_xspf_plays_its_mount(listener, icecast):
    events, _ = play(listener, icecast.url("/live.mp3.xspf"))
    events.status(PLAYING, timeout=5)
    _, _, media = events.media()
    assert media["SourceURL"] == icecast.url("/live.mp3")
