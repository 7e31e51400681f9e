"""The lazy reader against the full decoder: every path into a document reads
what load_bytes built there, every path that leaves it misses, and both agree
on whole documents, damaged ones included."""

import json
import random
import re

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from conftest import (CUSTOM_TYPES, EDITS, LOADERS, TEXTS, damaged, assert_misses, assert_resolves, doc, misses, paths, same_value,
                      size, typed_list, values)
from pyquarl import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
from shared_data import DATA_DIR, MISSING

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
VALUES = values(points=True, max_leaves=30)


def check_every_path(data, value, **options):
    for path, inner in paths(value):
        assert_resolves(data, path, inner, **options)
        for miss in misses(inner, path):
            assert_misses(data, miss, **options)


@SETTINGS
@given(VALUES)
def test_every_path_reads_what_the_full_decode_built(value):
    data = dump_bytes(value, custom_types=CUSTOM_TYPES)
    check_every_path(data, load_bytes(data, custom_types=LOADERS), custom_types=LOADERS)


@SETTINGS
@given(st.lists(st.floats(), max_size=40), st.lists(TEXTS, max_size=12), st.lists(st.binary(max_size=300), max_size=12),
       st.data())
def test_typed_lists_built_by_hand(floats, strs, blobs, data):
    refs = data.draw(st.lists(st.integers(0, len(strs) - 1), max_size=4)) if strs else []
    body = doc("0D", size(4 + len(refs)), typed_list(9, floats), typed_list(10, strs), typed_list(11, blobs), "2A",
               *(b"\x14" + bytes([r]) for r in refs))
    expected = [floats, strs, blobs, 12, *(strs[r] for r in refs)]
    assert same_value(load_bytes(body), expected)
    check_every_path(body, expected)


@SETTINGS
@given(VALUES, EDITS)
def test_whole_documents_agree_with_the_full_decode(value, edits):
    data = damaged(dump_bytes(value, custom_types=CUSTOM_TYPES), edits)
    # Packed Nones and rows of empty dicts may claim huge results from a few bytes.
    assume(b"\x0e\x04\xff" not in data and not re.search(rb"\x13\xff[^\xff]*\xff\x00", data))
    outcomes = []
    for read in (lambda: load_bytes(data, ignore_extra_data=True, custom_types=LOADERS),
                 lambda: lazy_load_bytes(data, [], custom_types=LOADERS)):
        try:
            outcomes.append(("value", read()))
        except Exception as error:
            assert type(error) is not SystemError, error
            outcomes.append(("error", type(error)))
    (full_kind, full), (lazy_kind, lazy) = outcomes
    assert full_kind == lazy_kind and (same_value(full, lazy, ordered=True) if full_kind == "value" else full is lazy), outcomes
    if full_kind == "value":
        assert bytes_check_if_contains(data, [], include_falsy=False, custom_types=LOADERS) is bool(full)


@pytest.mark.skipif(DATA_DIR is None, reason=MISSING)
@pytest.mark.parametrize("name", ["twitter", "citm_catalog", "canada"])
def test_sampled_paths_of_real_documents(name):
    data = dump_bytes(json.loads((DATA_DIR / "json-bench" / f"{name}.json").read_text()))
    every = list(paths(load_bytes(data)))
    rng = random.Random(name)
    for path, expected in [every[-1], *rng.sample(every, 300)]:
        assert_resolves(data, path, expected)
    for path, inner in rng.sample(every, 30):
        for miss in misses(inner, path):
            assert_misses(data, miss)
