"""No reference or memory leaks from lazy reads, whether they succeed or fail."""

import sys

import pytest

from conftest import assert_memory_flat, assert_refcounts_unchanged, doc, raw_idx
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes

ROWS = [{"name": f"n{i}", "tags": ["a", f"t{i}"], "score": i / 3} for i in range(50)]
DATA = dump_bytes({"skip": ["s" * 40, "é" * 20, b"b" * 30], "rows": ROWS, "last": ["s" * 40, {"é" * 20: 1}]})
LOADERS = {"p": lambda value: Loaded(), "bad": lambda value: 1 / 0}
CUSTOM = doc("0D 03 18 12 01 70 0D 01 1F 18 12 03 62 61 64 1F 0F 01 18 14 00 1F 2A")


class Loaded:
    pass


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
    lazy_load_bytes(data, ["rows", Idx(48), "tags"])
    bytes_check_if_contains(data, ["rows", Idx(3), "score"], include_falsy=False)
    bytes_check_if_contains(data, ["rows", Idx(50)])
    bytes_check_if_contains(data[:2], ["rows"])
    for path in (["rows", Idx(7), "missing"], ["rows", Idx(7), Idx(0)], ["last", Idx(1), Boom()], [Idx(0)], ("rows",),
                 ["rows", raw_idx(-1)], ["rows", raw_idx(2**64)]):
        quietly(lazy_load_bytes, data, path)
    quietly(lazy_load_bytes, data[:-5], ["last", Idx(1)])
    quietly(lazy_load_bytes, data, ["rows"], foo=1)


def custom_reads():
    lazy_load_bytes(CUSTOM, [Idx(0)], custom_types=LOADERS)
    for index in (0, 1):  # a loader that succeeds, one that fails
        bytes_check_if_contains(CUSTOM, [Idx(index)], include_falsy=False, custom_types=LOADERS)
    quietly(lazy_load_bytes, CUSTOM, [Idx(1)], custom_types=LOADERS)
    quietly(lazy_load_bytes, CUSTOM, [Idx(2), 5])  # an unknown identifier while comparing keys
    quietly(lazy_load_bytes, CUSTOM, [Idx(0)], custom_types=[])
    quietly(lazy_load_bytes, "x", [])


@pytest.mark.parametrize("calls", [lambda: lazy_reads(DATA), lambda: lazy_reads(bytearray(DATA)), custom_reads],
                         ids=["bytes", "bytearray", "custom types"])
def test_no_memory_growth(calls):
    assert_memory_flat(calls, runs=10_000)


def test_no_reference_left_on_arguments_and_results():
    key, missing, boom = "name", "missing", Boom()
    path = ["rows", Idx(3), key]

    def calls():
        lazy_load_bytes(DATA, path)
        bytes_check_if_contains(DATA, path, include_falsy=False, custom_types=LOADERS)
        quietly(lazy_load_bytes, DATA, ["rows", Idx(3), missing])
        quietly(lazy_load_bytes, DATA, ["rows", Idx(3), boom])
    assert_refcounts_unchanged(calls, [key, missing, boom, path, LOADERS, DATA])
    assert sys.getrefcount(lazy_load_bytes(CUSTOM, [Idx(0)], custom_types=LOADERS)) == sys.getrefcount(Loaded())


def test_exported_bytearray_is_released_on_every_exit():
    data = bytearray(DATA)
    lazy_load_bytes(data, ["rows", Idx(1)])
    quietly(lazy_load_bytes, data, ["nope"])
    quietly(lazy_load_bytes, data, ["last", Idx(1), Boom()])
    bytes_check_if_contains(data, ["nope"])
    data += b"more"  # fails with BufferError while an export is held
    data.clear()


def handle_reads(data):
    from pyquarl import Document

    with Document(data, index_cap=1 << 20) as handle:
        lazy_reads_through(handle)
        lazy_reads_through(handle)  # now through what the first round learnt
        handle["rows"][7]["tags"].load()


def lazy_reads_through(handle):
    handle.get("last")
    handle.get("rows", Idx(48), "tags")
    handle.contains("rows", Idx(3), "score", include_falsy=False)
    for path in (["rows", Idx(50)], ["rows", Idx(7), "missing"], ["last", Idx(1), Boom()], ["missing"]):
        quietly(handle.get, *path)


def test_handles_and_their_index_leak_nothing():
    assert_memory_flat(lambda: handle_reads(DATA), runs=2000, traced_runs=300)
