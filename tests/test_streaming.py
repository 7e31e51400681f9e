"""dump_bytes(writer=...): chunk boundaries, writers that fail, keep or hash chunks,
and writers that mutate the value being written."""

import datetime
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import (
    CUSTOM_TYPES, DEFAULT_DIRECT, DEFAULT_FLUSH, ENCODABLE, Point, Recorder, Tag, model_ops, model_writes, run_isolated,
    stream,
)
from pyquarl import SerializationError, dump_bytes

OPTIONS = {"custom_types": CUSTOM_TYPES, "serialize_dates": True}
CORPUS = [
    5, 2**70, -(2**64), 1.5, "", "ab", "é" * 9, "x" * 20, b"", b"bytes" * 3, [None] * 3, [True, False] * 5,
    {"": 1, "abc": "", "é": b"12345678", "abc2": {"": [1.25]}},
    ["ab"] * 300,
    [{"k": 1.5, "é": "vv"}, {"é": "ww", "k": 2}, {"k": [None, None], "é": "vv"}],
    ({1: "one", None: 2.0, b"k": [True] * 9},),
    [Point(1, "pt"), Tag("pt"), Point(-300, [Tag("x")]), datetime.datetime(2024, 5, 1, 12, 0, 1, 5)],
    {"nested": [[list(map(str, range(40))), {str(i): i for i in range(20)}], "0", "39"]},
]


def check_writes(value, flush, direct):
    writer = Recorder()
    dump_bytes(value, writer=writer, flush_threshold=flush, direct_write_threshold=direct, **OPTIONS)
    assert writer.copies == model_writes(model_ops(value, **OPTIONS), flush, direct), value
    assert b"".join(writer.copies) == dump_bytes(value, **OPTIONS)
    assert writer.chunks == writer.copies  # kept chunks never change afterwards


@settings(deadline=None, max_examples=150)
@given(ENCODABLE, st.integers(0, 24) | st.just(DEFAULT_FLUSH), st.integers(0, 24) | st.just(DEFAULT_DIRECT))
def test_writes_of_any_value_follow_buffer_rules(value, flush, direct):
    check_writes(value, flush, direct)


@pytest.mark.parametrize(("value", "options", "writes"), [
    (5, {}, [b"<o>\x23"]),
    (5, {"flush_threshold": 2**64 - 1, "direct_write_threshold": 2**64 - 1}, [b"<o>\x23"]),
    ([1, 2], {"direct_write_threshold": 0}, [b"<o>", b"\x0d\x02\x1f\x20"]),
    ([1, "ab"], {"flush_threshold": 0}, [b"<o>", b"\x0d", b"\x02", b"\x1f", b"\x12", b"\x02", b"ab"]),
    (["abcd"], {"direct_write_threshold": 4}, [b"<o>\x0d\x01\x12\x04", b"abcd"]),
    (["abc"], {"direct_write_threshold": 4}, [b"<o>\x0d\x01\x12\x03abc"]),
    ({"abc": 1}, {"direct_write_threshold": 3}, [b"<o>", b"\x10\x01\x04\xfe", b"abc", b"\x1f"]),
    ({"": 1}, {"direct_write_threshold": 0}, [b"<o>", b"\x10\x01\x01\xfe", b"", b"\x1f"]),
    ([1.5], {"direct_write_threshold": 8}, [b"<o>\x0d\x01\x09", b"\x3f\xf8" + bytes(6)]),
    ([None, None], {"direct_write_threshold": 2}, [b"<o>", b"\x0e\x04", b"\x02"]),
    ([True] * 9, {"flush_threshold": 6}, [b"<o>\x0e\x0c\x09", b"\xff\x80"]),
    (["ab", "ab"], {"flush_threshold": 8}, [b"<o>\x0d\x02\x12\x02ab", b"\x14\x00"]),
    (2**64, {"flush_threshold": 4}, [b"<o>\x07", b"\xff\x01\x07\x1c", b"\x38\x46\x38\x1c", b"\x08\x01\xff"]),
])
def test_chunk_boundaries(value, options, writes):
    assert stream(value, **options) == writes


@pytest.mark.parametrize("direct", [1, 10, DEFAULT_DIRECT])
def test_bytes_value_at_direct_threshold_is_handed_over_itself(direct):
    value = bytes(range(256)) * (direct // 256) + b"z" * (direct % 256)
    shorter = value[:-1]
    writer = Recorder()
    dump_bytes([value, shorter], writer=writer, direct_write_threshold=direct)
    assert sum(chunk is value for chunk in writer.chunks) == 1
    assert not any(chunk is shorter for chunk in writer.chunks)
    assert b"".join(writer.chunks) == dump_bytes([value, shorter])


FAILING = {"names": ["ann", "bob", "ann", "é" * 30], "numbers": [1, 2**70, -5, 1.5, 225], "blob": b"x" * 40,
           "flags": [True, False] * 5, "rows": [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}], "nested": CORPUS[-1]}


