"""lazy_load_bytes and bytes_check_if_contains on hand-built documents: skipping,
back-references into skipped strings, rows, typed lists, containment, path errors."""

import math
from typing import NamedTuple

import pytest

from conftest import (CORRUPTED, END, INVALID_ASCII, INVALID_UTF8, MISSING_MARKER, SIZE_OVERFLOW, ascii_str,
                      assert_fails, assert_misses, assert_resolves, doc, inline_key, raw_idx, size,
                      unknown_custom_type, utf8_str)
from pyquarl import CorruptDataError, DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, loads

CORRUPT = "Corrupt data: unexpected flag"
LIST_TYPE = "Unexpected consistent list type"


def not_found(key):
    return f"Key not found, key: `{key}` (type `{type(key)!r}`)"


def out_of_range(index, length):
    return f"Index out of range, index is `{index}` but list is of len `{length}`"


def expected(kind, found):
    return f"Invalid path, expected `{kind}` but found `{found}`"


class Miss(NamedTuple):
    """A DeserializationError; `contained` is the check's answer with include_falsy left at True."""
    message: str
    contained: bool = False


S3 = doc("13 03 02 12 01 61 1F 12 01 62 12 01 78  20 14 02  21 12 01 79")  # rows a/b; "x" is ref 2
F3 = doc("0E 09 03 3FF8000000000000 0000000000000000 8000000000000000")  # 1.5, 0.0, -0.0
T4 = "0E 0A 04 02 FE 61 00 02 C3 A9 01 FE"  # "a", "", "é", "" (FE marker alone)
B3 = doc("0E 0B 03 02 00 01 00 01 FF")
INT_KEYED = doc("0F 01 1F 12 01 76")
LONG = ["k" * 253, "é" * 127, "k" * 300, "é" * 200, ""]
VALUES = {  # every kind of false value, then true ones: the checks must agree with bool()
    "04": None, "03": False, "1E": 0, "07 00": 0, "08 00": 0, "09 0000000000000000": 0.0, "09 8000000000000000": -0.0,
    "00": "", "12 00": "", "0A 00": "", "01": b"", "0B 00": b"", "05": [], "0D 00": [], "0E 04 00": [], "0E 09 00": [],
    "0E 0A 00": [], "06": {}, "0F 00": {}, "10 00": {}, "02": True, "1F": 1, "FF": 225, "07 FF FF": 255, "08 01": -1,
    "09 7FF8000000000000": math.nan, "12 01 61": "a", "0B 01 00": b"\0", "0D 01 1E": [0], "0E 0C 01 00": [False],
    "0E 04 01": [None], "13 01 00": [{}], "10 01 01 FE 1E": {"": 0},
}
LOOKUPS = {
    "whole value": (doc("10 02 02 FE 61 1F 02 FE 62 0D 02 02 04"), [], {"a": 1, "b": [True, None]}),
    "bytes after the value unread": (doc("0D 02 1F 20 0C FF 19"), [], [1, 2]),
    "bytes after the target unread": (doc("0D 02 1F 0C"), [Idx(0)], 1),
    "marker only": (b"<o>", [], Miss(END)),
    **{f"value {body}": (doc("0D 02 1E", body), [Idx(1)], value) for body, value in VALUES.items()},
    **{f"no marker {data!r}": (data, [], Miss(MISSING_MARKER)) for data in (b"", b"<o", b"<o]\x1f", b"xo>\x1f", b"<O>\x1f")},
    # back-references into strings that were only skipped
    "ref 1 after three skipped": (doc("0D 02 0D 03 12 01 61 12 01 62 12 01 63 14 01"), [Idx(1)], "b"),
    **{f"ref to skipped value {t[:1]}*{len(t)}": (doc("0D 02", (ascii_str if t.isascii() else utf8_str)(t), "14 00"),
                                                  [Idx(1)], t) for t in LONG},
    **{f"ref to skipped key {t[:1]}*{len(t)}": (doc("0D 02 10 01", inline_key(t), "1F 14 00"), [Idx(1)], t) for t in LONG},
    **{f"long key {t[:1]}*{len(t)}": (doc("10 02 02 FE 61 1E", inline_key(t), "1F"), [t], 1) for t in LONG},
    "FE keys take no number": (doc("0D 03 12 01 61 10 01 FE 00 12 01 78 14 01"), [Idx(2)], "x"),
    "empty str takes no number": (doc("0D 03 00 12 01 78 14 00"), [Idx(2)], "x"),
    "ref to skipped typed strs": (doc("0D 02", T4, "14 02"), [Idx(1)], "é"),
    "ref to skipped general key": (doc("0D 02 0F 01 12 01 6B 1F 14 00"), [Idx(1)], "k"),
    "ref to skipped identifier": (doc("0D 02 18 12 01 70 1F 14 00"), [Idx(1)], "p"),
    "ref to skipped row key": (doc("0D 02 13 02 01 12 01 61 1F 20 14 00"), [Idx(1)], "a"),
    "ref to skipped row value": (doc("0D 02 13 02 01 12 01 61 12 01 78 12 01 79 14 02"), [Idx(1)], "y"),
    "ref as FE key": (doc("0D 02 12 01 6B 10 01 FE 00 1F"), [Idx(1), "k"], 1),
    "loaded value holds refs": (doc("10 02 02 FE 61 0D 02 12 01 78 12 01 79 02 FE 62 0D 01 14 02"), ["b"], ["y"]),
    **{f"ref {ref}": (doc("0D 02 12 01 61", ref), [Idx(1)], "a") for ref in ("11 00", "15 0000", "16 000000", "17 00000000")},
    "ref out of range": (doc("0D 02 12 01 61 14 01"), [Idx(1)], Miss(CORRUPTED, contained=True)),
    "ref to skipped flag 18, not ASCII": (doc("0D 02 12 02 C3 A9 14 00"), [Idx(1)], Miss(INVALID_ASCII, True)),
    "ref to skipped marked key, not ASCII": (doc("0D 02 10 01 03 FE C3 A9 1F 14 00"), [Idx(1)], Miss(INVALID_ASCII, True)),
    "ref to skipped flag 10, not UTF-8": (doc("0D 02 0A 01 C3 14 00"), [Idx(1)], Miss(INVALID_UTF8, True)),
    # rows {a:1,b:"x"}, {a:2,b:"x"}, {a:3,b:"y"}
    "row 0 key b": (S3, [Idx(0), "b"], "x"),
    "row 1 key b, a ref": (S3, [Idx(1), "b"], "x"),
    "row 2 key b": (S3, [Idx(2), "b"], "y"),
    "row 0": (S3, [Idx(0)], {"a": 1, "b": "x"}),
    "row 1": (S3, [Idx(1)], {"a": 2, "b": "x"}),
    "all rows": (S3, [], [{"a": 1, "b": "x"}, {"a": 2, "b": "x"}, {"a": 3, "b": "y"}]),
    "row key missing": (S3, [Idx(1), "z"], Miss(not_found("z"))),
    "row then index": (S3, [Idx(1), Idx(0)], Miss(expected("list", "dict"))),
    "row out of range": (S3, [Idx(3)], Miss(out_of_range(3, 3))),
    "row out of range, then key": (S3, [Idx(3), "a"], Miss(out_of_range(3, 3))),
    "into a row value": (doc("13 02 01 12 01 61 0D 01 1F 0D 01 20"), [Idx(1), "a", Idx(0)], 2),
    "int row keys": (doc("13 02 01 1F 12 01 61 12 01 62"), [Idx(1), 1], "b"),
    "row of falsy values": (doc("13 02 01 12 01 61 1E 1E"), [Idx(1)], {"a": 0}),
    "keyless row": (doc("13 03 00"), [Idx(2)], {}),
    # typed lists
    "float 2": (F3, [Idx(2)], -0.0),
    "floats": (F3, [], [1.5, 0.0, -0.0]),
    "float out of range": (F3, [Idx(3)], Miss(out_of_range(3, 3))),
    "float then key": (F3, [Idx(0), "a"], Miss(expected("dict", "float"))),
    "first float of a cut list": (doc("0E 09 02 3FF8000000000000 0000"), [Idx(0)], 1.5),
    "cut float element": (doc("0E 09 02 3FF8000000000000 0000"), [Idx(1)], Miss(END, contained=True)),
    **{f"str {i}": (doc(T4), [Idx(i)], text) for i, text in enumerate(["a", "", "é", ""])},
    "strs": (doc(T4), [], ["a", "", "é", ""]),
    "str then index": (doc(T4), [Idx(0), Idx(0)], Miss(expected("list", "str"))),
    "str past the end": (doc("0E 0A 01 05 FE 61"), [Idx(0)], Miss(END, contained=True)),
    **{f"bytes {i}": (B3, [Idx(i)], value) for i, value in enumerate([b"\0\1", b"", b"\xff"])},
    "bytes then key": (B3, [Idx(2), "a"], Miss(expected("dict", "bytes"))),
    "bytes past the end": (doc("0E 0B 02 00 05 61"), [Idx(1)], Miss(END, contained=True)),
    **{f"bool {i}": (doc("0E 0C 03 A0"), [Idx(i)], i != 1) for i in range(3)},
    "spare bits ignored": (doc("0E 0C 03 BF"), [], [True, False, True]),
    "bool 8 of 10": (doc("0E 0C 0A FF 40"), [Idx(8)], False),
    "bool 9 of 10": (doc("0E 0C 0A FF BF"), [Idx(9)], False),
    "bool byte missing": (doc("0E 0C 09 FF"), [Idx(8)], Miss(END, contained=True)),
    "bool then index": (doc("0E 0C 03 A0"), [Idx(0), Idx(0)], Miss(expected("list", "bool"))),
    **{f"none {i}": (doc("0E 04 03"), [Idx(i)], None) for i in range(3)},
    "none out of range": (doc("0E 04 03"), [Idx(3)], Miss(out_of_range(3, 3))),
    "none then key": (doc("0E 04 03"), [Idx(1), "a"], Miss(expected("dict", "None"))),
    "empty typed list": (doc("0E 09 00"), [Idx(0)], Miss(out_of_range(0, 0))),
    "unknown element type": (doc("0E 0D 01"), [Idx(0)], Miss(LIST_TYPE)),
    "unknown element type, then key": (doc("0E 0D 01"), [Idx(0), "a"], Miss(LIST_TYPE)),
    "small-int element type, then index": (doc("0E 2A 01"), [Idx(0), Idx(0)], Miss(LIST_TYPE)),
    "ref element type, then key": (doc("0E 14 01"), [Idx(0), "a"], Miss(LIST_TYPE)),
    "type test first": (doc("0E 0D 01"), [Idx(1), "a"], Miss(LIST_TYPE)),
    # keys and indices
    "key on empty dict": (doc("06"), ["a"], Miss(not_found("a"))),
    "plain int finds int key": (INT_KEYED, [1], "v"),
    "True finds int key": (INT_KEYED, [True], "v"),
    "an Idx of True is index 1": (doc("0D 02 1F 20"), [raw_idx(True)], 2),
    "'1' does not": (INT_KEYED, ["1"], Miss(not_found("1"))),
    "plain int on a list": (doc("0D 01 1F"), [1], Miss(expected("dict", "list"))),
    "list key, never hashed": (doc("0F 01 0D 01 1F 12 01 76"), [[1]], "v"),
    "bytes key after None": (doc("0F 02 04 1F 0B 01 00 20"), [b"\0"], 2),
    "int key missing": (doc("10 01 02 FE 61 1F"), [5], Miss(not_found(5))),
    "None key missing": (doc("10 01 02 FE 61 1F"), [None], Miss(not_found(None))),
    "first str key wins": (doc("10 02 02 FE 61 1F FE 00 20"), ["a"], 1),
    "first key wins": (doc("0F 02 1F 1F 1F 20"), [1], 1),
    "empty list": (doc("05"), [Idx(0)], Miss(out_of_range(0, 0))),
    "index = length": (doc("0D 02 1F 20"), [Idx(2)], Miss(out_of_range(2, 2))),
    "largest index": (doc("0D 02 1F 20"), [Idx(2**64 - 1)], Miss(out_of_range(2**64 - 1, 2))),
    "custom type on the path": (doc("10 01 02 FE 61 18 12 01 70 0D 01 1F"), ["a", Idx(0)], Miss(CORRUPT)),
    "unknown custom type, skipped": (doc("0D 02 18 12 01 70 1F 2A"), [Idx(1)], 12),
    "unknown custom type": (doc("0D 02 1F 18 12 01 70 1F"), [Idx(1)], Miss(unknown_custom_type("p"), contained=True)),
    # what the skipper refuses; a position past the end or a wrapped one is the end of input
    "skip a cut float": (doc("0D 02 09 3F F8"), [Idx(1)], Miss(END)),
    "skip a cut size field": (doc("0D 02 12 FF 05"), [Idx(1)], Miss(END)),
    "skip a str past the end": (doc("0D 02 12 09 61 1F"), [Idx(1)], Miss(END)),
    "skip a str of 2**64-1": (doc("0D 02 12", size(2**64 - 1), "1F"), [Idx(1)], Miss(END)),
    "skip floats whose size wraps": (doc("0D 02 0E 09", size(2**61), "1F"), [Idx(1)], Miss(END)),
    "skip a huge list": (doc("0D 02 0D", size(2**64 - 1), "1F"), [Idx(1)], Miss(END)),
    "skip rows whose count wraps": (doc("0D 02 13", size(2**63 + 1), "02 1F"), [Idx(1)], Miss(END)),
    "skip to a row past 2**64": (doc("13", size(2**64 - 1), "02 12 01 61 1F 12 01 62 1F"), [Idx(2**63 + 1), "a"], Miss(END)),
    "bad string only skipped": (doc("0D 02 0A 01 C3 2A"), [Idx(1)], 12),
    "size over 64 bits": (doc("0D 02 12 FF", "FE" * 9, "FF 1F"), [Idx(1)], Miss(SIZE_OVERFLOW)),
    "size of ten digits, the last one 1": (doc("0D 02 12 FF", "00" * 9, "01 FF 1F"), [Idx(1)], Miss(SIZE_OVERFLOW)),
    "skip floats seven bytes short": (doc("0D 02 0E 09 02", "00" * 8, "1F"), [Idx(1)], Miss(END)),
    "float at the very end, one byte short": (doc("0D 02 1E 09", "00" * 7), [Idx(1)], Miss(END, contained=True)),
    # a key flagged ASCII that is not: never compared as text nor built
    **{f"bad ASCII key, looking up {key!r}": (doc("10 02", inline_key("a"), "1F 03 FE C3 A9 20"), [key],
                                              Miss(INVALID_ASCII)) for key in (5, None)},
    "empty str key among other keys": (doc("0F 02 1F 12 03 6F 6E 65 00 12 05 65 6D 70 74 79"), [""], "empty"),
}


