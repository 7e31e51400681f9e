"""Argument handling of the four native functions: every error message, the
accepted forms, truth-valued flags, extra data and the collector switch."""

import collections
import gc

import pytest

from conftest import END, LOADER_FAILED, MISSING_MARKER, Recorder, assert_fails, doc, extra_data, load_fails
from pyquarl import CustomType, DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

ONE = doc("1F")
DATA = doc("10 01 02 FE 61 0D 02 1F 1E")  # {"a": [1, 0]}
PATH = ["a", Idx(1)]
CT = CustomType("id", str)


def count(name, n, expected=1):
    return f"{name}() expected exactly {expected} positional argument, but {n} were provided"


def unexpected(name, keyword):
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def not_a_buffer(value):
    return f"buffer must be of type `bytes` or `bytearray` but got `{type(value)!r}`"


TOO_BIG = "Expected {} to be a positive integer smaller than 2**64 (max: 18446744073709551615)"
NOT_INT = "Expected {} to be of type `int` but got `{}`"

DUMP_ERRORS = [
    ((), {}, count("dump_bytes", 0)),
    ((1, 2), {}, count("dump_bytes", 2)),
    ((1,), {"obj": 2}, "dump_bytes() got multiple values for argument 'obj'"),
    ((1,), {"clé": 1}, unexpected("dump_bytes", "clé")),
    ((1,), {"custom_types": None}, "custom_types must be a dict"),
    ((1,), {"custom_types": {int: CT, 3: CT}}, "custom_types key must be a valid type"),
    ((1,), {"custom_types": {int: str}}, "custom_types value must be of type CustomType"),
    ((1,), {"custom_types": {int: type("Sub", (CustomType,), {})("id", str)}},
     "custom_types value must be of type CustomType"),
    *(((1,), {name: value}, TOO_BIG.format(name))
      for name in ("flush_threshold", "direct_write_threshold") for value in (-1, 2**64, 8.0)),
    *(((1,), {name: value}, NOT_INT.format(name, type(value)))
      for name in ("flush_threshold", "direct_write_threshold") for value in ("5", None)),
]


@pytest.mark.parametrize("args, kwargs, message", DUMP_ERRORS)
@pytest.mark.parametrize("with_writer", [False, True])
def test_dump_argument_errors_write_nothing(args, kwargs, message, with_writer):
    writer = Recorder()
    assert_fails(lambda: dump_bytes(*args, **{**kwargs, "writer": writer} if with_writer else kwargs), TypeError, message)
    assert writer.calls == 0


class Fussy:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


@pytest.mark.parametrize("kwargs", [
    {"obj": 5},
    {"flush_threshold": 2**64 - 1, "direct_write_threshold": 0},
    {"flush_threshold": True, "direct_write_threshold": False},
    {"allow_non_string_keys": Fussy()},  # accepted and never looked at
    {"custom_types": {int: CustomType("int", lambda v: "never")}},  # exact ints never use it
    {"custom_types": {bool: CT, str: CT, float: CT, list: CT, dict: CT, bytes: CT, type(None): CT}},
])
def test_accepted_dump_options_leave_the_document_unchanged(kwargs):
    assert dump_bytes(*() if "obj" in kwargs else (5,), **kwargs) == b"<o>\x23"


