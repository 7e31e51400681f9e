"""Decoding of hand-written documents: exact results and exact errors for every
flag, size-field form and reference form, and the identity of the objects built."""

import pytest

from conftest import (
    CORRUPTED, END, INVALID_ASCII, INVALID_UTF8, LOADER_FAILED, MISSING_MARKER, as_read, ascii_str, assert_equal_strings_shared,
    assert_fails, doc, enc_int, invalid_key, load_fails, marked, ref, same_value, size, SIZE_OVERFLOW, unknown_custom_type, utf8_str,
)
from pyquarl import CorruptDataError, DeserializationError, lazy_load_bytes, load_bytes

NO_ROWS = "Corrupted data: a list of structured dicts with no rows"
INT_TOO_LARGE = "Corrupted data: integer magnitude of more than 65536 digits"
P = pytest.param


def tag(value):
    return ("tag", value)


TAG = {"p": tag}
TUPLES = {"use_tuples": True}
# 257 distinct strings in a typed string list: enough to need two-byte references.
MANY = [f"s{i}" for i in range(257)]
MANY_LIST = b"\x0e\x0a" + size(len(MANY)) + b"".join(marked(s) for s in MANY)
BOUNDARY_INTS = {"2**63-1": 2**63 - 1, "2**63": 2**63, "2**64-1": 2**64 - 1, "2**64": 2**64, "-(2**63)": -(2**63),
                 "-(2**63)-1": -(2**63) - 1, "-(2**64)": -(2**64), "eight-digits-max": 255**8 + 254,
                 "nine-digits-min": 255**8 + 255, "sixteen-digits": 255**16 + 12345, "seventeen-digits": -(255**17) - 3}

