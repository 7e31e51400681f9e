"""lazy_load_bytes / bytes_check_if_contains on hand-built documents: skipping,
back-references into skipped strings, structured rows, typed lists, the
containment test and every path error message."""

from typing import NamedTuple

import pytest

from helpers_lazy import END, assert_resolves, ascii_str, doc, inline_key, same, size
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, load_bytes

CORRUPT = "Corrupt data: unexpected flag"
SIZE_OVERFLOW = "Corrupted data: a size field does not fit in 64 bits"
NOT_ASCII = "Corrupted data: a string marked as ASCII holds a byte above 127"
NOT_UTF8 = "Corrupted data: a string is not valid UTF-8"


def not_found(key):
    return f"Key not found, key: `{key}` (type `{type(key)!r}`)"


def out_of_range(index, length):
    return f"Index out of range, index is `{index}` but list is of len `{length}`"


def expected(kind, found):
    return f"Invalid path, expected `{kind}` but found `{found}`"


class Miss(NamedTuple):
    """A DeserializationError; `contained` is the check answer with include_falsy left at True."""

    message: str
    contained: bool = False


class Raise(NamedTuple):
    """Any other exception, which the check raises as well."""

    cls: type
    message: str


def run(data, path, outcome, **options):
    if isinstance(outcome, Miss):
        with pytest.raises(DeserializationError) as raised:
            lazy_load_bytes(data, path, **options)
        assert str(raised.value) == outcome.message
        assert bytes_check_if_contains(data, path, include_falsy=False, **options) is False
        assert bytes_check_if_contains(data, path, **options) is outcome.contained
    elif isinstance(outcome, Raise):
        for call in (lazy_load_bytes, bytes_check_if_contains):
            with pytest.raises(outcome.cls) as raised:
                call(data, path, include_falsy=False, **options)
            assert type(raised.value) is outcome.cls and str(raised.value) == outcome.message
    else:
        assert_resolves(data, path, outcome, **options)


