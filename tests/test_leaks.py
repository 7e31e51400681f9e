"""Repeated dumps, decodes and lazy reads, successful or failing, leave memory
and reference counts where they were: every object made for a failed call is
released with it, and nothing keeps the arguments or the results."""

import datetime
import gc
import itertools
import struct
import sys
import weakref

import pytest

from conftest import (
    CUSTOM_TYPES, Point, assert_memory_flat, assert_refcounts_unchanged, doc, marked, raw_idx, size, swallowing,
)
from pyquarl import (
    CustomType, DeserializationError, Document, Idx, SerializationError, bytes_check_if_contains, dump_bytes,
    lazy_load_bytes, load_bytes,
)


# ---- decoding ----

class Loaded:
    """What the loader builds; weakly referenceable so tests can see it freed."""

    def __init__(self, value):
        self.value = value


LOADERS = {"pt": Loaded, 7: list}


def large_document():
    rows = [{"id": i, "name": f"user{i % 40}", "score": i * 1.5, "tags": ["a", "b", "é"][: i % 4], "big": 2**70 + i,
             "negative": -(2**40) - i, "below_int64": -(2**64) - i, "blob": bytes([i % 256]) * (i % 7), "point": Point(i, -i)} for i in range(120)]
    value = {"rows": rows, "flags": [i % 3 == 0 for i in range(200)], "nones": [None] * 50,
             "mixed": {1: "x", 2.5: b"y", None: [1, 2, (3, 4)], "": {}}, "text": "é日本" * 40,
             "keys": {f"k{i}": f"v{i % 9}" for i in range(80)}}
    # then forms the encoder does not write, without back-references so that
    # the numbering of the first part is undisturbed
    return doc("0D 06", dump_bytes(value, custom_types=CUSTOM_TYPES)[3:],
               b"\x0e\x09" + size(40) + b"".join(struct.pack(">d", i / 3) for i in range(40)),
               b"\x0e\x0a" + size(30) + b"".join(marked(f"t{i}" if i % 2 else f"ü{i}") for i in range(30)),
               "0E 0B 03 02 61 62 00 01 FF 18 25 0D 02 1F 20 07 FF", bytes(range(1, 40)), "FF")


LARGE = large_document()
BODY = LARGE[3:]
GROWN = bytearray(doc("0D 02", BODY, "18 12 01 71 1F"))


