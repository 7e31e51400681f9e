"""No reference or memory leaks from lazy reads, whether they succeed or fail."""

import sys

import pytest

from helpers_lazy import assert_no_growth, doc, raw_idx
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes

ROWS = [{"name": f"n{i}", "tags": ["a", f"t{i}"], "score": i / 3} for i in range(50)]
DATA = dump_bytes({"skip": ["s" * 40, "é" * 20, b"b" * 30], "rows": ROWS, "last": ["s" * 40, {"é" * 20: 1}]})


class Loaded:
    pass


LOADERS = {"p": lambda value: Loaded(), "bad": lambda value: 1 / 0}
CUSTOM = doc("0D 03 18 12 01 70 0D 01 1F 18 12 03 62 61 64 1F 0F 01 18 14 00 1F 2A")


class Boom:
    def __eq__(self, other):
        raise ValueError("boom")

    __hash__ = object.__hash__


def quietly(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (DeserializationError, TypeError, ValueError, OverflowError):
        pass


def lazy_reads(data):
    lazy_load_bytes(data, ["last"])  # back-references into skipped strings
    lazy_load_bytes(data, ["rows", Idx(49)])
    lazy_load_bytes(data, ["rows", Idx(48), "tags"])
    bytes_check_if_contains(data, ["rows", Idx(3), "score"], include_falsy=False)
    bytes_check_if_contains(data, ["rows", Idx(50)])
    quietly(lazy_load_bytes, data, ["rows", Idx(7), "missing"])
    quietly(lazy_load_bytes, data, ["rows", Idx(7), Idx(0)])
    quietly(lazy_load_bytes, data, ["last", Idx(1), Boom()])
    quietly(lazy_load_bytes, data[:-5], ["last", Idx(1)])
    quietly(lazy_load_bytes, data, [Idx(0)])


def custom_reads():
    lazy_load_bytes(CUSTOM, [Idx(0)], custom_types=LOADERS)
    bytes_check_if_contains(CUSTOM, [Idx(0)], include_falsy=False, custom_types=LOADERS)
    bytes_check_if_contains(CUSTOM, [Idx(1)], include_falsy=False, custom_types=LOADERS)
    quietly(lazy_load_bytes, CUSTOM, [Idx(1)], custom_types=LOADERS)
    quietly(lazy_load_bytes, CUSTOM, [Idx(2), 5])  # an unknown identifier while comparing keys
    quietly(lazy_load_bytes, CUSTOM, [Idx(0)], custom_types=[])


def argument_errors():
    quietly(lazy_load_bytes, "x", [])
    quietly(lazy_load_bytes, DATA, ("rows",))
    quietly(bytes_check_if_contains, DATA, ["rows", raw_idx(-1)])
    quietly(lazy_load_bytes, DATA, ["rows", raw_idx(2**64)])
    quietly(lazy_load_bytes, DATA, ["rows"], foo=1)
    bytes_check_if_contains(b"<o", ["rows"])


@pytest.mark.parametrize("calls", [
    lambda: lazy_reads(DATA),
    lambda: lazy_reads(bytearray(DATA)),
    custom_reads,
    argument_errors,
], ids=["bytes", "bytearray", "custom types", "argument errors"])
def test_no_memory_growth(calls):
    assert_no_growth(calls, runs=10_000)


def test_no_reference_left_on_arguments_and_results():
    key, missing, boom = "name", "missing", Boom()
    path = ["rows", Idx(3), key]
    loaded = lazy_load_bytes(CUSTOM, [Idx(0)], custom_types=LOADERS)
    objects = [key, missing, boom, path, LOADERS, DATA, loaded]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        lazy_load_bytes(DATA, path)
        bytes_check_if_contains(DATA, path, include_falsy=False, custom_types=LOADERS)
        quietly(lazy_load_bytes, DATA, ["rows", Idx(3), missing])
        quietly(lazy_load_bytes, DATA, ["rows", Idx(3), boom])
    assert [sys.getrefcount(o) for o in objects] == before
    assert sys.getrefcount(lazy_load_bytes(CUSTOM, [Idx(0)], custom_types=LOADERS)) == sys.getrefcount(Loaded())


def test_exported_bytearray_is_released_on_every_exit():
    data = bytearray(DATA)
    lazy_load_bytes(data, ["rows", Idx(1)])
    quietly(lazy_load_bytes, data, ["nope"])
    quietly(lazy_load_bytes, data, ["last", Idx(1), Boom()])
    bytes_check_if_contains(data, ["nope"])
    data += b"more"  # fails with BufferError while an export is held
    data.clear()
