"""load_bytes argument handling: the buffer, the three flags, the collector
switch and extra data after the value."""

import collections
import gc

import pytest

from helpers_decode import END_OF_INPUT, MISSING_MARKER, assert_fails, doc, extra_data
from pyquarl import DeserializationError, load_bytes

ONE = doc("1F")


class Raises:
    """An option value whose truth test fails."""

    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def positional_count(n):
    return f"load_bytes() expected exactly 1 positional argument, but {n} were provided"


def buffer_type(value):
    return f"buffer must be of type `bytes` or `bytearray` but got `{type(value)!r}`"


def unexpected_keyword(name):
    return f"load_bytes() got an unexpected keyword argument '{name}'"


MULTIPLE = "load_bytes() got multiple values for argument 'buffer'"


class BytesChild(bytes):
    pass


class ByteArrayChild(bytearray):
    pass


class BytesWithOtherBuffer(bytes):
    """Offers other memory through the buffer protocol; the object's own
    storage is what must be decoded."""

    def __buffer__(self, flags):
        return memoryview(doc("20"))


class ByteArrayWithOtherBuffer(bytearray):
    def __buffer__(self, flags):
        return memoryview(doc("20"))


@pytest.mark.parametrize(
    "buffer", [ONE, bytearray(ONE), BytesChild(ONE), ByteArrayChild(ONE), BytesWithOtherBuffer(ONE), ByteArrayWithOtherBuffer(ONE)],
    ids=type,
)
def test_accepted_buffers(buffer):
    assert load_bytes(buffer) == 1
    assert load_bytes(buffer=buffer) == 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: load_bytes(), positional_count(0)),
        (lambda: load_bytes(ONE, ONE), positional_count(2)),
        (lambda: load_bytes(ONE, ONE, ONE, use_tuples=True), positional_count(3)),
        (lambda: load_bytes(use_tuples=True), positional_count(0)),
        (lambda: load_bytes(ONE, buffer=ONE), MULTIPLE),
        (lambda: load_bytes(ONE, ONE, buffer=ONE), MULTIPLE),
        (lambda: load_bytes("<o>\x1f"), buffer_type("")),
        (lambda: load_bytes(buffer="<o>\x1f"), buffer_type("")),
        (lambda: load_bytes(memoryview(ONE)), buffer_type(memoryview(b""))),
        (lambda: load_bytes(None), buffer_type(None)),
        (lambda: load_bytes([60, 111, 62, 31]), buffer_type([])),
        (lambda: load_bytes(ONE, foo=1), unexpected_keyword("foo")),
        (lambda: load_bytes(foo=1), unexpected_keyword("foo")),
        (lambda: load_bytes(ONE, **{"ünï": 1}), unexpected_keyword("ünï")),
        (lambda: load_bytes(ONE, Buffer=ONE), unexpected_keyword("Buffer")),
        (lambda: load_bytes(ONE, use_tuple=True), unexpected_keyword("use_tuple")),
        # keywords are examined in order, before the positional count
        (lambda: load_bytes(ONE, ONE, foo=1), unexpected_keyword("foo")),
        (lambda: load_bytes(buffer="x", foo=1), buffer_type("")),
        (lambda: load_bytes(foo=1, buffer="x"), unexpected_keyword("foo")),
        (lambda: load_bytes(ONE, custom_types=[], foo=1), "custom_types must be a dict"),
        (lambda: load_bytes(ONE, custom_types=None), "custom_types must be a dict"),
        (lambda: load_bytes(ONE, custom_types=collections.ChainMap({})), "custom_types must be a dict"),
        (lambda: load_bytes(ONE, custom_types={"a": len, "b": 5}), "custom_types value must be a function"),
        (lambda: load_bytes(ONE, custom_types={"a": "len"}), "custom_types value must be a function"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_custom_types_accepts_dict_subclasses_and_any_keys():
    loaders = collections.OrderedDict([((1, 2), len), (None, str), (b"k", list)])
    assert load_bytes(ONE, custom_types=loaders) == 1
    assert load_bytes(ONE, custom_types=collections.defaultdict(int)) == 1


@pytest.mark.parametrize("option", ["use_tuples", "stop_gc", "ignore_extra_data"])
def test_failing_truth_test_fails_the_call(option):
    assert gc.isenabled()
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        load_bytes(ONE, **{option: Raises()})
    assert gc.isenabled()


@pytest.mark.parametrize(
    "value, expected", [(True, (1,)), (1, (1,)), ("yes", (1,)), ([0], (1,)), (False, [1]), (0, [1]), ("", [1]), (None, [1])]
)
def test_use_tuples_takes_the_truth_value(value, expected):
    assert load_bytes(doc("0D 01 1F"), use_tuples=value) == expected


@pytest.mark.parametrize("value", [True, 2, "x", [None]])
def test_ignore_extra_data_takes_the_truth_value(value):
    assert load_bytes(doc("1F 1F 1F"), ignore_extra_data=value) == 1


@pytest.mark.parametrize("value", [False, 0, "", [], None])
def test_extra_data_refused_unless_asked(value):
    assert_fails(doc("1F 1F"), DeserializationError, extra_data(4), ignore_extra_data=value)


@pytest.mark.parametrize(
    "data, position",
    [(doc("1F 00"), 4), (doc("0D 02 1F 20 21"), 7), (doc("13 02 01 12 01 61 1F 20 FF FF"), 11), (doc("0E 04 FF FF 1F"), 7)],
)
def test_extra_data_position_counts_from_document_start(data, position):
    assert_fails(data, DeserializationError, extra_data(position))
    assert_fails(bytearray(data), DeserializationError, extra_data(position))


def test_extra_data_ignored_after_any_value():
    # garbage that would not even decode is never looked at
    assert load_bytes(doc("0D 01 1F 0C 19 FF"), ignore_extra_data=True) == [1]


# ---- stop_gc -------------------------------------------------------------


def watch_gc(value):
    seen.append(gc.isenabled())
    return value


seen = []
WATCH = {"w": watch_gc}
WATCHED = doc("18 12 01 77 1F")  # the loader runs in the middle of the decode


@pytest.fixture
def gc_state():
    was_enabled = gc.isenabled()
    seen.clear()
    yield
    gc.enable() if was_enabled else gc.disable()


@pytest.mark.parametrize(
    "data, options, error",
    [
        (WATCHED, {}, None),
        (b"", {}, MISSING_MARKER),
        (doc(), {}, END_OF_INPUT),
        (doc("0D 02 18 12 01 77 1F"), {}, END_OF_INPUT),
        (WATCHED + b"\x1f", {}, extra_data(8)),
        (doc("18 12 01 77 1F"), {"custom_types": {"w": lambda v: 1 / 0}}, "Failed to deserialize custom type"),
        (doc("0D 01" * 100_000 + "1F"), {}, "RecursionError"),
    ],
    ids=["success", "no-marker", "truncated", "truncated-after-loader", "extra-data", "loader-raises", "too-deep"],
)
def test_stop_gc_restores_the_collector_on_every_exit(gc_state, data, options, error):
    options = {"custom_types": WATCH, **options}
    for buffer in (data, bytearray(data)):
        gc.enable()
        if error is None:
            assert load_bytes(buffer, stop_gc=True, **options) == 1
        else:
            with pytest.raises((DeserializationError, RecursionError)) as info:
                load_bytes(buffer, stop_gc=True, **options)
            assert error in (str(info.value), type(info.value).__name__)
        assert gc.isenabled()
    assert set(seen) <= {False}


def test_without_stop_gc_loaders_see_the_collector_enabled(gc_state):
    gc.enable()
    assert load_bytes(WATCHED, custom_types=WATCH) == 1
    assert load_bytes(WATCHED, custom_types=WATCH, stop_gc=0) == 1
    assert seen == [True, True]


def test_stop_gc_leaves_a_disabled_collector_disabled(gc_state):
    gc.disable()
    assert load_bytes(WATCHED, custom_types=WATCH, stop_gc=True) == 1
    assert not gc.isenabled()
    with pytest.raises(DeserializationError):
        load_bytes(doc("0D 02 18 12 01 77 1F"), custom_types=WATCH, stop_gc=True)
    assert not gc.isenabled()
    assert seen == [False, False]

