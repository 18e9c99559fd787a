#!/usr/bin/env python3
"""Writes the seed inputs of the AAC target, tests/fuzz/corpus/aac/.

The input format is described at the top of tests/fuzz/AacFuzzCheck.h: a
flags byte (bit 0 LATM, bit 1 the end is announced), a schedule of piece
sizes, then the stream. The frames are built here bit by bit, never by the
scanner under test; two seeds are the start of a tone ffmpeg encoded, as
ADTS and as LOAS, when ffmpeg is there (they are kept otherwise). Run from
anywhere; it rewrites the files.
"""
import os
import shutil
import subprocess
import tempfile

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "aac")

LATM = 1
FINISH = 2
RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350]


def seed(flags, stream, schedule=b""):
    return bytes([flags, len(schedule)]) + schedule + stream


def adts(payload_bytes, profile=1, rate_index=4, channels=2, crc=False, blocks=1, fill=0x21):
    """One ADTS frame: the 7-byte header (9 with a CRC), then payload bytes."""
    header = 9 if crc else 7
    length = header + payload_bytes
    h = bytes([
        0xFF,
        0xF0 | (0 if crc else 1),
        (profile << 6) | (rate_index << 2) | (channels >> 2),
        ((channels & 3) << 6) | (length >> 11),
        (length >> 3) & 0xFF,
        ((length & 7) << 5) | 0x1F,
        0xFC | (blocks - 1),
    ])
    if crc:
        h += b"\x12\x34"
    return h + bytes([fill]) * payload_bytes


def loas(payload):
    return bytes([0x56, 0xE0 | (len(payload) >> 8), len(payload) & 0xFF]) + payload


# StreamMuxConfig with its 16 header bits (useSameStreamMux 0, version 0,
# allStreamsSameTimeFraming 1, no subframes, programs or layers beyond the
# first), then an AudioSpecificConfig: AAC-LC, 44.1 kHz, stereo.
MUX_CONFIG = bytes([0x20, 0x00, 0x12, 0x10, 0x00, 0x3F, 0xC0])
# A frame that reuses the stream's configuration (useSameStreamMux 1).
def latm_frame(n, with_config):
    body = (MUX_CONFIG if with_config else b"\x80") + bytes([0x5A]) * n
    return loas(body)


def tag(size):
    """An ID3v2 tag of size bytes after its 10-byte header."""
    ss = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    return b"ID3\x04\x00\x00" + ss + b"\x00" * size


lc = [adts(90 + 7 * i) for i in range(6)]
damaged = bytearray(b"".join(lc))
damaged[len(lc[0]) + len(lc[1]) + 4] ^= 0x5A  # the third frame's length field

SEEDS = {
    "adts_lc_stereo": seed(FINISH, b"".join(lc)),
    "adts_cut_small": seed(FINISH, b"".join(lc), bytes([0, 2, 6, 12, 1])),
    "adts_not_finished": seed(0, b"".join(lc), bytes([40])),
    "adts_crc_mono_48k": seed(FINISH, b"".join(adts(60, 1, 3, 1, crc=True) for _ in range(4))),
    "adts_tags_around": seed(FINISH, tag(20) + lc[0] + lc[1] + tag(300) + b"".join(lc[2:]),
                             bytes([5, 9])),
    "adts_damaged_length": seed(FINISH, bytes(damaged), bytes([3, 30])),
    "adts_junk_then_sync": seed(FINISH, b"\xff\xf1\x00" * 40 + b"".join(lc)),
    "adts_rate_changes": seed(FINISH, b"".join(lc[:3]) + b"".join(adts(70, 1, 6) for _ in range(4))),
    "adts_he_profile_blocks": seed(FINISH, b"".join(adts(200, 3, 7, 0, blocks=4) for _ in range(3))),
    "latm_with_config": seed(LATM | FINISH, b"".join(latm_frame(40 + i, i % 3 == 0) for i in range(7))),
    "latm_cut": seed(LATM | FINISH, b"".join(latm_frame(40, True) for _ in range(5)), bytes([0, 1, 2])),
    "latm_stream_labelled_adts": seed(FINISH, b"".join(latm_frame(30, True) for _ in range(5))),
    # Configurations at the stream's head, for the readers of one.
    "asc_he_aac_sbr": seed(FINISH, bytes([0x2B, 0x92, 0x08, 0x00])),
    "asc_escaped_object_and_rate": seed(FINISH, bytes([0xF8, 0x1F, 0x80, 0x01, 0xF4, 0x40, 0x10])),
    "asc_ps": seed(FINISH, bytes([0xEB, 0x09, 0x88, 0x00])),
}


def ffmpeg_seeds():
    """The start of one second of a 440 Hz tone, as ffmpeg writes ADTS and LOAS."""
    if not shutil.which("ffmpeg"):
        return {}
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, fmt, flags in (("ffmpeg_adts", "adts", FINISH), ("ffmpeg_latm", "latm", LATM | FINISH)):
            path = os.path.join(tmp, name)
            subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                            "-ac", "2", "-c:a", "aac", "-b:a", "32k", "-f", fmt, path], check=True)
            with open(path, "rb") as f:
                out[name] = seed(flags, f.read()[:3000], bytes([100, 7, 255]))
    return out


if __name__ == "__main__":
    os.makedirs(HERE, exist_ok=True)
    seeds = dict(SEEDS)
    seeds.update(ffmpeg_seeds())
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds)} seeds under {HERE}")
