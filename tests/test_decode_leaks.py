"""Repeated decodes, successful and failing, must not keep memory or
references: every object made for a failed decode is released with it."""

import gc
import itertools
import struct
import weakref

from conftest import CUSTOM_TYPES, Point, assert_memory_flat, assert_refcounts_unchanged, doc, marked, size, swallowing
from pyquarl import DeserializationError, dump_bytes, load_bytes


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


def test_large_document_10000_times():
    assert len(LARGE) > 7000
    calls = itertools.cycle([lambda: load_bytes(LARGE, custom_types=LOADERS),
                             lambda: load_bytes(bytearray(LARGE), custom_types=LOADERS, use_tuples=True, stop_gc=True)])
    assert_memory_flat(lambda: next(calls)(), runs=10_000, traced_tolerance=16 * 1024)


def test_failing_documents_10000_times():
    calls = [(len(data), failing_call(data, loaders)) for data, loaders in failing_documents()]
    shallow = itertools.cycle([call for length, call in calls if length < 20_000])
    assert_memory_flat(lambda: next(shallow)(), runs=10_000, traced_runs=2000, traced_tolerance=16 * 1024)
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
