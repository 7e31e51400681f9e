"""Several documents in one buffer, file or stream: raw_decode, document_end
and iter_documents."""

import io

import pytest
from conftest import CUSTOM_TYPES, END, MISSING_MARKER, PLAIN_VALUES, Point, as_read, doc, same_value
from hypothesis import given, settings
from hypothesis import strategies as st

from pyquarl import CorruptDataError, DeserializationError, Idx, dumps, iter_documents, raw_decode
from pyquarl._pyquarl import document_end

DOCS = [dumps({"a": [1, "x"], "b": "x"}), dumps("x"), dumps([{"a": 1}, {"a": 2}]), dumps(None)]
LOG = b"".join(DOCS)
STARTS = [sum(map(len, DOCS[:i])) for i in range(len(DOCS) + 1)]  # each document's offset, then the end
VALUES = [{"a": [1, "x"], "b": "x"}, "x", [{"a": 1}, {"a": 2}], None]


class Trickle(io.RawIOBase):
    """A stream that hands out at most `most` bytes per read, counting the reads."""

    def __init__(self, data, most=7):
        self.data, self.at, self.most, self.reads = data, 0, most, 0

    def readable(self):
        return True

    def read(self, n=-1):
        self.reads += 1
        n = self.most if n < 0 else min(n, self.most)
        chunk = self.data[self.at:self.at + n]
        self.at += len(chunk)
        return chunk


def sources(data, tmp_path):
    """The same bytes as every kind of source iter_documents takes."""
    path = tmp_path / "log.quarl"
    path.write_bytes(data)
    return {"bytes": data, "bytearray": bytearray(data), "slice": memoryview(b"??" + data)[2:], "path": path,
            "str-path": str(path), "stream": io.BytesIO(data), "trickle": Trickle(data)}


@pytest.mark.parametrize("offset", range(len(DOCS)))
def test_raw_decode_returns_each_value_and_where_it_ends(offset):
    value, end = raw_decode(LOG, STARTS[offset])
    assert value == VALUES[offset] and end == STARTS[offset + 1]
    assert document_end(LOG, STARTS[offset]) == end
    assert raw_decode(data=LOG, offset=STARTS[offset]) == (value, end)


@pytest.mark.parametrize("call, error, message, pos", [
    (lambda: raw_decode(LOG, 1), DeserializationError, MISSING_MARKER, 1),
    (lambda: raw_decode(LOG, len(LOG)), DeserializationError, MISSING_MARKER, len(LOG)),
    (lambda: raw_decode(LOG, len(LOG) + 5), DeserializationError, MISSING_MARKER, len(LOG) + 5),
    (lambda: raw_decode(LOG[:STARTS[1] - 1]), DeserializationError, END, STARTS[1] - 1),
    (lambda: document_end(LOG[:STARTS[2] - 1], STARTS[1]), DeserializationError, END, STARTS[2] - 1),
    (lambda: raw_decode(doc("0D 02 1F 0C")), CorruptDataError, "Unexpected flag", 6),
    (lambda: raw_decode(LOG, -1), ValueError, "offset must not be negative", None),
    (lambda: raw_decode(LOG, 1.0), TypeError, None, None),
    (lambda: raw_decode(LOG, data=LOG), TypeError, "raw_decode() got multiple values for argument 'data'", None),
    (lambda: raw_decode(LOG, include_falsy=True), TypeError,
     "raw_decode() got an unexpected keyword argument 'include_falsy'", None),
])
def test_raw_decode_errors(call, error, message, pos):
    with pytest.raises(error) as raised:
        call()
    assert message is None or str(raised.value) == message
    if pos is not None:
        assert raised.value.pos == pos


def test_raw_decode_takes_the_load_options():
    data = dumps([(1, 2)]) + dumps("next")
    assert raw_decode(data, use_tuples=True, stop_gc=True, ignore_extra_data=False) == (((1, 2),), len(dumps([(1, 2)])))
    point = dumps({"p": Point(1, 2)}, custom_types=CUSTOM_TYPES)
    assert raw_decode(point, custom_types={"pt": tuple})[0] == {"p": (1, 2)}


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "slice", "path", "str-path", "stream", "trickle"])
def test_every_source_yields_every_document(kind, tmp_path):
    source = sources(LOG, tmp_path)[kind]
    assert list(iter_documents(source)) == VALUES
    assert list(iter_documents(sources(LOG, tmp_path)[kind], Idx(0), "a", default="-")) == ["-", "-", 1, "-"]