S3 = doc("13 03 02 12 01 61 1F 12 01 62 12 01 78  20 14 02  21 12 01 79")  # a/b rows; "x" is ref 2
F3 = doc("0E 09 03 3FF8000000000000 0000000000000000 8000000000000000")  # 1.5, 0.0, -0.0
T4 = "0E 0A 04 02 FE 61 00 02 C3 A9 01 FE"  # "a", "", "é", "" (FE marker alone)
B3 = doc("0E 0B 03 02 00 01 00 01 FF")
LOOKUPS = {
    "whole value": (doc("10 02 02 FE 61 1F 02 FE 62 0D 02 02 04"), [], {"a": 1, "b": [True, None]}),
    "key then index": (doc("10 01 02 FE 61 0D 02 1F 20"), ["a", Idx(1)], 2),
    "tuples as lists": (doc("0D 02 1F 0D 02 20 21"), [], [1, [2, 3]]),
    "bytes after the value unread": (doc("0D 02 1F 20 0C FF 19"), [], [1, 2]),
    "bytes after the target unread": (doc("0D 02 1F 0C"), [Idx(0)], 1),
    # back-references into strings that were only skipped
    "ref to skipped ascii value": (doc("0D 03 12 02 61 62 1F 14 00"), [Idx(2)], "ab"),
    "ref to skipped utf-8 value": (doc("0D 02 0A 02 C3 A9 14 00"), [Idx(1)], "é"),
    "ref 1 after three skipped": (doc("0D 02 0D 03 12 01 61 12 01 62 12 01 63 14 01"), [Idx(1)], "b"),
    "ref to skipped ascii key": (doc("0D 02 10 01 02 FE 6B 1F 14 00"), [Idx(1)], "k"),
    "ref to skipped utf-8 key": (doc("0D 02 10 01 02 C3 A9 1F 14 00"), [Idx(1)], "é"),
    "ref to skipped empty key": (doc("0D 02 10 01 01 FE 1F 14 00"), [Idx(1)], ""),
    "FE keys take no number": (doc("0D 03 12 01 61 10 01 FE 00 12 01 78 14 01"), [Idx(2)], "x"),
    "empty str takes no number": (doc("0D 03 00 12 01 78 14 00"), [Idx(2)], "x"),
    "ref to skipped typed strs": (doc("0D 02", T4, "14 02"), [Idx(1)], "é"),
    "ref to skipped general key": (doc("0D 02 0F 01 12 01 6B 1F 14 00"), [Idx(1)], "k"),
    "ref to skipped identifier": (doc("0D 02 18 12 01 70 1F 14 00"), [Idx(1)], "p"),
    "ref to skipped row key": (doc("0D 02 13 02 01 12 01 61 1F 20 14 00"), [Idx(1)], "a"),
    "ref to skipped row value": (doc("0D 02 13 02 01 12 01 61 12 01 78 12 01 79 14 02"), [Idx(1)], "y"),
    "ref as FE key": (doc("0D 02 12 01 6B 10 01 FE 00 1F"), [Idx(1), "k"], 1),
    "key after strings": (doc("10 02 02 FE 61 0D 02 12 01 78 12 01 79 02 FE 62 0D 01 14 02"), ["b"], ["y"]),
    "ref inside target": (doc("10 02 02 FE 61 0D 02 12 01 78 12 01 79 02 FE 62 0D 01 14 02"), ["b", Idx(0)], "y"),
    "ref out of range": (doc("0D 02 12 01 61 14 01"), [Idx(1)], Miss(END, contained=True)),
    "ref to skipped flag 18, not ASCII": (doc("0D 02 12 02 C3 A9 14 00"), [Idx(1)], Miss(NOT_ASCII, contained=True)),
    "ref to skipped marked key, not ASCII": (doc("0D 02 10 01 03 FE C3 A9 1F 14 00"), [Idx(1)], Miss(NOT_ASCII, contained=True)),
    "ref to skipped flag 10, not UTF-8": (doc("0D 02 0A 01 C3 14 00"), [Idx(1)], Miss(NOT_UTF8, contained=True)),
    "marker only": (b"<o>", [], Miss(END, contained=True)),
    **{f"no marker {data!r}": (data, [], Miss("Corrupted data: missing starting marker `<o>`"))
       for data in (b"", b"<o", b"<o]\x1f", b"xo>\x1f", b"<O>\x1f")},
    **{f"ref {ref}": (doc("0D 02 12 01 61", ref), [Idx(1)], "a") for ref in ("11 00", "15 0000", "16 000000", "17 00000000")},
    # lists of structured dicts: rows {a:1,b:"x"}, {a:2,b:"x"}, {a:3,b:"y"}
    "row 0 key a": (S3, [Idx(0), "a"], 1),
    "row 0 key b": (S3, [Idx(0), "b"], "x"),
    "row 1 key a": (S3, [Idx(1), "a"], 2),
    "row 1 key b, a ref": (S3, [Idx(1), "b"], "x"),
    "row 2 key b": (S3, [Idx(2), "b"], "y"),
    "row 2 key a": (S3, [Idx(2), "a"], 3),
    "row 0": (S3, [Idx(0)], {"a": 1, "b": "x"}),
    "row 1": (S3, [Idx(1)], {"a": 2, "b": "x"}),
    "row 2": (S3, [Idx(2)], {"a": 3, "b": "y"}),
    "all rows": (S3, [], [{"a": 1, "b": "x"}, {"a": 2, "b": "x"}, {"a": 3, "b": "y"}]),
    "row key missing": (S3, [Idx(1), "z"], Miss(not_found("z"))),
    "row then index": (S3, [Idx(1), Idx(0)], Miss(expected("list", "dict"))),
    "row out of range": (S3, [Idx(3)], Miss(out_of_range(3, 3))),
    "row out of range, then key": (S3, [Idx(3), "a"], Miss(out_of_range(3, 3))),
    "one row skipped": (doc("0D 02 13 01 01 12 01 61 1F 20"), [Idx(1)], 2),
    "into a row value": (doc("13 02 01 12 01 61 0D 01 1F 0D 01 20"), [Idx(1), "a", Idx(0)], 2),
    "int row keys": (doc("13 02 01 1F 12 01 61 12 01 62"), [Idx(1), 1], "b"),
    # typed lists
    "float 0": (F3, [Idx(0)], 1.5),
    "float 1": (F3, [Idx(1)], 0.0),
    "float 2": (F3, [Idx(2)], -0.0),
    "floats": (F3, [], [1.5, 0.0, -0.0]),
    "float nan": (doc("0E 09 01 7FF8000000000000"), [Idx(0)], float("nan")),
    "float out of range": (F3, [Idx(3)], Miss(out_of_range(3, 3))),
    "float then key": (F3, [Idx(0), "a"], Miss(expected("dict", "float"))),
    "float then index": (F3, [Idx(0), Idx(0)], Miss(expected("list", "float"))),
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
    "bool 9 of 10": (doc("0E 0C 0A FF 40"), [Idx(9)], True),
    "bool 9 of 10, bit 6 clear": (doc("0E 0C 0A FF BF"), [Idx(9)], False),
    "bool byte missing": (doc("0E 0C 09 FF"), [Idx(8)], Miss(END, contained=True)),
    "bool then index": (doc("0E 0C 03 A0"), [Idx(0), Idx(0)], Miss(expected("list", "bool"))),
    **{f"none {i}": (doc("0E 04 03"), [Idx(i)], None) for i in range(3)},
    "none out of range": (doc("0E 04 03"), [Idx(3)], Miss(out_of_range(3, 3))),
    "none then key": (doc("0E 04 03"), [Idx(1), "a"], Miss(expected("dict", "None"))),
    "empty typed list": (doc("0E 09 00"), [Idx(0)], Miss(out_of_range(0, 0))),
    "unknown element type": (doc("0E 0D 01"), [Idx(0)], Miss("Unexpected type flag: 13", contained=True)),
    "unknown element type, then key": (doc("0E 0D 01"), [Idx(0), "a"], Miss(expected("dict", "list"))),
    "small-int element type, then index": (doc("0E 2A 01"), [Idx(0), Idx(0)], Miss(expected("list", "int"))),
    "ref element type, then key": (doc("0E 14 01"), [Idx(0), "a"], Miss(CORRUPT)),
    "range test first": (doc("0E 0D 01"), [Idx(1), "a"], Miss(out_of_range(1, 1))),
    # keys and indices
    "key on empty dict": (doc("06"), ["a"], Miss(not_found("a"))),
    "str key, int key only": (doc("0F 01 1F 12 01 76"), ["k"], Miss(not_found("k"))),
    "plain int finds int key": (doc("0F 01 1F 12 01 76"), [1], "v"),
    "True finds int key": (doc("0F 01 1F 12 01 76"), [True], "v"),
    "1.0 finds int key": (doc("0F 01 1F 12 01 76"), [1.0], "v"),
    "'1' does not": (doc("0F 01 1F 12 01 76"), ["1"], Miss(not_found("1"))),
    "plain int on a list": (doc("0D 01 1F"), [1], Miss(expected("dict", "list"))),
    "list key, never hashed": (doc("0F 01 0D 01 1F 12 01 76"), [[1]], "v"),
    "None key": (doc("0F 02 04 1F 0B 01 00 20"), [None], 1),
    "bytes key": (doc("0F 02 04 1F 0B 01 00 20"), [b"\0"], 2),
    "str key missing": (doc("10 01 02 FE 61 1F"), ["b"], Miss(not_found("b"))),
    "int key missing": (doc("10 01 02 FE 61 1F"), [5], Miss(not_found(5))),
    "None key missing": (doc("10 01 02 FE 61 1F"), [None], Miss(not_found(None))),
    "first str key wins": (doc("10 02 02 FE 61 1F FE 00 20"), ["a"], 1),
    "first key wins": (doc("0F 02 1F 1F 1F 20"), [1], 1),
    "empty list": (doc("05"), [Idx(0)], Miss(out_of_range(0, 0))),
    "empty list, index 7": (doc("05"), [Idx(7)], Miss(out_of_range(7, 0))),
    "index = length": (doc("0D 02 1F 20"), [Idx(2)], Miss(out_of_range(2, 2))),
    "largest index": (doc("0D 02 1F 20"), [Idx(2**64 - 1)], Miss(out_of_range(2**64 - 1, 2))),
    "custom type on the path": (doc("10 01 02 FE 61 18 12 01 70 0D 01 1F"), ["a", Idx(0)], Miss(CORRUPT)),
    # the skipper's failures
    **{f"skip flag {f}": (doc("0D 02", f"{f:02X} 1F"), [Idx(1)], Raise(TypeError, "Unexpected flag")) for f in (12, *range(25, 30))},
    "skip element type 13": (doc("0D 02 0E 0D 00 1F"), [Idx(1)], Raise(TypeError, "Unexpected type flag: 13")),
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
}


