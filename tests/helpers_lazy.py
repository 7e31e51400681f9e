"""Helpers shared by the lazy-reader tests: hand-built documents, a strict
equality for decoded values, path enumeration and a memory probe."""

import gc
import math
import os
import tracemalloc

import pytest

from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes

MARKER = b"<o>"
END = "Unexpected end of input"


def size(n, base=255):
    """Size field of n: value form, or key form with base=254."""
    if n < base:
        return bytes([n])
    digits, rest = [], n - base
    while rest:
        rest, digit = divmod(rest, base)
        digits.append(digit)
    return bytes([0xFF, *digits, 0xFF])


def doc(*parts):
    """The marker followed by the parts: hex text ("0D 01 1F") or bytes."""
    return MARKER + b"".join(bytes.fromhex(p) if isinstance(p, str) else bytes(p) for p in parts)


def ascii_str(text):
    return b"\x12" + size(len(text)) + text.encode()


def inline_key(text):
    """An inline key of a str-keyed dict, as the encoder writes it."""
    data = text.encode()
    if text.isascii():
        return size(len(data) + 1, 254) + b"\xfe" + data
    return size(len(data), 254) + data


def raw_idx(index):
    """An Idx holding any object, past the constructor's own validation."""
    step = Idx.__new__(Idx)
    step.index = index
    return step


def same(a, b):
    """Equality that tells 1 from True and 1.0, -0.0 from 0.0, and takes NaN as equal to NaN."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return math.copysign(1, a) == math.copysign(1, b) and (a == b or (a != a and b != b))
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:  # in insertion order, which both readers take from the document
        return len(a) == len(b) and all(same(k, l) and same(v, w) for (k, v), (l, w) in zip(a.items(), b.items()))
    return a == b


def paths(value, prefix=()):
    """Every (path, value) pair reachable in a decoded value, the root included."""
    yield list(prefix), value
    if type(value) is dict:
        for key, item in value.items():
            yield from paths(item, (*prefix, key))
    elif type(value) is list:
        for i, item in enumerate(value):
            yield from paths(item, (*prefix, Idx(i)))


MISSING_KEY = "\uffff not a key"


def misses(value, prefix=()):
    """Paths that leave a decoded value at one step: an absent key, an index
    past the end, a key on a list, an index on a dict or a scalar."""
    prefix = list(prefix)
    if type(value) is dict:
        yield prefix + [MISSING_KEY]
        yield prefix + [Idx(0)]
    elif type(value) is list:
        yield prefix + [Idx(len(value))]
        yield prefix + ["k"]
    else:
        yield prefix + [Idx(0)]
        yield prefix + ["k", Idx(0)]


def assert_resolves(data, path, expected, **options):
    """lazy_load_bytes gives `expected`; the checks agree with its truth."""
    assert same(lazy_load_bytes(data, path, **options), expected)
    assert bytes_check_if_contains(data, path, include_falsy=False, **options) is bool(expected)
    assert bytes_check_if_contains(data, path, **options) is True


def assert_misses(data, path, message=None, **options):
    with pytest.raises(DeserializationError) as raised:
        lazy_load_bytes(data, path, **options)
    if message is not None:
        assert str(raised.value) == message
    assert bytes_check_if_contains(data, path, **options) is False
    assert bytes_check_if_contains(data, path, include_falsy=False, **options) is False


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_no_growth(call, runs=10_000, traced_tolerance=64 * 1024, rss_tolerance=4 * 1024 * 1024):
    """Runs `call` `runs` times after a warm-up; traced memory and RSS stay flat."""
    for _ in range(1000):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        traced_before, rss_before = tracemalloc.get_traced_memory()[0], rss_bytes()
        for _ in range(runs):
            call()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
        rss = rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
    assert traced < traced_tolerance, f"traced memory grew by {traced} bytes"
    assert rss < rss_tolerance, f"RSS grew by {rss} bytes"