LOAD_ERRORS = [
    (lambda: load_bytes(), count("load_bytes", 0)),
    (lambda: load_bytes(ONE, ONE), count("load_bytes", 2)),
    (lambda: load_bytes(ONE, buffer=ONE), "load_bytes() got multiple values for argument 'buffer'"),
    (lambda: load_bytes("<o>\x1f"), not_a_buffer("")),
    (lambda: load_bytes(None), not_a_buffer(None)),
    (lambda: load_bytes(ONE, **{"ünï": 1}), unexpected("load_bytes", "ünï")),
    (lambda: load_bytes(ONE, custom_types=collections.ChainMap({})), "custom_types must be a dict"),
    (lambda: load_bytes(ONE, custom_types={"a": len, "p": CustomType("p", str)}), "custom_types value must be a function"),
]
LAZY_ERRORS = [
    (lambda f: f(DATA, buffer=DATA), "lazy_load_bytes() got multiple values for argument 'buffer'"),
    (lambda f: f(DATA, PATH, path_to_load=PATH), "lazy_load_bytes() got multiple values for argument 'path_to_load'"),
    (lambda f: f(buffer=DATA), count("lazy_load_bytes", 0, 2)),
    (lambda f: f(DATA), count("lazy_load_bytes", 1, 2)),
    (lambda f: f(DATA, PATH, PATH), count("lazy_load_bytes", 3, 2)),
    (lambda f: f(), "lazy_load_bytes() missing 1 required positional argument: 'buffer'"),
    (lambda f: f(DATA, PATH, use_tuples=True), unexpected("lazy_load_bytes", "use_tuples")),
    (lambda f: f(DATA, PATH, custom_types=[]), "custom_types must be a dict"),
    (lambda f: f(DATA, PATH, custom_types={"p": print, "q": 5}), "custom_types value must be a function"),
    (lambda f: f(None, PATH), not_a_buffer(None)),
    *((lambda f, path=path: f(DATA, path), "path_to_load must be a list") for path in [("a",), None, "a", iter(["a"])]),
]


@pytest.mark.parametrize("call, message", [
    *LOAD_ERRORS,
    *((lambda call=call, f=f: call(f), message) for call, message in LAZY_ERRORS
      for f in (lazy_load_bytes, bytes_check_if_contains)),
])
def test_read_argument_errors(call, message):
    assert_fails(call, TypeError, message)


@pytest.mark.parametrize("path", [PATH, type("Path", (list,), {})(PATH)])
@pytest.mark.parametrize("types", [{}, {"p": int}, collections.OrderedDict([((1, 2), len), (None, str)])])
def test_accepted_read_arguments(path, types):
    assert load_bytes(buffer=DATA, custom_types=types) == {"a": [1, 0]}
    assert lazy_load_bytes(path_to_load=path, buffer=DATA, custom_types=types) == 0
    assert bytes_check_if_contains(DATA, path_to_load=path, include_falsy=False, custom_types=types) is False


@pytest.mark.parametrize("value, truth", [(2, True), ("x", True), ([None], True), (0, False), ("", False), (None, False)])
def test_flags_take_the_truth_value(value, truth):
    assert load_bytes(doc("0D 01 1F"), use_tuples=value) == ((1,) if truth else [1])
    assert bytes_check_if_contains(DATA, PATH, include_falsy=value) is truth
    if truth:
        assert load_bytes(doc("1F 1F 1F"), ignore_extra_data=value) == 1
    else:
        load_fails(doc("1F 1F"), DeserializationError, extra_data(4), ignore_extra_data=value)


@pytest.mark.parametrize("data, position", [
    (doc("1F 00"), 4), (doc("0D 02 1F 20 21"), 7), (doc("13 02 01 12 01 61 1F 20 FF FF"), 11),
    (doc("0E 04 FF FF 1F"), 7),
])
def test_extra_data_position_counts_from_document_start(data, position):
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
    (WATCHED, {}, None), (b"", {}, MISSING_MARKER), (doc("0D 02 18 12 01 77 1F"), {}, END),
    (WATCHED + b"\x1f", {}, extra_data(8)), (WATCHED, {"custom_types": {"w": lambda v: 1 / 0}}, LOADER_FAILED),
    (doc("0D 01" * 100_000 + "1F"), {}, "RecursionError"),
], ids=["success", "no-marker", "truncated-after-loader", "extra-data", "loader-raises", "too-deep"])
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
    with pytest.raises(DeserializationError):
        load_bytes(doc("0D 02 18 12 01 77 1F"), custom_types=WATCH, stop_gc=True)
    assert not gc.isenabled()
    assert seen == [True, True, False]
