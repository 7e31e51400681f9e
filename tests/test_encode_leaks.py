"""Repeated dumps, successful or failing, leave memory and reference counts where they were."""

import datetime

import pytest

from conftest import Point, assert_memory_flat, assert_refcounts_unchanged, swallowing
from pyquarl import CustomType, SerializationError, dump_bytes


def to_pair(point):
    return [point.x, f"p{point.y}"]  # a new str on every call


CUSTOM = {Point: CustomType("pt", to_pair), bytearray: CustomType("ba", bytes, one_way=True)}
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
    assert len(dump_bytes(GRAPH, serialize_dates=True, custom_types=CUSTOM)) > 8_000

    def call():
        dump_bytes(GRAPH, serialize_dates=True, custom_types=CUSTOM, **options)

    assert_refcounts_unchanged(call, [*objects_of(GRAPH), *CUSTOM, *CUSTOM.values(), to_pair])
    assert_memory_flat(call, runs=10_000)


def failing(point):
    raise ValueError("cannot convert")


looping = []
looping.append(looping)
DATES = {"serialize_dates": True, "custom_types": CUSTOM}
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
    runs = 1_000 if value is looping else 10_000
    assert_refcounts_unchanged(call, [*objects_of(value), *objects_of(options)], runs=runs // 10)
    assert_memory_flat(call, runs=runs)
