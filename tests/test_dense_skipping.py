"""Lookups in dense documents (long runs of small values, records of small
ints and short strings, rows of like dicts) read what a full decode reads, at
every position, and stop at a cut document within the input. (The exact
errors and offsets on damaged runs are pinned by test_reader_agreement.py.)"""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pyquarl import DeserializationError, Idx, contains, dumps, get, loads

# Scalars of every form the skipper passes without a look inside: one-byte
# ints, bools, None and empties; floats; ints with a size field of one byte
# or escaped; repeated strings (back-references of one to four bytes).
scalars = st.one_of(st.integers(0, 224), st.booleans(), st.none(), st.sampled_from(["", b"", [], {}]),
                    st.floats(allow_nan=False), st.integers(-2**70, 2**70),
                    st.sampled_from([f"s{i}" for i in range(300)]))
records = st.dictionaries(st.sampled_from(["id", "kind", "user", "ms", "ok", "é"]), scalars, max_size=6)
items = st.one_of(scalars, records, st.lists(scalars, max_size=40))


def _paths(value, path=()):
    yield path
    if isinstance(value, list):
        for i, item in enumerate(value):
            yield from _paths(item, (*path, Idx(i)))
    elif isinstance(value, dict):
        for key, item in value.items():
            yield from _paths(item, (*path, key))


@settings(max_examples=120, deadline=None)
@given(st.one_of(st.lists(items, min_size=1, max_size=60),
                 st.lists(st.fixed_dictionaries({"a": scalars, "b": scalars, "c": scalars}), min_size=2, max_size=40),
                 st.dictionaries(st.text(max_size=3), items, max_size=20)))
def test_get_at_every_position_reads_what_loads_reads(doc):
    data = dumps(doc)
    whole = loads(data)
    for path in _paths(whole):
        wanted = whole
        for step in path:
            wanted = wanted[step.index if isinstance(step, Idx) else step]
        assert get(data, *path) == wanted
        assert contains(data, *path)


def test_keys_referenced_by_long_numbers_are_passed():
    # From the 255th key on, a back-reference to a key takes an escaped size field.
    keys = [f"k{i}" for i in range(300)]
    doc = [{key: 1} for key in keys] + [{key: i, "x": 2.5} for i, key in enumerate(reversed(keys))] + ["end"]
    data = dumps(doc)
    for path in _paths(doc):
        if len(path) == 1 and path[0].index % 37 == 0 or len(path) == 2 or path == (Idx(len(doc) - 1),):
            assert get(data, *path) == (doc[path[0].index] if len(path) == 1 else doc[path[0].index][path[1]])


def _error(read):
    try:
        read()
    except DeserializationError as error:
        return type(error).__name__, error.msg, error.pos
    return None


# Long runs of each kind, a sibling after them, cut at every length near the end.
RUNS = {
    "one-byte values": list(range(100)) + [True, None, False] * 10,
    "floats and big ints": [1.5, 2**40, -300, 7] * 12,
    "records": [{"id": i, "kind": "ab"[i % 2], "ok": i % 3 == 0} for i in range(30)],
    "rows": [{"x": i, "y": -i, "z": float(i)} for i in range(30)],
}


@pytest.mark.parametrize("name", RUNS)
def test_cut_documents_stop_within_the_input(name):
    data = dumps([RUNS[name], "after"])
    last = len(RUNS[name]) - 1
    for cut in range(len(data) - 60, len(data)):
        cut_data = data[:cut]
        for path in ([Idx(1)], [Idx(0), Idx(last)]):
            error = _error(lambda: get(cut_data, *path))
            assert error is None or (error[1] == "Unexpected end of input" and error[2] <= cut)
        assert _error(lambda: get(cut_data, Idx(1))) is not None
        # (a containment test reads no further than the flag of "after")
        assert contains(cut_data, Idx(1)) is (cut > len(data) - len("after") - 2)