@pytest.mark.parametrize("data, path, outcome", LOOKUPS.values(), ids=LOOKUPS.keys())
def test_lookup(data, path, outcome):
    run(data, path, outcome)
    run(bytearray(data), path, outcome)


SKIPPED = [
    "00", "01", "02", "03", "04", "05", "06", "1E", "FF", "07 E1", "07 FF 2D FF", "08 FF FF", "09 3FF8000000000000",
    "0B 02 00 00", "11 FF FF", "14 05", "15 0001", "16 000001", "17 00000001", "0E 04 FF FF", "0E 0C 09 FF 80",
    "0E 09 01 0000000000000000", "0E 0B 02 01 61 00", "0F 01 1F 1F", "10 01 FE 07 1F", "10 01 02 FE 61 06",
    "13 02 01 12 01 61 1F 20", "13 05 00", "18 12 01 70 1F", "0D 01 0D 01 05", "0D 00",
    *(ascii_str("x" * n).hex() for n in (254, 255, 256, 300, 510, 70_000)),
    *(("0A" + size(2 * n).hex() + ("é" * n).encode().hex()) for n in (127, 128, 400)),
    *(("10 01" + inline_key(k).hex() + "1F") for k in ("k" * 252, "k" * 253, "k" * 300, "é" * 127, "é" * 200)),
]


