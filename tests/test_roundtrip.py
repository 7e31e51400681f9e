"""Everything the encoder writes reads back exactly."""

import json
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers_decode import as_read, assert_equal_strings_shared, doc, enc_int, same_value, size
from pyquarl import dump_bytes, load_bytes
from shared_data import DATA_DIR, MISSING

# A small pool makes repeated strings (and back-references) common.
POOL = ["", "a", "key", "é", "日本", "\U0001f600", "x" * 300, "ü" * 130]
texts = st.sampled_from(POOL) | st.text(max_size=10)
big_ints = st.integers(min_value=-(2**600), max_value=2**600)
edge_ints = st.sampled_from(
    [224, 225, 254, 255, 256, 509, 510, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 255**8 + 254, 255**8 + 255]
).flatmap(lambda v: st.sampled_from([v, -v]))
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-300, 300),
    st.integers(),
    big_ints,
    edge_ints,
    st.floats(),
    st.sampled_from([float("nan"), -float("nan"), 0.0, -0.0, float("inf"), -float("inf")]),
    texts,
    st.binary(max_size=20),
)
# any encodable hashable key except tuples (the encoder refuses them); no NaN,
# which is never equal to itself and so cannot be looked up again
keys = st.one_of(texts, st.integers(), big_ints, st.none(), st.booleans(), st.binary(max_size=4), st.floats(allow_nan=False))


def like_dicts(children):
    """Two or more dicts with one key set, in varying key orders."""

    def rows(row_keys):
        row = st.permutations(row_keys).flatmap(
            lambda order: st.tuples(*[children] * len(order)).map(lambda values: dict(zip(order, values)))
        )
        return st.lists(row, min_size=2, max_size=4)

    return st.lists(texts, unique=True, max_size=4).flatmap(rows)


values = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(texts, children, max_size=5),
        st.dictionaries(keys, children, max_size=4),
        like_dicts(children),
        st.lists(st.none(), min_size=2, max_size=20),
        st.lists(st.booleans(), min_size=2, max_size=40),
        st.lists(st.booleans(), min_size=2, max_size=20).map(tuple),
    ),
    max_leaves=40,
)

SETTINGS = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(values)
def test_roundtrip(value):
    data = dump_bytes(value)
    result = load_bytes(data)
    assert same_value(as_read(value), result)
    assert_equal_strings_shared(result)
    # a bytearray holding the same document reads the same
    assert same_value(result, load_bytes(bytearray(data)))


@SETTINGS
@given(values)
def test_roundtrip_with_tuples(value):
    result = load_bytes(dump_bytes(value), use_tuples=True)
    assert same_value(as_read(value, use_tuples=True), result)
    assert_equal_strings_shared(result)


@settings(max_examples=200, deadline=None)
@given(st.lists(texts, min_size=1, max_size=30))
def test_every_occurrence_of_a_string_is_one_object(strings):
    # the same strings as values, as str keys, as mixed keys and as structured keys
    value = [strings, {s: s for s in strings}, {**{s: 0 for s in strings}, 0: strings}, [{s: 1 for s in strings}] * 2]
    result = load_bytes(dump_bytes(value))
    assert result == as_read(value)
    assert_equal_strings_shared(result)


@settings(max_examples=300, deadline=None)
@given(st.integers(), st.integers(0, 3))
def test_any_int_in_any_digit_padding(value, pad):
    # non-canonical magnitudes (trailing zero digits) are read like canonical ones
    magnitude = size(abs(value), pad=pad) if abs(value) >= 255 else size(abs(value))
    data = doc(bytes([7 if value >= 0 else 8]) + magnitude)
    assert load_bytes(data) == value
    assert load_bytes(doc(enc_int(value))) == value


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(), max_size=20))
def test_typed_float_lists(floats):
    data = doc(b"\x0e\x09" + size(len(floats)) + b"".join(struct.pack(">d", f) for f in floats))
    assert same_value(floats, load_bytes(data))
    assert same_value(tuple(floats), load_bytes(data, use_tuples=True))


# ---- real data ---------------------------------------------------------------


def json_files():
    if DATA_DIR is None:
        return []
    files = sorted((DATA_DIR / "json-bench").glob("*.json")) + sorted((DATA_DIR / "jsontestsuite").glob("y_*.json"))
    assert len(files) > 50
    return files


@pytest.mark.skipif(DATA_DIR is None, reason=MISSING)
@pytest.mark.parametrize("path", json_files(), ids=lambda p: p.name)
def test_json_documents_roundtrip(path):
    try:
        value = json.loads(path.read_bytes())
    except ValueError:
        pytest.skip("not loadable by the json module")
    result = load_bytes(dump_bytes(value))
    assert same_value(value, result)
    assert_equal_strings_shared(result)
    assert same_value(as_read(value, use_tuples=True), load_bytes(dump_bytes(value), use_tuples=True))
