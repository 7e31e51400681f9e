"""load_bytes argument handling: the buffer, the three flags, the collector
switch and extra data after the value."""

import array
import collections
import gc

import pytest

from conftest import END, LOADER_FAILED, MISSING_MARKER, assert_fails, doc, extra_data, load_fails
from pyquarl import CustomType, DeserializationError, load_bytes

ONE = doc("1F")
NOT_DICT = "custom_types must be a dict"
NOT_CALLABLE = "custom_types value must be a function"
MULTIPLE = "load_bytes() got multiple values for argument 'buffer'"


def positional_count(n):
    return f"load_bytes() expected exactly 1 positional argument, but {n} were provided"


def buffer_type(value):
    return f"buffer must be of type `bytes` or `bytearray` but got `{type(value)!r}`"


def unexpected_keyword(name):
    return f"load_bytes() got an unexpected keyword argument '{name}'"


class BytesWithOtherBuffer(bytes):
    """Offers other memory through the buffer protocol; the object's own
    storage is what must be decoded."""

    def __buffer__(self, flags):
        return memoryview(doc("20"))


class ByteArrayWithOtherBuffer(bytearray):
    def __buffer__(self, flags):
        return memoryview(doc("20"))


@pytest.mark.parametrize("buffer", [ONE, bytearray(ONE), BytesWithOtherBuffer(ONE), ByteArrayWithOtherBuffer(ONE)],
                         ids=type)
def test_accepted_buffers(buffer):
    assert load_bytes(buffer) == 1
    assert load_bytes(buffer=buffer) == 1


@pytest.mark.parametrize("call, message", [
    (lambda: load_bytes(), positional_count(0)),
    (lambda: load_bytes(ONE, ONE), positional_count(2)),
    (lambda: load_bytes(ONE, ONE, ONE, use_tuples=True), positional_count(3)),
    (lambda: load_bytes(use_tuples=True), positional_count(0)),
    (lambda: load_bytes(ONE, buffer=ONE), MULTIPLE),
    (lambda: load_bytes(ONE, ONE, buffer=ONE), MULTIPLE),
    (lambda: load_bytes("<o>\x1f"), buffer_type("")),
    (lambda: load_bytes(buffer="<o>\x1f"), buffer_type("")),
    (lambda: load_bytes(memoryview(ONE + ONE)[::2]), "buffer must be C-contiguous"),
    (lambda: load_bytes(array.array("h", ONE)), "buffer must hold single bytes, but its items are 2 bytes each"),
    (lambda: load_bytes(None), buffer_type(None)),
    (lambda: load_bytes(ONE, foo=1), unexpected_keyword("foo")),
    (lambda: load_bytes(ONE, **{"ünï": 1}), unexpected_keyword("ünï")),
    (lambda: load_bytes(ONE, Buffer=ONE), unexpected_keyword("Buffer")),
    # keywords are examined in order, before the positional count
    (lambda: load_bytes(ONE, ONE, foo=1), unexpected_keyword("foo")),
    (lambda: load_bytes(buffer="x", foo=1), buffer_type("")),
    (lambda: load_bytes(foo=1, buffer="x"), unexpected_keyword("foo")),
    (lambda: load_bytes(ONE, custom_types=[], foo=1), NOT_DICT),
    (lambda: load_bytes(ONE, custom_types=None), NOT_DICT),
    (lambda: load_bytes(ONE, custom_types=collections.ChainMap({})), NOT_DICT),
    (lambda: load_bytes(ONE, custom_types={"a": len, "b": 5}), NOT_CALLABLE),
    (lambda: load_bytes(ONE, custom_types={"a": len, "p": CustomType("p", str), "z": len}), NOT_CALLABLE),
])
def test_argument_errors(call, message):
    assert_fails(call, TypeError, message)


def test_custom_types_accepts_dict_subclasses_and_any_keys():
    assert load_bytes(ONE, custom_types=collections.OrderedDict([((1, 2), len), (None, str), (b"k", list)])) == 1
    assert load_bytes(ONE, custom_types=collections.defaultdict(int)) == 1


@pytest.mark.parametrize("value, truth", [(True, True), (2, True), ("x", True), ([None], True), (False, False),
                                          (0, False), ("", False), ([], False), (None, False)])
def test_flags_take_the_truth_value(value, truth):
    assert load_bytes(doc("0D 01 1F"), use_tuples=value) == ((1,) if truth else [1])
    if truth:
        assert load_bytes(doc("1F 1F 1F"), ignore_extra_data=value) == 1
    else:
        load_fails(doc("1F 1F"), DeserializationError, extra_data(4), ignore_extra_data=value)


@pytest.mark.parametrize("data, position", [
    (doc("1F 00"), 4), (doc("0D 02 1F 20 21"), 7), (doc("13 02 01 12 01 61 1F 20 FF FF"), 11),
    (doc("0E 04 FF FF 1F"), 7),
])
def test_extra_data_position_counts_from_document_start(data, position):
    load_fails(data, DeserializationError, extra_data(position))
    load_fails(bytearray(data), DeserializationError, extra_data(position))
    # bytes after the value are never looked at when ignored, however broken
    assert load_bytes(data[:position] + b"\x0c\x19\xff", ignore_extra_data=True) == load_bytes(data[:position])


seen = []  # the collector's state each time the loader below runs
WATCH = {"w": lambda value: seen.append(gc.isenabled()) or value}
WATCHED = doc("18 12 01 77 1F")  # the loader runs in the middle of the decode


@pytest.fixture
def gc_state():
    was_enabled = gc.isenabled()
    seen.clear()
    yield
    gc.enable() if was_enabled else gc.disable()


@pytest.mark.parametrize("data, options, error", [
    (WATCHED, {}, None), (b"", {}, MISSING_MARKER), (doc(), {}, END), (doc("0D 02 18 12 01 77 1F"), {}, END),
    (WATCHED + b"\x1f", {}, extra_data(8)), (WATCHED, {"custom_types": {"w": lambda v: 1 / 0}}, LOADER_FAILED),
    (doc("0D 01" * 100_000 + "1F"), {}, "RecursionError"),
], ids=["success", "no-marker", "truncated", "truncated-after-loader", "extra-data", "loader-raises", "too-deep"])
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


def test_stop_gc_off_or_with_the_collector_already_disabled(gc_state):
    gc.enable()
    assert load_bytes(WATCHED, custom_types=WATCH) == load_bytes(WATCHED, custom_types=WATCH, stop_gc=0) == 1
    gc.disable()
    assert load_bytes(WATCHED, custom_types=WATCH, stop_gc=True) == 1
    with pytest.raises(DeserializationError):
        load_bytes(doc("0D 02 18 12 01 77 1F"), custom_types=WATCH, stop_gc=True)
    assert not gc.isenabled()
    assert seen == [True, True, False, False]
