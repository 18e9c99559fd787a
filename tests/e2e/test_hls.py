"""HLS radio end to end: TunaraPlayer in the real helper under Wine playing
live HLS that Debian's ffmpeg makes in real time (hls.py: MPEG-TS with AAC
and with MP3, fMP4, AES-128, packed ADTS with ID3 heads; 2 s and 4 s
segments), served from a static HTTP server on 127.0.0.1, once through the
fault proxy; and the faults ffmpeg cannot make, from the test radio's HLS
paths (radio_server.py: timed ID3 titles, a master with variants and an
audio rendition, a playlist that stops updating, a segment that 404s, a
segment that trickles in, segments whose answers come late).

What each kind must show: state 3 within 1 s of "wmpPlay", no state 6 and
no error entry while it plays, its FileType and the title it carries, and
on the paced sink's recording the time-coded tone at its pitch without a
jump: a segment played twice or left out moves the time code by a whole
segment (8 or 16 of its quarter-second steps). Every segment is fetched
once.

One helper serves the whole module. Its first AAC stream loads the AAC
transform (Media Foundation, and under Wine GStreamer behind it), which
takes seconds once per process; that start is made and printed first, and
the 1 s bound holds for the streams after it, as a listener sees them.

Run in a network namespace of their own:
  unshare -n bash -c 'ip link set lo up; scripts/e2e tests/e2e/test_hls.py'
TUNARA_HLS_SECONDS shortens the long run by hand; TUNARA_HLS_DUMP=<prefix>
keeps each time-coded recording as <prefix>-<n>.npy for a look afterwards."""
import os
import time
from collections import Counter

import numpy as np
import pytest

import audio
from fault_proxy import FaultProxy
from harness import Helper, port_free
from hls import KINDS, LiveHls, TIMECODE_TONES
from icecast import TIMECODE_BASE, TIMECODE_HZ, TIMECODE_STEP_SECONDS, TIMECODE_STEPS
from launcher_doubles import UiDouble
from radio_server import (HLS_ARTIST, HLS_SEGMENT_SECONDS, HLS_SEGMENTS, HLS_STALE_AFTER,
                          HLS_STALE_SECONDS, HLS_TONES, RadioServer)
from test_radio import (BUFFERING, CONNECTION_LOST, PLAYING, RECONNECTING, STOPPED,  # noqa: F401
                        Events, capture, radio_player)

# The one long run: a 4 s kind, so that it crosses segment boundaries and
# playlist reloads of the longer target duration (7 of each). The other
# kinds play for SHORT_SECONDS, at least three segment boundaries each:
# six 30 s runs would add three minutes and test nothing the first does not.
LONG_KIND = "ts-aac-4s"
LONG_SECONDS = float(os.environ.get("TUNARA_HLS_SECONDS", "30"))
SHORT_SECONDS = 8.0
START_BOUND = 1.0


@pytest.fixture(scope="module")
def live():
    server = LiveHls().start()
    yield server
    server.stop()


