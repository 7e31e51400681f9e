"""Shared helpers for the encoder tests.

`Model` is an independent pure-Python encoder: it produces the sequence of
single bytes (ints) and chunks (bytes) the encoder hands to its output buffer,
so the same run gives both the expected document and, through
`model_writes`, the expected `write` calls of a streaming dump.
"""

import datetime
import gc
import os
import struct
import subprocess
import sys
import tracemalloc

from hypothesis import strategies as st

from pyquarl import CustomType, dump_bytes

MARKER = b"<o>"
DEFAULT_FLUSH = 10 * 1024 * 1024
DEFAULT_DIRECT = 5 * 1024 * 1024


def size_field(n, base=255):
    """Size field of n: one byte below `base`, else FF, base-`base` digits of n - base, FF."""
    if n < base:
        return [n]
    digits, rest = [], n - base
    while rest:
        rest, digit = divmod(rest, base)
        digits.append(digit)
    return [0xFF, *digits, 0xFF]


class Model:
    def __init__(self, custom_types=None, serialize_dates=False):
        self.ops = []
        self.refs = {}
        self.custom_types = custom_types or {}
        self.serialize_dates = serialize_dates

    def push(self, *values):
        self.ops.extend(values)

    def chunk(self, data):
        self.ops.append(bytes(data))

    def pointer(self, number):
        for flag, width in ((20, 1), (21, 2), (22, 3), (23, 4)):
            if number < 1 << (8 * width):
                return self.push(flag, *number.to_bytes(width, "big"))
        self.push(17, *size_field(number))

    def string(self, s):
        if not s:
            return self.push(0)
        if s in self.refs:
            return self.pointer(self.refs[s])
        self.refs[s] = len(self.refs)
        data = s.encode()
        self.push(18 if s.isascii() else 10, *size_field(len(data)))
        self.chunk(data)

    def key(self, s):
        if s in self.refs:
            return self.push(0xFE, *size_field(self.refs[s]))
        self.refs[s] = len(self.refs)
        data = s.encode()
        if s.isascii():
            self.push(*size_field(len(data) + 1, 254), 0xFE)
        else:
            self.push(*size_field(len(data), 254))
        self.chunk(data)

    def value(self, v):
        t = type(v)
        if t is str:
            self.string(v)
        elif t is bool:
            self.push(2 if v else 3)
        elif t is int:
            if 0 <= v <= 224:
                self.push(v + 30)
            else:
                self.push(7 if v > 0 else 8, *size_field(abs(v)))
        elif t in (list, tuple):
            self.sequence(v)
        elif t is dict:
            self.dict(v)
        elif t is float:
            self.push(9)
            self.chunk(struct.pack(">d", v))
        elif t is bytes:
            if v:
                self.push(11, *size_field(len(v)))
                self.chunk(v)
            else:
                self.push(1)
        elif v is None:
            self.push(4)
        elif self.serialize_dates and isinstance(v, datetime.datetime):
            self.string(datetime.datetime.isoformat(v))
        else:
            for registered, ct in self.custom_types.items():
                if t is registered or (ct.include_subclasses is True and issubclass(t, registered)):
                    if ct.one_way is not True:
                        self.push(24)
                        self.value(ct.identifier)
                    return self.value(ct.converter(v))
            raise TypeError(f"model cannot encode {t!r}")

    def sequence(self, v):
        n = len(v)
        if n == 0:
            return self.push(5)
        if n >= 2 and all(type(x) is type(v[0]) for x in v):
            if v[0] is None:
                self.chunk(b"\x0e\x04")
                return self.push(*size_field(n))
            if type(v[0]) is bool:
                self.chunk(b"\x0e\x0c")
                packed = bytearray((n + 7) // 8)
                for i, item in enumerate(v):
                    packed[i // 8] |= item << (7 - i % 8)
                return self.push(*size_field(n), *packed)
            keys = v[0].keys() if type(v[0]) is dict else None
            if keys is not None and all(type(k) is str for k in keys) and all(
                len(d) == len(keys) and all(type(k) is str and k in keys for k in d) for d in v[1:]
            ):
                self.push(19, *size_field(n), *size_field(len(keys)))
                for k, item in v[0].items():
                    self.string(k)
                    self.value(item)
                for d in v[1:]:
                    for k in keys:
                        self.value(d[k])
                return None
        self.push(13, *size_field(n))
        for item in v:
            self.value(item)

    def dict(self, d):
        if not d:
            return self.push(6)
        if all(type(k) is str for k in d):
            self.push(16, *size_field(len(d)))
            for k, item in d.items():
                self.key(k)
                self.value(item)
        else:
            self.push(15, *size_field(len(d)))
            for k, item in d.items():
                self.value(k)
                self.value(item)


def model_ops(obj, **options):
    model = Model(**options)
    model.value(obj)
    return model.ops


def model_document(obj, **options):
    out = bytearray(MARKER)
    for op in model_ops(obj, **options):
        out += bytes([op]) if type(op) is int else op
    return bytes(out)


def model_writes(ops, flush_threshold=DEFAULT_FLUSH, direct_write_threshold=DEFAULT_DIRECT):
    """The write() calls of a streaming dump: single bytes flush the buffer once
    it holds flush_threshold bytes; chunks of at least direct_write_threshold
    bytes get a call of their own after a flush of what was buffered."""
    writes, buffered = [], bytearray()

    def flush():
        writes.append(bytes(buffered))
        buffered.clear()

    for op in [MARKER, *ops]:
        if type(op) is int:
            buffered.append(op)
            if len(buffered) >= flush_threshold:
                flush()
        elif len(op) >= direct_write_threshold:
            if buffered:
                flush()
            writes.append(op)
        else:
            buffered.extend(op)
            if buffered and len(buffered) >= flush_threshold:
                flush()
    if buffered:
        flush()
    return writes


class Recorder:
    """A writer that keeps every chunk it gets, a copy taken at call time, and
    can raise on its n-th call (1-based)."""

    def __init__(self, fail_on=None, error=None):
        self.chunks, self.copies = [], []
        self.fail_on, self.error = fail_on, error or OSError("disk full")

    def write(self, chunk):
        if len(self.chunks) + 1 == self.fail_on:
            self.fail_on = -1
            raise self.error
        assert type(chunk) is bytes
        self.chunks.append(chunk)
        self.copies.append(bytes(bytearray(chunk)))
        return 12345  # ignored by the encoder


def stream(obj, **options):
    writer = Recorder()
    assert dump_bytes(obj, writer=writer, **options) is None
    return writer.copies


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_memory_flat(call, runs=10_000, traced_tolerance=64 * 1024, rss_tolerance=4 * 1024 * 1024):
    """Runs `call` `runs` times after a warm-up; Python-traced memory and the
    process RSS must stay within the tolerances."""
    for _ in range(max(runs // 10, 100)):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_bytes()
        for _ in range(runs):
            call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        rss_growth = rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
    assert traced_growth < traced_tolerance, f"traced memory grew by {traced_growth} bytes"
    assert rss_growth < rss_tolerance, f"RSS grew by {rss_growth} bytes"


def run_isolated(code, timeout=60):
    """Runs `code` in a fresh interpreter, so a crash cannot take the test run
    down; returns its stdout, failing the test on a non-zero exit."""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


# ---- values for property tests -----------------------------------------

class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


class Tag:
    def __init__(self, name):
        self.name = name


CUSTOM_TYPES = {
    Point: CustomType("pt", lambda p: [p.x, p.y]),
    Tag: CustomType("tag", lambda t: t.name, one_way=True),
}

_POOL = ["a", "b", "key", "é", "ünï", "日本", "x" * 300]
_texts = st.sampled_from(["", *_POOL]) | st.text(max_size=12)
_zones = st.sampled_from([None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))])
_scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-300, 300),
    st.integers(),
    st.integers(-(2**200), 2**200),
    st.floats(),
    _texts,
    st.binary(max_size=12),
    st.builds(Tag, _texts),
    st.datetimes(timezones=_zones),
)
_mixed_keys = st.one_of(
    _texts, st.integers(), st.none(), st.booleans(), st.binary(max_size=4), st.floats(allow_nan=False)
)


def _like_dicts(children):
    def rows(keys):
        row = st.permutations(keys).flatmap(
            lambda order: st.tuples(*[children] * len(order)).map(lambda values: dict(zip(order, values)))
        )
        return st.lists(row, min_size=2, max_size=4)

    return st.lists(_texts, unique=True, max_size=4).flatmap(rows)


VALUES = st.recursive(
    _scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(_texts, children, max_size=5),
        st.dictionaries(_mixed_keys, children, max_size=4),
        _like_dicts(children),
        st.lists(st.none(), max_size=10),
        st.lists(st.booleans(), max_size=20),
        st.builds(Point, children, children),
    ),
    max_leaves=40,
)
