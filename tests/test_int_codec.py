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
            2**30, 2**31, 2**60, 2**62, 2**63, 2**64, 2**90, 2**120, 2**126, 2**127, 2**128, 2**129, 2**150, 2**192,
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


# Digit counts where long ints change method: one group of eight digits is
# one 64-bit limb; runs of 128 groups are converted whole, longer ones from
# 512 groups on are split in halves at multiples of 128 * 2^k groups.
SPLIT_EDGES = [8 * groups + extra for groups in (128, 256, 512, 1024, 2048) for extra in (-9, -1, 0, 1, 8)]


@pytest.mark.parametrize("count", SPLIT_EDGES)
@pytest.mark.parametrize("top", [1, 254], ids=["top-1", "top-254"])
def test_long_ints_at_split_edges_write_and_read_as_the_model(count, top):
    # 255 + top * 255^(count - 1) + (255^(count - 1) - 1): all digits below the top one are 254
    value = 255 + (top + 1) * 255 ** (count - 1) - 1
    digits = bytes([0xFF, *[254] * (count - 1), top, 0xFF])
    assert dumps(value) == doc(b"\x07" + digits)
    assert dumps(-value) == doc(b"\x08" + digits)
    assert loads(doc(b"\x07" + digits)) == value
    assert loads(doc(b"\x08" + digits)) == -value


@given(st.data())
@settings(max_examples=60, deadline=None)
def test_any_digit_string_reads_as_its_value(data):
    # Digits straight from bytes, not from an encoder: runs of zeros and of
    # 254s, every length up to several splits.
    count = data.draw(st.sampled_from([17, 130, 1023, 1025, 4096, 5000, 9000, 12_600]))
    fill = data.draw(st.sampled_from(["random", "zeros", "254s"]))
    if fill == "random":
        digits = [b % 255 for b in data.draw(st.binary(min_size=count, max_size=count))]
    else:
        digits = [0 if fill == "zeros" else 254] * count
    digits[-1] = data.draw(st.integers(1, 254))
    expected = 0
    for digit in reversed(digits):
        expected = expected * 255 + digit
    expected += 255
    sign = data.draw(st.sampled_from([1, -1]))
    encoded = (b"\x07" if sign > 0 else b"\x08") + bytes([0xFF, *digits, 0xFF])
    assert loads(doc(encoded)) == sign * expected


@given(st.integers(200, 5_000) | st.integers(60_000, 100_000), st.randoms(use_true_random=False), st.sampled_from([1, -1]))
@settings(max_examples=40, deadline=None)
def test_random_long_ints_round_trip_as_the_model(bits, rng, sign):
    value = sign * (rng.getrandbits(bits) | 1 << (bits - 1))
    encoded = dumps(value)
    assert encoded == doc(enc_int(value))
    assert loads(encoded) == value


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
        lambda keys: [{(i if i % 2 else k): i for i, k in enumerate(keys)} for _ in range(3)],
        lambda keys: [{k: i} for i, k in enumerate(keys)] + [{} for _ in keys],
    ],
    ids=["dict", "table", "ragged-rows", "nested", "int-keys", "mixed-key-rows", "one-entry-and-empty"],
)
def test_decoded_dicts_are_no_bigger_than_marshals(width, shape):
    value = shape([f"key{i}" for i in range(width)])
    ours = loads(dumps(value))
    assert ours == value
    theirs = marshal.loads(marshal.dumps(value))
    assert [a <= b for a, b in zip(_sizes(ours), _sizes(theirs), strict=True)] == [True] * len(_sizes(ours))
