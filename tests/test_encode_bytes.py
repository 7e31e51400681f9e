"""Byte-exact encodings of values, and the errors of values without an encoding."""

import collections
import datetime
import enum
import tracemalloc

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import CUSTOM_TYPES, ENCODABLE, MARKER, enc_int, model_document, run_isolated
from pyquarl import SerializationError, dump_bytes, load_bytes


def h(text):
    return bytes.fromhex(text)


def body(obj, **options):
    document = dump_bytes(obj, **options)
    assert document[:3] == MARKER
    return document[3:]


def utf8_key(n):  # non-ASCII key of exactly n UTF-8 bytes
    return "é" * (n // 2) + "a" * (n % 2)


ENCODINGS = [
    # scalars; bool before int
    (None, "04"), (True, "02"), (False, "03"), (0, "1E"), (1, "1F"), (224, "FE"),
    (225, "07 E1"), (254, "07 FE"), (255, "07 FF FF"), (256, "07 FF 01 FF"), (300, "07 FF 2D FF"),
    (510, "07 FF 00 01 FF"), (-1, "08 01"), (-254, "08 FE"), (-255, "08 FF FF"), (-300, "08 FF 2D FF"),
    (2**63 - 1, "07 FF 7F 82 8D 9B A2 9B 8D 83 FF"), (2**63, "07 FF 80 82 8D 9B A2 9B 8D 83 FF"),
    (-(2**63), "08 FF 80 82 8D 9B A2 9B 8D 83 FF"), (-(2**63) - 1, "08 FF 81 82 8D 9B A2 9B 8D 83 FF"),
    (2**64 - 1, "07 FF 00 07 1C 38 46 38 1C 08 01 FF"), (2**64, "07 FF 01 07 1C 38 46 38 1C 08 01 FF"),
    (-(2**64), "08 FF 01 07 1C 38 46 38 1C 08 01 FF"),
    (1.5, "09 3F F8 00 00 00 00 00 00"), (-0.0, "09 80 00 00 00 00 00 00 00"), (float("inf"), "09 7F F0 00 00 00 00 00 00"),
    # strings and bytes
    ("", "00"), ("ab", "12 02 61 62"), ("é", "0A 02 C3 A9"), ("日", "0A 03 E6 97 A5"), (b"", "01"), (b"\x00\xff", "0B 02 00 FF"),
    ("a" * 254, "12 FE" + "61" * 254), ("a" * 255, "12 FF FF" + "61" * 255),
    (b"z" * 255, "0B FF FF" + "7A" * 255), (b"z" * 300, "0B FF 2D FF" + "7A" * 300),
    # string references: values and keys share one numbering, "" never takes a number, equal strings share one
    (["ab", "ab"], "0D 02 12 02 61 62 14 00"), (["é", "é"], "0D 02 0A 02 C3 A9 14 00"),
    (["", "x", "", "x"], "0D 04 00 12 01 78 00 14 00"),
    (["a", {"a": "a"}], "0D 02 12 01 61 10 01 FE 00 14 00"), ([{"a": 1}, "a"], "0D 02 10 01 02 FE 61 1F 14 00"),
    (["", {"": ""}], "0D 02 00 10 01 01 FE 00"),
    ({"x": {"": 1}, "y": {"": 2}}, "10 02 02 FE 78 10 01 01 FE 1F 02 FE 79 10 01 FE 01 20"),
    ([{"k": 1}, "a", "k"], "0D 03 10 01 02 FE 6B 1F 12 01 61 14 00"),
    (["".join("key"), {"".join("key"): "".join("key")}], "0D 02 12 03 6B 65 79 10 01 FE 00 14 00"),
    # sequences
    ([], "05"), ((), "05"), ([1], "0D 01 1F"), ((1, 2), "0D 02 1F 20"), ([None], "0D 01 04"),
    ([True], "0D 01 02"), ([None, None], "0E 04 02"), ((None, None, None), "0E 04 03"),
    ([None] * 255, "0E 04 FF FF"), ([True, False, True], "0E 0C 03 A0"),
    ([True] * 9, "0E 0C 09 FF 80"), ([False] * 8, "0E 0C 08 00"), ([1, True], "0D 02 1F 02"), ([None, False], "0D 02 04 03"),
    ([1.5, 2.5], "0D 02 09 3F F8 00 00 00 00 00 00 09 40 04 00 00 00 00 00 00"),
    ([b"a", b"a"], "0D 02 0B 01 61 0B 01 61"), ([1] * 255, "0D FF FF" + "1F" * 255),
    # dicts, and key-form lengths
    ({}, "06"), ({"a": 1}, "10 01 02 FE 61 1F"), ({"é": 1}, "10 01 02 C3 A9 1F"), ({"": 1}, "10 01 01 FE 1F"),
    ({"a": 1, "b": [True, None]}, "10 02 02 FE 61 1F 02 FE 62 0D 02 02 04"),
    ({1: "a"}, "0F 01 1F 12 01 61"), ({"a": 1, 2: 3}, "0F 02 12 01 61 1F 20 21"),
    ({None: b"", 1.5: True}, "0F 02 04 01 09 3F F8 00 00 00 00 00 00 02"),
    ({"a" * 252: 0}, "10 01 FD FE" + "61" * 252 + "1E"), ({"a" * 253: 0}, "10 01 FF FF FE" + "61" * 253 + "1E"),
    ({"a" * 254: 0}, "10 01 FF 01 FF FE" + "61" * 254 + "1E"),
    ({utf8_key(253): 0}, "10 01 FD" + utf8_key(253).encode().hex() + "1E"),
    ({utf8_key(254): 0}, "10 01 FF FF" + utf8_key(254).encode().hex() + "1E"),
    ({utf8_key(255): 0}, "10 01 FF 01 FF" + utf8_key(255).encode().hex() + "1E"),
    # lists of like dicts
    ([{"a": 1, "b": 2}, {"b": 4, "a": 3}], "13 02 02 12 01 61 1F 12 01 62 20 21 22"),
    (({"a": 1}, {"a": 2}), "13 02 01 12 01 61 1F 20"), ([{"a": "a"}, {"a": "b"}], "13 02 01 12 01 61 14 00 12 01 62"),
    ([{"": 1}, {"": 2}], "13 02 01 00 1F 20"), ([{}, {}], "13 02 00"), ([{}] * 3, "13 03 00"),
    ([{"a": 1}, {"a": 2}, {"a": 3}], "13 03 01 12 01 61 1F 20 21"), ([{"a": 1}], "0D 01 10 01 02 FE 61 1F"),
    ([{"a": 1}, {"a": 2, "b": 3}], "0D 02 10 01 02 FE 61 1F 10 02 FE 00 20 02 FE 62 21"),
    ([{"a": 1, "b": 2}, {"a": 3}], "0D 02 10 02 02 FE 61 1F 02 FE 62 20 10 01 FE 00 21"),
    ([{"a": 1}, {"b": 2}], "0D 02 10 01 02 FE 61 1F 10 01 02 FE 62 20"), ([{"a": 1}, {}], "0D 02 10 01 02 FE 61 1F 06"),
    ([{1: 2}, {1: 3}], "0D 02 0F 01 1F 20 0F 01 1F 21"), ([{"a": 1}, 5], "0D 02 10 01 02 FE 61 1F 23"),
]


@pytest.mark.parametrize(("value", "encoded"), ENCODINGS, ids=[f"{i}" for i in range(len(ENCODINGS))])
def test_value_encodes_to_exact_bytes(value, encoded):
    assert body(value) == h(encoded)


@settings(deadline=None, max_examples=300)
@given(ENCODABLE)
@example([datetime.datetime(2024, 5, 1, 12), datetime.datetime(2024, 5, 1, 12), datetime.datetime(2024, 5, 1, 13)])
def test_any_value_matches_the_model(value):
    options = {"custom_types": CUSTOM_TYPES, "serialize_dates": True}
    assert dump_bytes(value, **options) == model_document(value, **options)


# Texts that share their stored bytes, their length or their first bytes
# across the three widths a str is stored in, on both sides of the 11 bytes a
# string-table slot holds in itself; and plain texts enough to fill it.
LOOKALIKE_TEXTS = [
    "", "a", "ab", "bb", "ab\x00", "\x00\x01", "\u0100", "\x00\x00\x01\x00", "\U00010000", "\u0100\x00",
    "abcde", "xbcde", "abcdx", "abcdefgh", "xbcdefgh", "abcdefgx", "abcdefghijk", "xbcdefghijk", "abcdefghijx",
    "abcdefghijkl", "k" * 10, "k" * 11, "k" * 12, "é" * 5, "é" * 11, "é" * 12, "ā" * 5, "ā" * 6,
    "\U0001f600" * 2, "\U0001f600" * 3, "x" * 40, "x" * 41,
    # around 16 stored bytes, where texts stop being compared as one number
    "abcdefghijklmnop", "xbcdefghijklmnop", "abcdefghijklmnox", "abcdefghijklmnopq", "abcdefghijklmnopx",
    "ā" * 8, "ā" * 7 + "ă", "ă" + "ā" * 7, "\U0001f600" * 4, "\U0001f600" * 3 + "\U0001f601",
]
# Short texts that begin alike, so their slots look alike until the last bytes.
PLAIN_TEXTS = [f"abc{i:05d}" for i in range(150)]


def copy_of(text, fresh):
    """`text` itself, or (when `fresh`) an equal str that is another object."""
    return "".join((text[:1], text[1:])) if fresh and len(text) > 1 else text


@settings(deadline=None, max_examples=100)
@given(st.permutations(LOOKALIKE_TEXTS),
       st.lists(st.tuples(st.sampled_from(LOOKALIKE_TEXTS + PLAIN_TEXTS), st.booleans(), st.booleans()),
                max_size=300),
       st.sampled_from(["in memory", "converters", "writer"]))
def test_equal_strings_are_found_and_unequal_ones_never_confused(lookalikes, picks, mode):
    picks = [(text, False, False) for text in lookalikes] + picks
    values = [copy_of(text, fresh) for text, fresh, _ in picks]
    keyed = {copy_of(text, fresh): i for i, (text, fresh, as_key) in enumerate(picks) if as_key}
    doc = [values, keyed, [copy_of(text, True) for text, _, _ in reversed(picks)], {text: 0 for text in lookalikes}]
    expected = model_document(doc)
    if mode == "writer":
        chunks = []
        dump_bytes(doc, writer=type("W", (), {"write": lambda self, chunk: chunks.append(bytes(chunk))})(),
                   flush_threshold=64)
        assert b"".join(chunks) == expected
    else:
        options = {"custom_types": CUSTOM_TYPES} if mode == "converters" else {}
        assert dump_bytes(doc, **options) == expected


ROW_KEYS = ["id", "kind", "a", "", "abcdefghijk", "abcdefghijklmnop", "abcdefghijklmnopq", "é" * 8, "ā" * 8,
            "\U0001f600" * 4, "x" * 40]


def lookalike(text, position):
    """`text` with one character changed to a neighbour of the same storage width."""
    if not text:
        return "\x00"
    i = position % len(text)
    return text[:i] + chr(ord(text[i]) ^ 1) + text[i + 1:]


@settings(deadline=None, max_examples=150)
@given(st.lists(st.sampled_from(ROW_KEYS), min_size=1, max_size=5, unique=True),
       st.sampled_from([2, 3, 70, 1100]),
       st.none() | st.tuples(st.integers(0, 10**6), st.integers(0, 4), st.integers(0, 50)))
def test_row_keys_are_matched_to_the_columns_by_text(columns, n, odd):
    # Rows parsed from text each have their own key objects; a key that only
    # looks like a column's (same length and width, one character off) makes
    # the row an odd one, wherever it is.
    rows = [{copy_of(key, True): i for key in columns} for i in range(n)]
    if odd is not None:
        row, column, position = odd[0] % (n - 1) + 1, odd[1] % len(columns), odd[2]
        rows[row] = {(lookalike(key, position) if c == column else copy_of(key, True)): 0
                     for c, key in enumerate(columns)}
    document = dump_bytes(rows)
    assert document == model_document(rows)
    assert document == dump_bytes(rows, custom_types=CUSTOM_TYPES)  # the checked-first writer
    assert load_bytes(document) == rows


def sized_document(size):
    return ["w" * 100 + str(i) for i in range(size // 104)] + ["x" * (size % 104)]


@pytest.mark.parametrize("values", [
    [sized_document(size) for size in (300_000, 10, 4_000, 4_300, 70_000, 300_000, 2_000_000)],
    [sized_document(size) for size in (2_000_000, 5_000, 300_000, 60)],
    # past a few kilobytes, one string larger than the jump the last document allows
    [sized_document(4_000_000), ["a" * 5_000, "b" * 1_000_000], ["a" * 5_000, "b" * 9_000_000]],
], ids=["growing and shrinking", "after a large one", "one string beyond the jump"])
def test_documents_of_any_size_after_others_are_whole(values):
    # The buffer of a dump grows at once towards the size of the last
    # document: whatever comes next must come out whole all the same.
    for value in values:
        document = dump_bytes(value)
        assert load_bytes(document) == value
        assert document == model_document(value)


@pytest.mark.parametrize("size", [70_000, 600_000, 3_000_000])
def test_a_dump_holds_at_most_twice_its_output(size):
    # After a tiny document there is no size to grow towards: past 64 kB the
    # buffer only doubles, so its peak stays within twice what it returns.
    dump_bytes([1])
    value = sized_document(size)
    tracemalloc.start()
    try:
        document = dump_bytes(value)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak <= 2 * len(document)


class Attrs:
    def __init__(self, n):
        for i in range(n):
            setattr(self, f"attr{i}", i)


def with_holes(n, dropped):
    d = {f"k{i}": i for i in range(n)}
    for i in dropped:
        del d[f"k{i}"]
    return d


def refilled(first, then):
    first.clear()
    first.update(then)
    return first


DICT_SHAPES = {
    "holes": lambda: with_holes(6, [0, 3, 5]),
    "holes, grown": lambda: with_holes(300, range(0, 300, 3)),
    "emptied, refilled": lambda: refilled({"a": 0, "z": 1}, {"b": 2, "a": 1}),
    "str keys after a removed int key": lambda: refilled({"a": 1, 0: 2}, {"b": 3, "a": 1}),
    "instance dict": lambda: vars(Attrs(3)),
    "instance dict, large": lambda: vars(Attrs(40)),
    "rows with holes": lambda: [with_holes(5, [1]), with_holes(5, [1]), {"k4": 0, "k0": 1, "k2": 2, "k3": 3}],
    "rows from instances": lambda: [vars(Attrs(3)), vars(Attrs(3)), {"attr2": 0, "attr1": 1, "attr0": 2}],
    "rows with equal, not identical keys": lambda: [{"".join("ab"): 1, "c": 2}, {"c": 3, "".join("ab"): 4}],
    "rows with equal, not identical keys in order": lambda: [{"".join("ab"): i, "".join("cd"): "x"} for i in range(3)],
    "wide rows, keys reordered": lambda: [{f"k{i}": i for i in range(20)}, {f"k{i}": -i for i in reversed(range(20))}],
}


@pytest.mark.parametrize("make", DICT_SHAPES.values(), ids=DICT_SHAPES.keys())
def test_dict_encoding_does_not_depend_on_its_history(make):
    value = make()
    copy = {k: v for k, v in value.items()} if type(value) is dict else [dict(row) for row in value]
    assert dump_bytes(value) == dump_bytes(copy) == model_document(value)


@settings(deadline=None, max_examples=400)
@given(st.one_of(st.integers(0, 3000).map(lambda bits: 2**bits - 1).flatmap(lambda top: st.integers(top // 2, top)),
                 st.sampled_from([63, 64]).flatmap(lambda e: st.integers(2**e - 300, 2**e + 300))),
       st.booleans())
def test_int_of_any_size_is_flag_and_base255_digits(magnitude, negative):
    value = -magnitude if negative else magnitude
    assert body(value) == enc_int(value)


@pytest.mark.parametrize("value", [2**523000 - 1, -(2**523000 - 1), 2**523000, -(2**523000), 2**600000],
                         ids=["max", "-max", "2^523000", "-2^523000", "2^600000"])
def test_largest_writable_int_and_beyond(value):
    if abs(value) < 2**523000:
        encoded = body(value)
        assert encoded[:2] == bytes([7 if value > 0 else 8, 0xFF]) and encoded[-1] == 0xFF
        assert 0xFF not in encoded[2:-1] and encoded[-2] != 0
        assert load_bytes(MARKER + encoded) == value
    else:
        with pytest.raises(SerializationError, match=r"^Failed to serialize int: magnitude of more than 523000 bits$"):
            dump_bytes([1, value])


UNEXPECTED = [
    set(), frozenset(), type("Text", (str,), {})("a"), type("Number", (int,), {})(1), enum.IntEnum("Color", {"RED": 1}).RED,
    collections.OrderedDict(), collections.defaultdict(int), bytearray(b"a"), 1j, object(), datetime.date(2024, 5, 1),
    datetime.time(12), datetime.timedelta(1), range(2),
]


@pytest.mark.parametrize("value", UNEXPECTED, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("serialize_dates", [False, True])
@pytest.mark.parametrize("where", ["top", "list", "dict value", "dict key", "like dicts"])
def test_value_of_unsupported_type_is_refused(value, serialize_dates, where):
    obj = {
        "top": value, "list": [1, value], "dict value": {"a": value}, "like dicts": [{"a": 1}, {"a": value}],
        "dict key": {0: 2, value: 3} if value.__hash__ else {0: value},
    }[where]
    with pytest.raises(SerializationError) as caught:
        dump_bytes(obj, serialize_dates=serialize_dates)
    assert str(caught.value) == f"Unexpected type: {type(value)!r}"


SURROGATE = "Failed to serialize str: it cannot be encoded as UTF-8"


@pytest.mark.parametrize(("obj", "message"), [
    ({(1, 2): 3}, "Invalid type for dict key: tuple"),
    ({"a": 1, (): 3}, "Invalid type for dict key: tuple"),
    ([{1: 0, (1,): 2}], "Invalid type for dict key: tuple"),
    (datetime.datetime(2024, 5, 1), "Unexpected type: datetime, with flag serialize_dates disabled"),
    ({"a": [datetime.datetime.now()]}, "Unexpected type: datetime, with flag serialize_dates disabled"),
    *((obj, SURROGATE) for obj in ["\ud800", ["ok", "a\udfffb"], {"\ud800": 1}, {1: 2, "\ud800": 3},
                                   [{"\ud800": 1}, {"\ud800": 2}], {"k": "\udc80"}]),
])
def test_unencodable_value_message(obj, message):
    with pytest.raises(SerializationError) as caught:
        dump_bytes(obj)
    assert str(caught.value) == message
    if message == SURROGATE:
        assert isinstance(caught.value.__cause__, UnicodeEncodeError)


# Each in a fresh interpreter, so a crash fails one test only; 200,000 levels
# are far past the recursion limit and would overflow the C stack unguarded.
DEEP_CASES = {
    "self-containing list": "v = []; v.append(v)",
    "self-containing dict": "v = {}; v['a'] = v",
    "self-containing mixed-key dict": "v = {}; v[1] = v",
    "list inside its own tuple": "l = []; v = (l,); l.append(v)",
    "converter returning its input": "v = Box(None); custom = {Box: CustomType('c', lambda o: o)}",
    "nested lists": "v = nest(lambda v: [v])",
    "nested tuples": "v = nest(lambda v: (v,))",
    "nested dicts": "v = nest(lambda v: {'k': v})",
    "nested mixed-key dicts": "v = nest(lambda v: {1: v})",
    "nested lists of like dicts": "v = nest(lambda v: [{'k': v}, {'k': 0}])",
    "nested custom values": "v = nest(Box)",
}
DEEP = """
from pyquarl import CustomType, SerializationError, dump_bytes
class Box:
    def __init__(self, inner):
        self.inner = inner
def nest(make, depth=200_000):
    value = None
    for _ in range(depth):
        value = make(value)
    return value
custom = {{Box: CustomType('b', lambda box: box.inner)}}
{setup}
for options in ({{}}, {{'writer': open('/dev/null', 'wb')}}, {{}}):
    try:
        dump_bytes(v, custom_types=custom, **options)
    except RecursionError:
        print('RecursionError')
    except SerializationError as e:  # a converter that ran out of recursion budget
        assert isinstance(e.__cause__, RecursionError), repr(e.__cause__)
        print('RecursionError')
print(dump_bytes([[1]]) == b'<o>\\x0d\\x01\\x0d\\x01\\x1f')
"""


@pytest.mark.parametrize("setup", DEEP_CASES.values(), ids=DEEP_CASES.keys())
def test_unbounded_nesting_raises_recursion_error(setup):
    assert run_isolated(DEEP.format(setup=setup)).split() == ["RecursionError"] * 3 + ["True"]
