"""Custom-type values: loaders looked up by identifier, called with the decoded
value, and every way that can go wrong."""

import gc
import textwrap

import pytest

from conftest import INVALID_ASCII, LOADER_FAILED, doc, invalid_key, load_fails, run_isolated, unknown_custom_type
from pyquarl import DeserializationError, load_bytes

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


@pytest.mark.parametrize("data, key", [
    (P_ONE, "p"), (P_ONE, "".join(["p"])), (P_ONE, LikeP()), (doc("18 0A 01 70 1F"), "p"), (doc("18 1F 1F"), 1),
    (doc("18 1F 1F"), 1.0), (doc("18 09 3F F0 00 00 00 00 00 00 1F"), 1), (doc("18 0B 01 70 1F"), b"p"),
    (doc("18 07 FF 00 00 00 00 00 00 00 00 02 FF 1F"), 255 + 2 * 255**8), (doc("18 04 1F"), None),
    (doc("18 00 1F"), ""), (doc("18 0D 02 1F 20 1F"), (1, 2)),  # a tuple identifier needs use_tuples
], ids=["str", "equal-str", "equal-object", "utf8-str", "int", "float-key", "float-identifier", "bytes", "big-int",
        "none", "empty-str", "tuple"])
def test_loader_found_by_equality(data, key):
    assert load_bytes(data, custom_types={key: Box}, use_tuples=isinstance(key, tuple)) == Box(1)


@pytest.mark.parametrize("data, loaders, identifier", [
    (P_ONE, {}, "p"), (P_ONE, {"P": Box, b"p": Box}, "p"), (doc("18 0B 01 70 1F"), {"p": Box}, b"p"),
    (doc("18 09 3F F8 00 00 00 00 00 00 1F"), {1: Box}, 1.5), (doc("18 04 1F"), {"None": Box}, None),
    (doc("18 03 1F"), {0.5: Box}, False), (doc("18 0A 02 C3 A9 1F"), {"e": Box}, "é"),
    (doc("18 12 05 25 73 25 64 25 1F"), {"%s": Box}, "%s%d%"), (doc("18 10 01 02 FE 61 1F 1F"), {"a": Box}, {"a": 1}),
    (doc("18 0D 01 1F 1F"), {(1,): Box}, [1]),  # a list cannot be looked up: the lookup's TypeError is the cause
])
def test_unknown_identifier_message(data, loaders, identifier):
    error = load_fails(data, DeserializationError, unknown_custom_type(identifier), custom_types=loaders)
    assert isinstance(error.__cause__, TypeError) or type(identifier) is not list


def test_identifier_whose_str_fails_is_a_memory_error():
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    # the inner custom value builds the identifier of the outer one
    with pytest.raises(MemoryError):
        load_bytes(doc("18 18 12 01 75 1F 1F"), custom_types={"u": lambda value: Unprintable()})


def test_value_is_decoded_before_the_identifier_is_looked_up():
    # a corrupt value is reported even though the identifier is unknown too
    load_fails(doc("18 12 01 70 12 01 80"), DeserializationError, INVALID_ASCII)


def test_loaders_run_in_document_order_on_exactly_the_decoded_value():
    calls = []

    def record(name):
        def loader(*args, **kwargs):
            calls.append((name, args, kwargs))
            return name
        return loader

    # [a(1), b(a(2)), a(3)] with "a" and "b" both inline then referenced
    data = doc("0D 03 18 12 01 61 1F 18 12 01 62 18 14 00 20 18 14 00 21")
    assert load_bytes(data, custom_types={"a": record("A"), "b": record("B")}) == ["A", "B", "A"]
    assert calls == [("A", (1,), {}), ("A", (2,), {}), ("B", ("A",), {}), ("A", (3,), {})]
    # identifier and value strings take reference numbers
    assert load_bytes(doc("0D 03 18 12 01 70 12 01 76 14 00 14 01"), custom_types={"p": Box}) == [Box("v"), "p", "v"]


