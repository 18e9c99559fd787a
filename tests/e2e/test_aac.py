"""AAC stations: TunaraPlayer in the real helper against Icecast 2 mounts
that ffmpeg feeds with AAC-LC in ADTS (icecast.py), one labelled audio/aac
and one audio/aacp, as HE-AAC stations are labelled. The decoder is the
system's AAC transform (under Wine, GStreamer's), and the audio is recorded
from the paced PulseAudio sink.

  - each mount plays: state 3, FileType "aac", a measured bitrate (Icecast
    announces none for these sources), the titles set through the admin
    interface, the tone's pitch, and no state 6 over AAC_SECONDS (30 s);
  - the same mounts relayed without a Content-Type play through detection
    by bytes (radio_server.py's /relay);
  - a stream whose audio bytes are damaged on the way (fault_proxy.py's
    flip) plays on: each damaged frame is skipped, the scanner finds the
    next, and no error entry comes, since audio never stops decoding for 2 s.

Run in a network namespace of their own:
  unshare -n bash -c 'ip link set lo up; scripts/e2e -k aac'
TUNARA_AAC_SECONDS shortens the long runs by hand."""
import os
import time
import urllib.request

import pytest

import audio
from fault_proxy import FaultProxy
from icecast import AAC_BITRATE, AAC_MOUNTS, TONE_HZ, Icecast
from radio_server import RadioServer
from test_radio import (BUFFERING, PLAYING, STOPPED, capture, play,  # noqa: F401
                        radio_player)

AAC_SECONDS = float(os.environ.get("TUNARA_AAC_SECONDS", "30"))

TITLES = ["Ünïcödé – AAC 東京", "Rock 'n' Roll; in AAC"]


@pytest.fixture(scope="module")
def icecast():
    server = Icecast().start(AAC_MOUNTS)
    # The mounts burst four seconds to a new listener once they hold them.
    time.sleep(4.5)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def relay(icecast):
    server = RadioServer()
    server.relay_base = icecast.url("")
    server.start()
    yield server
    server.stop()


@pytest.fixture
def listener(radio_player, icecast, capture, helper):
    yield helper.connect()


def adts_run(data, at, count=3):
    for _ in range(count):
        if data[at] != 0xFF or data[at + 1] & 0xF6 != 0xF0:
            return False
        length = ((data[at + 3] & 3) << 11) | (data[at + 4] << 3) | (data[at + 5] >> 5)
        if length < 7:
            return False
        at += length
    return True


def measured_bitrate(data):
    """The media event's bitrate once measured from the frames (0 before)."""
    value = int(data.get("Bitrate", "0") or 0)
    return value if value > 0 else None


def assert_tone(samples, seconds, wrong_share=0.02):
    found, wrong = audio.off_pitch(samples, (TONE_HZ,), tolerance=0.02)
    # The first half second may go to bringing the output up.
    assert len(found) * audio.WINDOW >= seconds - 1.5, (len(found), seconds)
    assert len(wrong) <= wrong_share * len(found), wrong[:10]


@pytest.mark.parametrize("mount", AAC_MOUNTS, ids=[m.strip("/") for m in AAC_MOUNTS])
def test_aac_mount_plays_with_titles_and_pitch(listener, icecast, capture, mount):
    capture.start()
    events, sent = play(listener, icecast.url(mount))
    at, _, _ = events.status(PLAYING, timeout=5)
    _, _, media = events.media()
    assert media["SourceURL"] == icecast.url(mount)
    assert media["FileType"] == "aac"
    assert media["Name"] == "Tunara Icecast"
    # No icy-br from these sources: the rate comes from the frames, which
    # ffmpeg's encoder keeps near its target.
    _, _, rated = events.media(lambda data: measured_bitrate(data) is not None, timeout=5)
    assert measured_bitrate(rated) == pytest.approx(AAC_BITRATE * 1000, rel=0.2)
    for title in TITLES:
        icecast.set_title(title, mount=mount)
        events.media(lambda data, t=title: data.get("Title") == t, timeout=8)
    events.watch(at + AAC_SECONDS - time.monotonic())
    played = time.monotonic() - at
    listener.send_command("wmpStop")
    events.status(STOPPED, timeout=1)
    samples = capture.stop().samples()

    assert BUFFERING not in events.states(), events.summary()
    assert events.errors() == []
    assert_tone(samples, played)
    assert audio.longest_gap(samples) < 0.15


def test_relay_passes_adts_without_a_content_type(relay):
    """What the next test relies on: the relay's answer names no type, and
    what it passes on is the mount's ADTS with its ICY headers."""
    with urllib.request.urlopen(relay.url("/relay/live.aacp"), timeout=5) as response:
        assert response.headers.get("Content-Type") is None
        assert response.headers.get("icy-name") == "Tunara Icecast"
        head = response.read(8192)
    # The burst starts wherever the server's queue does, so the frames are
    # looked for: three ADTS headers, each where the one before ends.
    assert any(adts_run(head, at) for at in range(len(head) - 4096)), head[:32].hex()


@pytest.mark.parametrize("mount", AAC_MOUNTS, ids=[m.strip("/") for m in AAC_MOUNTS])
def test_relay_without_content_type_plays_by_its_bytes(listener, relay, capture, mount):
    capture.start()
    events, _ = play(listener, relay.url("/relay" + mount))
    at, _, _ = events.status(PLAYING, timeout=5)
    _, _, media = events.media()
    assert media["FileType"] == "aac"
    assert media["Name"] == "Tunara Icecast"
    events.watch(at + 6 - time.monotonic())
    played = time.monotonic() - at
    listener.send_command("wmpStop")
    events.status(STOPPED, timeout=1)
    samples = capture.stop().samples()
    assert events.errors() == []
    assert_tone(samples, played)


def test_damaged_frames_are_skipped_and_play_goes_on(listener, icecast, capture):
    with FaultProxy("127.0.0.1", icecast.port) as proxy:
        # About one damaged frame a second (8000 bytes at 64 kbit/s), each
        # hit on a few bytes: in its header or in its audio.
        proxy.flip(8000, 3)
        capture.start()
        events, _ = play(listener, proxy.url("/live.aac"))
        at, _, _ = events.status(PLAYING, timeout=5)
        events.watch(at + AAC_SECONDS / 2 - time.monotonic())
        played = time.monotonic() - at
        listener.send_command("wmpStop")
        events.status(STOPPED, timeout=1)
        samples = capture.stop().samples()
        flipped = proxy.flipped
    assert flipped >= 3 * int(played) - 3, flipped
    # Each skipped frame is 23 ms of silence or a click in a 50 ms window;
    # everything else is the tone.
    assert events.errors() == []
    assert BUFFERING not in events.states(), events.summary()
    assert events.states()[-1] == STOPPED and events.states().count(PLAYING) == 1, events.states()
    assert_tone(samples, played, wrong_share=0.1)
