"""iter_items: the items of the list or dict at a path, one decoded per step,
equal to what a full decode holds there."""

import gc
import tracemalloc

import pytest
from conftest import (CORPUS_LOADERS, CUSTOM_TYPES, LOADERS, PLAIN_VALUES, Point, ascii_str, corpus, doc, paths,
                      raw_idx, ref, same_value, typed_list)
from hypothesis import given, settings
from hypothesis import strategies as st

import pyquarl
from pyquarl import CorruptDataError, DeserializationError, Idx, dumps, iter_items, loads


def items_of(value):
    return list(value.items()) if type(value) is dict else list(value)


def assert_walks_match(data, through_loaders=False, **options):
    """Every list and dict in the document walks to the items a full decode holds
    (`through_loaders`: except those a loader made, which are no container in the document)."""
    whole = pyquarl.get(data, **options)
    walked = 0
    for path, value in paths(whole):
        if type(value) in (list, dict):
            try:
                got = list(iter_items(data, *path, **options))
            except DeserializationError as error:
                if through_loaders and str(error) == "Corrupt data: unexpected flag":
                    continue
                raise
            if type(value) is dict:  # a repeated key shows as two pairs; the last one wins, as in a dict
                got = list(dict(got).items())
            assert same_value(items_of(value), got, ordered=True), (path, value, got)
            walked += 1
    return walked


@given(PLAIN_VALUES)
@settings(max_examples=150, deadline=None)
def test_walks_equal_the_full_decode(value):
    assert_walks_match(dumps(value))


# strings first written before the walked list, and in earlier items of it
REPEATED = st.lists(st.sampled_from(["alpha", "beta", "é", "k" * 300, "x"]), min_size=1, max_size=8)


@given(REPEATED, st.lists(st.one_of(REPEATED, st.dictionaries(st.sampled_from(["alpha", "beta", "é"]), REPEATED,
                                                               max_size=3)), max_size=6))
@settings(max_examples=200, deadline=None)
def test_back_references_resolve_across_items(before, items):
    rows = [{"alpha": i, "beta": s} for i, s in enumerate(before)]
    data = dumps({"before": before, "items": items, "rows": rows + rows, "after": {s: items for s in before}})
    assert assert_walks_match(data) >= 4


def test_corpus_walks():
    for data in corpus():
        assert_walks_match(data, through_loaders=True, custom_types=CORPUS_LOADERS)


STRINGS = ["s0", "é1", "", "k" * 300]


@pytest.mark.parametrize("data, path, expected", [
    (doc(typed_list(9, [1.5, -0.0])), [], [1.5, -0.0]),
    (doc("0D 02", typed_list(10, STRINGS), ref(3, 1)), [Idx(0)], STRINGS),
    (doc("0D 02", typed_list(10, STRINGS), ref(3, 1)), [], [STRINGS, STRINGS[3]]),
    (doc(typed_list(11, [b"\x00", b""])), [], [b"\x00", b""]),
    (doc("0E 0C 0A FF C0"), [], [True] * 8 + [True, True]),
    (doc("0E 04 03"), [], [None] * 3),
    (doc("0D 03 05 06 1F"), [Idx(0)], []),
    (doc("0D 03 05 06 1F"), [Idx(1)], []),
    (doc("13 01 00"), [], [{}]),
    (dumps([{"a": 1, "b": "x"}, {"b": "y", "a": 2}]), [Idx(1)], [("a", 2), ("b", "y")]),
])
def test_forms_the_encoder_seldom_writes(data, path, expected):
    assert same_value(list(iter_items(data, *path)), expected)


