"""Custom-type values: loaders looked up by identifier, called with the
decoded value, and every way that can go wrong."""

import gc
import textwrap

import pytest

from helpers_decode import (
    INVALID_ASCII,
    LOADER_FAILED,
    ascii_str,
    assert_fails,
    doc,
    invalid_key,
    run_isolated,
    unknown_custom_type,
)
from pyquarl import CustomType, DeserializationError, dump_bytes, load_bytes

P_ONE = doc("18 12 01 70 1F")  # identifier "p", value 1


class Box:
    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return type(other) is Box and other.value == self.value

    __hash__ = None


class LikeP:
    """Not a str, but equal to "p" and hashing like it."""

    def __hash__(self):
        return hash("p")

    def __eq__(self, other):
        return other == "p"


def boxed(value):
    return Box(value)


@pytest.mark.parametrize(
    "data, key",
    [
        (P_ONE, "p"),
        (P_ONE, "".join(["p"])),  # an equal str, not the same object
        (P_ONE, LikeP()),
        (doc("18 0A 01 70 1F"), "p"),  # identifier written as UTF-8 text
        (doc("18 1F 1F"), 1),
        (doc("18 1F 1F"), 1.0),
        (doc("18 1F 1F"), True),
        (doc("18 09 3F F0 00 00 00 00 00 00 1F"), 1),
        (doc("18 07 FF 00 00 00 00 00 00 00 00 02 FF 1F"), 255 + 2 * 255**8),
        (doc("18 0B 01 70 1F"), b"p"),
        (doc("18 04 1F"), None),
        (doc("18 00 1F"), ""),
        (doc("18 0D 02 1F 20 1F"), (1, 2)),  # with use_tuples only, below
    ],
    ids=["str", "equal-str", "equal-object", "utf8-str", "int", "float-key", "bool-key", "float-identifier", "big-int", "bytes", "none", "empty-str", "tuple"],
)
def test_loader_found_by_equality(data, key):
    options = {"use_tuples": True} if isinstance(key, tuple) else {}
    assert load_bytes(data, custom_types={key: boxed}, **options) == Box(1)


@pytest.mark.parametrize(
    "data, loaders, identifier",
    [
        (P_ONE, None, "p"),
        (P_ONE, {}, "p"),
        (P_ONE, {"P": boxed, b"p": boxed}, "p"),
        (doc("18 1F 1F"), {"1": boxed}, 1),
        (doc("18 0B 01 70 1F"), {"p": boxed}, b"p"),
        (doc("18 09 3F F8 00 00 00 00 00 00 1F"), {1: boxed}, 1.5),
        (doc("18 04 1F"), {"None": boxed}, None),
        (doc("18 03 1F"), {0.5: boxed}, False),
        (doc("18 0A 02 C3 A9 1F"), {"e": boxed}, "é"),
        (doc("18 12 05 25 73 25 64 25 1F"), {"%s": boxed}, "%s%d%"),
        (doc("18 0D 01 1F 1F"), {(1,): boxed}, [1]),  # a list cannot be looked up
        (doc("18 10 01 02 FE 61 1F 1F"), {"a": boxed}, {"a": 1}),
    ],
)
def test_unknown_identifier_message(data, loaders, identifier):
    options = {} if loaders is None else {"custom_types": loaders}
    assert_fails(data, DeserializationError, unknown_custom_type(identifier), **options)


def test_unknown_unhashable_identifier_keeps_the_lookup_error():
    error = assert_fails(doc("18 0D 01 1F 1F"), DeserializationError, unknown_custom_type([1]), custom_types={"x": boxed})
    assert isinstance(error.__cause__, TypeError)


def test_identifier_whose_str_fails():
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    # the inner custom value builds the identifier of the outer one
    data = doc("18 18 12 01 75 1F 1F")
    with pytest.raises(MemoryError):
        load_bytes(data, custom_types={"u": lambda value: Unprintable()})


def test_value_is_decoded_before_the_identifier_is_looked_up():
    # a corrupt value is reported even though the identifier is unknown too
    assert_fails(doc("18 12 01 70 12 01 80"), DeserializationError, INVALID_ASCII)


