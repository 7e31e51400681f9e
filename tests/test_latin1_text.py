"""Long text of characters up to U+00FF, which has a reader of its own: read
back with the width Python gives it, at every alignment of its ASCII runs and
two-byte pairs, and handed to the general reader (same result, same errors)
where a wider character or an invalid byte turns up."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import INVALID_UTF8, doc, size, utf8_str
from pyquarl import DeserializationError, loads

LONG = 49  # the shortest text this reader takes


def _texts():
    for before in range(10):
        for body in ("é" * 40, "\x80\xff" * 30, "ab\xe9" * 20, "\xa0" + "x" * 60 + "\xa0"):
            yield "a" * before + body
    yield "x" * 70  # ASCII text written as UTF-8: an ASCII str
    for wide in ("\u0100", "\u20ac", "\U0001f600"):
        for at in (0, 30, 63):
            text = "é" * 64
            yield text[:at] + wide + text[at:]


@pytest.mark.parametrize("text", list(_texts()), ids=lambda t: f"{len(t)}:{max(map(ord, t)):x}")
def test_long_latin1_text_reads_back(text):
    read = loads(doc(utf8_str(text)))
    assert read == text  # str equality compares the width too
    assert read.isascii() == text.isascii()


@given(st.text(alphabet=st.characters(max_codepoint=0xFF), min_size=LONG, max_size=200))
@settings(max_examples=200)
def test_any_latin1_text_reads_back(text):
    assert loads(doc("0D 02", utf8_str(text), utf8_str(text[::-1]))) == [text, text[::-1]]


@pytest.mark.parametrize("bad", [b"\xc2", b"\xc3\x41", b"\xc0\x80", b"\xc1\xbf", b"\x80", b"\xff", b"\xc3\xc3"],
                         ids=lambda b: b.hex())
@pytest.mark.parametrize("before", [0, 24, 25, 31])
def test_invalid_bytes_after_latin1_text_are_reported_as_the_decoder_reports_them(bad, before):
    data = "é".encode() * before + bad + "ü".encode() * 30
    with pytest.raises(UnicodeDecodeError) as expected:
        data.decode()
    with pytest.raises(DeserializationError, match=INVALID_UTF8) as raised:
        loads(doc(b"\x0a" + size(len(data)) + data))
    cause = raised.value.__cause__
    assert (cause.start, cause.end, cause.reason) == (expected.value.start, expected.value.end, expected.value.reason)
