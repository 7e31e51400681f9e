"""Argument handling of dump_bytes: accepted forms, and every argument error."""

import pytest

from conftest import Recorder, assert_fails
from pyquarl import CustomType, dump_bytes

TOO_BIG = "Expected {} to be a positive integer smaller than 2**64 (max: 18446744073709551615)"
NOT_INT = "Expected {} to be of type `int` but got `{}`"


class SubCustomType(CustomType):
    pass


ct = CustomType("id", str)

ARGUMENT_ERRORS = [
    ((), {}, "dump_bytes() expected exactly 1 positional argument, but 0 were provided"),
    ((1, 2), {}, "dump_bytes() expected exactly 1 positional argument, but 2 were provided"),
    ((), {"serialize_dates": True}, "dump_bytes() expected exactly 1 positional argument, but 0 were provided"),
    ((1,), {"obj": 2}, "dump_bytes() got multiple values for argument 'obj'"),
    ((1, 2), {"obj": 3}, "dump_bytes() got multiple values for argument 'obj'"),
    ((1,), {"bogus": 1}, "dump_bytes() got an unexpected keyword argument 'bogus'"),
    ((1,), {"Obj": 1}, "dump_bytes() got an unexpected keyword argument 'Obj'"),
    ((1,), {"clé": 1}, "dump_bytes() got an unexpected keyword argument 'clé'"),
    # the first failing keyword decides, before the positional count is looked at
    ((), {"bogus": 1, "flush_threshold": "x"}, "dump_bytes() got an unexpected keyword argument 'bogus'"),
    ((1, 2), {"flush_threshold": "x", "bogus": 1}, NOT_INT.format("flush_threshold", "<class 'str'>")),
    ((1,), {"custom_types": [], "flush_threshold": -1}, "custom_types must be a dict"),
    ((1,), {"custom_types": None}, "custom_types must be a dict"),
    ((1,), {"custom_types": {"x": ct}}, "custom_types key must be a valid type"),
    ((1,), {"custom_types": {int: ct, 3: ct}}, "custom_types key must be a valid type"),
    ((1,), {"custom_types": {int: SubCustomType("id", str)}}, "custom_types value must be of type CustomType"),
    ((1,), {"custom_types": {int: str}}, "custom_types value must be of type CustomType"),
]
for name in ("flush_threshold", "direct_write_threshold"):
    ARGUMENT_ERRORS += [
        ((1,), {name: -1}, TOO_BIG.format(name)),
        ((1,), {name: 2**64}, TOO_BIG.format(name)),
        ((1,), {name: -(2**70)}, TOO_BIG.format(name)),
        ((1,), {name: 8.0}, TOO_BIG.format(name)),  # a float is a number, but not an int
        ((1,), {name: "5"}, NOT_INT.format(name, "<class 'str'>")),
        ((1,), {name: None}, NOT_INT.format(name, "<class 'NoneType'>")),
    ]


@pytest.mark.parametrize(("args", "kwargs", "message"), ARGUMENT_ERRORS)
@pytest.mark.parametrize("with_writer", [False, True])
def test_argument_error(args, kwargs, message, with_writer):
    writer = Recorder()
    assert_fails(lambda: dump_bytes(*args, **{**kwargs, "writer": writer} if with_writer else kwargs), TypeError, message)
    assert writer.calls == 0


class Fussy:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


@pytest.mark.parametrize("kwargs", [
    {"obj": 5},
    {"flush_threshold": 2**64 - 1, "direct_write_threshold": 2**64 - 1},
    {"flush_threshold": 0, "direct_write_threshold": 0},
    {"flush_threshold": True, "direct_write_threshold": False},
    {"allow_non_string_keys": Fussy()},  # accepted and never looked at
    {"serialize_dates": 1},
    {"custom_types": {}},
    {"custom_types": {int: CustomType("int", lambda v: "never")}},  # exact ints never use it
    {"custom_types": {bool: ct, str: ct, float: ct, list: ct, dict: ct, bytes: ct, type(None): ct}},
])
def test_accepted_options_leave_the_document_unchanged(kwargs):
    assert dump_bytes(*() if "obj" in kwargs else (5,), **kwargs) == b"<o>\x23"


def test_custom_type_missing_an_attribute_is_reported_as_memory_error():
    broken = CustomType("id", str)
    del broken.one_way
    with pytest.raises(MemoryError):
        dump_bytes(1, custom_types={int: broken})


def test_writer_none_selects_streaming_and_fails_on_first_write():
    with pytest.raises(AttributeError, match="write"):
        dump_bytes(1, writer=None)
