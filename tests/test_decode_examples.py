"""Decoding of hand-written documents: exact results and exact errors for
every flag, size-field form and reference form the format defines, and the
identity of the objects built."""

import pytest

from conftest import (
    CORRUPTED, END, INVALID_ASCII, INVALID_UTF8, LOADER_FAILED, MISSING_MARKER, ascii_str, assert_equal_strings_shared,
    doc, enc_int, extra_data, inline_key, invalid_key, key_size, load_fails, marked, ref, same_value, size,
    unknown_custom_type, utf8_str,
)
from pyquarl import DeserializationError, load_bytes

NO_ROWS = "Corrupted data: a list of structured dicts with no rows"


def h(text):
    return bytes.fromhex(text)


def tag(value):
    return ("tag", value)


TAG = {"p": tag}
P = pytest.param

# 257 distinct strings in a typed string list: enough to need two-byte references.
MANY = [f"s{i}" for i in range(257)]
MANY_LIST = b"\x0e\x0a" + size(len(MANY)) + b"".join(marked(s) for s in MANY)

DECODES = [
    # whole documents
    P(doc("1F"), 1, {}, id="small-int"),
    P(bytearray(doc("1F")), 1, {}, id="small-int-bytearray"),
    P(doc("1F 1F"), 1, {"ignore_extra_data": True}, id="extra-data-ignored"),
    P(doc("10 02 02 FE 61 1F 02 FE 62 0D 02 02 04"), {"a": 1, "b": [True, None]}, {}, id="str-key-dict"),
    P(doc("0D 02 12 02 61 62 14 00"), ["ab", "ab"], {}, id="back-reference"),
    # singletons and empties
    P(doc("00"), "", {}, id="empty-str"),
    P(doc("01"), b"", {}, id="empty-bytes"),
    P(doc("02"), True, {}, id="true"),
    P(doc("03"), False, {}, id="false"),
    P(doc("04"), None, {}, id="none"),
    P(doc("05"), [], {}, id="empty-list"),
    P(doc("05"), (), {"use_tuples": True}, id="empty-tuple"),
    P(doc("06"), {}, {}, id="empty-dict"),
    # ints: flag-embedded, one-byte magnitudes, escaped magnitudes
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
    P(doc("08 FE"), -254, {}, id="int-minus-254"),
    P(doc("08 FF FF"), -255, {}, id="int-minus-255"),
    P(doc("07 FF 00 00 00 00 00 00 00 00 02 FF"), 255 + 2 * 255**8, {}, id="int-above-2**64"),
    *(
        P(doc(enc_int(v)), v, {}, id=f"int-{name}")
        for name, v in [
            ("2**63-1", 2**63 - 1),
            ("2**63", 2**63),
            ("2**64-1", 2**64 - 1),
            ("2**64", 2**64),
            ("-(2**63)", -(2**63)),
            ("-(2**63)-1", -(2**63) - 1),
            ("-(2**64)", -(2**64)),
            ("eight-digits-max", 255**8 + 254),
            ("nine-digits-min", 255**8 + 255),
            ("sixteen-digits", 255**16 + 12345),
            ("seventeen-digits", -(255**17) - 3),
        ]
    ),
    # floats
    P(doc("09 3F F8 00 00 00 00 00 00"), 1.5, {}, id="float"),
    P(doc("09 80 00 00 00 00 00 00 00"), -0.0, {}, id="float-minus-zero"),
    P(doc("09 7F F0 00 00 00 00 00 00"), float("inf"), {}, id="float-inf"),
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
    P(doc("0D 02 0D 01 1F 05"), ((1,), ()), {"use_tuples": True}, id="nested-tuples"),
    P(doc("10 01 02 FE 61 0D 01 1F"), {"a": (1,)}, {"use_tuples": True}, id="tuple-in-dict"),
    P(doc("0F 02 1F 20 12 01 61 04"), {1: 2, "a": None}, {}, id="dict-any-keys"),
    P(doc("0F 02 1F 20 1F 21"), {1: 3}, {}, id="dict-repeated-key"),
    P(doc("0F 01 0D 01 1F 1F"), {(1,): 1}, {"use_tuples": True}, id="tuple-key"),
    P(doc("0F 01 09 3F F8 00 00 00 00 00 00 01"), {1.5: b""}, {}, id="float-key"),
    # str-keyed dicts
    P(doc("10 01 FF FF FE", b"k" * 253, "1F"), {"k" * 253: 1}, {}, id="key-253-ascii"),
    P(doc("10 01 FC FE", b"k" * 251, "1F"), {"k" * 251: 1}, {}, id="key-251-ascii"),
    P(doc("10 01 FF FF", ("é" * 127).encode(), "1F"), {"é" * 127: 1}, {}, id="key-254-utf8"),
    P(doc("10 01 FF 00 01 FF FE", b"k" * 507, "1F"), {"k" * 507: 1}, {}, id="key-form-508"),
    P(doc("10 01 FF 00 00 FF FE", b"k" * 253, "1F"), {"k" * 253: 1}, {}, id="key-form-zero-digits"),
    P(doc("10 01", inline_key("日本"), "1F"), {"日本": 1}, {}, id="key-utf8"),
    P(doc("10 01 00 1F"), {"": 1}, {}, id="key-empty-no-marker"),
    P(doc("10 01 01 FE 1F"), {"": 1}, {}, id="key-empty-marked"),
    P(doc("0D 02 12 01 61 10 01 FE 00 1F"), ["a", {"a": 1}], {}, id="key-back-reference"),
    # reference numbering
    P(doc("0D 03 00 12 01 78 14 00"), ["", "x", "x"], {}, id="empty-str-takes-no-number"),
    P(doc("0D 02 10 01 01 FE 1F 14 00"), [{"": 1}, ""], {}, id="empty-key-takes-a-number"),
    P(doc("0D 02 0A 00 14 00"), ["", ""], {}, id="empty-flag-10-takes-a-number"),
    P(doc("0D 02 0E 0A 02 02 FE 61 01 62 14 00"), [["a", "b"], "a"], {}, id="typed-strs-take-numbers"),
    P(doc("0D 03 12 01 61 0A 01 62 14 01"), ["a", "b", "b"], {}, id="flag-10-takes-a-number"),
    P(doc(b"\x0d\x03", MANY_LIST, ref(255, 1), ref(256, 2)), [MANY, MANY[255], MANY[256]], {}, id="ref-255-256"),
    *(
        P(doc(b"\x0d\x03", MANY_LIST, ref(0, w), ref(256, w)), [MANY, MANY[0], MANY[256]], {}, id=f"ref-width-{w}")
        for w in (0, 2, 3, 4)
    ),
    P(doc(b"\x0d\x02", MANY_LIST, b"\x11" + size(256, pad=3)), [MANY, MANY[256]], {}, id="ref-long-zero-digits"),
    # typed lists
    P(doc("0E 0C 03 A0"), [True, False, True], {}, id="bools"),
    P(doc("0E 0C 03 A0"), (True, False, True), {"use_tuples": True}, id="bools-tuple"),
    P(doc("0E 0C 03 BF"), [True, False, True], {}, id="bools-spare-bits-ignored"),
    P(doc("0E 0C 09 FF 80"), [True] * 9, {}, id="bools-nine"),
    P(doc("0E 0C 08 01"), [False] * 7 + [True], {}, id="bools-last-bit"),
    P(doc("0E 0C 00"), [], {}, id="bools-none"),
    P(doc("0E 04 03"), [None] * 3, {}, id="nones"),
    P(doc("0E 04 02"), (None, None), {"use_tuples": True}, id="nones-tuple"),
    P(doc("0E 04 00"), [], {}, id="nones-empty"),
    P(doc("0E 09 02 3F F8 00 00 00 00 00 00 80 00 00 00 00 00 00 00"), [1.5, -0.0], {}, id="floats"),
    P(doc("0E 09 01 3F F8 00 00 00 00 00 00"), (1.5,), {"use_tuples": True}, id="floats-tuple"),
    P(doc("0E 0A 03 00 02 FE 61 02 C3 A9"), ["", "a", "é"], {}, id="strs"),
    P(doc("0E 0A 01 01 FE"), ("",), {"use_tuples": True}, id="strs-tuple-marked-empty"),
    P(doc("0E 0B 02 02 61 62 00"), [b"ab", b""], {}, id="bytes-list"),
    P(doc("0E 0B 01 01 00"), (b"\x00",), {"use_tuples": True}, id="bytes-list-tuple"),
    # lists of structured dicts
    P(doc("13 02 01 12 01 61 1F 20"), [{"a": 1}, {"a": 2}], {}, id="structured"),
    P(doc("13 02 01 12 01 61 1F 20"), ({"a": 1}, {"a": 2}), {"use_tuples": True}, id="structured-tuple"),
    P(doc("13 01 01 12 01 61 0D 01 1F"), ({"a": (1,)},), {"use_tuples": True}, id="structured-one-row"),
    P(doc("13 03 00"), [{}, {}, {}], {}, id="structured-no-keys"),
    P(doc("13 02 02 1F 12 01 61 00 0D 00 21 22"), [{1: "a", "": []}, {1: 3, "": 4}], {}, id="structured-any-keys"),
    P(doc("13 02 02 12 01 61 1F 14 00 20 21 22"), [{"a": 2}, {"a": 4}], {}, id="structured-repeated-key"),
    P(doc("13 02 01 0D 01 1F 1F 20"), ({(1,): 1}, {(1,): 2}), {"use_tuples": True}, id="structured-tuple-key"),
    # custom types
    P(doc("18 12 01 70 1F"), ("tag", 1), {"custom_types": TAG}, id="custom"),
    P(doc("0D 02 18 12 01 70 1F 14 00"), [("tag", 1), "p"], {"custom_types": TAG}, id="custom-identifier-numbered"),
    P(doc("18 1F 20"), ("tag", 2), {"custom_types": {1: tag}}, id="custom-int-identifier"),
    P(doc("18 1F 20"), ("tag", 2), {"custom_types": {1.0: tag}}, id="custom-int-identifier-float-key"),
    P(doc("18 12 01 70 0D 01 1F"), ("tag", (1,)), {"custom_types": TAG, "use_tuples": True}, id="custom-tuple"),
]