@given(st.lists(PLAIN_VALUES, max_size=5), st.integers(1, 40))
@settings(max_examples=60, deadline=None)
def test_concatenated_documents_read_back_as_dumped(values, most):
    data = b"".join(dumps(v) for v in values)
    expected = [as_read(v) for v in values]
    for got in (list(iter_documents(data)), list(iter_documents(Trickle(data, most)))):
        assert len(got) == len(expected) and all(same_value(e, g) for e, g in zip(expected, got))
    assert all(same_value(as_read(v, True), g) for v, g in zip(values, iter_documents(data, use_tuples=True)))


def damaged_at(data, cut):
    """The documents read before the damage, and the error, for every source kind."""
    outcomes = []
    for source in (data, Trickle(data, 5)):
        seen = []
        with pytest.raises(DeserializationError) as raised:
            for value in iter_documents(source):
                seen.append(value)
        outcomes.append((seen, raised.value))
    return outcomes


@pytest.mark.parametrize("cut", range(1, len(LOG)))
def test_cut_at_every_offset(cut):
    if cut in STARTS:
        assert list(iter_documents(LOG[:cut])) == VALUES[:STARTS.index(cut)]
        return
    broken = max(i for i, start in enumerate(STARTS) if start < cut)
    for seen, error in damaged_at(LOG[:cut], cut):
        assert seen == VALUES[:broken]
        assert STARTS[broken] <= error.pos <= cut, (error, error.pos)


@pytest.mark.parametrize("at", range(len(LOG)))
@pytest.mark.parametrize("byte", [0x00, 0x0C, 0x0D, 0x17, 0xFF])
def test_damage_at_every_offset(at, byte):
    data = bytearray(LOG)
    data[at] = byte
    broken = max(i for i, start in enumerate(STARTS) if start <= at)
    for source in (bytes(data), Trickle(bytes(data), 5)):
        seen = []
        try:
            for value in iter_documents(source):
                seen.append(value)
        except DeserializationError as error:
            assert seen[:broken] == VALUES[:broken]
            assert error.pos is not None and STARTS[broken] <= error.pos <= len(data)
        else:
            assert seen[:broken] == VALUES[:broken]


def test_path_lookups_skip_the_rest_of_each_document():
    loaded = []
    data = b"".join(dumps({"a": i, "p": Point(i, i)}, custom_types=CUSTOM_TYPES)
                    for i in range(5))
    loaders = {"pt": lambda value: loaded.append(value)}
    assert list(iter_documents(data, "a", custom_types=loaders)) == list(range(5))
    assert loaded == []  # the points were passed over, never decoded
    assert len(list(iter_documents(data, custom_types=loaders))) == 5 and len(loaded) == 5


def test_a_path_that_misses_raises_like_get_or_yields_the_default():
    data = dumps({"a": 1}) + dumps({"b": 2})
    seen = []
    with pytest.raises(DeserializationError, match="^Key not found"):
        for value in iter_documents(io.BytesIO(data), "a"):
            seen.append(value)
    assert seen == [1]
    assert list(iter_documents(data, "a", default=None)) == [1, None]
    with pytest.raises(TypeError, match="default= only with a path"):
        next(iter_documents(data, default=None))


def test_stream_reads_grow_so_a_big_document_is_not_read_quadratically():
    big = dumps(["x" * 100 + str(i) for i in range(40_000)])  # about 4 MB
    stream = Trickle(big + big, most=1 << 30)
    assert [len(v) for v in iter_documents(stream)] == [40_000, 40_000]
    assert stream.reads <= 12  # reads double: log2(8 MB / 64 kB) + a few


def test_empty_sources_yield_nothing(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    for source in (b"", io.BytesIO(b""), tmp_path / "empty"):
        assert list(iter_documents(source)) == []

