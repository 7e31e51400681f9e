"""Everything the encoder writes reads back exactly, in both list forms."""

import json

import pytest
from hypothesis import HealthCheck, given, settings

from conftest import PLAIN_VALUES, as_read, assert_equal_strings_shared, same_value
from pyquarl import dump_bytes, load_bytes
from shared_data import DATA_DIR, MISSING


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(PLAIN_VALUES)
def test_roundtrip(value):
    data = dump_bytes(value)
    for use_tuples in (False, True):
        result = load_bytes(data, use_tuples=use_tuples)
        assert same_value(as_read(value, use_tuples), result)
        assert_equal_strings_shared(result)
    assert same_value(as_read(value), load_bytes(bytearray(data)))


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