@pytest.mark.parametrize("body", SKIPPED, ids=lambda body: body[:20] + f"..{len(body)}")
def test_skipped_value_ends_where_the_next_begins(body):
    assert lazy_load_bytes(doc("0D 02", body, "2A"), [Idx(1)]) == 12
    assert lazy_load_bytes(doc("10 02 02 FE 61", body, "02 FE 62 2A"), ["b"]) == 12
    assert lazy_load_bytes(doc("13 02 02 12 01 61", body, "12 01 62 1F", body, "2A"), [Idx(1), "b"]) == 12


@pytest.mark.parametrize("text", ["k" * 253, "é" * 127, "k" * 300, "é" * 200, ""], ids=lambda text: f"{text[:1]}*{len(text)}")
def test_long_strings_referenced_after_being_skipped(text):
    payload = text.encode()
    as_value = (b"\x12" if text.isascii() else b"\x0a") + size(len(payload)) + payload
    as_key = b"\x10\x01" + inline_key(text) + b"\x1f"  # 253 ASCII characters: FF FF FE, then the text
    for skipped, path, value in ((as_key, [Idx(0), text], {text: 1}), (as_value, [Idx(0)], text)):
        data = doc("0D 03", skipped, "14 00 2A")
        assert lazy_load_bytes(data, [Idx(1)]) == text
        assert lazy_load_bytes(data, path) == (1 if path[1:] else text)
        assert lazy_load_bytes(data, [Idx(2)]) == 12
        assert bytes_check_if_contains(data, [Idx(1)], include_falsy=False) is bool(text)
        assert load_bytes(data) == [value, text, 12]


@pytest.mark.parametrize("data", [
    doc("0D 02 12 03 61 62 63 0D 02 14 00 14 00"),
    doc("0D 02 10 01 04 FE 61 62 63 1F 0D 02 14 00 11 00"),
    doc("0D 02 0E 0A 01 04 FE 61 62 63 0D 02 14 00 14 00"),
])
def test_skipped_string_is_decoded_once(data):
    first, second = lazy_load_bytes(data, [Idx(1)])
    assert first == "abc" and first is second


FALSY = {
    "None": "04", "False": "03", "0": "1E", "0.0": "09 0000000000000000", "-0.0": "09 8000000000000000",
    "''": "00", "b''": "01", "[]": "05", "{}": "06",
    "flag 18 of length 0": "12 00", "flag 10 of length 0": "0A 00", "bytes of length 0": "0B 00",
    "07 00": "07 00", "08 00": "08 00", "list of 0": "0D 00", "dict of 0": "0F 00", "str dict of 0": "10 00",
    "typed None of 0": "0E 04 00", "typed floats of 0": "0E 09 00", "typed strs of 0": "0E 0A 00",
    "ref to an empty key": None,
}
TRUTHY = {
    "True": "02", "1": "1F", "225": "FF", "255": "07 FF FF", "-1": "08 01", "nan": "09 7FF8000000000000",
    "'a'": "12 01 61", "b'\\0'": "0B 01 00", "[0]": "0D 01 1E", "[False]": "0E 0C 01 00", "[None]": "0E 04 01",
    "[{}]": "13 01 00", "{'': 0}": "10 01 01 FE 1E", "ref": None,
}