def drain(conn, seconds=0.2):
    """Events left from the play before are read and dropped."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            conn.read_event(timeout=deadline - time.monotonic())
        except TimeoutError:
            break


def play(conn, url):
    drain(conn)
    events = Events(conn)
    conn.send_command("wmpPlay", url)
    return events, time.monotonic()


def stop(conn, events):
    conn.send_command("wmpStop")
    sent = time.monotonic()
    at, _, _ = events.status(STOPPED, timeout=1.5)
    assert at - sent < 1.0, at - sent


@pytest.fixture(scope="module")
def listener(radio_player, live):
    assert port_free(), "another helper still holds port 33645"
    ui = UiDouble().install()
    helper = Helper().start()
    try:
        conn = helper.connect()
        live.wait_ready("ts-aac")
        events, sent = play(conn, live.url("ts-aac"))
        at, _, _ = events.status(PLAYING, timeout=15)
        print(f"first AAC start after the helper came up: {at - sent:.3f} s")
        stop(conn, events)
        yield conn
    finally:
        helper.stop()
        ui.end_all()


def keep(samples):
    if os.environ.get("TUNARA_HLS_DUMP"):
        np.save(os.environ["TUNARA_HLS_DUMP"] + f"-{time.monotonic():.0f}.npy", samples)


def timecode_marks(samples):
    """The loud windows, and those whose pitch is clearly one step of the
    time code (within a third of the spacing)."""
    found = audio.pitches(samples)[1:-1]
    on = [hz for _, _, hz in found
          if abs((hz - TIMECODE_BASE) / TIMECODE_HZ - round((hz - TIMECODE_BASE) / TIMECODE_HZ))
          <= 0.3 and TIMECODE_TONES[0] - 10 <= hz <= TIMECODE_TONES[-1] + 10]
    return found, on


def assert_time_code(samples, played, segment_seconds):
    """Heard for the time played (the output's start and end aside), at the
    tone's pitch, without a repeated or skipped segment."""
    keep(samples)
    found, on = timecode_marks(samples)
    assert len(found) * audio.WINDOW >= played - 1.5, (len(found), played)
    # A quarter-second step falls inside one window in five; a decoder at a
    # wrong rate would put almost every window between two steps.
    assert len(on) >= 0.7 * len(found), (len(on), len(found))
    jumps = audio.timecode_jumps(samples, TIMECODE_BASE, TIMECODE_HZ, TIMECODE_STEPS,
                                 TIMECODE_STEP_SECONDS)
    # A window across a step now and then reads as the step after next, a
    # jump of a quarter or half a second; a segment is 2 or 4 s.
    assert [j for j in jumps if abs(j[1]) >= segment_seconds / 2] == [], jumps
    # A segment lost is 2 s; a glitch under load on this shared machine
    # has been seen to reach 150 ms.
    assert audio.longest_gap(samples) < 0.2


def play_kind(listener, live, capture, kind, seconds, url=None):
    live.wait_ready(kind.name)
    # A stopped session is abandoned, not waited for: a request it had in
    # flight may still reach the server just after the stop.
    drain(listener, 0.3)
    live.reset_requests()
    capture.start().wait_recording()
    events, sent = play(listener, url or live.url(kind.name))
    at, _, _ = events.status(PLAYING, timeout=5)
    assert at - sent < START_BOUND, at - sent
    _, _, media = events.media()
    assert media["FileType"] == kind.file_type
    if kind.title:
        events.media(lambda data: data.get("Title") == kind.title, timeout=kind.segment_seconds * 2)
    return events, at


@pytest.mark.parametrize("name", ["ts-aac", "ts-mp3", "fmp4", "aes", "packed", LONG_KIND])
def test_live_kind_plays_every_segment_once_at_its_pitch(listener, live, capture, name):
    kind = KINDS[name]
    seconds = LONG_SECONDS if name == LONG_KIND else SHORT_SECONDS
    events, at = play_kind(listener, live, capture, kind, seconds)
    events.watch(at + seconds - time.monotonic())
    played = time.monotonic() - at
    stop(listener, events)
    samples = capture.stop().samples()

    assert BUFFERING not in events.states() and RECONNECTING not in events.states(), \
        events.summary()
    assert events.errors() == []
    assert_time_code(samples, played, kind.segment_seconds)
    fetched = live.segment_requests(name)
    assert fetched and max(fetched.values()) == 1, fetched
    # From three target durations before the live end to where it stopped.
    assert len(fetched) >= played / kind.segment_seconds, (fetched, played)


def test_stall_on_the_way_is_bridged_by_the_segments_read_ahead(listener, live, capture):
    """A 3 s network stall (fault_proxy.py) while the player reads ahead
    three target durations: nothing is heard of it, and no segment is lost
    or fetched twice."""
    kind = KINDS["ts-aac"]
    with FaultProxy("127.0.0.1", live.port) as proxy:
        events, at = play_kind(listener, live, capture, kind, 12,
                               url=live.url(kind.name, port=proxy.port))
        events.watch(4.0)
        proxy.stall(3.0)
        events.watch(at + 12 - time.monotonic())
        played = time.monotonic() - at
        stop(listener, events)
        samples = capture.stop().samples()
        connections = proxy.connections
    assert any(what == "resume" for _, what, _ in proxy.log), proxy.log
    assert connections >= 6  # playlists and segments each on a connection of their own
    assert BUFFERING not in events.states() and RECONNECTING not in events.states(), \
        events.summary()
    assert events.errors() == []
    assert_time_code(samples, played, kind.segment_seconds)
    fetched = live.segment_requests(kind.name)
    assert fetched and max(fetched.values()) == 1, fetched


# -- the test radio's HLS paths -------------------------------------------

@pytest.fixture(scope="module")
def radio():
    server = RadioServer().start()
    server.hls.segments()  # made before the first play, not during it
    yield server
    server.stop()


@pytest.fixture
def station(listener, radio):
    drain(listener, 0.3)  # as in play_kind
    radio.reset()
    yield listener


def tone_runs(samples):
    """The radio's segments as heard, by their tones: (index into HLS_TONES,
    seconds) of each run of at least 0.3 s of one tone (shorter runs are
    the steps between two segments). A click of under 0.2 s inside a run
    (the machine is shared) does not cut it in two; a segment played twice
    makes a run of two segments' length."""
    keep(samples)
    runs = []
    for _, _, hz in audio.pitches(samples):
        near = [k for k, f in enumerate(HLS_TONES) if abs(hz - f) <= 0.03 * f]
        k = near[0] if near else None
        if runs and runs[-1][0] == k:
            runs[-1][1] += 1
        else:
            runs.append([k, 1])
    merged = []
    for k, n in runs:
        if k is None and n * audio.WINDOW < 0.2:
            continue
        if merged and merged[-1][0] == k:
            merged[-1][1] += n
        else:
            merged.append([k, n])
    return [(k, n * audio.WINDOW) for k, n in merged if k is not None and n * audio.WINDOW >= 0.3]


def segment_tones(samples):
    return [k for k, _ in tone_runs(samples)]


def tone_steps(tones):
    """How far each heard segment is from the one before (1: the next)."""
    return [(b - a) % HLS_SEGMENTS for a, b in zip(tones, tones[1:])]


def titles(events):
    out = []
    for _, kind, data in events.seen:
        if kind == "wmpMediaEvent" and (not out or out[-1] != data.get("Title")):
            out.append(data.get("Title"))
    return out


def song_numbers(events):
    prefix = f"{HLS_ARTIST} - Song "
    return [int(t[len(prefix):]) for t in titles(events) if t and t.startswith(prefix)]


def segment_requests(radio, mode):
    return Counter(path for path, _ in radio.requests
                   if path.startswith(f"/hls/{mode}/") and path.endswith(".ts"))


def test_timed_id3_titles_and_segments_follow_each_other(station, radio, capture):
    capture.start().wait_recording()
    events, sent = play(station, radio.url("/hls/live/live.m3u8"))
    at, _, _ = events.status(PLAYING, timeout=5)
    assert at - sent < START_BOUND, at - sent
    _, _, media = events.media()
    assert media["FileType"] == "hls-ts"
    events.watch(at + 9 - time.monotonic())
    stop(station, events)
    samples = capture.stop().samples()
    # A new title every two segments, each in turn: none left out, none twice.
    songs = song_numbers(events)
    assert len(songs) >= 4, titles(events)
    assert songs == list(range(songs[0], songs[0] + len(songs))), titles(events)
    runs = tone_runs(samples)
    tones = [k for k, _ in runs]
    assert len(tones) >= 7, runs
    assert set(tone_steps(tones)) == {1}, runs
    # Each segment heard for its second, the first and last aside.
    assert all(0.6 <= seconds <= 1.4 for _, seconds in runs[1:-1]), runs
    assert events.errors() == [] and BUFFERING not in events.states()
    fetched = segment_requests(radio, "live")
    assert max(fetched.values()) == 1, fetched


def test_master_plays_the_default_rendition_of_the_best_audio_variant(station, radio):
    events, _ = play(station, radio.url("/hls/master.m3u8"))
    events.status(PLAYING, timeout=5)
    _, _, media = events.media()
    assert media["Name"] == "Tunara HLS"
    assert media["Bitrate"] == "128000"
    assert media["FileType"] == "hls-ts"
    stop(station, events)
    playlists = {path for path, _ in radio.requests if path.endswith("live.m3u8")}
    # Video and AC-3 variants are passed over, and the variant's own media
    # playlist too: its AUDIO group's default rendition carries the sound.
    assert playlists == {"/hls/main/live.m3u8"}, playlists


def test_playlist_that_stops_updating_is_a_drop_and_plays_on_when_it_moves(station, radio):
    events, _ = play(station, radio.url("/hls/stale/live.m3u8"))
    at, _, _ = events.status(PLAYING, timeout=5)
    started, _ = radio.hls.first_request("stale")
    # Three target durations without a new segment after the freeze.
    lost, _, _ = events.status(RECONNECTING, timeout=HLS_STALE_AFTER + 6)
    assert lost - started >= HLS_STALE_AFTER + 2 * HLS_SEGMENT_SECONDS, lost - started
    events.until(lambda e: e[1] == "wmpStatusEvent" and e[2] == PLAYING and e[0] > lost,
                 HLS_STALE_SECONDS + 8, "playing again")
    events.watch(3.0)
    stop(station, events)
    assert events.errors() == []
    # What played before the drop is not played again after it.
    songs = song_numbers(events)
    assert songs == sorted(set(songs)), titles(events)


def test_playlist_that_never_moves_again_ends_with_connection_lost(station, radio):
    """Each reconnect finds the same playlist, with nothing new in it: drops
    until the budget of a dropped stream is spent, then one error entry."""
    events, _ = play(station, radio.url("/hls/frozen/live.m3u8"))
    events.status(PLAYING, timeout=5)
    lost, _, _ = events.status(RECONNECTING, timeout=HLS_STALE_AFTER + 6)
    _, _, data = events.error(timeout=60)
    assert [int(entry["code"]) & 0xFFFFFFFF for entry in data] == [CONNECTION_LOST]
    events.status(STOPPED, timeout=2)
    after = [e[2] for e in events.seen if e[1] == "wmpStatusEvent" and e[0] > lost]
    assert PLAYING not in after, events.states()


def test_segment_that_404s_is_fetched_twice_then_skipped(station, radio, capture):
    capture.start().wait_recording()
    events, _ = play(station, radio.url("/hls/gap/live.m3u8"))
    at, _, _ = events.status(PLAYING, timeout=5)
    missing = radio.hls.missing("gap")
    events.watch(at + 8 - time.monotonic())
    stop(station, events)
    samples = capture.stop().samples()
    fetched = segment_requests(radio, "gap")
    assert fetched[f"/hls/gap/{missing}.ts"] == 2, fetched
    assert {n for path, n in fetched.items() if not path.endswith(f"/{missing}.ts")} == {1}
    # One segment's tone is missing, every other comes in turn; the read
    # ahead covers the hole, so the listener sees no state change.
    assert sorted(tone_steps(segment_tones(samples))).count(2) == 1, segment_tones(samples)
    assert set(tone_steps(segment_tones(samples))) <= {1, 2}
    assert events.errors() == []
    assert [s for s in events.states() if s != 9] == [PLAYING, STOPPED], events.states()


@pytest.mark.parametrize("mode", ["slow-0", "slow-3"], ids=["first-segment", "while-playing"])
def test_stop_during_a_segment_fetch_is_heard_within_a_second(station, radio, mode):
    events, _ = play(station, radio.url(f"/hls/{mode}/live.m3u8"))
    if mode != "slow-0":
        events.status(PLAYING, timeout=5)
    # A segment trickling in: the server is sending it.
    deadline = time.monotonic() + 10
    while radio.hls.trickling[mode] == 0:
        assert time.monotonic() < deadline, "no segment fetch began"
        events.watch(0.05)
    events.watch(0.5)
    assert radio.hls.trickling[mode] > 0, [p for p, _ in radio.requests]
    stop(station, events)
    assert events.errors() == []


def test_segments_slow_to_answer_are_bridged_by_the_read_ahead(station, radio, capture):
    """Each segment's answer starts 600 ms after its request (a far server);
    the read ahead holds three segments, so the device must never run dry
    while the player waits for an answer."""
    capture.start().wait_recording()
    events, _ = play(station, radio.url("/hls/lag-600/live.m3u8"))
    at, _, _ = events.status(PLAYING, timeout=5)
    events.watch(at + 8 - time.monotonic())
    stop(station, events)
    samples = capture.stop().samples()
    assert events.errors() == [] and BUFFERING not in events.states(), events.summary()
    assert audio.longest_gap(samples) < 0.2
    assert set(tone_steps(segment_tones(samples))) == {1}, segment_tones(samples)