def test_loaders_run_in_document_order():
    calls = []

    def record(name):
        def loader(value):
            calls.append((name, value))
            return name

        return loader

    # [a(1), b(a(2)), a(3)] with "a" and "b" both inline then referenced
    data = doc("0D 03 18 12 01 61 1F 18 12 01 62 18 14 00 20 18 14 00 21")
    assert load_bytes(data, custom_types={"a": record("A"), "b": record("B")}) == ["A", "B", "A"]
    assert calls == [("A", 1), ("A", 2), ("B", "A"), ("A", 3)]


def test_identifier_and_value_strings_take_reference_numbers():
    data = doc("0D 03 18 12 01 70 12 01 76 14 00 14 01")
    assert load_bytes(data, custom_types={"p": boxed}) == [Box("v"), "p", "v"]


@pytest.mark.parametrize("loader, expected", [(Box, Box(1)), (list, None), (str, "1"), (frozenset, None)])
def test_classes_are_loaders(loader, expected):
    data = doc("18 12 01 70 0D 02 1F 20") if expected is None else P_ONE
    result = load_bytes(data, custom_types={"p": loader})
    assert type(result) is loader
    if expected is not None:
        assert result == expected


@pytest.mark.parametrize("value", [5, "f", None, b"", CustomType("p", str)])
def test_loaders_must_be_callable(value):
    for loaders in ({"p": value}, {"a": str, "p": value, "z": str}):
        with pytest.raises(TypeError) as info:
            load_bytes(doc("1F"), custom_types=loaders)
        assert str(info.value) == "custom_types value must be a function"


def test_loader_gets_exactly_the_decoded_value():
    seen = []

    def loader(*args, **kwargs):
        seen.append((args, kwargs))
        return "done"

    assert load_bytes(doc("18 12 01 70 0D 02 1F 20"), custom_types={"p": loader}) == "done"
    assert seen == [(([1, 2],), {})]


def test_loader_result_is_used_as_is():
    sentinel = object()
    assert load_bytes(P_ONE, custom_types={"p": lambda value: sentinel}) is sentinel
    assert load_bytes(doc("0D 01 18 12 01 70 1F"), custom_types={"p": lambda value: None}) == [None]


def test_use_tuples_reaches_the_loader():
    seen = []

    def loader(value):
        seen.append(value)
        return value

    data = doc("18 12 01 70 0D 03 0D 01 1F 0E 0C 02 80 10 01 02 FE 6B 0D 00")
    load_bytes(data, custom_types={"p": loader}, use_tuples=True)
    load_bytes(data, custom_types={"p": loader})
    assert seen[0] == ((1,), (True, False), {"k": ()}) and type(seen[0]) is tuple
    assert seen[1] == [[1], [True, False], {"k": []}] and type(seen[1]) is list


@pytest.mark.parametrize("error", [ValueError("bad"), KeyError("k"), TypeError("t"), DeserializationError("inner"), RecursionError()])
def test_loader_that_raises(error):
    def loader(value):
        raise error

    failure = assert_fails(doc("0D 02 1F 18 12 01 70 1F"), DeserializationError, LOADER_FAILED, custom_types={"p": loader})
    assert failure.__cause__ is error


def test_custom_values_as_keys():
    loaders = {"p": lambda value: ("k", value), "l": list}
    assert load_bytes(doc("0F 01 18 12 01 70 1F 20"), custom_types=loaders) == {("k", 1): 2}
    rows = load_bytes(doc("13 02 01 18 12 01 70 1F 20 21"), custom_types=loaders)
    assert rows == [{("k", 1): 2}, {("k", 1): 3}]
    assert_fails(doc("0F 01 18 12 01 6C 05 20"), DeserializationError, invalid_key(list), custom_types=loaders)


# ---- loaders that interfere with the call -----------------------------------