@pytest.mark.parametrize("body, truth", [(b, False) for b in FALSY.values()] + [(b, True) for b in TRUTHY.values()],
                         ids=[*FALSY, *TRUTHY])
def test_containment(body, truth):
    if body is None:  # a back-reference, to an empty key or to "a"
        data = doc("0D 02 10 01", inline_key("a" if truth else ""), "1E 14 00")
    else:
        data = doc("0D 02 1E", body)
    assert_resolves(data, [Idx(1)], load_bytes(data)[1])
    assert bytes_check_if_contains(data, [Idx(1)], include_falsy=False) is truth
    assert bytes_check_if_contains(data, [Idx(1)], include_falsy=0) is truth


@pytest.mark.parametrize("data, path, row", [
    (doc("13 02 01 12 01 61 1E 1E"), [Idx(1)], {"a": 0}),
    (doc("13 03 00"), [Idx(2)], {}),
    *((doc("13 02", size(width), "12 01 61 1F 20"), [Idx(1)], None) for width in (2**40, 2**64 - 1)),
])
def test_row_at_the_end_of_a_path_is_contained(data, path, row):
    # A row is present whatever its values: the check reads none of them. Only
    # a row of no keys is an empty dict, and so falsy.
    assert bytes_check_if_contains(data, path) is True
    assert bytes_check_if_contains(data, path, include_falsy=False) is (row != {})
    assert bytes_check_if_contains(data, path + ["a"], include_falsy=False) is False
    if row is None:  # more keys than the input can hold
        with pytest.raises(DeserializationError, match=f"^{END}$"):
            lazy_load_bytes(data, path)
    else:
        assert lazy_load_bytes(data, path) == row


TYPE_NAMES = [
    ("00", "str"), ("0A 01 61", "str"), ("12 01 61", "str"), ("11 00", "str"), ("01", "bytes"),
    ("0B 01 00", "bytes"), ("02", "bool"), ("03", "bool"), ("0C", "bool"), ("04", "None"), ("07 FF FF", "int"),
    ("08 01", "int"), ("1E", "int"), ("FF", "int"), ("09 3FF8000000000000", "float"),
]
LISTS = ["05", "0D 01 1F", "0E 04 01", "13 01 00"]
DICTS = ["06", "0F 01 1F 1F", "10 01 02 FE 61 1F"]
FLAGS_WITHOUT_NAME = ["14 00", "15 0000", "16 000000", "17 00000000", "18 12 01 70 1F", *(f"{f:02X}" for f in range(25, 30))]


@pytest.mark.parametrize("body, message",
                         [(b, expected("dict", n)) for b, n in TYPE_NAMES]
                         + [(b, expected("dict", "list")) for b in LISTS]
                         + [(b, CORRUPT) for b in FLAGS_WITHOUT_NAME])
def test_key_step_on_a_non_dict(body, message):
    run(doc(body), ["a"], Miss(message))
    run(doc("10 01 02 FE 61", body), ["a", "b"], Miss(message))


@pytest.mark.parametrize("body, message",
                         [(b, expected("list", n)) for b, n in TYPE_NAMES]
                         + [(b, expected("list", "dict")) for b in DICTS]
                         + [(b, CORRUPT) for b in FLAGS_WITHOUT_NAME])
def test_index_step_on_a_non_list(body, message):
    run(doc(body), [Idx(0)], Miss(message))
    run(doc("0D 02 1F", body), [Idx(1), Idx(0)], Miss(message))


@pytest.mark.parametrize("flag", [12, *range(25, 30)])
def test_reserved_flags_agree_with_the_decoder(flag):
    data = doc(f"{flag:02X}")
    for call in (load_bytes, lambda d: lazy_load_bytes(d, []), lambda d: bytes_check_if_contains(d, [], include_falsy=False)):
        with pytest.raises(TypeError, match="^Unexpected flag$"):
            call(data)
