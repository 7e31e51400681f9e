"""Every reader reads any C-contiguous buffer of single bytes in place, holds
it exported for the call, and refuses other layouts."""

import array
import ctypes
import mmap
import tracemalloc

import pytest
from conftest import CUSTOM_TYPES, Point

import pyquarl
from pyquarl import Document, Idx, dumps, iter_items, raw_decode
from pyquarl._pyquarl import bytes_check_if_contains, document_end, lazy_load_bytes, load_bytes

VALUE = {"a": [1, "x", {"b": "x"}], "z": 2}
DATA = dumps(VALUE)

READERS = {
    "load_bytes": lambda b: load_bytes(b),
    "lazy_load_bytes": lambda b: lazy_load_bytes(b, ["a", Idx(2), "b"]),
    "bytes_check_if_contains": lambda b: bytes_check_if_contains(b, ["z"]),
    "raw_decode": lambda b: raw_decode(b)[0],
    "document_end": lambda b: document_end(b),
    "iter_items": lambda b: list(iter_items(b, "a")),
    "Document": lambda b: Document(b).get("z"),
}
EXPECTED = {"load_bytes": VALUE, "lazy_load_bytes": "x", "bytes_check_if_contains": True, "raw_decode": VALUE,
            "document_end": len(DATA), "iter_items": VALUE["a"], "Document": 2}


def anonymous_map(data):
    region = mmap.mmap(-1, len(data))
    region.write(data)
    return region


KINDS = {
    "bytes": lambda d: d,
    "bytes-subclass": lambda d: type("B", (bytes,), {})(d),
    "bytearray": bytearray,
    "memoryview": memoryview,
    "odd-slice": lambda d: memoryview(b"abc" + d + b"def")[3:-3],
    "mmap": anonymous_map,
    "array-B": lambda d: array.array("B", d),
    "array-b": lambda d: array.array("b", d),
    "ctypes": lambda d: (ctypes.c_ubyte * len(d)).from_buffer_copy(d),
    "readonly-cast": lambda d: memoryview(bytearray(d)).toreadonly().cast("c"),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("reader", READERS)
def test_every_reader_takes_every_byte_buffer(reader, kind):
    assert READERS[reader](KINDS[kind](DATA)) == EXPECTED[reader]


REFUSED = [
    (lambda: memoryview(DATA + DATA)[::2], TypeError, "buffer must be C-contiguous"),
    (lambda: array.array("i", DATA[:8]), TypeError, "buffer must hold single bytes, but its items are 4 bytes each"),
    (lambda: memoryview(DATA[:8]).cast("H"), TypeError, "buffer must hold single bytes, but its items are 2 bytes each"),
    (lambda: "<o>\x1f", TypeError, "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
    (lambda: [60, 111, 62, 31], TypeError, "buffer must be of type `bytes` or `bytearray` but got `<class 'list'>`"),
]


@pytest.mark.parametrize("make, error, message", REFUSED)
@pytest.mark.parametrize("reader", [r for r in READERS if r != "Document"])
def test_other_layouts_are_refused(reader, make, error, message):
    if reader == "iter_items" and isinstance(make(), str):
        return  # iter_items takes a str as the path of a file
    with pytest.raises(error) as raised:
        READERS[reader](make())
    assert str(raised.value) == message
    with pytest.raises(TypeError):
        Document(make())


def test_a_released_or_closed_buffer_is_refused_not_read():
    view = memoryview(DATA)
    view.release()
    with pytest.raises(ValueError, match="released"):
        pyquarl.loads(view)
    region = anonymous_map(DATA)
    region.close()
    with pytest.raises(ValueError, match="closed"):
        pyquarl.get(region, "z")


def test_reading_a_big_buffer_copies_nothing():
    # 8 MB of payload before the value asked for: a copy would show in the traced peak
    data = dumps({"pad": [b"x" * 1_000_000] * 8, "z": [1, 2]})
    region = anonymous_map(data)
    view = memoryview(b"?" + data)[1:]
    for source in (region, view, bytearray(data)):
        tracemalloc.start()
        try:
            assert pyquarl.get(source, "z", Idx(1)) == 2 and pyquarl.contains(source, "pad")
            assert list(iter_items(source, "z")) == [1, 2] and document_end(source, 0) == len(data)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 100_000, (type(source), peak)
    region.close()


def calls_that_run_a_loader(loader):
    data = dumps({"p": Point(1, 2)}, custom_types=CUSTOM_TYPES)
    loaders = {"pt": loader}
    return data, [
        lambda b: load_bytes(b, custom_types=loaders),
        lambda b: lazy_load_bytes(b, ["p"], custom_types=loaders),
        lambda b: bytes_check_if_contains(b, ["p"], include_falsy=False, custom_types=loaders),
        lambda b: raw_decode(b, custom_types=loaders),
        lambda b: list(iter_items(b, custom_types=loaders)),
    ]


@pytest.mark.parametrize("make, meddle", [
    (bytearray, lambda source: source.extend(b"more")),
    (anonymous_map, lambda source: source.close()),
], ids=["resize-bytearray", "close-mmap"])
def test_a_loader_cannot_change_the_buffer_being_read(make, meddle):
    raised = []

    def loader(value):
        try:
            meddle(source)
        except BufferError as error:
            raised.append(error)
        return value

    data, calls = calls_that_run_a_loader(loader)
    for call in calls:
        source = make(data)
        call(source)
        meddle(source)  # released after the call
    assert len(raised) == len(calls)