DECODES = [
    P(doc("1F"), 1, {}, id="small-int"),
    P(bytearray(doc("1F")), 1, {}, id="small-int-bytearray"),
    P(doc("10 02 02 FE 61 1F 02 FE 62 0D 02 02 04"), {"a": 1, "b": [True, None]}, {}, id="str-key-dict"),
    P(doc("0D 02 12 02 61 62 14 00"), ["ab", "ab"], {}, id="back-reference"),
    # singletons and empties
    *(P(doc(f"0{flag}"), value, {}, id=f"flag-{flag}") for flag, value in enumerate(["", b"", True, False, None, [], {}])),
    # ints: flag-embedded, one-byte magnitudes, escaped magnitudes (zero digits allowed)
    P(doc("1E"), 0, {}, id="int-0"),
    P(doc("FE"), 224, {}, id="int-224"),
    P(doc("FF"), 225, {}, id="int-225-flag-255"),
    P(doc("07 E1"), 225, {}, id="int-225"),
    P(doc("07 FE"), 254, {}, id="int-254"),
    P(doc("07 FF FF"), 255, {}, id="int-255"),
    P(doc("07 FF 2D FF"), 300, {}, id="int-300"),
    P(doc("07 FF 2D 00 00 FF"), 300, {}, id="int-300-zero-digits"),
    P(doc("07 00"), 0, {}, id="int-0-long-form"),
    P(doc("08 00"), 0, {}, id="int-minus-0"),
    P(doc("08 01"), -1, {}, id="int-minus-1"),
    P(doc("08 FF FF"), -255, {}, id="int-minus-255"),
    P(doc("07 FF 00 00 00 00 00 00 00 00 02 FF"), 255 + 2 * 255**8, {}, id="int-nine-digits-with-zeros"),
    *(P(doc(enc_int(v)), v, {}, id=f"int-{name}") for name, v in BOUNDARY_INTS.items()),
    P(doc(b"\x08\xff" + b"\xfe" * 65536 + b"\xff"), -(255**65536 + 254), {}, id="int-longest"),
    # floats
    P(doc("09 3F F8 00 00 00 00 00 00"), 1.5, {}, id="float"),
    P(doc("09 80 00 00 00 00 00 00 00"), -0.0, {}, id="float-minus-zero"),
    P(doc("09 7F F8 00 00 00 00 00 00"), float("nan"), {}, id="float-nan"),
    # strings and bytes
    P(doc(utf8_str("héllo")), "héllo", {}, id="utf8-str"),
    P(doc("0A 00"), "", {}, id="utf8-str-empty-payload"),
    P(doc("12 00"), "", {}, id="ascii-str-empty-payload"),
    P(doc(ascii_str("x" * 300)), "x" * 300, {}, id="ascii-str-long"),
    P(doc("0B 03 00 FF 7F"), b"\x00\xff\x7f", {}, id="bytes"),
    P(doc(b"\x0b" + size(255) + bytes(range(255))), bytes(range(255)), {}, id="bytes-255"),
    # size fields, read through packed None lists (no payload)
    P(doc("0E 04 FE"), [None] * 254, {}, id="size-254"),
    P(doc("0E 04 FF FF"), [None] * 255, {}, id="size-255"),
    P(doc("0E 04 FF 2D FF"), [None] * 300, {}, id="size-300"),
    P(doc("0E 04 FF 00 01 FF"), [None] * 510, {}, id="size-510"),
    P(doc("0E 04 FF 2D 00 00 00 00 00 00 00 00 00 00 00 00 FF"), [None] * 300, {}, id="size-zero-digits"),
    P(doc("0E 04", size(300, pad=30)), [None] * 300, {}, id="size-zero-digits-beyond-64-bits"),
    P(doc("0B", size(255, pad=12), bytes(255)), bytes(255), {}, id="bytes-size-zero-digits"),
    # lists, tuples, dicts
    P(doc("0D 03 1F 20 21"), [1, 2, 3], {}, id="list"),
    P(doc("0D 02 0D 01 1F 05"), [[1], []], {}, id="nested-lists"),
    P(doc("10 01 02 FE 61 0D 01 1F"), {"a": [1]}, {}, id="list-in-dict"),
    P(doc("0F 02 1F 20 12 01 61 04"), {1: 2, "a": None}, {}, id="dict-any-keys"),
    P(doc("0F 02 1F 20 1F 21"), {1: 3}, {}, id="dict-repeated-key"),
    P(doc("0F 01 0D 01 1F 1F"), {(1,): 1}, TUPLES, id="tuple-key"),
    P(doc("0F 01 09 3F F8 00 00 00 00 00 00 01"), {1.5: b""}, {}, id="float-key"),
    # str-keyed dicts: key form sizes 253 (one byte), 254 (FF FF), 508 (two digits)
    P(doc("10 01 FD FE", b"k" * 252, "1F"), {"k" * 252: 1}, {}, id="key-252-ascii"),
    P(doc("10 01 FF FF FE", b"k" * 253, "1F"), {"k" * 253: 1}, {}, id="key-253-ascii"),
    P(doc("10 01 FF FF", ("é" * 127).encode(), "1F"), {"é" * 127: 1}, {}, id="key-254-utf8"),
    P(doc("10 01 FF 00 01 FF FE", b"k" * 507, "1F"), {"k" * 507: 1}, {}, id="key-form-508"),
    P(doc("10 01 FF 00 00 FF FE", b"k" * 253, "1F"), {"k" * 253: 1}, {}, id="key-form-zero-digits"),
    P(doc("10 01 06 E6 97 A5 E6 9C AC 1F"), {"日本": 1}, {}, id="key-utf8"),
    P(doc("10 01 00 1F"), {"": 1}, {}, id="key-empty-no-marker"),
    P(doc("10 01 01 FE 1F"), {"": 1}, {}, id="key-empty-marked"),
    P(doc("0D 02 12 01 61 10 01 FE 00 1F"), ["a", {"a": 1}], {}, id="key-back-reference"),
    # reference numbering; every row also checks that equal strings are one object
    P(doc("0D 03 00 12 01 78 14 00"), ["", "x", "x"], {}, id="empty-str-takes-no-number"),
    P(doc("0D 02 10 01 01 FE 1F 14 00"), [{"": 1}, ""], {}, id="empty-key-takes-a-number"),
    P(doc("0D 02 0A 00 14 00"), ["", ""], {}, id="empty-flag-10-takes-a-number"),
    P(doc("0D 02 0E 0A 02 02 FE 61 01 62 14 00"), [["a", "b"], "a"], {}, id="typed-strs-take-numbers"),
    P(doc("0D 03 12 01 61 0A 01 62 14 01"), ["a", "b", "b"], {}, id="flag-10-takes-a-number"),
    P(doc(b"\x0d\x03", MANY_LIST, ref(255, 1), ref(256, 2)), [MANY, MANY[255], MANY[256]], {}, id="ref-255-256"),
    *(P(doc(b"\x0d\x03", MANY_LIST, ref(0, w), ref(256, w)), [MANY, MANY[0], MANY[256]], {}, id=f"ref-width-{w}")
      for w in (0, 2, 3, 4)),
    P(doc(b"\x0d\x02", MANY_LIST, b"\x11" + size(256, pad=3)), [MANY, MANY[256]], {}, id="ref-long-zero-digits"),
    P(doc("0D 04 0E 0A 01 02 FE 61 10 01 FE 00 14 00 13 02 01 14 00 1F 20 14 00"),
      [["a"], {"a": "a"}, [{"a": 1}, {"a": 2}], "a"], {}, id="element-key-value-row-share-a-number"),
    P(doc("0D 02 10 01 02 FE 61 1F 14 00"), [{"a": 1}, "a"], {}, id="inline-key-referenced"),
    P(doc("13 03 02 12 01 61 1F 0A 02 C3 A9 20 21 22 23 24"), [{"a": 1, "é": 2}, {"a": 3, "é": 4}, {"a": 5, "é": 6}],
      {}, id="row-keys-shared"),
    P(doc("0D 04 10 02 02 FE 61 12 01 62 FE 00 14 01 13 02 01 14 00 14 01 0A 02 C3 A9 0D 02 14 02 14 01 0F 01 14 02 14 01"),
      [{"a": "b"}, [{"a": "b"}, {"a": "é"}], ["é", "b"], {"é": "b"}], {}, id="references-in-every-position"),
    # typed lists
    P(doc("0E 0C 03 A0"), [True, False, True], {}, id="bools"),
    P(doc("0E 0C 03 BF"), [True, False, True], {}, id="bools-spare-bits-ignored"),
    P(doc("0E 0C 09 FF 80"), [True] * 9, {}, id="bools-nine"),
    P(doc("0E 0C 08 01"), [False] * 7 + [True], {}, id="bools-last-bit"),
    P(doc("0E 0C 00"), [], {}, id="bools-none"),
    P(doc("0E 04 03"), [None] * 3, {}, id="nones"),
    P(doc("0E 04 00"), [], {}, id="nones-empty"),
    P(doc("0E 09 02 3F F8 00 00 00 00 00 00 80 00 00 00 00 00 00 00"), [1.5, -0.0], {}, id="floats"),
    P(doc("0E 09 01 3F F8 00 00 00 00 00 00"), [1.5], {}, id="floats-one"),
    P(doc("0E 0A 03 00 02 FE 61 02 C3 A9"), ["", "a", "é"], {}, id="strs"),
    P(doc("0E 0A 01 01 FE"), [""], {}, id="strs-marked-empty"),
    P(doc("0E 0B 02 02 61 62 00"), [b"ab", b""], {}, id="bytes-list"),
    P(doc("0E 0B 01 01 00"), [b"\x00"], {}, id="bytes-list-one"),
    # lists of structured dicts
    P(doc("13 02 01 12 01 61 1F 20"), [{"a": 1}, {"a": 2}], {}, id="structured"),
    P(doc("13 01 01 12 01 61 0D 01 1F"), [{"a": [1]}], {}, id="structured-one-row"),
    P(doc("13 03 00"), [{}, {}, {}], {}, id="structured-no-keys"),
    P(doc("13 02 02 1F 12 01 61 00 0D 00 21 22"), [{1: "a", "": []}, {1: 3, "": 4}], {}, id="structured-any-keys"),
    P(doc("13 02 02 12 01 61 1F 14 00 20 21 22"), [{"a": 2}, {"a": 4}], {}, id="structured-repeated-key"),
    P(doc("13 02 01 0D 01 1F 1F 20"), ({(1,): 1}, {(1,): 2}), TUPLES, id="structured-tuple-key"),
    # custom types
    P(doc("18 12 01 70 1F"), ("tag", 1), {"custom_types": TAG}, id="custom"),
    P(doc("0D 02 18 12 01 70 1F 14 00"), [("tag", 1), "p"], {"custom_types": TAG}, id="custom-identifier-numbered"),
    P(doc("18 1F 20"), ("tag", 2), {"custom_types": {1: tag}}, id="custom-int-identifier"),
    P(doc("18 1F 20"), ("tag", 2), {"custom_types": {1.0: tag}}, id="custom-int-identifier-float-key"),
    P(doc("18 12 01 70 0D 01 1F"), ("tag", [1]), {"custom_types": TAG}, id="custom-list"),
]


