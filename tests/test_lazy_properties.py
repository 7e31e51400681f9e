"""Properties of the lazy reader against the full decoder: every path into a
document reads what load_bytes built there, every path that leaves it misses,
and both readers agree on whole documents, damaged ones included."""

import json
import random
import re
import struct

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from helpers_lazy import assert_misses, doc, misses, paths, same, size
from pyquarl import CustomType, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
from shared_data import DATA_DIR, MISSING

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is Point and same([self.x, self.y], [other.x, other.y])

    def __bool__(self):
        return bool(self.x)


DUMP_TYPES = {Point: CustomType("pt", lambda p: [p.x, p.y])}
LOAD_TYPES = {"pt": lambda value: Point(*value)}

texts = st.sampled_from(["", "a", "b", "key", "é", "日本", "k" * 253, "x" * 300]) | st.text(max_size=8)
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-300, 300), st.integers(), st.integers(-(2**200), 2**200),
    st.floats(), texts, st.binary(max_size=8),
)
mixed_keys = st.one_of(texts, st.integers(), st.none(), st.booleans(), st.binary(max_size=4), st.floats(allow_nan=False))


def like_dicts(children):
    """Lists of two or more dicts with one key set, written as rows."""
    def rows(keys):
        row = st.permutations(keys).flatmap(lambda order: st.tuples(*[children] * len(order)).map(lambda v: dict(zip(order, v))))
        return st.lists(row, min_size=2, max_size=4)
    return st.lists(texts, unique=True, max_size=4).flatmap(rows)


values = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=6), st.lists(children, max_size=3).map(tuple),
        st.dictionaries(texts, children, max_size=5), st.dictionaries(mixed_keys, children, max_size=4),
        like_dicts(children), st.lists(st.none(), max_size=10), st.lists(st.booleans(), max_size=20),
        st.builds(Point, children, children),
    ),
    max_leaves=30,
)


def check_every_path(data, value):
    for path, expected in paths(value):
        assert same(lazy_load_bytes(data, path, custom_types=LOAD_TYPES), expected), path
        assert bytes_check_if_contains(data, path, include_falsy=False, custom_types=LOAD_TYPES) is bool(expected), path
        assert bytes_check_if_contains(data, path) is True, path
    for path in (miss for path, inner in paths(value) for miss in misses(inner, path)):
        assert_misses(data, path, custom_types=LOAD_TYPES)


@SETTINGS
@given(values)
def test_every_path_reads_what_the_full_decode_built(value):
    data = dump_bytes(value, custom_types=DUMP_TYPES)
    check_every_path(data, load_bytes(data, custom_types=LOAD_TYPES))


def typed_list(kind, items):
    """A typed list of floats, strs or bytes, which the encoder never writes."""
    out = bytearray([0x0E, kind]) + size(len(items))
    for item in items:
        if kind == 9:
            out += struct.pack(">d", item)
        else:
            payload = (b"\xfe" + item.encode() if item.isascii() else item.encode()) if kind == 10 else item
            out += size(len(payload)) + payload
    return bytes(out)


@SETTINGS
@given(st.lists(st.floats(), max_size=40), st.lists(texts, max_size=12), st.lists(st.binary(max_size=300), max_size=12), st.data())
def test_typed_lists_built_by_hand(floats, strs, blobs, data):
    refs = data.draw(st.lists(st.integers(0, len(strs) - 1), max_size=4)) if strs else []
    body = doc("0D", size(4 + len(refs)), typed_list(9, floats), typed_list(10, strs), typed_list(11, blobs), "2A",
               *(b"\x14" + bytes([r]) for r in refs))
    expected = [floats, strs, blobs, 12, *(strs[r] for r in refs)]
    assert same(load_bytes(body), expected)
    check_every_path(body, expected)


def damaged(data, edits):
    out = bytearray(data)
    for where, kind, value in edits:
        where %= len(out) + 1
        if kind == "set" and where < len(out):
            out[where] = value
        elif kind == "insert":
            out[where:where] = bytes([value])
        elif kind == "delete":
            del out[where:where + 1]
        else:
            del out[where:]
    return bytes(out)


edits = st.lists(st.tuples(st.integers(0, 10**6), st.sampled_from(["set", "set", "insert", "delete", "cut"]), st.integers(0, 255)),
                 min_size=1, max_size=4)


@SETTINGS
@given(values, edits)
def test_whole_documents_agree_with_the_full_decode(value, changes):
    data = damaged(dump_bytes(value, custom_types=DUMP_TYPES), changes)
    # Packed Nones and rows of empty dicts may claim huge results from a few bytes.
    assume(b"\x0e\x04\xff" not in data and not re.search(rb"\x13\xff[^\xff]*\xff\x00", data))
    outcomes = []
    for read in (lambda: load_bytes(data, ignore_extra_data=True, custom_types=LOAD_TYPES),
                 lambda: lazy_load_bytes(data, [], custom_types=LOAD_TYPES)):
        try:
            outcomes.append(("value", read()))
        except Exception as error:
            assert type(error) is not SystemError, error
            outcomes.append(("error", type(error)))
    (full_kind, full), (lazy_kind, lazy) = outcomes
    assert full_kind == lazy_kind and (same(full, lazy) if full_kind == "value" else full is lazy), outcomes
    if full_kind == "value":
        assert bytes_check_if_contains(data, [], include_falsy=False, custom_types=LOAD_TYPES) is bool(full)


BENCH = DATA_DIR / "json-bench" if DATA_DIR is not None else None


@pytest.mark.skipif(BENCH is None, reason=MISSING)
@pytest.mark.parametrize("name", ["twitter", "citm_catalog", "canada"])
def test_sampled_paths_of_real_documents(name):
    data = dump_bytes(json.loads((BENCH / f"{name}.json").read_text()))
    full = load_bytes(data)
    every = list(paths(full))
    rng = random.Random(name)
    for path, expected in [every[-1], *rng.sample(every, 300)]:
        assert same(lazy_load_bytes(data, path), expected), path
        assert bytes_check_if_contains(data, path, include_falsy=False) is bool(expected), path
    for path, inner in rng.sample(every, 30):
        for miss in misses(inner, path):
            assert_misses(data, miss)
