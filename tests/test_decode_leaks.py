"""Repeated decodes, successful and failing, must not keep memory or
references: every object made for a failed decode is released with it."""

import gc
import itertools
import struct
import sys
import tracemalloc
import weakref

import pytest

from helpers_decode import doc, marked, rss_bytes, size
from pyquarl import CustomType, DeserializationError, dump_bytes, load_bytes


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


class Loaded:
    """What the loader builds; weakly referenceable so tests can see it freed."""

    def __init__(self, value):
        self.value = value


LOADERS = {"pt": Loaded, 7: list}


def large_document():
    rows = [
        {
            "id": i,
            "name": f"user{i % 40}",
            "score": i * 1.5,
            "tags": ["a", "b", "é"][: i % 4],
            "big": 2**70 + i,
            "negative": -(2**40) - i,
            "blob": bytes([i % 256]) * (i % 7),
            "point": Point(i, -i),
        }
        for i in range(120)
    ]
    value = {
        "rows": rows,
        "flags": [i % 3 == 0 for i in range(200)],
        "nones": [None] * 50,
        "mixed": {1: "x", 2.5: b"y", None: [1, 2, (3, 4)], "": {}},
        "text": "é日本" * 40,
        "keys": {f"k{i}": f"v{i % 9}" for i in range(80)},
    }
    encoded = dump_bytes(value, custom_types={Point: CustomType("pt", lambda p: [p.x, p.y])})
    # forms the encoder does not write, without back-references so that the
    # numbering of the first part is undisturbed
    extra = b"".join(
        [
            b"\x0e\x09" + size(40) + b"".join(struct.pack(">d", i / 3) for i in range(40)),
            b"\x0e\x0a" + size(30) + b"".join(marked(f"t{i}" if i % 2 else f"ü{i}") for i in range(30)),
            b"\x0e\x0b\x03\x02ab\x00\x01\xff",
            b"\x18\x25\x0d\x02\x1f\x20",
            b"\x07\xff" + bytes(range(1, 40)) + b"\xff",
        ]
    )
    return doc(b"\x0d\x06" + encoded[3:] + extra)


LARGE = large_document()
LARGE_VALUE = load_bytes(LARGE, custom_types=LOADERS)


