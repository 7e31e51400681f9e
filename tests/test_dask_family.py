"""The "quarl" serialization family of distributed: which values it takes, that
they come back exactly, that the rest falls back to the next family, that
frames are read in place, and the whole on a cluster of worker processes."""

import collections
import datetime
import tracemalloc

import pytest

distributed = pytest.importorskip("distributed")

from distributed.protocol.serialize import deserialize, families, serialize  # noqa: E402

import pyquarl  # noqa: E402
import pyquarl.dask  # noqa: E402
from pyquarl.dask import SERIALIZERS, QuarlPlugin, register_type  # noqa: E402
from pyquarl.dask import serialization as family  # noqa: E402

from conftest import Point, same_value  # noqa: E402


def records(n):
    return [{"id": i, "name": f"user{i}", "score": i / 7, "tags": ["a", "b"][: i % 3], "ok": i % 2 == 0} for i in range(n)]


def cyclic():
    items = [1]
    items.append(items)
    return items


class Text(str):
    pass


def families_in(header):
    """The families that wrote a value; distributed splits some collections into items first."""
    if "is-collection" in header:
        return set().union(*map(families_in, header["sub-headers"]))
    return {header["serializer"]}


def family_of(value):
    header, frames = serialize(value, serializers=SERIALIZERS, on_error="raise")
    names = families_in(header)
    return names.pop() if len(names) == 1 else names, deserialize(header, frames, deserializers=SERIALIZERS)


TAKEN = {
    "records": records(50),
    "non-str keys": {1: "a", None: [2], 2.5: {b"k": True}, b"raw": -1, False: 0},
    "big ints": [2**64, -(2**200), 255**9, 2**63 - 1],
    "bytes": {"blob": bytes(range(256)) * 9, "empty": b""},
    "nested": {"a": [[[{"b": [None, 1.5, "é日本"]}]]], "": {}},
    "custom type": [Point("a", [1, 2.5]), {"p": Point(None, b"x")}],
    "many custom types among plain values": [Point(i, [str(i)]) for i in range(50)] + [{"i": i} for i in range(50)],
}
REFUSED = {
    "tuple": (1, 2),
    "tuple in a list": [1, [2, (3,)]],
    "set": {1, 2},
    "datetime": datetime.datetime(2024, 1, 2, 3, 4, 5),
    "OrderedDict": collections.OrderedDict(a=1),
    "str subclass": Text("x"),
    "bytearray deep": [{"a": [bytearray(b"x")]}],
    "lone surrogate": "\ud800",
    "cycle": cyclic(),
}


@pytest.fixture(scope="module", autouse=True)
def point_type():
    register_type(Point, "pt", lambda p: [p.x, p.y], lambda xy: Point(*xy))
    yield
    family._dump_types.pop(Point, None)
    family._registrations.pop(Point, None)


@pytest.mark.parametrize("value", TAKEN.values(), ids=TAKEN.keys())
def test_values_quarl_can_carry_travel_as_quarl_and_come_back_exactly(value):
    name, back = family_of(value)
    assert name == "quarl"
    assert same_value(value, back, ordered=True)


@pytest.mark.parametrize("value", REFUSED.values(), ids=REFUSED.keys())
def test_values_quarl_cannot_carry_exactly_fall_back_to_the_next_family(value):
    with pytest.raises(NotImplementedError):
        family.dumps(value)
    name, back = family_of(value)
    assert name in ("dask", "pickle")
    if value is not REFUSED["cycle"]:
        assert back == value and type(back) is type(value)


def test_split_frames_are_joined():
    header, frames = family.dumps(records(20))
    document = frames[0]
    parts = [memoryview(document)[:7], memoryview(document)[7:100], document[100:]]
    assert same_value(records(20), family.loads(header, parts))


def peak_of(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_a_frame_handed_over_as_a_memoryview_is_decoded_without_a_copy():
    # Few big strings: the decoded value is small next to the document, so a copy would show.
    value = [b"x" * 2_000_000, "y" * 2_000_000, {"k": b"z" * 2_000_000}]
    header, frames = family.dumps(value)
    data = bytearray(frames[0])
    baseline = peak_of(lambda: pyquarl.load_bytes(bytes(data[:0]) + b"<o>\x1f"))
    decoded = peak_of(lambda: family.loads(header, [memoryview(data)]))
    assert decoded < 6_000_000 + 500_000 + baseline  # the three payloads, no second document


# ---- on a cluster of worker processes --------------------------------------------------------


def make_records(n):
    return records(n)


def make_mixed():
    return {1: b"\x00" * 100, "big": 2**300, None: [Point(1, "a")], 2.5: records(3)}


def make_refused():
    return {"when": datetime.datetime(2020, 5, 6), "ids": {1, 2}}


def describe(value):
    return [type(item).__name__ for item in value]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with distributed.Client(cluster, serializers=SERIALIZERS, deserializers=SERIALIZERS) as client:
            client.register_plugin(QuarlPlugin())
            yield client


@pytest.fixture
def quarl_loads(monkeypatch):
    """Counts the documents this process decodes through the family."""
    dumps, loads, context = families["quarl"]
    calls = []

    def counting(header, frames):
        calls.append(sum(map(len, frames)))
        return loads(header, frames)

    monkeypatch.setitem(families, "quarl", (dumps, counting, context))
    return calls


def test_results_gathered_from_a_worker_process_travel_as_quarl(client, quarl_loads):
    futures = [client.submit(make_records, 2_000, pure=False), client.submit(make_mixed, pure=False)]
    got = client.gather(futures)
    assert same_value(records(2_000), got[0], ordered=True)
    assert same_value(make_mixed(), got[1], ordered=True)
    # distributed sends the items of a gathered list or dict one by one: all of them as quarl.
    assert len(quarl_loads) == 2_000 + 4


def test_a_result_quarl_refuses_still_arrives_through_the_fallback(client, quarl_loads):
    assert client.submit(make_refused, pure=False).result() == make_refused()
    assert quarl_loads == []


def test_data_scattered_to_a_worker_is_decoded_there_with_the_registered_types(client):
    [future] = client.scatter([[Point(1, 2), Point(b"x", [3])]], broadcast=True)
    assert client.submit(describe, future).result() == ["Point", "Point"]