@pytest.mark.parametrize("data, expected, options", DECODES)
def test_decodes(data, expected, options):
    # rows without use_tuples are read both ways: lists, then tuples
    for tuples in (False, True) if "use_tuples" not in options else (True,):
        result = load_bytes(data, **{**options, "use_tuples": tuples})
        assert same_value(as_read(expected, use_tuples=True) if tuples else expected, result)
        assert_equal_strings_shared(result)


UNHASHABLE_KEY = invalid_key(list)

FAILURES = [
    P(b"", DeserializationError, MISSING_MARKER, {}, id="empty"),
    P(b"<o", DeserializationError, MISSING_MARKER, {}, id="short-marker"),
    P(b"<o?\x1f", DeserializationError, MISSING_MARKER, {}, id="wrong-marker"),
    P(b"<O>\x1f", DeserializationError, MISSING_MARKER, {}, id="marker-case"),
    # references beyond the table
    P(doc("14 00"), DeserializationError, CORRUPTED, {}, id="ref-before-any-string"),
    P(doc("0D 02 12 01 61 14 01"), DeserializationError, CORRUPTED, {}, id="ref-8"),
    P(doc("0D 02 12 01 61 15 00 01"), DeserializationError, CORRUPTED, {}, id="ref-16"),
    P(doc("0D 02 12 01 61 16 00 00 01"), DeserializationError, CORRUPTED, {}, id="ref-24"),
    P(doc("17 FF FF FF FF"), DeserializationError, CORRUPTED, {}, id="ref-32"),
    P(doc("11 01"), DeserializationError, CORRUPTED, {}, id="ref-long"),
    P(doc("10 01 FE 05 1F"), DeserializationError, CORRUPTED, {}, id="key-ref"),
    P(doc("0D 02 0E 0A 01 01 61 10 01 FE 01 1F"), DeserializationError, CORRUPTED, {}, id="key-ref-one-past"),
    # flags that are not values, in each position a value is read from
    *(P(doc(f"{flag:02X}"), CorruptDataError, "Unexpected flag", {}, id=f"flag-{flag}") for flag in (12, 25, 26, 27, 28, 29)),
    P(doc("0D 02 1F 0C"), CorruptDataError, "Unexpected flag", {}, id="flag-12-in-list"),
    P(doc("0F 01 19 1F"), CorruptDataError, "Unexpected flag", {}, id="flag-25-as-key"),
    P(doc("10 01 02 FE 61 1D"), CorruptDataError, "Unexpected flag", {}, id="flag-29-as-value"),
    P(doc("13 02 01 12 01 61 1F 1C"), CorruptDataError, "Unexpected flag", {}, id="flag-28-in-row"),
    *(P(doc(f"0E {t:02X} 00"), CorruptDataError, "Unexpected consistent list type", {}, id=f"element-type-{t}")
      for t in (0, 2, 7, 13, 19, 30, 255)),
    # strings that are not what they claim (the ASCII check reads 8-byte words, then a tail)
    P(doc("12 02 61 80"), DeserializationError, INVALID_ASCII, {}, id="ascii-flag-high-byte-in-tail"),
    P(doc("12 08 61 61 61 61 61 61 61 FF"), DeserializationError, INVALID_ASCII, {}, id="ascii-flag-high-byte-in-word"),
    P(doc("12 09 61 61 61 61 61 61 61 61 C3"), DeserializationError, INVALID_ASCII, {}, id="ascii-flag-ninth-byte"),
    P(doc("10 01 03 FE 61 E9 1F"), DeserializationError, INVALID_ASCII, {}, id="marked-key-high-byte"),
    P(doc("0E 0A 01 03 FE C3 A9"), DeserializationError, INVALID_ASCII, {}, id="marked-element-high-byte"),
    P(doc("0A 02 C3 28"), DeserializationError, INVALID_UTF8, {}, id="utf8-invalid"),
    P(doc("0A 03 ED A0 80"), DeserializationError, INVALID_UTF8, {}, id="utf8-surrogate"),
    P(doc("10 01 02 C3 28 1F"), DeserializationError, INVALID_UTF8, {}, id="utf8-invalid-key"),
    P(doc("0E 0A 01 02 C3 28"), DeserializationError, INVALID_UTF8, {}, id="utf8-invalid-element"),
    P(doc(b"\x07\xff" + b"\x01" * 65537 + b"\xff"), DeserializationError, INT_TOO_LARGE, {}, id="int-too-long"),
    # a count of ten digits overflows even when its only non-zero digit is the last
    P(doc("0D FF", "00" * 9, "01 FF 1F"), DeserializationError, SIZE_OVERFLOW, {}, id="size-ten-digits"),
    P(doc("09", "00" * 7), DeserializationError, END, {}, id="float-one-byte-short"),
    P(doc("0D 02 1F 09", "00" * 7), DeserializationError, END, {}, id="float-in-list-one-byte-short"),
    P(doc(b"\x08\xff" + b"\x01" * 65537 + b"\xff"), DeserializationError, INT_TOO_LARGE, {}, id="negative-int-too-long"),
    # keys that cannot be keys
    P(doc("0F 01 0D 01 1F 1F"), DeserializationError, UNHASHABLE_KEY, {}, id="list-key"),
    P(doc("0F 01 0E 0C 01 80 1F"), DeserializationError, UNHASHABLE_KEY, {}, id="bool-list-key"),
    P(doc("0F 01 0F 01 1F 1F 1F"), DeserializationError, invalid_key(dict), {}, id="dict-key"),
    P(doc("13 01 01 0D 01 1F 1F"), DeserializationError, UNHASHABLE_KEY, {}, id="structured-list-key"),
    P(doc("13 02 01 06 1F 20"), DeserializationError, invalid_key(dict), {}, id="structured-dict-key"),
    P(doc("0F 01 0D 01 06 1F"), DeserializationError, invalid_key(tuple), TUPLES, id="unhashable-tuple-key"),
    # lists of structured dicts need rows
    P(doc("13 00 00"), DeserializationError, NO_ROWS, {}, id="structured-no-rows"),
    P(doc("13 00 01 12 01 61 1F"), DeserializationError, NO_ROWS, {}, id="structured-no-rows-one-key"),
    # custom types
    P(doc("18 12 01 70 1F"), DeserializationError, unknown_custom_type("p"), {}, id="custom-no-map"),
    P(doc("18 1F 20"), DeserializationError, unknown_custom_type(1), {"custom_types": {"1": tag}}, id="custom-int-vs-str"),
    P(doc("18 12 01 70 1F"), DeserializationError, LOADER_FAILED, {"custom_types": {"p": int.from_bytes}}, id="custom-loader-raises"),
]


