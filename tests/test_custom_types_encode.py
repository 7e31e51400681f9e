"""Registered custom types and datetimes, and Python code run in the middle of a
dump (converters) that drops the last reference to what is being written."""

import collections
import datetime
import enum

import pytest

from conftest import ascii_str
from pyquarl import CustomType, SerializationError, dump_bytes


def body(obj, **options):
    return dump_bytes(obj, **options)[3:]


class P:
    def __init__(self, x=1, y=2):
        self.x, self.y = x, y


class SubP(P):
    pass


class SubSubP(SubP):
    pass


def as_list(p):
    return [p.x, p.y]


Count = type("Count", (int,), {})
Shade = enum.IntEnum("Shade", {"DARK": 3})

PT = CustomType("p", as_list)
PLUS_ONE = CustomType("i", lambda v: int(v) + 1, include_subclasses=True)


@pytest.mark.parametrize(("value", "custom_types", "encoded"), [
    (P(), {P: PT}, "18 12 01 70 0D 02 1F 20"),
    ([P(), P(3, 4)], {P: PT}, "0D 02 18 12 01 70 0D 02 1F 20 18 14 00 0D 02 21 22"),
    (["p", P()], {P: PT}, "0D 02 12 01 70 18 14 00 0D 02 1F 20"),
    ({"p": P()}, {P: PT}, "10 01 02 FE 70 18 14 00 0D 02 1F 20"),
    ({P(): 0}, {P: PT}, "0F 01 18 12 01 70 0D 02 1F 20 1E"),
    ([{"k": P()}, {"k": P(5, 6)}], {P: PT}, "13 02 01 12 01 6B 18 12 01 70 0D 02 1F 20 18 14 01 0D 02 23 24"),
    (P(), {P: CustomType(7, as_list)}, "18 25 0D 02 1F 20"),
    (P(), type("Registry", (dict,), {})({P: CustomType(7, lambda p: None)}), "18 25 04"),
    (P(), {P: CustomType(None, lambda p: None)}, "18 04 04"),
    (P(), {P: CustomType(("a", 1), lambda p: "a")}, "18 0D 02 12 01 61 1F 14 00"),
    (P(), {P: CustomType("p", lambda p: {"a": 1}, one_way=True)}, "10 01 02 FE 61 1F"),
    ([P(), P()], {P: CustomType("p", lambda p: "v", one_way=True)}, "0D 02 12 01 76 14 00"),
    (P(), {P: CustomType("p", lambda p: "v", one_way=1)}, "18 12 01 70 12 01 76"),
    (P(), {P: PT, SubP: CustomType("s", lambda p: SubP())}, "18 12 01 70 0D 02 1F 20"),
    (SubP(), {P: PT, SubP: CustomType("s", lambda p: P(5, 6))}, "18 12 01 73 18 12 01 70 0D 02 23 24"),
    (SubP(), {P: CustomType("p", as_list, include_subclasses=True)}, "18 12 01 70 0D 02 1F 20"),
    (SubSubP(), {P: CustomType("p", as_list, include_subclasses=True)}, "18 12 01 70 0D 02 1F 20"),
    (True, {bool: PT, int: PT}, "02"),
    (Count(3), {int: PLUS_ONE}, "18 12 01 69 22"),
    (Shade.DARK, {int: PLUS_ONE}, "18 12 01 69 22"),
    # a dict subclass among dicts: no list of like dicts
    ([{"a": 1}, collections.OrderedDict(a=2)], {collections.OrderedDict: CustomType("o", dict, one_way=True)},
     "0D 02 10 01 02 FE 61 1F 10 01 FE 00 20"),
    ([1, "a", 1.5, None], {int: PT, str: PT, float: PT, type(None): PT}, "0D 04 1F 12 01 61 09 3F F8 00 00 00 00 00 00 04"),
])
def test_custom_type_encoding(value, custom_types, encoded):
    assert body(value, custom_types=custom_types) == bytes.fromhex(encoded)


BASE = CustomType("base", lambda o: "base", include_subclasses=True)
EXACT = CustomType("exact", lambda o: "exact")


@pytest.mark.parametrize(("custom_types", "identifier"), [
    ({P: BASE, SubP: EXACT}, "base"),  # an earlier base entry wins over an exact one
    ({SubP: EXACT, P: BASE}, "exact"),
    ({P: CustomType("base", str), SubP: EXACT}, "exact"),  # not applicable without include_subclasses
    ({object: CustomType("object", lambda o: "o", include_subclasses=True), P: BASE}, "object"),
])
def test_first_applicable_entry_in_dict_order_wins(custom_types, identifier):
    assert body(SubP(), custom_types=custom_types).startswith(b"\x18" + ascii_str(identifier))


