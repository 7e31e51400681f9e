"""Helpers shared by the decoder tests.

Documents are built here byte by byte, independently of the encoder, so the
decoder can be fed forms the encoder never writes (typed float/str/bytes
lists, long back-references, non-canonical size fields, ...).
"""

import math
import os
import struct
import subprocess
import sys

from pyquarl import load_bytes

MARKER = b"<o>"

END_OF_INPUT = "Unexpected end of input"
CORRUPTED = "Corrupted data"
MISSING_MARKER = "Corrupted data: missing starting marker `<o>`"
INVALID_ASCII = "Corrupted data: a string marked as ASCII holds a byte above 127"
INVALID_UTF8 = "Corrupted data: a string is not valid UTF-8"
SIZE_OVERFLOW = "Corrupted data: a size field does not fit in 64 bits"
NO_ROWS = "Corrupted data: a list of structured dicts with no rows"
TOO_MANY_ELEMENTS = "Corrupted data: more elements without payload than this document can hold"
INT_TOO_LARGE = "Corrupted data: integer magnitude of more than 65536 digits"
UNEXPECTED_FLAG = "Unexpected flag"
UNEXPECTED_LIST_TYPE = "Unexpected consistent list type"
LOADER_FAILED = "Failed to deserialize custom type"


def extra_data(position):
    return (
        f"Unexpected extra data, from position {position}. "
        "If you want to ignore it use the flag `ignore_extra_data`"
    )


def unknown_custom_type(identifier):
    return (
        "Unknown custom type. please provide the correct mapping when deserializing. "
        f"identifier: `{identifier}` (type: `{type(identifier)!r}`)"
    )


def invalid_key(key_type):
    return f"Invalid type for a key: {key_type!r}"


# ---- building documents -------------------------------------------------

def h(text):
    """Bytes from blank-separated hex, e.g. h("3C 6F 3E 1F")."""
    return bytes.fromhex(text)


def doc(*parts):
    """A document: the marker followed by the parts (bytes, or hex text)."""
    return MARKER + b"".join(h(p) if isinstance(p, str) else bytes(p) for p in parts)


def size(n, base=255, pad=0):
    """Size field of n (value form, or key form with base=254), with `pad`
    extra zero digits after the significant ones (accepted by readers)."""
    if n < base and not pad:
        return bytes([n])
    digits, rest = [], n - base
    while rest:
        rest, digit = divmod(rest, base)
        digits.append(digit)
    return bytes([0xFF, *digits, *[0] * pad, 0xFF])


def key_size(n, pad=0):
    return size(n, 254, pad)


def enc_int(v):
    if 0 <= v <= 224:
        return bytes([v + 30])
    return bytes([7 if v > 0 else 8]) + size(abs(v))


def enc_float(v):
    return b"\x09" + struct.pack(">d", v)


def ascii_str(s):
    data = s.encode("ascii")
    return b"\x12" + size(len(data)) + data


def utf8_str(s):
    data = s.encode()
    return b"\x0a" + size(len(data)) + data


def inline_key(s):
    """An inline key of a str-keyed dict: FE-marked when ASCII."""
    if s.isascii():
        return key_size(len(s) + 1) + b"\xfe" + s.encode()
    data = s.encode()
    return key_size(len(data)) + data


def marked(s):
    """A typed-list string element: value-form size, FE marks ASCII."""
    data = b"\xfe" + s.encode() if s.isascii() and s else s.encode()
    return size(len(data)) + data


def ref(number, width):
    """A back-reference of the given width: 1-4 bytes (flags 20-23) or 0 for flag 17."""
    if width == 0:
        return b"\x11" + size(number)
    return bytes([19 + width]) + number.to_bytes(width, "big")


