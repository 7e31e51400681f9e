"""Writes the seed corpus of the decode target: valid documents of every flag,
including forms the encoder never writes (typed float/str/bytes lists, long
back-references, non-canonical size fields, custom types, lists of
structured dicts), each behind a header with an empty path and with a path
that reaches into it.

Run from the repository root: python fuzz/make_seeds.py
"""

import datetime
import hashlib
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(__file__))

import fuzz_common as fc  # noqa: E402
from pyquarl import CustomType, Idx, dump_bytes  # noqa: E402

OUT = os.path.join(os.path.dirname(__file__), "corpus", "decode")


def size(n, base=255):
    if n < base:
        return bytes([n])
    digits, rest = [], n - base
    while rest:
        rest, digit = divmod(rest, base)
        digits.append(digit)
    return bytes([0xFF, *digits, 0xFF])


def ascii_str(s):
    return b"\x12" + size(len(s)) + s.encode()


def utf8_str(s):
    data = s.encode()
    return b"\x0a" + size(len(data)) + data


def marked(s):
    data = b"\xfe" + s.encode() if s.isascii() and s else s.encode()
    return size(len(data)) + data


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


DUMP_TYPES = {Point: CustomType("pt", lambda p: [p.x, p.y])}

# One level of nesting claiming 1 000 items (500 entries), whose first item
# (or value) opens the next level.
NESTED_CLAIMS = [
    b"\x0d" + size(1000),
    b"\x0f" + size(500) + b"\x1e",
    b"\x10" + size(500) + b"\x02\xfea",
    b"\x13" + size(500) + b"\x01\x1e",
]

# (body without marker, paths worth trying)
HAND_MADE = [
    (bytes([flag]), []) for flag in (0, 1, 2, 3, 4, 5, 6, 12, 25, 29, 30, 254, 255)
] + [
    (b"\x07\xff\x00\x00\x00\x00\x00\x00\x00\x00\x02\xff", []),
    (b"\x08\xff\xff", []),
    (b"\x09" + struct.pack(">d", -0.0), []),
    (b"\x0e\x09\x03" + struct.pack(">3d", 1.5, 0.0, -0.0), [[Idx(2)]]),
    (b"\x0e\x0a\x03" + marked("a") + marked("é") + marked(""), [[Idx(1)], [Idx(2)]]),
    (b"\x0d\x02\x0e\x0a\x02" + marked("a") + marked("b") + b"\x14\x00", [[Idx(1)], [Idx(0), Idx(1)]]),
    (b"\x0e\x0b\x02\x02ab\x00", [[Idx(1)], [Idx(0)]]),
    (b"\x0e\x0c\x09\xff\x80", [[Idx(8)]]),
    (b"\x0e\x04\x03", [[Idx(2)]]),
    (b"\x0e\x07\x00", []),
    (b"\x0d\x03" + ascii_str("ab") + b"\x1f" + b"\x11\x00", [[Idx(2)]]),
    (b"\x0d\x02" + ascii_str("ab") + b"\x15\x00\x00", [[Idx(1)]]),
    (b"\x0d\x02" + ascii_str("ab") + b"\x17\x00\x00\x00\x00", [[Idx(1)]]),
    (b"\x0d\x02" + ascii_str("ab") + b"\x16\x00\x00\x00", [[Idx(1)]]),
    (b"\x10\x02\x02\xfea\x1f\x02\xfeb\x0d\x02\x02\x04", [["a"], ["b", Idx(1)]]),
    (b"\x10\x02" + size(254, 254) + b"\xfe" + b"k" * 253 + b"\x1f\x01\xfe\x00\x20", [["k" * 253], ["a"]]),
    (b"\x0f\x02\x1f" + utf8_str("é") + b"\x0d\x01\x1f\x1f", [[1], [2]]),
    (b"\x0f\x01\x0d\x01\x1f\x1f", [[1]]),
    (b"\x13\x02\x01" + ascii_str("a") + b"\x1f\x20", [[Idx(1), "a"], [Idx(1)], [Idx(0)]]),
    (b"\x13\x03\x00", [[Idx(2)]]),
    (b"\x13\x00\x00", [[Idx(0)]]),
    (b"\x18" + ascii_str("pt") + b"\x1f", [[]]),
    (b"\x18" + ascii_str("boom") + b"\x1f", [[]]),
    (b"\x18" + ascii_str("grow") + b"\x1f", [[]]),
    (b"\x18" + ascii_str("falsy") + b"\x1f", [[]]),
    (b"\x18\x1f\x1f", [[]]),
    (b"\x18\x0b\x02id\x05", [[]]),
    (b"\x0d\x02\x18" + ascii_str("pt") + b"\x1f\x14\x00", [[Idx(1)], [Idx(0)]]),
    (b"\x10\x01\x02\xfea\x18" + ascii_str("pt") + b"\x06", [["a"]]),
    (b"\x12\x02\x80\x81", []),
    (b"\x0a\x02\xff\xfe", []),
    (b"\x10\x01\x03\xfe\x80\x1f", [["a"]]),
    (b"\x0d" + size(300) + b"\x1e" * 300, [[Idx(299)]]),
    (b"\x0d\x01" * 50 + b"\x1e", [[Idx(0)] * 6]),
    # nested claims: each level claims what the rest could hold on its own
    *((level * 40 + b"\x1e" * 1000, [[], [Idx(0)] * 3]) for level in NESTED_CLAIMS),
    (b"".join(NESTED_CLAIMS) * 10 + b"\x1e" * 1000, [[]]),
    (b"\x0d" + size(500) + b"\x0e\x0c" + size(4000) + bytes(500), [[Idx(0)]]),
    (b"\x0d\x02" * 10 + b"\x0e\x09" + size(125) + bytes(1000) + b"\x1e", [[]]),
]