def test_use_tuples_reaches_the_loader_and_its_result_is_used_as_is():
    seen, sentinel = [], object()
    data = doc("18 12 01 70 0D 03 0D 01 1F 0E 0C 02 80 10 01 02 FE 6B 0D 00")
    assert load_bytes(data, custom_types={"p": lambda value: seen.append(value) or sentinel}, use_tuples=True) is sentinel
    load_bytes(data, custom_types={"p": seen.append})
    assert seen[0] == ((1,), (True, False), {"k": ()}) and type(seen[0]) is tuple
    assert seen[1] == [[1], [True, False], {"k": []}] and type(seen[1]) is list
    assert load_bytes(doc("0D 01 18 12 01 70 1F"), custom_types={"p": lambda value: None}) == [None]


@pytest.mark.parametrize("error", [ValueError("bad"), DeserializationError("inner"), RecursionError()])
def test_loader_that_raises(error):
    def loader(value):
        raise error

    failure = load_fails(doc("0D 02 1F 18 12 01 70 1F"), DeserializationError, LOADER_FAILED, custom_types={"p": loader})
    assert failure.__cause__ is error


def test_custom_values_as_keys():
    loaders = {"p": lambda value: ("k", value), "l": list}
    assert load_bytes(doc("0F 01 18 12 01 70 1F 20"), custom_types=loaders) == {("k", 1): 2}
    assert load_bytes(doc("13 02 01 18 12 01 70 1F 20 21"), custom_types=loaders) == [{("k", 1): 2}, {("k", 1): 3}]
    load_fails(doc("0F 01 18 12 01 6C 05 20"), DeserializationError, invalid_key(list), custom_types=loaders)


BUFFERED = doc("0D 03 18 12 01 70 1F 12 04 74 61 69 6C 14 00")


@pytest.mark.parametrize("mutation", [
    bytearray.clear, lambda buffer: buffer.append(0), lambda buffer: buffer.__setitem__(slice(3, 4), b""),
], ids=["clear", "append", "shrink-slice"])
def test_loader_cannot_resize_the_bytearray_being_decoded(mutation):
    buffer = bytearray(BUFFERED)
    error = load_fails(buffer, DeserializationError, LOADER_FAILED, custom_types={"p": lambda value: mutation(buffer)})
    assert isinstance(error.__cause__, BufferError) and buffer == BUFFERED
    buffer.extend(b"\x1f")  # the export ends with the call
    truncated = bytearray(doc("0D 02 1F"))
    with pytest.raises(DeserializationError):
        load_bytes(truncated)
    truncated += b"\x20"  # and with a failure of the document itself
    assert load_bytes(truncated) == [1, 2]


def test_loader_that_catches_buffer_error_lets_decoding_go_on():
    buffer = bytearray(BUFFERED)

    def loader(value):
        with pytest.raises(BufferError):
            buffer.clear()
        return Box(value)

    assert load_bytes(buffer, custom_types={"p": loader}) == [Box(1), "tail", "p"]


def test_loader_that_edits_custom_types_mid_call():
    loaders = {}

    def first(value):
        loaders.clear()
        gc.collect()
        return ("first", value)

    loaders.update(p=first, q=lambda value: ("second", value))
    # the loaders given at the call stay in force for the whole call
    assert load_bytes(doc("0D 02 18 12 01 70 1F 18 12 01 71 20"), custom_types=loaders) == [("first", 1), ("second", 2)]
    assert loaders == {}


# A custom value in the middle of a list, a tuple and rows: the loader runs while
# they are only partly built. Containers being filled are hidden from the
# collector, so a collection or a walk over every object never meets an empty slot.
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


@pytest.mark.parametrize("body", [
    "gc.collect()", "for o in gc.get_objects():\n            if type(o) in (list, tuple): list(o)",
], ids=["collect", "walk-every-object"])
def test_loader_touching_the_collector_mid_decode(body):
    assert run_isolated(PARTLY_BUILT.format(body=body)).splitlines() == [
        "['marker', [1, 1], [{'a': 1}, {'a': 1}]]", "('marker', (1, 1), ({'a': 1}, {'a': 1}))"]
