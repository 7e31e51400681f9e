"""Repeated dumps, successful or failing, must leave memory and reference
counts where they were."""

import datetime
import sys

import pytest

from conftest import assert_memory_flat
from pyquarl import CustomType, SerializationError, dump_bytes


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


def to_pair(point):
    return [point.x, f"p{point.y}"]  # a new str on every call


def failing(point):
    raise ValueError("cannot convert")


CUSTOM = {Point: CustomType("pt", to_pair), bytearray: CustomType("ba", bytes, one_way=True)}


def build_graph():
    when = datetime.datetime(2024, 5, 1, 12, tzinfo=datetime.timezone.utc)
    return {
        "rows": [{"id": i, "name": f"name{i % 50}", "score": i / 7, "tags": ["a", f"t{i}"], "ok": i % 3 == 0}
                 for i in range(150)],
        "mixed": {i: [None, b"raw" * (i % 4), -(i**5), 2**64 + i] for i in range(100)},
        "points": [Point(i, i) for i in range(100)],
        "texts": [f"é{i}" for i in range(100)] + ["", "x" * 300],
        "flags": [True, False] * 40,
        "nones": [None] * 30,
        "dates": [when, when.replace(tzinfo=None)],
        "big": [2**200, -(3**150)],
        "blob": bytearray(b"0123456789" * 10),
        "tuple": tuple(range(-5, 300, 7)),
    }


def objects_of(value, seen=None):
    """Every object reachable through the containers of `value`."""
    seen = {} if seen is None else seen
    if id(value) not in seen:
        seen[id(value)] = value
        if isinstance(value, dict):
            children = [*value, *value.values()]
        else:
            children = value if isinstance(value, (list, tuple)) else ()
        for child in children:
            objects_of(child, seen)
        if isinstance(value, Point):
            objects_of([value.x, value.y], seen)
    return seen.values()


def assert_refcounts_unchanged(call, objects, runs=1000):
    objects = list(objects)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(runs):
        call()
    after = [sys.getrefcount(o) for o in objects]
    changed = [(o, b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, changed[:5]


GRAPH = build_graph()


class Sink:
    """Keeps the last chunk until the next call, so flushes alternate between
    reusing their storage and starting new storage."""

    def __init__(self):
        self.last = None

    def write(self, chunk):
        self.last = chunk if self.last is None else None


@pytest.mark.parametrize(
    "options",
    [
        {"serialize_dates": True, "custom_types": CUSTOM},
        {"serialize_dates": True, "custom_types": CUSTOM, "writer": Sink(), "flush_threshold": 512,
         "direct_write_threshold": 200},
    ],
    ids=["in memory", "streaming"],
)
def test_dumping_large_graph_leaves_memory_flat(options):
    expected = dump_bytes(GRAPH, serialize_dates=True, custom_types=CUSTOM)
    assert len(expected) > 8_000

    def call():
        dump_bytes(GRAPH, **options)

    assert_refcounts_unchanged(call, [*objects_of(GRAPH), *CUSTOM, *CUSTOM.values(), to_pair])
    assert_memory_flat(call, runs=10_000)


class Boom(Exception):
    pass


class FailingWriter:
    def __init__(self):
        self.calls = 0

    def write(self, chunk):
        self.calls += 1
        if self.calls % 3 == 0:
            raise Boom


looping = []
looping.append(looping)
FAILURES = {
    "unexpected type": ([GRAPH["rows"], {1, 2}], {"serialize_dates": True, "custom_types": CUSTOM}, SerializationError),
    "converter raising": ([GRAPH, Point(1, 2)], {"serialize_dates": True, "custom_types": {Point: CustomType(
        "pt", failing)}}, SerializationError),
    "tuple key": ({"a": [1, "b"], 1: 2, (1,): 3}, {}, SerializationError),
    "lone surrogate": ({"ok": "fine", "bad": ["x", "\ud800"]}, {}, SerializationError),
    "int too large": ([1, 2**523001], {}, SerializationError),
    "datetime disabled": ([GRAPH["rows"], GRAPH["dates"]], {}, SerializationError),
    "writer raising": (GRAPH, {"serialize_dates": True, "custom_types": CUSTOM, "writer": FailingWriter(),
                               "flush_threshold": 300}, Boom),
    "bad argument": (GRAPH, {"custom_types": {Point: 5}}, TypeError),
    "self-containing list": (looping, {}, RecursionError),
}


@pytest.mark.parametrize(("value", "options", "error"), FAILURES.values(), ids=FAILURES.keys())
def test_failing_dump_leaves_memory_flat(value, options, error):
    def call():
        try:
            dump_bytes(value, **options)
        except error:
            pass
        else:
            raise AssertionError("the dump did not fail")

    runs = 1_000 if value is looping else 10_000
    assert_refcounts_unchanged(call, [*objects_of(value), *objects_of(options)], runs=runs // 10)
    assert_memory_flat(call, runs=runs)
