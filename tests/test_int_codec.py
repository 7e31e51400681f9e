"""Ints outside the one-byte forms: the bytes written and the values read back,
at the edges where the codec changes method (64 bits, 128 bits, digit counts),
checked against the reference model in conftest."""

import marshal
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import doc, enc_int, size
from pyquarl import dumps, loads

EDGES = sorted(
    {
        base + delta
        for base in (
            2**31, 2**62, 2**63, 2**64, 2**126, 2**127, 2**128, 2**129, 2**192,
            *(255**k for k in (1, 2, 7, 8, 9, 15, 16, 17, 18)),
            255**16 + 255, 255**17 + 255,
        )
        for delta in (-256, -255, -254, -2, -1, 0, 1, 254, 255)
    }
)


@pytest.mark.parametrize("magnitude", EDGES, ids=hex)
@pytest.mark.parametrize("sign", [1, -1], ids=["positive", "negative"])
def test_edges_write_and_read_as_the_model(magnitude, sign):
    value = sign * magnitude
    assert dumps(value) == doc(enc_int(value))
    assert loads(doc(enc_int(value))) == value


@given(st.integers(min_value=-(2**300), max_value=2**300) | st.integers(min_value=-(2**140), max_value=2**140))
@settings(max_examples=400)
def test_random_ints_round_trip_as_the_model(value):
    assert dumps(value) == doc(enc_int(value))
    assert loads(doc(enc_int(value))) == value


@pytest.mark.parametrize(
    "value",
    [2**64 - 1, 2**127 + 5, 255**16 + 254, 2**128 - 1, 2**128, 255**17 + 300],
    ids=hex,
)
@pytest.mark.parametrize("pad", [1, 3])
def test_zero_digits_above_the_top_one_read_as_the_same_value(value, pad):
    for signed in (value, -value):
        flag = b"\x07" if signed > 0 else b"\x08"
        assert loads(doc(flag + size(value, pad=pad))) == signed


@pytest.mark.parametrize("bits", [1_000, 20_000, 100_000])
def test_big_ints_round_trip(bits):
    value = (1 << (bits - 1)) | 0x5A5A5A5A5A5A5A5A5A5A
    for signed in (value, -value):
        assert loads(dumps(signed)) == signed


def _sizes(value):
    """Bytes of every dict in a decoded value, in order."""
    if isinstance(value, dict):
        return [sys.getsizeof(value)] + [n for v in value.values() for n in _sizes(v)]
    if isinstance(value, list):
        return [n for v in value for n in _sizes(v)]
    return []


@pytest.mark.parametrize("width", [0, 1, 5, 6, 9, 11, 21, 22, 50, 85, 86, 200, 341])
@pytest.mark.parametrize(
    "shape",
    [
        lambda keys: {k: i for i, k in enumerate(keys)},
        lambda keys: [{k: i for k in keys} for i in range(4)],
        lambda keys: [{k: i for k in reversed(keys) if i % 2 or k != keys[0]} for i in range(4)],
        lambda keys: {"outer": {k: [i] for i, k in enumerate(keys)}},
        lambda keys: {i: k for i, k in enumerate(keys)},
    ],
    ids=["dict", "table", "ragged-rows", "nested", "int-keys"],
)
def test_decoded_dicts_are_no_bigger_than_marshals(width, shape):
    value = shape([f"key{i}" for i in range(width)])
    ours = loads(dumps(value))
    assert ours == value
    theirs = marshal.loads(marshal.dumps(value))
    assert [a <= b for a, b in zip(_sizes(ours), _sizes(theirs), strict=True)] == [True] * len(_sizes(ours))