VALUES = [
    None, True, 0, 224, 225, 255, 300, -1, -255, 2**63, -(2**64), 2**200, 1.5, float("nan"),
    "", "a", "é", "日本", "x" * 300, b"", b"bytes", [], (), {}, [1, True], [None, None, None],
    [True, False, True, True, False, False, True, False, True],
    {"a": 1, "b": [True, None]}, {1: "a", None: b"x", 2.5: [1]}, {"": {"": ""}},
    [{"a": 1, "b": 2}, {"b": 3, "a": 4}], [{}, {}, {}], ["ab", "ab", {"ab": "ab"}],
    {"k" * 253: 1, "key": ["key", "k" * 253]}, [Point(1, 2), Point("pt", [3])],
    {"when": datetime.datetime(2024, 5, 1, 12, 0, tzinfo=datetime.timezone.utc)},
    [[[["deep"]]]], {"users": [{"name": "ann", "age": 31}, {"name": "bob", "age": 27}]},
    list(range(300)), [str(i) for i in range(300)],
]


def paths_of(value, prefix=()):
    yield list(prefix)
    if type(value) in (list, tuple):
        for i, item in enumerate(value[:3]):
            yield from paths_of(item, (*prefix, Idx(i)))
    elif type(value) is dict:
        for key, item in list(value.items())[:3]:
            if any(type(k) is type(key) and k == key for k in fc.KEY_POOL):
                yield from paths_of(item, (*prefix, key))


def write(body, path, options=0):
    header = fc.header_for(path, options) if len(path) <= 6 else None
    if header is None:
        return
    data = header + body
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    for body, paths in HAND_MADE:
        write(body, [])
        write(body, [], options=8 | 1)
        for path in paths:
            write(body, path, options=8)
            write(body, path, options=8 | 16)
    for value in VALUES:
        body = dump_bytes(value, serialize_dates=True, custom_types=DUMP_TYPES)[3:]
        for path in list(paths_of(value))[:6]:
            write(body, path, options=8)
        write(body, [], options=2)


if __name__ == "__main__":
    main()