def typed_bools(values):
    packed = bytearray((len(values) + 7) // 8)
    for i, v in enumerate(values):
        packed[i // 8] |= v << (7 - i % 8)
    return b"\x0e\x0c" + size(len(values)) + bytes(packed)


# ---- running and comparing ----------------------------------------------

def load_error(data, **options):
    """The exception load_bytes raises for `data` (fails if it succeeds)."""
    try:
        result = load_bytes(data, **options)
    except Exception as error:  # noqa: BLE001 - the caller checks the class
        return error
    raise AssertionError(f"decoded {data.hex(' ')} to {result!r} instead of failing")


def assert_fails(data, error_class, message, **options):
    error = load_error(data, **options)
    assert type(error) is error_class, f"{type(error).__name__}: {error}"
    assert str(error) == message
    return error


def same_value(expected, actual):
    """Strict structural equality: exact types everywhere, floats compared by
    bits (so NaN equals NaN and 0.0 differs from -0.0), dicts by content."""
    if type(expected) is not type(actual):
        return False
    if type(expected) is float:
        return struct.pack(">d", expected) == struct.pack(">d", actual) or (
            math.isnan(expected) and math.isnan(actual)
        )
    if type(expected) in (list, tuple):
        return len(expected) == len(actual) and all(map(same_value, expected, actual))
    if type(expected) is dict:
        if len(expected) != len(actual):
            return False
        actual_keys = {key: key for key in actual}
        for key, value in expected.items():
            if key not in actual_keys or type(actual_keys[key]) is not type(key):
                return False
            if not same_value(value, actual[key]):
                return False
        return True
    return expected == actual


def as_read(value, use_tuples=False):
    """What a value reads back as: every list and tuple becomes a list, or a
    tuple with use_tuples."""
    kind = tuple if use_tuples else list
    if type(value) in (list, tuple):
        return kind(as_read(item, use_tuples) for item in value)
    if type(value) is dict:
        return {key: as_read(item, use_tuples) for key, item in value.items()}
    return value


def strings_in(value, found=None):
    """Every str object in a decoded value, dict keys included."""
    found = [] if found is None else found
    if type(value) is str:
        found.append(value)
    elif type(value) in (list, tuple):
        for item in value:
            strings_in(item, found)
    elif type(value) is dict:
        for key, item in value.items():
            strings_in(key, found)
            strings_in(item, found)
    return found


def assert_equal_strings_shared(value):
    """Equal strings anywhere in a decoded value are one object."""
    first = {}
    for s in strings_in(value):
        assert first.setdefault(s, s) is s, f"{s!r} decoded to two objects"


# ---- isolation and memory -----------------------------------------------

def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter, so that a crash fails one test
    instead of killing the run; returns its stdout."""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")



# ---- a corpus of valid documents ----------------------------------------

CORPUS_LOADERS = {"pt": tuple, 7: list, "tag": repr}


def corpus():
    """Valid documents covering every flag and layout, written by the encoder
    and by hand (for the forms the encoder never writes). All decode with
    custom_types=CORPUS_LOADERS."""
    from pyquarl import CustomType, dump_bytes

    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

    strings = [f"s{i}" for i in range(300)]
    values = [
        {"a": [1, 2]},
        {
            "name": "é日本",
            "n": -12345678901234567890123,
            "f": [1.5, float("nan"), -0.0, float("inf")],
            "b": b"\x00\xff",
            "t": (1, "name", None, 225, 254, 255, 256),
            "rows": [{"x": 1, "y": "name"}, {"y": "é日本", "x": 2}],
            "bools": [True, False] * 5,
            "nones": [None] * 4,
            "nested": {3: {b"k": 1.0, None: "x", 2.5: [], True: {}}, "": ""},
        },
        strings + strings[::-1],
        [2**64, -(2**64), 255**8 + 254, 255**9, 2**200, -(2**1000), -1, -255],
        [{}, {}, {}],
        [[[[{"a": [[{}], ()]}]]]],
        {"k" * 300: "v" * 300, "é" * 200: b"x" * 300},
    ]
    documents = [dump_bytes(v) for v in values]
    documents.append(
        dump_bytes(
            [Point(1, 2), {"p": Point("pt", [Point(3, 4)])}],
            custom_types={Point: CustomType("pt", lambda p: [p.x, p.y])},
        )
    )
    documents += [
        doc("0E 09 03", struct.pack(">3d", 1.5, -0.0, 1e300)),
        doc(b"\x0d\x03\x0e\x0a\x04", marked("abc"), marked("é"), marked(""), b"\x02ab", "14 00 14 02"),
        doc("0E 0B 03 02 00 FF 00 01 7F"),
        doc("0F 03 1F 12 01 61 14 00 0D 01 04 09", struct.pack(">d", 2.5), "0B 01 00"),
        doc(b"\x0d\x06", b"\x0e\x0a" + size(300) + b"".join(marked(s) for s in strings), ref(299, 0), ref(1, 2), ref(2, 3), ref(3, 4), b"\x11" + size(299, pad=2)),
        doc("0D 04 FF 07 FF 2D 00 00 FF 08 FF 00 00 01 FF 07 00"),
        doc("10 02 FF 00 01 FF FE", b"k" * 507, "1F FE 00 20"),
        doc("18 25 0D 02 1F 18 12 03 74 61 67 20"),  # custom 7 wrapping custom "tag"
        doc("13 02 02 1F 12 01 61 0A 01 62 0E 0C 03 A0 21 0E 04 02"),
        doc("13 04 00"),
        doc("0A 05 68 65 6C 6C 6F"),
        doc("0D 02 0E 0C 00 0E 04 00"),
    ]
    return documents