@pytest.mark.parametrize(("value", "custom_types"), [
    (SubP(), {P: PT}),
    (SubP(), {P: CustomType("p", as_list, include_subclasses=1)}),  # only True itself counts
    (Count(3), {int: PT}),
    (Shade.DARK, {int: PT}),
    (P(), {SubP: CustomType("s", as_list, include_subclasses=True)}),
])
def test_unmatched_type_is_refused(value, custom_types):
    with pytest.raises(SerializationError) as caught:
        dump_bytes(value, custom_types=custom_types)
    assert str(caught.value) == f"Unexpected type: {type(value)!r}"


NOON = datetime.datetime(2024, 5, 1, 12)


class Stamp(datetime.datetime):
    def isoformat(self, *args, **kwargs):
        return "overridden"

    def __str__(self):
        return "overridden"


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["converter", "isoformat"])
def test_interrupt_raised_mid_dump_passes_unchanged(interrupt, where):
    class Stop(datetime.tzinfo):
        def utcoffset(self, dt):
            raise interrupt

    def converter(p):
        raise interrupt

    value = P() if where == "converter" else NOON.replace(tzinfo=Stop())
    with pytest.raises(interrupt):
        dump_bytes([value], custom_types={P: CustomType("p", converter)}, serialize_dates=True)


@pytest.mark.parametrize(("value", "text"), [
    (NOON, "2024-05-01T12:00:00"),
    (NOON.replace(microsecond=5), "2024-05-01T12:00:00.000005"),
    (NOON.replace(tzinfo=datetime.timezone(datetime.timedelta(hours=2))), "2024-05-01T12:00:00+02:00"),
    (NOON.replace(tzinfo=datetime.timezone.utc), "2024-05-01T12:00:00+00:00"),
    (Stamp(2024, 5, 1, 12), "2024-05-01T12:00:00"),
    (datetime.datetime(1, 1, 1), "0001-01-01T00:00:00"),
])
def test_datetime_is_written_as_base_isoformat(value, text):
    assert body(value, serialize_dates=True) == ascii_str(text)


def test_equal_datetimes_and_strings_share_one_reference():
    text = "2024-05-01T12:00:00"
    value = [text, NOON, datetime.datetime(2024, 5, 1, 12), {NOON: 1}, [{text: 1}, {text: NOON}]]
    expected = "0D 05" + ascii_str(text).hex() + "14 00 14 00 0F 01 14 00 1F 13 02 01 14 00 1F 14 00"
    assert body(value, serialize_dates=True) == bytes.fromhex(expected)


DT_CUSTOM = b"\x18" + ascii_str("dt") + ascii_str("custom")
DATE_ZERO = b"\x18" + ascii_str("d") + b"\x1e"


@pytest.mark.parametrize(("value", "custom_type", "dates", "expected"), [
    (NOON, {datetime.datetime: CustomType("dt", lambda d: "custom")}, False, DT_CUSTOM),
    (NOON, {datetime.datetime: CustomType("dt", lambda d: "custom")}, True, ascii_str("2024-05-01T12:00:00")),
    (Stamp(2024, 1, 1), {datetime.datetime: CustomType("dt", lambda d: "custom")}, False, None),
    (Stamp(2024, 1, 1), {datetime.datetime: CustomType("dt", lambda d: "custom", include_subclasses=True)}, False, DT_CUSTOM),
    (NOON, {datetime.date: CustomType("d", lambda d: 0, include_subclasses=True)}, False, DATE_ZERO),
    (NOON, {datetime.date: CustomType("d", lambda d: 0, include_subclasses=True)}, True, ascii_str("2024-05-01T12:00:00")),
    (datetime.date(2024, 5, 1), {datetime.date: CustomType("d", lambda d: 0)}, True, DATE_ZERO),
])
def test_dates_and_custom_types_order(value, custom_type, dates, expected):
    if expected is None:
        with pytest.raises(SerializationError, match="^Unexpected type: datetime, with flag serialize_dates disabled$"):
            dump_bytes(value, custom_types=custom_type, serialize_dates=dates)
    else:
        assert body(value, custom_types=custom_type, serialize_dates=dates) == expected


class Hook:
    """Encoded (one way) as whatever its function returns; the function runs
    in the middle of the dump."""

    def __init__(self, fn):
        self.fn = fn


HOOKS = {Hook: CustomType("h", lambda hook: hook.fn(), one_way=True)}
garbage = []


def churn():
    # Reuse freed memory at once, so a stale pointer would see other objects.
    garbage.append([[i, str(i) * 3, {"k": i}] for i in range(200)])