def failing_documents():
    """(data, options) pairs that each fail somewhere in the middle, after objects have been built."""
    cases = [(LARGE[:n], LOADERS) for n in range(4, len(LARGE), len(LARGE) // 25)] + [
        (LARGE + b"\x1f", LOADERS),  # extra data: the whole value is dropped
        (LARGE, {}),  # unknown custom type
        (LARGE, {"pt": Loaded, 7: lambda v: 1 / 0}),  # loader raises at the end
        (bytearray(LARGE[:-5]), LOADERS),
        (GROWN, {"q": lambda v: GROWN.extend(b"\x00")}),  # loader resizes the buffer
        (LARGE, {"pt": Loaded, 7: 5}),  # argument error
    ]
    after_everything = [
        "18 12 01 71 0D 01 1F",  # unknown custom type
        "0F 01 0D 01 1F 1F", "13 02 01 0D 00 1F 1F",  # unhashable key, row key
        "0A 02 C3 28", "10 01 03 FE 61 E9 1F",  # invalid UTF-8, high byte in an ASCII key
        "0D FF FE FE FE FE FE FE FE FE FE FF", "0E 04 FF FE FE FE FE FE FE FE FE FF",  # size overflow, too many Nones
        "11 FF FE FE FE FE FF", "13 00 00", "1D", "0E 07 00",  # bad reference, no rows, bad flag, bad list type
        b"\x07\xff" + b"\x01" * 65537 + b"\xff", "0D 01" * 12_000 + "1F",  # integer too large, too deep
    ]
    return cases + [(doc("0D 02", BODY, tail), LOADERS) for tail in after_everything]


def failing_call(data, loaders):
    return swallowing(lambda: load_bytes(data, custom_types=loaders), (DeserializationError, TypeError, RecursionError))


def test_large_document_decoded_again_and_again():
    assert len(LARGE) > 7000
    calls = itertools.cycle([lambda: load_bytes(LARGE, custom_types=LOADERS),
                             lambda: load_bytes(bytearray(LARGE), custom_types=LOADERS, use_tuples=True, stop_gc=True)])
    assert_memory_flat(lambda: next(calls)(), runs=1500, traced_runs=600, traced_tolerance=16 * 1024)


def test_failing_documents_decoded_again_and_again():
    calls = [(len(data), failing_call(data, loaders)) for data, loaders in failing_documents()]
    shallow = itertools.cycle([call for length, call in calls if length < 20_000])
    assert_memory_flat(lambda: next(shallow)(), runs=1500, traced_runs=600, traced_tolerance=16 * 1024)
    deep = itertools.cycle([call for length, call in calls if length >= 20_000])
    assert_memory_flat(lambda: next(deep)(), runs=300, traced_runs=100, traced_tolerance=16 * 1024)


def test_arguments_keep_their_reference_counts_and_results_are_not_kept():
    key = "pt-" + "key"  # a str object of our own
    loaders = {key: Loaded, 7: list}
    data = doc("0D 02 18 12 06 70 74 2D 6B 65 79 1F 18 25 05")
    arrays = [bytearray(data), bytearray(data[:-1])]

    def calls():
        load_bytes(data, custom_types=loaders)
        load_bytes(arrays[0], custom_types=loaders, use_tuples=True)
        for broken in (arrays[1], data[:-1]):
            swallowing(lambda: load_bytes(broken, custom_types=loaders), DeserializationError)()

    calls()
    assert_refcounts_unchanged(calls, [Loaded, key, loaders, data, *arrays])
    result = load_bytes(LARGE, custom_types=LOADERS)
    watched = [weakref.ref(row["point"]) for row in result[0]["rows"]]
    del result
    gc.collect()
    assert all(ref() is None for ref in watched)


# ---- encoding ----

def to_pair(point):
    return [point.x, f"p{point.y}"]  # a new str on every call


DUMP_TYPES = {Point: CustomType("pt", to_pair), bytearray: CustomType("ba", bytes, one_way=True)}
WHEN = datetime.datetime(2024, 5, 1, 12, tzinfo=datetime.timezone.utc)
GRAPH = {
    "rows": [{"id": i, "name": f"name{i % 50}", "score": i / 7, "tags": ["a", f"t{i}"], "ok": i % 3 == 0}
             for i in range(150)],
    "mixed": {i: [None, b"raw" * (i % 4), -(i**5), 2**64 + i] for i in range(100)},
    "points": [Point(i, i) for i in range(100)],
    "texts": [f"é{i}" for i in range(100)] + ["", "x" * 300],
    "flags": [True, False] * 40, "nones": [None] * 30, "dates": [WHEN, WHEN.replace(tzinfo=None)],
    "big": [2**200, -(3**150)], "blob": bytearray(b"0123456789" * 10), "tuple": tuple(range(-5, 300, 7)),
}


def objects_of(value, seen=None):
    """Every object reachable through the containers (and Points) of `value`."""
    seen = {} if seen is None else seen
    if id(value) not in seen:
        seen[id(value)] = value
        if isinstance(value, (list, tuple, dict)):
            children = [*value, *value.values()] if isinstance(value, dict) else value
        else:
            children = [value.x, value.y] if isinstance(value, Point) else ()
        for child in children:
            objects_of(child, seen)
    return seen.values()


class Sink:
    """Keeps every other chunk, so flushes alternate between reusing their storage and new storage."""

    def __init__(self):
        self.last = None

    def write(self, chunk):
        self.last = chunk if self.last is None else None


class FailingWriter:
    def __init__(self):
        self.calls = 0

    def write(self, chunk):
        self.calls += 1
        if self.calls % 3 == 0:
            raise OSError("every third write fails")


@pytest.mark.parametrize("options", [{}, {"writer": Sink(), "flush_threshold": 512, "direct_write_threshold": 200}],
                         ids=["in memory", "streaming"])
def test_dumping_large_graph_leaves_memory_flat(options):
    assert len(dump_bytes(GRAPH, serialize_dates=True, custom_types=DUMP_TYPES)) > 8_000

    def call():
        dump_bytes(GRAPH, serialize_dates=True, custom_types=DUMP_TYPES, **options)

    assert_refcounts_unchanged(call, [*objects_of(GRAPH), *DUMP_TYPES, *DUMP_TYPES.values(), to_pair])
    assert_memory_flat(call, runs=1500)


def failing(point):
    raise ValueError("cannot convert")


looping = []
looping.append(looping)
DATES = {"serialize_dates": True, "custom_types": DUMP_TYPES}
FAILURES = {
    "unexpected type": ([GRAPH["rows"], {1, 2}], DATES, SerializationError),
    "converter raising": ([GRAPH, Point(1, 2)], {"serialize_dates": True, "custom_types": {Point: CustomType(
        "pt", failing)}}, SerializationError),
    "tuple key": ({"a": [1, "b"], 1: 2, (1,): 3}, {}, SerializationError),
    "lone surrogate": ({"ok": "fine", "bad": ["x", "\ud800"]}, {}, SerializationError),
    "int too large": ([1, 2**523001], {}, SerializationError),
    "datetime disabled": ([GRAPH["rows"], GRAPH["dates"]], {}, SerializationError),
    "writer raising": (GRAPH, {**DATES, "writer": FailingWriter(), "flush_threshold": 300}, OSError),
    "bad argument": (GRAPH, {"custom_types": {Point: 5}}, TypeError),
    "self-containing list": (looping, {}, RecursionError),
}


@pytest.mark.parametrize(("value", "options", "error"), FAILURES.values(), ids=FAILURES.keys())
def test_failing_dump_leaves_memory_flat(value, options, error):
    call = swallowing(lambda: dump_bytes(value, **options), error)
    runs = 1_000 if value is looping else 1500
    assert_refcounts_unchanged(call, [*objects_of(value), *objects_of(options)], runs=runs // 10)
    assert_memory_flat(call, runs=runs)


# ---- lazy reads ----

ROWS = [{"name": f"n{i}", "tags": ["a", f"t{i}"], "score": i / 3} for i in range(50)]
LAZY_DATA = dump_bytes({"skip": ["s" * 40, "é" * 20, b"b" * 30], "rows": ROWS, "last": ["s" * 40, {"é" * 20: 1}]})
LAZY_LOADERS = {"p": Loaded, "bad": lambda value: 1 / 0}
CUSTOM_DOC = doc("0D 03 18 12 01 70 0D 01 1F 18 12 03 62 61 64 1F 0F 01 18 14 00 1F 2A")


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
    lazy_load_bytes(CUSTOM_DOC, [Idx(0)], custom_types=LAZY_LOADERS)
    for index in (0, 1):  # a loader that succeeds, one that fails
        bytes_check_if_contains(CUSTOM_DOC, [Idx(index)], include_falsy=False, custom_types=LAZY_LOADERS)
    quietly(lazy_load_bytes, CUSTOM_DOC, [Idx(1)], custom_types=LAZY_LOADERS)
    quietly(lazy_load_bytes, CUSTOM_DOC, [Idx(2), 5])  # an unknown identifier while comparing keys
    quietly(lazy_load_bytes, CUSTOM_DOC, [Idx(0)], custom_types=[])
    quietly(lazy_load_bytes, "x", [])


@pytest.mark.parametrize("calls", [lambda: lazy_reads(LAZY_DATA), lambda: lazy_reads(bytearray(LAZY_DATA)), custom_reads],
                         ids=["bytes", "bytearray", "custom types"])
def test_lazy_reads_leave_memory_flat(calls):
    assert_memory_flat(calls, runs=1500)


def test_lazy_reads_keep_no_reference():
    key, missing, boom = "name", "missing", Boom()
    path = ["rows", Idx(3), key]

    def calls():
        lazy_load_bytes(LAZY_DATA, path)
        bytes_check_if_contains(LAZY_DATA, path, include_falsy=False, custom_types=LAZY_LOADERS)
        quietly(lazy_load_bytes, LAZY_DATA, ["rows", Idx(3), missing])
        quietly(lazy_load_bytes, LAZY_DATA, ["rows", Idx(3), boom])
    assert_refcounts_unchanged(calls, [key, missing, boom, path, LAZY_LOADERS, LAZY_DATA])
    assert sys.getrefcount(lazy_load_bytes(CUSTOM_DOC, [Idx(0)], custom_types=LAZY_LOADERS)) == sys.getrefcount(Loaded(None))


def test_exported_bytearray_is_released_on_every_exit():
    data = bytearray(LAZY_DATA)
    lazy_load_bytes(data, ["rows", Idx(1)])
    quietly(lazy_load_bytes, data, ["nope"])
    quietly(lazy_load_bytes, data, ["last", Idx(1), Boom()])
    bytes_check_if_contains(data, ["nope"])
    data += b"more"  # fails with BufferError while an export is held
    data.clear()


def handle_reads(data):
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
    assert_memory_flat(lambda: handle_reads(LAZY_DATA), runs=2000, traced_runs=300)