@pytest.mark.parametrize("data, expected, options", DECODES)
def test_decodes(data, expected, options):
    assert same_value(expected, load_bytes(data, **options))


UNHASHABLE_KEY = invalid_key(list)

FAILURES = [
    # marker and framing
    P(b"", DeserializationError, MISSING_MARKER, {}, id="empty"),
    P(h("3C 6F"), DeserializationError, MISSING_MARKER, {}, id="short-marker"),
    P(h("3C 6F 3F 1F"), DeserializationError, MISSING_MARKER, {}, id="wrong-marker"),
    P(b"<O>\x1f", DeserializationError, MISSING_MARKER, {}, id="marker-case"),
    P(bytearray(h("3C 6F")), DeserializationError, MISSING_MARKER, {}, id="short-marker-bytearray"),
    P(doc(), DeserializationError, END, {}, id="marker-only"),
    P(doc("1F 1F"), DeserializationError, extra_data(4), {}, id="extra-data"),
    P(doc("0D 01 1F 00 00"), DeserializationError, extra_data(6), {}, id="extra-data-nested"),
    P(doc("0E 04 03 1F"), DeserializationError, extra_data(6), {}, id="none-list-reads-no-payload"),
    P(doc("13 03 00 1F"), DeserializationError, extra_data(6), {}, id="keyless-rows-read-nothing"),
    # truncation
    P(doc("0D FF 05"), DeserializationError, END, {}, id="inside-size-field"),
    P(doc("0D FF 01 02 03"), DeserializationError, END, {}, id="size-field-unterminated"),
    P(doc("0D FF"), DeserializationError, END, {}, id="size-field-cut-after-escape"),
    P(doc("0D 03 1F 20"), DeserializationError, END, {}, id="inside-list"),
    P(doc("07 FF 2D"), DeserializationError, END, {}, id="inside-int"),
    P(doc("07"), DeserializationError, END, {}, id="int-without-magnitude"),
    P(doc("09 3F F8 00 00 00 00 00"), DeserializationError, END, {}, id="short-float"),
    P(doc("12 03 61 62"), DeserializationError, END, {}, id="short-str"),
    P(doc("0B 02 61"), DeserializationError, END, {}, id="short-bytes"),
    P(doc("0E 0C 09 FF"), DeserializationError, END, {}, id="short-bools"),
    P(doc("0E 09 02 3F F8 00 00 00 00 00 00"), DeserializationError, END, {}, id="short-floats"),
    P(doc("0E 0A 02 02 FE 61"), DeserializationError, END, {}, id="short-strs"),
    P(doc("0E 0B 01 03 61"), DeserializationError, END, {}, id="short-bytes-list"),
    P(doc("0E 0C"), DeserializationError, END, {}, id="typed-list-without-count"),
    P(doc("13 00"), DeserializationError, END, {}, id="structured-without-width"),
    P(doc("13 02 01 12 01 61 1F"), DeserializationError, END, {}, id="structured-missing-row"),
    P(doc("10 01"), DeserializationError, END, {}, id="dict-without-key"),
    P(doc("10 01 02 FE 61"), DeserializationError, END, {}, id="dict-without-value"),
    P(doc("15 01"), DeserializationError, END, {}, id="short-ref-16"),
    P(doc("17 00 00 00"), DeserializationError, END, {}, id="short-ref-32"),
    # references beyond the table
    P(doc("14 00"), DeserializationError, CORRUPTED, {}, id="ref-before-any-string"),
    P(doc("0D 02 12 01 61 14 01"), DeserializationError, CORRUPTED, {}, id="ref-8"),
    P(doc("0D 02 12 01 61 15 00 01"), DeserializationError, CORRUPTED, {}, id="ref-16"),
    P(doc("0D 02 12 01 61 16 00 00 01"), DeserializationError, CORRUPTED, {}, id="ref-24"),
    P(doc("17 FF FF FF FF"), DeserializationError, CORRUPTED, {}, id="ref-32"),
    P(doc("11 01"), DeserializationError, CORRUPTED, {}, id="ref-long"),
    P(doc("10 01 FE 05 1F"), DeserializationError, CORRUPTED, {}, id="key-ref"),
    P(doc("0D 02 0E 0A 01 01 61 10 01 FE 01 1F"), DeserializationError, CORRUPTED, {}, id="key-ref-one-past"),
    # flags that are not values
    *(
        P(doc(f"{flag:02X}"), TypeError, "Unexpected flag", {}, id=f"flag-{flag}")
        for flag in (12, 25, 26, 27, 28, 29)
    ),
    P(doc("0D 02 1F 0C"), TypeError, "Unexpected flag", {}, id="flag-12-in-list"),
    P(doc("0F 01 19 1F"), TypeError, "Unexpected flag", {}, id="flag-25-as-key"),
    P(doc("10 01 02 FE 61 1D"), TypeError, "Unexpected flag", {}, id="flag-29-as-value"),
    P(doc("13 02 01 12 01 61 1F 1C"), TypeError, "Unexpected flag", {}, id="flag-28-in-row"),
    *(
        P(doc(f"0E {t:02X} 00"), TypeError, "Unexpected consistent list type", {}, id=f"element-type-{t}")
        for t in (0, 2, 7, 13, 19, 30, 255)
    ),
    # strings that are not what they claim
    P(doc("12 02 61 80"), DeserializationError, INVALID_ASCII, {}, id="ascii-flag-high-byte"),
    P(doc("12 01 FF"), DeserializationError, INVALID_ASCII, {}, id="ascii-flag-ff"),
    P(doc("12 09 61 61 61 61 61 61 61 61 C3"), DeserializationError, INVALID_ASCII, {}, id="ascii-flag-ninth-byte"),
    P(doc("10 01 03 FE 61 E9 1F"), DeserializationError, INVALID_ASCII, {}, id="marked-key-high-byte"),
    P(doc("0E 0A 01 03 FE C3 A9"), DeserializationError, INVALID_ASCII, {}, id="marked-element-high-byte"),
    P(doc("0A 02 C3 28"), DeserializationError, INVALID_UTF8, {}, id="utf8-invalid"),
    P(doc("0A 03 ED A0 80"), DeserializationError, INVALID_UTF8, {}, id="utf8-surrogate"),
    P(doc("0A 01 C3"), DeserializationError, INVALID_UTF8, {}, id="utf8-cut-sequence"),
    P(doc("10 01 02 C3 28 1F"), DeserializationError, INVALID_UTF8, {}, id="utf8-invalid-key"),
    P(doc("0E 0A 01 02 C3 28"), DeserializationError, INVALID_UTF8, {}, id="utf8-invalid-element"),
    # keys that cannot be keys
    P(doc("0F 01 0D 01 1F 1F"), DeserializationError, UNHASHABLE_KEY, {}, id="list-key"),
    P(doc("0F 01 0E 0C 01 80 1F"), DeserializationError, UNHASHABLE_KEY, {}, id="bool-list-key"),
    P(doc("0F 01 0F 01 1F 1F 1F"), DeserializationError, invalid_key(dict), {}, id="dict-key"),
    P(doc("13 01 01 0D 01 1F 1F"), DeserializationError, UNHASHABLE_KEY, {}, id="structured-list-key"),
    P(doc("13 02 01 06 1F 20"), DeserializationError, invalid_key(dict), {}, id="structured-dict-key"),
    P(doc("0F 01 0D 01 06 1F"), DeserializationError, invalid_key(tuple), {"use_tuples": True}, id="unhashable-tuple-key"),
    # structure
    P(doc("13 00 00"), DeserializationError, NO_ROWS, {}, id="structured-no-rows"),
    P(doc("13 00 01 12 01 61 1F"), DeserializationError, NO_ROWS, {}, id="structured-no-rows-one-key"),
    # custom types
    P(doc("18 12 01 70 1F"), DeserializationError, unknown_custom_type("p"), {}, id="custom-no-map"),
    P(doc("18 12 01 70 1F"), DeserializationError, unknown_custom_type("p"), {"custom_types": {"q": tag}}, id="custom-unmapped"),
    P(doc("18 1F 20"), DeserializationError, unknown_custom_type(1), {"custom_types": {"1": tag}}, id="custom-int-vs-str"),
    P(doc("18 12 01 70 1F"), DeserializationError, LOADER_FAILED, {"custom_types": {"p": int.from_bytes}}, id="custom-loader-raises"),
]