@pytest.mark.parametrize("data, path, outcome", LOOKUPS.values(), ids=LOOKUPS.keys())
def test_lookup(data, path, outcome):
    for buffer in (data, bytearray(data)):
        if isinstance(outcome, Miss):
            assert_misses(buffer, path, outcome.message, outcome.contained)
        else:
            assert_resolves(buffer, path, outcome)


RESERVED = [f"{flag:02X}" for flag in (12, *range(25, 30))]


@pytest.mark.parametrize("body, path, message", [
    *((f, [], "Unexpected flag") for f in RESERVED),
    *((f"0D 02 {f} 1F", [Idx(1)], "Unexpected flag") for f in RESERVED),  # met by the skipper
    ("0D 02 0E 0D 00 1F", [Idx(1)], LIST_TYPE),
])
def test_bytes_that_are_no_flag_are_damaged_data_for_both_readers(body, path, message):
    error = assert_fails(lambda: lazy_load_bytes(doc(body), path), CorruptDataError, message)
    assert isinstance(error, TypeError)  # what such damage raised before it had a class of its own
    assert bytes_check_if_contains(doc(body), path, include_falsy=False) is False


SKIPPED = [
    "00", "01", "02", "03", "04", "05", "06", "1E", "FF", "07 E1", "07 FF 2D FF", "08 FF FF", "09 3FF8000000000000",
    "0B 02 00 00", "11 FF FF", "14 05", "15 0001", "16 000001", "17 00000001", "0E 04 FF FF", "0E 0C 09 FF 80",
    "0E 09 01 0000000000000000", "0E 0B 02 01 61 00", "0F 01 1F 1F", "10 01 FE 07 1F", "10 01 02 FE 61 06",
    "13 02 01 12 01 61 1F 20", "13 05 00", "18 12 01 70 1F", "0D 01 0D 01 05", "0D 00",
    # escaped size fields whose closing FF lies past the next 8 bytes
    "07 FF 01 00 00 00 00 00 00 00 FF", "08 FF" + " 00" * 20 + " FF", "10 01 FE FF" + " 00" * 9 + " FF 1F",
    *(ascii_str("x" * n).hex() for n in (254, 255, 256, 300, 510, 70_000)),
    *(utf8_str("é" * n).hex() for n in (127, 128, 400)),
    *(("10 01" + inline_key(k).hex() + "1F") for k in ("k" * 252, "k" * 253, "k" * 300, "é" * 127, "é" * 200)),
]


