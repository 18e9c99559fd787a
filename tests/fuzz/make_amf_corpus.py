#!/usr/bin/env python3
"""Writes the seed payloads of tests/fuzz/corpus/amf.

A tiny AMF3 writer of its own (never the codec under test), enough for the
envelopes the helper exchanges. Run from anywhere; it rewrites the files.
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "amf")


def u29(v):
    v &= 0x1FFFFFFF
    if v < 0x80:
        return bytes([v])
    if v < 0x4000:
        return bytes([(v >> 7) | 0x80, v & 0x7F])
    if v < 0x200000:
        return bytes([(v >> 14) | 0x80, ((v >> 7) & 0x7F) | 0x80, v & 0x7F])
    return bytes([((v >> 22) & 0x7F) | 0x80, ((v >> 15) & 0x7F) | 0x80, ((v >> 8) & 0x7F) | 0x80, v & 0xFF])


class W:
    def __init__(self):
        self.table = []
        self.out = bytearray()

    def s(self, text):
        if text == "":
            self.out += b"\x01"
        elif text in self.table:
            self.out += u29(self.table.index(text) << 1)
        else:
            self.table.append(text)
            b = text.encode("utf-8")
            self.out += u29((len(b) << 1) | 1) + b

    def v(self, x):
        if x is None:
            self.out += b"\x01"
        elif x is True or x is False:
            self.out += b"\x03" if x else b"\x02"
        elif isinstance(x, int):
            self.out += b"\x04" + u29(x)
        elif isinstance(x, float):
            self.out += b"\x05" + struct.pack(">d", x)
        elif isinstance(x, str):
            self.out += b"\x06"
            self.s(x)
        elif isinstance(x, tuple):  # (members dict, elements list)
            members, elements = x
            self.out += b"\x09" + u29((len(elements) << 1) | 1)
            for k in sorted(members, key=lambda k: k.encode("utf-16-be")):
                self.s(k)
                self.v(members[k])
            self.out += b"\x01"
            for e in elements:
                self.v(e)
        else:
            raise TypeError(x)


def enc(*values):
    w = W()
    for x in values:
        w.v(x)
    return bytes(w.out)


def env(kind, data):
    return ({"type": kind, "data": data}, [])


SEEDS = {
    "minimize_event": enc(env("minimizeEvent", True)),
    "wmp_play": enc(env("wmpPlay", "http://radio.example/stream.mp3")),
    "wmp_set_volume": enc(env("wmpSetVolume", "50")),
    "wmp_stop": enc(env("wmpStop", None)),
    "wmp_status_event": enc(env("wmpStatusEvent", 3)),
    "wmp_media_event": enc(env("wmpMediaEvent", ({
        "Title": "Morning Show", "Author": "Radio Tunara", "Bitrate": "128000",
        "Genre": "Talk", "Copyright": "\u00a9 2024 R\u00e4dio \u20ac \U0001F600"}, []))),
    "wmp_error_event": enc(env("wmpErrorEvent", ({"code": -107288, "text": "Cannot connect"}, []))),
    "integers": enc(0, 127, 128, 2097151, 2097152, 268435455, -1, -268435456),
    "doubles": enc(1.0, -0.0, float("inf"), 1e-300) + b"\x05\x7f\xf8\x00\x00\x00\x00\x00\x01",
    "strings_refs": enc("abc", "abc", "", "\u00e9\u20ac\U0001F600", "abc"),
    "nested": enc(({"a": ({"b": 1}, [True, None]), "c": "a"}, [1, 2, ({}, ["x"])])),
    "dense_short": bytes.fromhex("09 05 01 06 01"),
    "refused_element": bytes.fromhex("09 05 01 0a 01"),
    "skipped_key": bytes.fromhex("09 01 02 01"),
    "nul_in_string": bytes.fromhex("06 07 61 00 62 06 00"),
    "malformed_utf8": bytes.fromhex("06 1b 61 f1 80 80 e1 80 c2 62 80 63 80 bf 64"),
    "string_past_end": bytes.fromhex("04 01 06 09 61"),
}

if __name__ == "__main__":
    os.makedirs(HERE, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {HERE}")
