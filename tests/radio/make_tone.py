#!/usr/bin/env python3
"""Writes a 44.1 kHz stereo 16-bit WAV file of a 440 Hz sine at half of full
scale: make_tone.py OUT.wav SECONDS [AMPLITUDE]."""
import math
import struct
import sys
import wave


def main():
    path, seconds = sys.argv[1], float(sys.argv[2])
    amplitude = float(sys.argv[3]) if len(sys.argv) > 3 else 0.5
    rate = 44100
    frames = bytearray()
    for i in range(int(rate * seconds)):
        sample = int(amplitude * 32767 * math.sin(2 * math.pi * 440 * i / rate))
        frames += struct.pack("<hh", sample, sample)
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
