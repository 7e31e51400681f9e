"""Non-ASCII strings read back: every sequence length at the edges of the
eight-byte ASCII runs and of the short-text reader, the str's width exactly
that of the same text made by Python, and invalid bytes reported as before
(the interpreter's decode error, with its position, as the cause)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import INVALID_UTF8, doc, size, utf8_str
from pyquarl import DeserializationError, loads

# One character of each encoded length and width, at the ends of their ranges.
CHARS = ["\x7f", "\x80", "\xff", "\u0100", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\uffff", "\U00010000", "\U0010ffff"]


def _texts():
    for char in CHARS:
        for before in (0, 1, 7, 8, 9, 15, 40, 47, 48, 60):
            for after in (0, 1, 8):
                yield "a" * before + char + "b" * after
    # mixed widths, widest last or first
    yield "é" * 20 + "Ω" + "\U0001f600"
    yield "\U0001f600" + "é" * 30
    yield "ü" * 48
    yield "ü" * 49


@pytest.mark.parametrize("text", list(_texts()), ids=repr)
def test_text_reads_back_as_the_same_str(text):
    read = loads(doc(utf8_str(text)))
    # str equality compares the width (1, 2 or 4 bytes a character) before
    # the characters, so a str made too wide is not equal to Python's own
    assert read == text
    assert read.isascii() == text.isascii()
    if len(text) == 1 and ord(text) < 256:
        # one-letter Latin-1 text is the interpreter's shared str, not a copy per value
        assert read is text


@given(st.text(alphabet=st.characters(codec="utf-8"), max_size=70))
@settings(max_examples=300)
def test_any_text_reads_back(text):
    read = loads(doc("0D 02", utf8_str(text), utf8_str(text + "é")))
    assert read == [text, text + "é"]


INVALID = [
    b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2", b"\xc2\x41", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
    b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xef\xbf", b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
    b"\xf5\x80\x80\x80", b"\xff", b"\xf0\x9f\x98", b"\xf0\x9f\x98\x41", b"\xe2\x82\x41",
]


@pytest.mark.parametrize("bad", INVALID, ids=lambda b: b.hex())
@pytest.mark.parametrize("before", [0, 3, 8, 45, 70])
def test_invalid_utf8_is_reported_with_the_decoders_position(bad, before):
    data = b"x" * before + bad + b"yz"
    with pytest.raises(UnicodeDecodeError) as expected:
        data.decode()
    with pytest.raises(DeserializationError, match=INVALID_UTF8) as raised:
        loads(doc(b"\x0a" + size(len(data)) + data))
    cause = raised.value.__cause__
    assert isinstance(cause, UnicodeDecodeError)
    assert (cause.start, cause.end, cause.reason) == (expected.value.start, expected.value.end, expected.value.reason)