@pytest.mark.parametrize("body", SKIPPED, ids=lambda body: body[:20] + f"..{len(body)}")
def test_skipped_value_ends_where_the_next_begins(body):
    assert lazy_load_bytes(doc("0D 02", body, "2A"), [Idx(1)]) == 12
    assert lazy_load_bytes(doc("10 02 02 FE 61", body, "02 FE 62 2A"), ["b"]) == 12
    assert lazy_load_bytes(doc("13 02 02 12 01 61", body, "12 01 62 1F", body, "2A"), [Idx(1), "b"]) == 12


# Claims that the rest of the input cannot hold, with bytes enough for half of
# them: the skipper refuses each at its count, where the full decode does.
@pytest.mark.parametrize("claim", ["0F 02 1E 1F 1E", "10 02 01 FE 1E", "0D 04 1E 1F 1E", "13 04 01 12 01 61 1F"])
def test_skipper_refuses_a_claim_at_its_count(claim):
    data = doc("0D 02", claim)
    for read in (loads, lambda data: lazy_load_bytes(data, [Idx(1)])):
        with pytest.raises(DeserializationError) as error:
            read(data)
        assert (error.value.msg, error.value.pos) == (END, len(doc("0D 02")) + 1)


@pytest.mark.parametrize("data", [
    doc("0D 02 12 03 61 62 63 0D 02 14 00 14 00"),
    doc("0D 02 10 01 04 FE 61 62 63 1F 0D 02 14 00 11 00"),
    doc("0D 02 0E 0A 01 04 FE 61 62 63 0D 02 14 00 14 00"),
])
def test_skipped_string_is_decoded_once(data):
    first, second = lazy_load_bytes(data, [Idx(1)])
    assert first == "abc" and first is second