@pytest.mark.parametrize("data, path, error, message", [
    (dumps({"a": 5}), ["a"], DeserializationError, "Invalid path, expected `list` or `dict` but found `int`"),
    (dumps({"a": "s"}), ["a"], DeserializationError, "Invalid path, expected `list` or `dict` but found `str`"),
    (dumps([True, False]), [Idx(0)], DeserializationError, "Invalid path, expected `list` or `dict` but found `bool`"),
    (dumps({"a": 5}), ["b"], DeserializationError, "Key not found, key: `b` (type `<class 'str'>`)"),
    (doc("0E 0D 01 00"), [], CorruptDataError, "Unexpected consistent list type"),
    (doc("14 00"), [], DeserializationError, "Corrupt data: unexpected flag"),
    (doc("13 00 00"), [], DeserializationError, "Corrupted data: a list of structured dicts with no rows"),
    (b"<x>", [], DeserializationError, "Corrupted data: missing starting marker `<o>`"),
    (42, [], TypeError, "buffer must be of type `bytes` or `bytearray` but got `<class 'int'>`"),
    (dumps([1]), [raw_idx(-1)], TypeError, "Index must not be negative"),
])
def test_what_cannot_be_walked(data, path, error, message):
    with pytest.raises(error) as raised:
        list(iter_items(data, *path))
    assert message is None or str(raised.value) == message


def test_damage_met_mid_walk_is_raised_with_its_offset_after_the_items_before_it():
    data = dumps(["one", "two", [3, 4]])
    seen = []
    with pytest.raises(DeserializationError) as raised:
        for item in iter_items(data[:-1]):
            seen.append(item)
    assert seen == ["one", "two"] and data.index(b"\x0d\x02\x21") <= raised.value.pos <= len(data) - 1
    with pytest.raises(CorruptDataError):
        list(iter_items(doc("0D 02 1F 0C")))


@pytest.mark.parametrize("at", range(3, len(dumps({"k": ["a", {"b": "a"}], "r": [{"x": 1}, {"x": "a"}]}))))
def test_damage_anywhere_never_escapes_the_error_family(at):
    data = bytearray(dumps({"k": ["a", {"b": "a"}], "r": [{"x": 1}, {"x": "a"}]}))
    for byte in (0x00, 0x0C, 0x11, 0x16, 0xFF):
        data[at] = byte
        for path in ([], ["k"], ["r"]):
            try:
                list(iter_items(bytes(data), *path))
            except DeserializationError:
                pass
            except TypeError as error:  # the way to a path: the skipper's own TypeError, as get() raises it
                assert path and str(error) == "Unexpected flag"


def test_the_table_keeps_no_decoded_string_alive():
    # 20 000 records of two fresh strings each: only their positions are kept
    # (8 bytes each), not the decoded strings (about 60 bytes each).
    data = dumps([{"id": f"id-{i:08}", "name": f"name-{i:08}"} for i in range(20_000)])
    gc.collect()
    tracemalloc.start()
    try:
        walk = iter_items(data)
        for _ in range(20_000):
            next(walk)
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert held < 40_000 * 8 + 200_000, held


def test_a_loader_cannot_advance_the_walk_it_runs_in():
    walk = None

    def loader(value):
        with pytest.raises(ValueError, match="already running"):
            next(walk)
        return Point(*value)

    walk = iter_items(dumps([Point(1, 2), 3], custom_types=CUSTOM_TYPES), custom_types={"pt": loader})
    assert list(walk) == [Point(1, 2), 3]


def test_the_buffer_stays_exported_while_walking():
    data = bytearray(dumps(list(range(10))))
    walk = iter_items(data)
    assert next(walk) == 0
    with pytest.raises(BufferError):
        data.extend(b"x")
    assert list(walk) == list(range(1, 10))
    data.extend(b"x")  # released at the end of the walk


def test_a_row_walk_and_loaders():
    data = dumps({"rows": [{"p": Point(1, 2), "q": 1}, {"p": Point(3, 4), "q": 2}]}, custom_types=CUSTOM_TYPES)
    assert list(iter_items(data, "rows", custom_types=LOADERS)) == loads(data, custom_types=LOADERS)["rows"]
    assert list(iter_items(data, "rows", Idx(1), custom_types=LOADERS)) == [("p", Point(3, 4)), ("q", 2)]


def test_a_walk_held_by_its_own_loader_is_collected():
    import weakref

    class Sentinel:
        pass

    def make():
        sentinel = Sentinel()
        walk = None

        def loader(value):
            return (walk, sentinel, value)

        walk = iter_items(dumps([Point(1, 2)] * 3, custom_types=CUSTOM_TYPES), custom_types={"pt": loader})
        next(walk)
        return weakref.ref(sentinel)

    alive = make()
    gc.collect()
    assert alive() is None
