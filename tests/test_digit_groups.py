"""Size fields and int magnitudes are written in whole groups of base-255 (or,
for keys, base-254) digits; each value's digits, and where its field ends,
are checked against the plain digit-by-digit form."""

from __future__ import annotations

import pytest
from conftest import size as size_field
from hypothesis import given, settings
from hypothesis import strategies as st

import pyquarl

MARKER = b"<o>"


def int_bytes(value: int) -> bytes:
    if 0 <= value <= 224:
        return bytes([30 + value])
    return bytes([7 if value > 0 else 8]) + size_field(abs(value))


# Every digit count, on both sides of where it changes, in the 64-bit range
# and beyond (through the 128-bit path and the multi-precision one).
EDGES = sorted({255**k + 255 + d for k in range(20) for d in (-2, -1, 0, 1)} |
               {2**b + d for b in (30, 60, 63, 64, 90, 127, 128) for d in (-1, 0, 1)})


@pytest.mark.parametrize("value", EDGES)
def test_ints_at_digit_count_edges(value: int) -> None:
    for signed in (value, -value):
        assert pyquarl.dumps(signed) == MARKER + int_bytes(signed)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(-(2**140), 2**140) | st.integers(0, 2**64 - 1), max_size=30))
def test_int_lists_match_the_plain_digits(values: list[int]) -> None:
    # Lists of over 224 ints are not covered here: their count is a size field too.
    expected = bytes([13]) + size_field(len(values)) + b"".join(map(int_bytes, values)) if values else bytes([5])
    assert pyquarl.dumps(values) == MARKER + expected


@pytest.mark.parametrize("length", [253, 254, 255, 256, 254 + 254, 255 + 255, 254 + 254**2, 255 + 255**2 + 1])
def test_text_lengths_in_both_forms(length: int) -> None:
    text = "k" * length
    # As a value: flag, value-form length. As a key: key-form length counting the ASCII marker.
    assert pyquarl.dumps(text) == MARKER + bytes([18]) + size_field(length) + text.encode()
    key_field = size_field(length + 1, 254) + b"\xfe" + text.encode()
    assert pyquarl.dumps({text: 1}) == MARKER + bytes([16, 1]) + key_field + bytes([31])