@pytest.mark.parametrize(
    "mutation",
    [
        lambda buffer: buffer.clear(),
        lambda buffer: buffer.extend(b"\x00" * 4096),
        lambda buffer: buffer.__delitem__(slice(0, 3)),
        lambda buffer: buffer.append(0),
        lambda buffer: buffer.__setitem__(slice(3, 4), b""),
    ],
    ids=["clear", "extend", "delete", "append", "shrink-slice"],
)
def test_loader_cannot_resize_the_bytearray_being_decoded(mutation):
    original = doc("0D 03 18 12 01 70 1F 12 04 74 61 69 6C 14 00")
    buffer = bytearray(original)

    def loader(value):
        mutation(buffer)
        return value

    error = assert_fails(buffer, DeserializationError, LOADER_FAILED, custom_types={"p": loader})
    assert isinstance(error.__cause__, BufferError)
    assert buffer == original
    # the export ends with the call
    buffer.extend(b"\x1f")
    assert buffer[-1] == 0x1F


def test_loader_that_catches_buffer_error_lets_decoding_go_on():
    buffer = bytearray(doc("0D 03 18 12 01 70 1F 12 04 74 61 69 6C 14 00"))

    def loader(value):
        with pytest.raises(BufferError):
            buffer.clear()
        return Box(value)

    assert load_bytes(buffer, custom_types={"p": loader}) == [Box(1), "tail", "p"]


def test_bytearray_is_released_after_a_failed_decode():
    buffer = bytearray(doc("0D 02 1F"))
    with pytest.raises(DeserializationError):
        load_bytes(buffer)
    buffer += b"\x20"
    assert load_bytes(buffer) == [1, 2]


def test_loader_decoding_another_document():
    inner = bytearray(doc("0D 01 12 01 70"))
    outer = bytearray(doc("0D 02 18 12 01 70 1F 14 00"))

    def loader(value):
        return load_bytes(inner) + [value]

    assert load_bytes(outer, custom_types={"p": loader}) == [["p", 1], "p"]


def test_loader_that_edits_custom_types_mid_call():
    loaders = {}

    def first(value):
        loaders.clear()
        gc.collect()
        return ("first", value)

    loaders["p"] = first
    loaders["q"] = lambda value: ("second", value)
    data = doc("0D 02 18 12 01 70 1F 18 12 01 71 20")
    # the loaders given at the call stay in force for the whole call
    assert load_bytes(data, custom_types=loaders) == [("first", 1), ("second", 2)]
    assert loaders == {}


def test_roundtrip_through_custom_types():
    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

    value = {"a": Point(1, 2), "b": [Point(3, 4), "pt", Point(-(2**70), 0.5)]}
    data = dump_bytes(value, custom_types={Point: CustomType("pt", lambda p: [p.x, p.y])})
    result = load_bytes(data, custom_types={"pt": tuple})
    assert result == {"a": (1, 2), "b": [(3, 4), "pt", (-(2**70), 0.5)]}
    # the identifier of the later values is a back-reference to the first
    assert data.count(ascii_str("pt")) == 1


# A list with one custom value in the middle of each container kind: the
# loader runs while the enclosing list, tuple or rows are only partly built.
PARTLY_BUILT = textwrap.dedent(
    """
    import gc
    from pyquarl import load_bytes
    data = bytes.fromhex("3C6F3E 0D03 12066D61726B6572 0D02 18120170 1F 1F 1302011201611F 18 14 01 1F")
    def loader(value):
        {body}
        return value
    for use_tuples in (False, True):
        print(load_bytes(data, custom_types={{"p": loader}}, use_tuples=use_tuples))
    """
)


def test_loader_collecting_garbage_mid_decode():
    output = run_isolated(PARTLY_BUILT.format(body="gc.collect()"))
    assert output.splitlines() == [
        "['marker', [1, 1], [{'a': 1}, {'a': 1}]]",
        "('marker', (1, 1), ({'a': 1}, {'a': 1}))",
    ]


def test_loader_walking_every_object_mid_decode():
    # Containers being filled are hidden from the collector, so a loader that
    # walks every object never meets an empty slot.
    body = "for o in gc.get_objects():\n            if type(o) in (list, tuple): list(o)"
    output = run_isolated(PARTLY_BUILT.format(body=body))
    assert output.splitlines() == [
        "['marker', [1, 1], [{'a': 1}, {'a': 1}]]",
        "('marker', (1, 1), ({'a': 1}, {'a': 1}))",
    ]
