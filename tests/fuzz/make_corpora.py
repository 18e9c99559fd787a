#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets other than the AMF3 decoder's
basic seeds: tests/fuzz/corpus/<target>/ for frame_reader, dispatch,
send_queue, launcher and touch, and the decode-budget seeds of corpus/amf.

Each target's input format is described at the top of its check header
(tests/fuzz/*FuzzCheck.h). Payloads come from make_amf_corpus.py's own small
AMF3 writer, never from the codec under test. Run from anywhere; it rewrites
the files.
"""
import os
import struct

from make_amf_corpus import enc, env

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def frame(payload, magic=b"\xda\xda\xda\xda", length=None):
    """A frame as the UI writes it: magic, length little-endian, payload."""
    return magic + struct.pack("<I", len(payload) if length is None else length) + payload


def reader_input(stream, schedule=b""):
    return bytes([len(schedule)]) + schedule + stream


COMMANDS = {
    "wmp_play": enc(env("wmpPlay", "http://radio.example/stream.mp3")),
    "wmp_stop": enc(env("wmpStop", None)),
    "wmp_set_volume": enc(env("wmpSetVolume", "35")),
    "tip_show": enc(env("tipShow", None)),
    "stylus_show": enc(env("stylusShow", None)),
    "stylus_hide": enc(env("stylusHide", None)),
    "get_url": enc(env("getURL", "http://example.org/")),
    "launcher_minimize": enc(env("launcherMinimize", None)),
    "launcher_close": enc(env("launcherClose", None)),
}

HTTP_POST = (b"POST / HTTP/1.1\r\nHost: 127.0.0.1:33645\r\nContent-Type: text/plain\r\n"
             b"Content-Length: 37\r\n\r\n" + frame(COMMANDS["get_url"])[:37])
WEBSOCKET = (b"GET /chat HTTP/1.1\r\nHost: 127.0.0.1:33645\r\nUpgrade: websocket\r\n"
             b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             b"Sec-WebSocket-Version: 13\r\n\r\n")

all_frames = b"".join(frame(p) for p in COMMANDS.values())

SEEDS = {
    "frame_reader": {
        "one_command": reader_input(frame(COMMANDS["wmp_play"])),
        "all_commands_cut_small": reader_input(all_frames, bytes([0, 2, 6, 0xC0, 1, 0x45, 0x3F])),
        "empty_frames": reader_input(frame(b"") * 3 + frame(b"\x01"), bytes([0x40, 3])),
        "partial_header_at_end": reader_input(frame(COMMANDS["wmp_stop"]) + b"\xda\xda\xda"),
        "partial_payload_at_end": reader_input(frame(COMMANDS["wmp_stop"])[:-3]),
        "would_block_and_reset": reader_input(all_frames[:200], bytes([0xC0, 0xC1, 7, 0xC2, 0x7F])),
        "http_post": reader_input(HTTP_POST, bytes([5])),
        "websocket_upgrade": reader_input(WEBSOCKET),
        "magic_breaks_in_second_frame": reader_input(frame(COMMANDS["tip_show"]) + b"\xda\xda\x00\xda" +
                                                     frame(COMMANDS["get_url"]), bytes([1])),
        "oversized_length": reader_input(frame(b"", length=0x01000001) + b"\x00" * 64),
        "chunk_boundary": reader_input(frame(bytes(range(256)) * 17) + frame(b"x"), bytes([0x3F, 0x7F])),
    },
    # Byte 0: bit 0 the player dialog is there; bit 1 the rest is volume text.
    "dispatch": dict(
        [(name + "_player", b"\x01" + data) for name, data in COMMANDS.items()]
        + [(name + "_no_player", b"\x00" + data) for name, data in COMMANDS.items()
           if name in ("wmp_play", "wmp_stop", "wmp_set_volume")]
        + [
            ("get_url_empty", b"\x01" + enc(env("getURL", ""))),
            ("type_number", b"\x01" + enc(({"type": 5, "data": "x"}, []))),
            ("two_commands", b"\x01" + COMMANDS["wmp_stop"] + COMMANDS["wmp_stop"]),
            ("type_capitalised", b"\x01" + enc(env("WmpStop", None))),
            ("dense_and_extras", b"\x01" + enc(({"type": "wmpSetVolume", "data": "70", "x": 1}, [1, "a"]))),
            ("volume_text", b"\x02" + " \t-0042%".encode("utf-16-le")),
            ("volume_huge", b"\x02" + "99999999999999999999".encode("utf-16-le")),
            ("volume_sign_only", b"\x02" + "+ 5".encode("utf-16-le")),
            ("volume_wide_digits", b"\x02" + "\uff15\u0665".encode("utf-16-le")),
        ]),
    # op % 4: 0 queue (+ length byte), 1 flush limited (+ per-send byte), 2 error, 3 zero.
    "send_queue": {
        "queue_and_flush": bytes([0, 10, 0, 0, 1, 0]),
        "partial_sends": bytes([0, 100, 0, 127, 4 * 3 + 1, 1, 4 * 1 + 1, 2, 1, 5]),
        "would_block_then_send": bytes([4 * 1 + 1, 0, 0, 50, 0, 60, 1, 255]),
        "send_error": bytes([0, 20, 4 * 1 + 1, 0, 2, 0, 5]),
        "zero_result": bytes([0, 20, 3, 0, 30, 1, 1]),
        # Long frames of 2 MiB behind a peer that stopped reading: four stay
        # under the 8 MiB cap, five pass it.
        "cap_reached": bytes([4 * 63 + 1, 0] + [0, 0xFF] * 5 + [0, 5]),
        "near_cap": bytes([4 * 63 + 1, 0] + [0, 0xFF] * 4 + [1, 0]),
        "budget_behind_sent_prefix": bytes([4 * 2 + 1, 255] + [0, 0xFF] * 3 + [4 * 20 + 1, 255] + [0, 0xFF] * 4),
    },
    # The whole input is a request; bytes 0..27 also a record header, the rest pixels.
    "launcher": {
        "ack": struct.pack("<I", 10),
        "activate": struct.pack("<Ii", 11, -7),
        "activate_short": struct.pack("<I", 11) + b"\x01\x02",
        "release": struct.pack("<I", 15),
        "snapshot_request": struct.pack("<I", 16),
        "launcher_own": struct.pack("<I", 13),
        "short": b"\x0a\x00",
        "record_2x2_32": struct.pack("<IIIIiii", 3, 0xFFFFFFFF, 0x1234, 99, 2, 2, 32) + bytes(range(16)),
        "record_3x1_24": struct.pack("<IIIIiii", 2, 0xFFFFFFFF, 1, 2, 3, 1, 24) + bytes(range(9)),
        "record_empty": struct.pack("<IIIIiii", 1, 0xFFFFFFFF, 1, 2, 0, 0, 0),
        "record_too_big": struct.pack("<IIIIiii", 3, 0xFFFFFFFF, 1, 2, 65536, 65536, 32),
        "record_negative": struct.pack("<IIIIiii", 3, 0xFFFFFFFF, 1, 2, -1, 5, 32),
        "record_short_pixels": struct.pack("<IIIIiii", 3, 0xFFFFFFFF, 1, 2, 4, 4, 32) + b"\x00" * 10,
    },
    # op, folder flags/length high bit, length low byte, folder bytes, script.
    "touch": {
        "show_present": bytes([0, 0, 16]) + b"C:\\Program Files" + bytes([3, 3]),
        "show_absent_then_launched": bytes([0, 0, 16]) + b"C:\\Program Files" + bytes([0, 3, 1, 1, 3]),
        "show_starting_waits": bytes([0, 0, 16]) + b"C:\\Program Files" + bytes([1, 1, 3]),
        "show_never_there": bytes([0, 0, 16]) + b"C:\\Program Files" + bytes([0, 3, 0]),
        "hide_present": bytes([1, 0, 16]) + b"C:\\Program Files" + bytes([2, 3]),
        "hide_start_fails": bytes([1, 0, 16]) + b"C:\\Program Files" + bytes([0x80]),
        "query_folder_fails": bytes([2, 0x80, 16]) + b"C:\\Program Files" + bytes([3]),
        "query_long_folder": bytes([2, 0, 230]) + b"C:\\Long" + bytes([3]),
        "keyboard": bytes([3, 0, 16]) + b"C:\\Program Files",
        "keyboard_too_long": bytes([3, 0, 220]) + b"D:\\",
        "empty_folder": bytes([0, 0, 0]) + bytes([3, 3]),
    },
}

# The decode budget's edges for the AMF3 target (the file sizes also raise
# libFuzzer's default -max_len past the value budget).
def u29_header(n):
    v = (n << 1) | 1
    if v < 0x80:
        return bytes([v])
    if v < 0x4000:
        return bytes([(v >> 7) | 0x80, v & 0x7F])
    return bytes([(v >> 14) | 0x80, ((v >> 7) & 0x7F) | 0x80, v & 0x7F])


AMF_BUDGET = {
    "budget_values_at_bound": b"\x00" * 65536,
    "budget_values_past_bound": b"\x00" * 65537,
    "budget_string_references": b"\x06" + u29_header(4096) + b"a" * 4096 + b"\x06\x00" * 64,
}

if __name__ == "__main__":
    count = 0
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            count += 1
    for name, data in AMF_BUDGET.items():
        with open(os.path.join(HERE, "amf", name), "wb") as f:
            f.write(data)
        count += 1
    print(f"{count} seeds under {HERE}")