@pytest.mark.parametrize(("flush", "direct"), [(0, 0), (0, DEFAULT_DIRECT), (1, 1), (3, 8), (16, 8), (DEFAULT_FLUSH, 4)])
def test_writer_failing_on_nth_call_stops_the_dump(flush, direct):
    expected = model_writes(model_ops(FAILING), flush, direct)
    for n in range(1, len(expected) + 1):
        writer = Recorder(fail_on=n, error=OSError(f"failure {n}"))
        with pytest.raises(OSError) as caught:
            dump_bytes(FAILING, writer=writer, flush_threshold=flush, direct_write_threshold=direct)
        assert caught.value is writer.error and writer.calls == n
        assert writer.copies == expected[: n - 1]  # what was delivered stays delivered, in order


class NoisyResult:
    def __del__(self):
        raise ValueError("result")


def test_write_result_is_released_unexamined(monkeypatch):
    chunks, unraisable = [], []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    writer = type("Writer", (), {"write": lambda self, chunk: chunks.append(chunk) or NoisyResult()})()
    assert dump_bytes(FAILING, writer=writer, flush_threshold=0) is None
    assert b"".join(chunks) == dump_bytes(FAILING)
    # each result's failing destructor is reported as unraisable, never raised
    assert len(unraisable) == len(chunks) and all(type(u.exc_value) is ValueError for u in unraisable)


def test_lone_surrogate_writes_nothing_for_the_string():
    writer = Recorder()
    with pytest.raises(SerializationError, match="cannot be encoded as UTF-8"):
        dump_bytes(["a", "\ud800"], writer=writer, flush_threshold=0)
    assert writer.copies == [b"<o>", b"\x0d", b"\x02", b"\x12", b"\x01", b"a"]


HOSTILE = """
from pyquarl import SerializationError, dump_bytes

def make():
{setup}
    return v, mutate

original = dump_bytes(make()[0])
garbage = []
for flush in (0, 3):
    k = 0
    while True:
        k += 1
        v, mutate = make()
        writes = []
        class Writer:
            def write(self, chunk):
                writes.append(bytes(chunk))
                if len(writes) == k:
                    mutate()
                    # reuse freed memory at once, so stale pointers see other data
                    garbage.append([bytes([255]) * size for size in (40, 100, 700, 2000) for _ in range(25)])
        try:
            dump_bytes(v, writer=Writer(), flush_threshold=flush)
            error = None
        except (RuntimeError, SerializationError) as e:
            error = e
        out, allowed = b"".join(writes), (original, dump_bytes(v))
        if error is None:
            assert out in allowed, (flush, k, out)
        else:
            assert any(a.startswith(out) for a in allowed), (flush, k, out, error)
        if len(writes) < k:
            break
print("ok")
"""

LIST = "v = [1, 'two', [3, 4], {'k': 5}, b'six']\n"
DICT = "v = {'a': 1, 'b': 'two', 'c': [3]}\n"
LARGE_DICT = "v = {str(i): [i, str(-i)] for i in range(40)}\n"
ROWS = "v = [{'a': 'o' + str(1), 'b': 'x'}, {'a': 2, 'b': 'y'}, {'b': 3, 'a': 'z'}]\n"
MUTATIONS = {
    "list clear": LIST + "def mutate(): v.clear()",
    "list append": LIST + "def mutate(): v.append(0)",
    "list shrink": LIST + "def mutate(): del v[2:]",
    "list refilled": LIST + "def mutate(): v[:] = ['new string'] * 3",
    "inner list clear": "inner = [1, 'a', 2.5]\nv = [inner, 'tail']\ndef mutate(): inner.clear()",
    "bool list clear": "v = [True, False] * 20\ndef mutate(): v.clear()",
    "dict clear": DICT + "def mutate(): v.clear()",
    "dict key added": DICT + "def mutate(): v['z'] = 0",
    "dict key to int": DICT + "def mutate(): v.pop('c'); v[5] = 0",
    "mixed dict clear": "v = {1: 'one', 'b': 2.5, None: [1]}\ndef mutate(): v.clear()",
    "large dict clear": LARGE_DICT + "def mutate(): v.clear()",
    "large dict grown": LARGE_DICT + "def mutate(): v.update(dict.fromkeys('abcdefghijklmnopqrstuvwxyz'))",
    "row keys changed": ROWS + "def mutate(): v[2].pop('b'); v[2]['c'] = 0",
    "first row clear": ROWS + "def mutate(): v[0].clear()",
    "row appended": ROWS + "def mutate(): v.append({'a': 0, 'b': 0})",
    "row replaced": ROWS + "def mutate(): v[1] = None",
    "first row replaced": ROWS + "def mutate(): v[0] = None; keep.append({'a': 'EVIL', 'b': 'EVIL'})\nkeep = []",
}


@pytest.mark.parametrize("setup", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_writer_mutating_the_value_never_breaks_the_encoder(setup):
    assert run_isolated(HOSTILE.format(setup=textwrap.indent(setup, "    "))).strip() == "ok"