@pytest.mark.parametrize("data, error_class, message, options", FAILURES)
def test_fails(data, error_class, message, options):
    load_fails(data, error_class, message, **options)


@pytest.mark.parametrize("data, message, cause", [
    (doc("0A 02 C3 28"), INVALID_UTF8, UnicodeDecodeError), (doc("0F 01 0D 01 1F 1F"), UNHASHABLE_KEY, TypeError),
])
def test_error_keeps_its_cause(data, message, cause):
    assert isinstance(load_fails(data, DeserializationError, message).__cause__, cause)


# ---- identity ------------------------------------------------------------

@pytest.mark.parametrize("width", [0, 1, 2, 3, 4])
def test_every_reference_form_yields_the_same_object(width):
    strings, again = load_bytes(doc(b"\x0d\x02", MANY_LIST, ref(200, width)))
    assert again is strings[200]


def test_keys_values_elements_and_rows_share_one_table():
    # "a" inline as a typed-list element, then as a key reference, a value
    # reference and a structured-row key reference.
    strings, keyed, rows, last = load_bytes(doc("0D 04 0E 0A 01 02 FE 61 10 01 FE 00 14 00 13 02 01 14 00 1F 20 14 00"))
    (a,) = strings
    [(key, value)] = keyed.items()
    assert key is a and value is a and last is a
    assert all(next(iter(row)) is a for row in rows)
    keyed, again = load_bytes(doc("0D 02 10 01 02 FE 61 1F 14 00"))  # an inline key is the referenced object
    assert next(iter(keyed)) is again
    rows = load_bytes(doc("13 03 02 12 01 61 1F 0A 02 C3 A9 20 21 22 23 24"))
    assert rows == [{"a": 1, "é": 2}, {"a": 3, "é": 4}, {"a": 5, "é": 6}]
    assert all(k is f for row in rows[1:] for k, f in zip(row, rows[0]))
    assert len({id(row) for row in load_bytes(doc("13 03 00"))}) == 3  # distinct dicts
    value = load_bytes(doc("0D 04 10 02 02 FE 61 12 01 62 FE 00 14 01 13 02 01 14 00 14 01 0A 02 C3 A9",
                           "0D 02 14 02 14 01 0F 01 14 02 14 01"))
    assert value == [{"a": "b"}, [{"a": "b"}, {"a": "é"}], ["é", "b"], {"é": "b"}]
    assert_equal_strings_shared(value)