def fresh(text):
    return "".join(text)  # a str object of its own, not shared with constants


def holding(top, key, result="done", wrap=list):
    """top[key] becomes [hook, "tail"] whose hook drops top[key] while it is written."""
    top[key] = wrap([Hook(lambda: (top.__setitem__(key, None), churn(), result)[2]), fresh("tail")])
    return top


def cleared(make, make_next=None):
    """A fresh container, then a hook that empties it and returns a new one."""
    first = make()
    return [first, Hook(lambda: (first.clear(), churn(), (make_next or make)())[2])]


# Objects freed while the encoder still writes or remembers them (dropped by a
# converter, or released once written); the output is that of the untouched value.
HELD = {
    "list": (lambda: holding([None, "end"], 0), [["done", "tail"], "end"]),
    "str-key dict": (lambda: holding({"a": None, "b": 1}, "a"), {"a": ["done", "tail"], "b": 1}),
    "mixed-key dict": (lambda: holding({1: None}, 1), {1: ["done", "tail"]}),
    "tuple": (lambda: holding([None], 0, wrap=tuple), [("done", "tail")]),
    "last row": (lambda: [{"a": 1}, holding({"a": None}, "a", 2)], [{"a": 1}, {"a": [2, "tail"]}]),
    "first row": (lambda: [holding({"a": None}, "a", 2), {"a": 2}], [{"a": [2, "tail"]}, {"a": 2}]),
    "cleared list": (lambda: cleared(lambda: [fresh("alpha-1"), fresh("beta-2")]), [["alpha-1", "beta-2"]] * 2),
    # (the 0 keeps the untouched value from being a list of like dicts)
    "cleared dict": (lambda: cleared(lambda: {fresh("k-1"): fresh("v-1")}) + [0], [{"k-1": "v-1"}] * 2 + [0]),
    # a new string may take the freed one's address: it is no back-reference
    "other string": (lambda: cleared(lambda: [fresh(["gam", "ma"])], lambda: fresh(["del", "ta"])), [["gamma"], "delta"]),
    # a repeat is released once written; the next string, made right after, may
    # take its address and must still be compared by its text
    "dates": (lambda: [NOON, NOON.replace(), NOON.replace(hour=13)], [NOON.isoformat()] * 2 + ["2024-05-01T13:00:00"]),
    "values": (lambda: [Hook(lambda c=c: fresh(["ab", c])) for c in "ccd"], ["abc", "abc", "abd"]),
    "keys": (lambda: [Hook(lambda c=c: {fresh(["ab", c]): 1}) for c in "ccd"], [{"abc": 1}, {"abc": 1}, {"abd": 1}]),
}


@pytest.mark.parametrize(("make", "untouched"), HELD.values(), ids=HELD.keys())
def test_objects_freed_mid_dump_leave_output_intact(make, untouched):
    for _ in range(50):
        assert dump_bytes(make(), custom_types=HOOKS, serialize_dates=True) == dump_bytes(untouched)
    garbage.clear()


@pytest.mark.parametrize("second_row", [["a", "b"], ["b", "a"]], ids=["same key order", "other key order"])
def test_row_emptied_by_its_own_converter_is_written_whole_or_refused(second_row):
    # The row's values may have been taken before the converter ran; it must
    # then be written as it was, never with values from freed memory.
    rows = [{"a": 1, "b": 2}, {}]
    hook = Hook(lambda: (rows[1].clear(), churn(), 0)[2])
    for key in second_row:
        rows[1][key] = {"a": hook, "b": fresh("kept")}[key]
    try:
        document = dump_bytes(rows, custom_types=HOOKS)
    except SerializationError as error:
        assert str(error).startswith("Failed to serialize list of dicts")
    else:
        assert document == dump_bytes([{"a": 1, "b": 2}, {"a": 0, "b": "kept"}])
    garbage.clear()


class Text:
    def __init__(self, text):
        self.text = text


def test_strings_freed_mid_dump_never_stand_for_later_ones():
    # A converter's result is freed once written, and the next result is
    # usually made at the same address: the string table must not take that
    # new, different text for the freed one, even when the freed one was equal
    # to a string written before.
    from conftest import model_document

    fresh = CustomType("t", lambda box: "".join((box.text[:1], box.text[1:])))
    texts = ["abc", "xyz", "abd", "xyw", "a longer text, one", "a longer text, two"] * 50
    doc = [[f"s{i}" for i in range(100)], "abc", "abd", *[Text(text) for text in texts]]
    assert dump_bytes(doc, custom_types={Text: fresh}) == model_document(doc, custom_types={Text: fresh})