def failing_documents():
    """(data, options) pairs that each fail somewhere in the middle, after
    objects have been built."""
    cuts = [LARGE[:n] for n in range(4, len(LARGE), len(LARGE) // 25)]
    body = LARGE[3:]
    cases = [(cut, {"custom_types": LOADERS}) for cut in cuts]
    cases += [
        (LARGE + b"\x1f", {"custom_types": LOADERS}),  # extra data: the whole value is dropped
        (LARGE, {}),  # unknown custom type
        (LARGE, {"custom_types": {"pt": Loaded, 7: lambda v: 1 / 0}}),  # loader raises at the end
        (doc("0D 02", body, "18 12 01 71 0D 01 1F"), {"custom_types": LOADERS}),  # unknown after everything
        (doc("0D 02", body, "0F 01 0D 01 1F 1F"), {"custom_types": LOADERS}),  # unhashable key
        (doc("0D 02", body, "13 02 01 0D 00 1F 1F"), {"custom_types": LOADERS}),  # unhashable row key
        (doc("0D 02", body, "0A 02 C3 28"), {"custom_types": LOADERS}),  # invalid UTF-8
        (doc("0D 02", body, "10 01 03 FE 61 E9 1F"), {"custom_types": LOADERS}),  # high byte in an ASCII key
        (doc("0D 02", body, "0D FF FE FE FE FE FE FE FE FE FE FF"), {"custom_types": LOADERS}),  # size overflow
        (doc("0D 02", body, "11 FF FE FE FE FE FF"), {"custom_types": LOADERS}),  # reference beyond the table
        (doc("0D 02", body, "0E 04 FF FE FE FE FE FE FE FE FE FF"), {"custom_types": LOADERS}),  # too many Nones
        (doc("0D 02", body, "13 00 00"), {"custom_types": LOADERS}),  # no rows
        (doc("0D 02", body, "1D"), {"custom_types": LOADERS}),  # TypeError: flag
        (doc("0D 02", body, "0E 07 00"), {"custom_types": LOADERS}),  # TypeError: list type
        (doc("0D 02", body, "07 FF", b"\x01" * 65537, "FF"), {"custom_types": LOADERS}),  # integer too large
        (doc("0D 02", body, "0D 01" * 12_000, "1F"), {"custom_types": LOADERS}),  # too deep
        (bytearray(LARGE[:-5]), {"custom_types": LOADERS}),
        (bytearray(doc("0D 02", body, "18 12 01 71 1F")), {"custom_types": {"q": lambda v: grow(v)}}),
        (LARGE, {"custom_types": {"pt": Loaded, 7: 5}}),  # argument error
    ]
    return cases


def grow(value):
    # resizes whatever bytearray is being decoded (see failing_documents)
    GROWING[0].extend(b"\x00")


GROWING = [bytearray()]


def call_failing(data, options):
    GROWING[0] = data if isinstance(data, bytearray) else bytearray()
    try:
        load_bytes(data, **options)
    except (DeserializationError, TypeError, RecursionError):
        return
    raise AssertionError("decoded a broken document")


def assert_no_growth(call, runs, traced_runs):
    """Runs `call` `runs` times after a warm-up, the last `traced_runs` of
    them under tracemalloc. Allocated blocks and RSS over all runs, and traced
    memory over the traced ones, must stay flat within tolerances far below
    one leaked object per call."""
    for _ in range(200):
        call()
    gc.collect()
    rss_before = rss_bytes()
    blocks_before = sys.getallocatedblocks()
    for _ in range(runs - traced_runs):
        call()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(traced_runs):
            call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = rss_bytes() - rss_before
    assert traced_growth < 16 * 1024, f"traced memory grew by {traced_growth} bytes"
    assert block_growth < runs // 20, f"{block_growth} more blocks allocated"
    assert rss_growth < 8 * 1024 * 1024, f"RSS grew by {rss_growth} bytes"


def test_large_document_10000_times():
    assert len(LARGE) > 7000
    buffers = itertools.cycle([LARGE, bytearray(LARGE)])
    options = itertools.cycle([{"custom_types": LOADERS}, {"custom_types": LOADERS, "use_tuples": True, "stop_gc": True}])
    assert_no_growth(lambda: load_bytes(next(buffers), **next(options)), 10_000, 1000)


def test_failing_documents_10000_times():
    cases = failing_documents()
    shallow = [case for case in cases if len(case[0]) < 20_000]
    deep = [case for case in cases if len(case[0]) >= 20_000]
    for data, options in cases:
        call_failing(data, options)
    cycle = itertools.cycle(shallow)
    assert_no_growth(lambda: call_failing(*next(cycle)), 10_000, 2000)
    cycle = itertools.cycle(deep)
    assert_no_growth(lambda: call_failing(*next(cycle)), 300, 100)


def test_objects_built_before_a_failure_are_freed():
    built = []

    def loader(value):
        made = Loaded(value)
        built.append(weakref.ref(made))
        return made

    data = doc("0D 03 18 12 02 70 74 0D 01 1F 10 01 02 FE 61 18 14 00 20 12 01 80")
    with pytest.raises(DeserializationError):
        load_bytes(data, custom_types={"pt": loader})
    with pytest.raises(DeserializationError):
        load_bytes(data[:-3] + b"\x1f\x1f", custom_types={"pt": loader})  # extra data
    assert len(built) == 4
    assert all(ref() is None for ref in built)


def test_values_given_to_a_failing_loader_are_freed():
    given = []

    def loader(value):
        given.append(weakref.ref(value[0]))
        raise ValueError("no")

    data = doc("18 12 01 70 0D 01 18 12 01 71 1F")
    with pytest.raises(DeserializationError):
        load_bytes(data, custom_types={"p": loader, "q": Loaded})
    assert given and given[0]() is None


def test_arguments_keep_their_reference_counts():
    loader = Loaded
    key = "pt-" + "key"  # a str object of our own
    loaders = {key: loader, 7: list}
    data = doc("0D 02 18 12 06 70 74 2D 6B 65 79 1F 18 25 05")
    arrays = [bytearray(data), bytearray(data[:-1])]
    counts = lambda: [sys.getrefcount(o) for o in (loader, key, loaders, data, *arrays)]  # noqa: E731
    load_bytes(data, custom_types=loaders)
    before = counts()
    for _ in range(1000):
        load_bytes(data, custom_types=loaders)
        load_bytes(arrays[0], custom_types=loaders, use_tuples=True)
        for broken in (arrays[1], data[:-1]):
            with pytest.raises(DeserializationError):
                load_bytes(broken, custom_types=loaders)
    assert counts() == before


def test_decoded_values_are_not_kept_alive():
    result = load_bytes(LARGE, custom_types=LOADERS)
    watched = [weakref.ref(row["point"]) for row in result[0]["rows"]]
    del result
    gc.collect()
    assert all(ref() is None for ref in watched)