def test_empty_values_are_fresh_or_cached_as_appropriate():
    # the interpreter's own empty str, bytes and tuple
    assert load_bytes(doc("00")) is str() and load_bytes(doc("01")) is bytes()
    assert load_bytes(doc("05"), use_tuples=True) is tuple() is load_bytes(doc("0D 00"), use_tuples=True)
    assert load_bytes(doc("0D 02 0D 01 1F 05"), use_tuples=True)[1] is tuple()
    # mutable empties must not be shared between calls
    assert load_bytes(doc("05")) is not load_bytes(doc("05"))
    assert load_bytes(doc("06")) is not load_bytes(doc("06"))
    pair = load_bytes(doc("0D 02 05 05"))
    assert pair[0] is not pair[1]


@pytest.mark.parametrize("flag", range(30, 256))
def test_every_small_int_flag(flag):
    assert load_bytes(bytes([0x3C, 0x6F, 0x3E, flag])) == flag - 30


@pytest.mark.parametrize("n", [1, 7, 8, 9, 15, 16, 17, 64, 255, 256, 1000])
def test_bool_list_bit_order(n):
    values = [(i * 7 + n) % 3 == 0 for i in range(n)]
    packed = bytearray((n + 7) // 8)
    for i, v in enumerate(values):
        packed[i // 8] |= v << (7 - i % 8)
    if n % 8:  # garbage in the spare low bits of the last byte must be ignored
        packed[-1] |= (1 << (8 - n % 8)) - 1
    assert load_bytes(doc(b"\x0e\x0c" + size(n), packed)) == values


@pytest.mark.parametrize("n", [253, 254, 255, 256, 508, 509, 70000])
def test_key_form_lengths(n):
    key = "k" * n
    assert load_bytes(doc(b"\x10\x01" + key_size(n + 1) + b"\xfe" + key.encode() + b"\x1f")) == {key: 1}
    plain = ("é" * (n // 2) + "k" * (n % 2))
    assert load_bytes(doc(b"\x10\x01" + key_size(len(plain.encode())) + plain.encode() + b"\x1f")) == {plain: 1}
