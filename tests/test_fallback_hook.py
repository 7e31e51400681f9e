"""The rare-type path past custom types: subclasses written as their base type
(subclasses_as_base=True) and the default= hook for everything else."""

import collections
import enum

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import PLAIN_VALUES, assert_memory_flat, same_value
from pyquarl import CustomType, SerializationError, dump_bytes, dumps, load_bytes, loads


class Text(str):
    pass


class Number(int):
    pass


class Real(float):
    pass


class Blob(bytes):
    pass


class Items(list):
    pass


class Row(dict):
    pass


Pair = collections.namedtuple("Pair", "a b")
Level = enum.IntEnum("Level", {"LOW": 1, "HIGH": 2**70})
Colour = enum.StrEnum("Colour", {"RED": "red"})


class Reordering(dict):
    """A dict subclass whose own keys() order differs from its storage."""

    def keys(self):
        return list(reversed(list(super().keys())))

    def __iter__(self):
        return iter(self.keys())


def _moved_to_front():
    ordered = collections.OrderedDict(a=1, b=2, c=3)
    ordered.move_to_end("c", last=False)
    return ordered


# value written with subclasses_as_base=True, the plain value with the same bytes
AS_BASE = [
    (Text("héllo"), "héllo"),
    (Number(-5), -5),
    (Level.LOW, 1),
    (Level.HIGH, 2**70),
    (Colour.RED, "red"),
    (Real(2.5), 2.5),
    (Blob(b"\x00\xff"), b"\x00\xff"),
    (Items([1, Text("a")]), [1, "a"]),
    (Pair(1, [Number(2)]), [1, [2]]),
    (Row(a=Row(b=Items())), {"a": {"b": []}}),
    (collections.defaultdict(int, k=Number(3)), {"k": 3}),
    (collections.Counter("aab"), {"a": 2, "b": 1}),
    (_moved_to_front(), {"c": 3, "a": 1, "b": 2}),
    (Reordering(x=1, y=2), {"y": 2, "x": 1}),
    ({Text("k"): Text("k")}, {"k": "k"}),  # a subclass key takes the general dict form, then reads back the same
    ([Row(a=1), Row(a=2)], [{"a": 1}, {"a": 2}]),  # rows of a subclass: the general list form
]


@pytest.mark.parametrize("value, plain", AS_BASE, ids=lambda v: type(v).__name__)
def test_subclasses_are_written_as_their_base_type(value, plain):
    data = dump_bytes(value, subclasses_as_base=True)
    assert same_value(plain, load_bytes(data), ordered=True)
    # The key of a general dict is written as a value, not as a key, and
    # only exact dicts make a list of rows: the bytes differ, not the value.
    if type(value) is not dict and not (type(value) is list and type(value[0]) is Row):
        assert data == dump_bytes(plain)


def test_a_registered_subclass_keeps_its_custom_type():
    shade = CustomType("level", lambda level: level.name)
    data = dump_bytes([Level.LOW, Number(7)], subclasses_as_base=True, custom_types={Level: shade})
    back = load_bytes(data, custom_types={"level": Level.__getitem__})
    assert back[0] is Level.LOW and same_value(7, back[1])  # IntEnum members equal their ints: compare by identity


def test_a_self_containing_subclass_ends_in_recursion_error():
    items = Items()
    items.append(items)
    row = Row()
    row["self"] = row
    for value in (items, row):
        with pytest.raises(RecursionError):
            dump_bytes(value, subclasses_as_base=True)


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(PLAIN_VALUES)
def test_options_change_nothing_for_plain_values(value):
    expected = dump_bytes(value)
    assert dump_bytes(value, subclasses_as_base=True) == expected
    assert dump_bytes(value, default=repr) == expected


# ---- default= --------------------------------------------------------------


class Opaque:
    def __init__(self, inner=None):
        self.inner = inner


def unwrap(value):
    if isinstance(value, Opaque):
        return value.inner
    if isinstance(value, Number):
        return int(value)
    raise TypeError(f"cannot write {type(value).__name__}")


@pytest.mark.parametrize("value, default, expected", [
    ({1, 2}, sorted, [1, 2]),
    (Opaque("x"), unwrap, "x"),
    ([Opaque(Opaque(Opaque(5)))], unwrap, [5]),  # a result that needs the hook again gets it again
    ({"k": Opaque([Opaque(1)])}, unwrap, {"k": [1]}),  # and so does a value nested in a result
    (Text("t"), str, "t"),
    (Opaque(Number(4)), unwrap, 4),  # a subclass in a result: the hook again, which gives it back as it is
    (complex(1, 2), lambda c: [c.real, c.imag], [1.0, 2.0]),
])
def test_default_writes_what_it_returns(value, default, expected):
    assert same_value(expected, loads(dumps(value, default=default)))


def test_default_comes_after_custom_types_and_subclasses():
    seen = []

    def default(value):
        seen.append(value)
        return "fallback"

    data = dumps([Opaque(), Number(2), Opaque()], default=default, subclasses_as_base=True,
                 custom_types={Opaque: CustomType("o", lambda o: "custom", one_way=True)})
    assert loads(data) == ["custom", 2, "custom"] and seen == []


def test_a_default_that_raises_is_the_cause():
    def failing(value):
        raise ValueError("nope")

    with pytest.raises(SerializationError, match="^Failed to serialize value: default raised an exception$") as caught:
        dumps([1, {1}], default=failing)
    assert isinstance(caught.value.__cause__, ValueError)


@pytest.mark.parametrize("error", [SerializationError("refused"), RecursionError("deep")])
def test_own_errors_of_the_hook_pass_unchanged(error):
    def failing(value):
        raise error

    with pytest.raises(type(error)) as caught:
        dumps(Opaque(), default=failing)
    assert caught.value is error


@pytest.mark.parametrize("returns", [lambda v: v, lambda v: Opaque(v), lambda v: {1}])
def test_a_hook_that_never_helps_is_given_up(returns):
    calls = []

    def default(value):
        calls.append(value)
        return returns(value)

    with pytest.raises(SerializationError, match=r"still after 8 calls of default in a row$"):
        dumps(Opaque(), default=default)
    assert len(calls) == 8


@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"again": v}])
def test_a_cycle_through_the_hook_ends_in_recursion_error(wrap):
    with pytest.raises(RecursionError):
        dumps(Opaque(), default=wrap)


def test_default_must_be_callable_or_none():
    with pytest.raises(TypeError, match="^default must be callable or None$"):
        dumps(1, default=5)
    with pytest.raises(SerializationError, match="^Unexpected type: <class 'set'>$"):
        dumps({1}, default=None)


def test_hooked_dumps_hold_no_memory():
    def default(value):
        return Items([Text("made"), value.inner, {"x" * 40}])

    assert_memory_flat(lambda: dumps([Opaque("x" * 50), Text("y")], default=default, subclasses_as_base=True,
                                     custom_types={set: CustomType("s", sorted)}), runs=2000, traced_runs=200)


def test_the_hook_may_empty_the_container_being_written():
    items = [Opaque(), Opaque()]

    def default(value):
        items.clear()
        return 1

    with pytest.raises(RuntimeError, match="list changed size during iteration"):
        dumps(items, default=default)


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.integers(0, 2**80) | st.text(max_size=4), max_size=8))
def test_hooked_values_read_back_as_what_the_hook_gave(items):
    wrapped = [Opaque(item) for item in items]
    assert loads(dumps(wrapped, default=unwrap)) == items