@pytest.mark.parametrize("data, error_class, message, options", FAILURES)
def test_fails(data, error_class, message, options):
    load_fails(data, error_class, message, **options)
    if error_class is CorruptDataError:  # flags that are not values: the lazy reader agrees
        assert_fails(lambda: lazy_load_bytes(data, []), error_class, message)


@pytest.mark.parametrize("data, message, cause", [
    (doc("0A 02 C3 28"), INVALID_UTF8, UnicodeDecodeError), (doc("0F 01 0D 01 1F 1F"), UNHASHABLE_KEY, TypeError),
])
def test_error_keeps_its_cause(data, message, cause):
    assert isinstance(load_fails(data, DeserializationError, message).__cause__, cause)


def test_empty_values_are_fresh_or_cached_as_appropriate():
    # the interpreter's own empty str, bytes and tuple
    assert load_bytes(doc("00")) is str() and load_bytes(doc("01")) is bytes()
    assert load_bytes(doc("05"), use_tuples=True) is tuple() is load_bytes(doc("0D 00"), use_tuples=True)
    assert load_bytes(doc("0D 02 0D 01 1F 05"), use_tuples=True)[1] is tuple()
    # mutable empties must not be shared, within a call or between calls
    assert load_bytes(doc("05")) is not load_bytes(doc("05"))
    assert load_bytes(doc("06")) is not load_bytes(doc("06"))
    pair = load_bytes(doc("0D 02 05 05"))
    assert pair[0] is not pair[1]
    assert len({id(row) for row in load_bytes(doc("13 03 00"))}) == 3
