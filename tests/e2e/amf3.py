"""A small AMF3 writer and reader for the end-to-end tests.

Written apart from the helper's own codec, from the wire format alone, so
that one mistake cannot hide in both. It covers what the helper exchanges:
undefined, null, booleans, integers, doubles, strings and arrays. Python
values map as: None -> null, bool, int -> integer, float -> double,
str -> string, dict -> array with associative members (dense part from the
special key DENSE), list -> array with dense elements only.
"""
import struct

DENSE = object()  # key of a dict entry holding the array's dense elements
UNDEFINED = type("Undefined", (), {"__repr__": lambda self: "UNDEFINED"})()


class Writer:
    """Writes values with a string reference table, like a well-behaved peer."""

    def __init__(self, use_refs=True):
        self.out = bytearray()
        self.strings = []
        self.use_refs = use_refs

    def u29(self, v):
        assert 0 <= v <= 0x1FFFFFFF
        if v < 0x80:
            self.out += bytes([v])
        elif v < 0x4000:
            self.out += bytes([0x80 | (v >> 7), v & 0x7F])
        elif v < 0x200000:
            self.out += bytes([0x80 | (v >> 14), 0x80 | ((v >> 7) & 0x7F), v & 0x7F])
        else:
            self.out += bytes([0x80 | (v >> 22), 0x80 | ((v >> 15) & 0x7F),
                               0x80 | ((v >> 8) & 0x7F), v & 0xFF])

    def string(self, s):
        if s == "":
            self.out += b"\x01"
            return
        if self.use_refs and s in self.strings:
            self.u29(self.strings.index(s) << 1)
            return
        self.strings.append(s)
        data = s.encode("utf-8")
        self.u29((len(data) << 1) | 1)
        self.out += data

    def value(self, v):
        if v is UNDEFINED:
            self.out += b"\x00"
        elif v is None:
            self.out += b"\x01"
        elif v is True:
            self.out += b"\x03"
        elif v is False:
            self.out += b"\x02"
        elif isinstance(v, int):
            assert -(1 << 28) <= v < (1 << 28)
            self.out += b"\x04"
            self.u29(v & 0x1FFFFFFF)
        elif isinstance(v, float):
            self.out += b"\x05" + struct.pack(">d", v)
        elif isinstance(v, str):
            self.out += b"\x06"
            self.string(v)
        elif isinstance(v, list):
            self.out += b"\x09"
            self.u29((len(v) << 1) | 1)
            self.out += b"\x01"
            for e in v:
                self.value(e)
        elif isinstance(v, dict):
            dense = v.get(DENSE, [])
            self.out += b"\x09"
            self.u29((len(dense) << 1) | 1)
            for k, e in v.items():
                if k is DENSE:
                    continue
                self.string(k)
                self.value(e)
            self.out += b"\x01"
            for e in dense:
                self.value(e)
        else:
            raise TypeError(type(v))


def encode(*values, use_refs=True):
    w = Writer(use_refs)
    for v in values:
        w.value(v)
    return bytes(w.out)


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.strings = []

    def byte(self):
        if self.pos >= len(self.data):
            raise ValueError("payload ends early")
        b = self.data[self.pos]
        self.pos += 1
        return b

    def u29(self):
        v = 0
        for i in range(4):
            b = self.byte()
            if i < 3:
                v = (v << 7) | (b & 0x7F)
                if not b & 0x80:
                    return v
            else:
                return (v << 8) | b
        return v

    def string(self):
        h = self.u29()
        if not h & 1:
            return self.strings[h >> 1]
        n = h >> 1
        if n == 0:
            return ""
        if self.pos + n > len(self.data):
            raise ValueError("string runs past the payload")
        s = self.data[self.pos:self.pos + n].decode("utf-8")
        self.pos += n
        self.strings.append(s)
        return s

    def value(self):
        m = self.byte()
        if m == 0x00:
            return UNDEFINED
        if m == 0x01:
            return None
        if m in (0x02, 0x03):
            return m == 0x03
        if m == 0x04:
            v = self.u29()
            return v - (1 << 29) if v & (1 << 28) else v
        if m == 0x05:
            if self.pos + 8 > len(self.data):
                raise ValueError("double runs past the payload")
            (v,) = struct.unpack(">d", self.data[self.pos:self.pos + 8])
            self.pos += 8
            return v
        if m == 0x06:
            return self.string()
        if m == 0x09:
            h = self.u29()
            if not h & 1:
                raise ValueError("array reference")
            members = {}
            while True:
                k = self.string()
                if k == "":
                    break
                members[k] = self.value()
            dense = [self.value() for _ in range(h >> 1)]
            if dense and not members:
                return dense
            if dense:
                members[DENSE] = dense
            return members
        raise ValueError(f"marker {m:#04x} not expected from the helper")


def decode(data):
    r = Reader(data)
    values = []
    while r.pos < len(data):
        values.append(r.value())
    return values