TYPE_NAMES = [
    ("00", "str"), ("0A 01 61", "str"), ("12 01 61", "str"), ("11 00", "str"), ("01", "bytes"),
    ("0B 01 00", "bytes"), ("02", "bool"), ("03", "bool"), ("04", "None"), ("07 FF FF", "int"),
    ("08 01", "int"), ("1E", "int"), ("FF", "int"), ("09 3FF8000000000000", "float"),
]
UNNAMED = ["14 00", "15 0000", "16 000000", "17 00000000", "18 12 01 70 1F"]


@pytest.mark.parametrize("body, step, message", [
    *((b, s, expected(kind, n)) for b, n in TYPE_NAMES for s, kind in (("a", "dict"), (Idx(0), "list"))),
    *((b, "a", expected("dict", "list")) for b in ("05", "0D 01 1F", "0E 04 01", "13 01 00")),
    *((b, Idx(0), expected("list", "dict")) for b in ("06", "0F 01 1F 1F", "10 01 02 FE 61 1F")),
    *((b, s, CORRUPT) for b in UNNAMED for s in ("a", Idx(0))),
    *((b, s, "Unexpected flag") for b in RESERVED for s in ("a", Idx(0))),  # damage, as in a full decode
])
def test_step_into_the_wrong_kind(body, step, message):
    assert_misses(doc(body), [step], message)
    parent = doc("10 01 02 FE 61", body) if step == "a" else doc("0D 02 1F", body)
    assert_misses(parent, ["a" if step == "a" else Idx(1), step], message)
