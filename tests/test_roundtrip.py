"""Everything the encoder writes reads back exactly, in both list forms."""

import json
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import PLAIN_VALUES, TEXTS, as_read, assert_equal_strings_shared, doc, enc_int, same_value, size
from pyquarl import dump_bytes, load_bytes
from shared_data import DATA_DIR, MISSING


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(PLAIN_VALUES)
def test_roundtrip(value):
    data = dump_bytes(value)
    for use_tuples in (False, True):
        result = load_bytes(data, use_tuples=use_tuples)
        assert same_value(as_read(value, use_tuples), result)
        assert_equal_strings_shared(result)
    assert same_value(as_read(value), load_bytes(bytearray(data)))


@settings(max_examples=200, deadline=None)
@given(st.lists(TEXTS, min_size=1, max_size=30))
def test_every_occurrence_of_a_string_is_one_object(strings):
    # the same strings as values, str keys, mixed keys and row keys
    value = [strings, {s: s for s in strings}, {**{s: 0 for s in strings}, 0: strings}, [{s: 1 for s in strings}] * 2]
    result = load_bytes(dump_bytes(value))
    assert result == as_read(value)
    assert_equal_strings_shared(result)


@settings(max_examples=300, deadline=None)
@given(st.integers(), st.integers(0, 3), st.lists(st.floats(), max_size=20))
def test_forms_the_encoder_never_writes(value, pad, floats):
    # trailing zero digits in a magnitude, and typed float lists
    magnitude = size(abs(value), pad=pad) if abs(value) >= 255 else size(abs(value))
    assert load_bytes(doc(bytes([7 if value >= 0 else 8]) + magnitude)) == load_bytes(doc(enc_int(value))) == value
    data = doc(b"\x0e\x09" + size(len(floats)) + b"".join(struct.pack(">d", f) for f in floats))
    assert same_value(floats, load_bytes(data)) and same_value(tuple(floats), load_bytes(data, use_tuples=True))


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
    data = dump_bytes(value)
    result = load_bytes(data)
    assert same_value(value, result)
    assert_equal_strings_shared(result)
    assert same_value(as_read(value, use_tuples=True), load_bytes(data, use_tuples=True))


def test_a_million_slot_string_table_keeps_every_reference():
    # 800 000 strings fill a table of a million slots past three quarters:
    # it grows once more while they are registered.
    texts = [f"s{i}" for i in range(800_000)]
    first, again = load_bytes(dump_bytes([texts, [f"s{i}" for i in range(0, 800_000, 7)]]))
    assert first == texts
    assert all(text is first[7 * i] for i, text in enumerate(again))
