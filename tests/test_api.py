"""The Python-level API: dumps/loads, dump/load, get/contains, Idx and CustomType."""

import array
import datetime
import io
import mmap
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pyquarl import (
    CustomType,
    DeserializationError,
    Idx,
    QuarlError,
    SerializationError,
    contains,
    dump,
    dump_bytes,
    dumps,
    get,
    load,
    loads,
)

# Values that read back equal to themselves (no tuples, no NaN).
scalars = st.none() | st.booleans() | st.integers(-(2**200), 2**200) | st.floats(allow_nan=False)
scalars |= st.text(max_size=20) | st.binary(max_size=20)
keys = st.text(max_size=8) | st.integers(-5, 300) | st.binary(max_size=4) | st.none()
documents = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6)
    | st.dictionaries(st.text(max_size=8), inner, max_size=6)
    | st.dictionaries(keys, inner, max_size=4),
    max_leaves=40,
)


class Chunks:
    def __init__(self):
        self.chunks = []

    def write(self, data):
        self.chunks.append(bytes(data))


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is Point and (self.x, self.y) == (other.x, other.y)


def to_pair(p):
    return [p.x, p.y]


def follow(value, path):
    for step in path:
        value = value[step.index if type(step) is Idx else step]
    return value


@st.composite
def document_and_path(draw):
    """A document and a path to one of its values."""
    doc = draw(documents)
    path, value = [], doc
    while draw(st.booleans()) and isinstance(value, (list, dict)) and value:
        step = draw(st.sampled_from([Idx(i) for i in range(len(value))] if isinstance(value, list) else list(value)))
        path.append(step)
        value = follow(value, [step])
    return doc, path


@settings(max_examples=200, deadline=None)
@given(documents)
def test_round_trip_through_every_form(doc):
    data = dumps(doc)
    assert data == dump_bytes(doc)
    assert loads(data) == loads(bytearray(data)) == get(data) == doc
    fp = io.BytesIO()
    assert dump(doc, fp) is None and fp.getvalue() == data
    fp.seek(0)
    assert load(fp) == doc


@settings(max_examples=200, deadline=None)
@given(document_and_path())
def test_get_and_contains_agree_with_indexing(case):
    doc, path = case
    data = dumps(doc)
    expected = follow(doc, path)
    assert get(data, *path) == expected
    assert contains(data, *path)
    assert contains(data, *path, include_falsy=False) == bool(expected)


def test_tuples_read_back_as_lists_unless_asked():
    value = ({"a": (1, 2)}, {"a": ()}, (3, "x"))
    data = dumps(value)
    assert loads(data) == get(data) == [{"a": [1, 2]}, {"a": []}, [3, "x"]]
    assert loads(data, use_tuples=True) == value


@pytest.mark.parametrize("flush_threshold", [0, 7, 10 * 1024 * 1024])
@pytest.mark.parametrize("direct_write_threshold", [0, 50, 5 * 1024 * 1024])
def test_dump_streams_the_same_bytes_in_chunks(flush_threshold, direct_write_threshold):
    doc = {"blob": b"\x01" * 100, "words": ["alpha", "beta"] * 20, "n": list(range(300))}
    sink = Chunks()
    dump(doc, sink, flush_threshold=flush_threshold, direct_write_threshold=direct_write_threshold)
    assert b"".join(sink.chunks) == dumps(doc)
    assert (len(sink.chunks) > 1) == (flush_threshold < 1000 or direct_write_threshold < 1000)


def test_dump_and_load_with_files_and_bare_writers(tmp_path):
    sink = Chunks()
    dump([1, 2], type("Writer", (), {"write": staticmethod(sink.write)})())
    assert b"".join(sink.chunks) == dumps([1, 2])
    path = tmp_path / "doc.quarl"
    with path.open("wb") as fp:
        dump({"a": [1, 2]}, fp)
    with path.open("rb") as fp:
        assert load(fp) == {"a": [1, 2]}
    with pytest.raises(TypeError, match=r"binary mode \('rb'\)"):
        load(io.StringIO("<o>\x1f"))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: dumps(1, bogus=1), "dump_bytes() got an unexpected keyword argument 'bogus'"),
        (lambda: dump(1, io.BytesIO(), flush_threshold="5"), "Expected flush_threshold to be of type `int`"),
        (lambda: loads(dumps(1), bogus=1), "load_bytes() got an unexpected keyword argument 'bogus'"),
        (lambda: get(dumps(1), bogus=1), "lazy_load_bytes() got an unexpected keyword argument 'bogus'"),
        (lambda: contains(dumps(1), custom_types=[]), "custom_types must be a dict"),
        (lambda: loads("text"), "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
        (lambda: dumps(1, writer=Chunks()), "use dump(obj, fp)"),
        (lambda: dump(1, Chunks(), writer=Chunks()), "fp is the writer"),
    ],
)
def test_argument_errors_keep_the_native_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_options_reach_the_native_functions():
    moment = datetime.datetime(2024, 5, 1, 12, 0)
    assert loads(dumps(moment, serialize_dates=True)) == moment.isoformat()
    with pytest.raises(SerializationError, match="serialize_dates disabled"):
        dumps(moment)
    data = dumps([1]) + b"\x1f"
    with pytest.raises(DeserializationError, match="Unexpected extra data, from position 6"):
        loads(data)
    assert load(io.BytesIO(data), ignore_extra_data=True, stop_gc=True) == [1]

    doc = {"where": Point(1, 2), "path": [Point(3, 4)]}
    loaders = {"pt": lambda xy: Point(*xy)}
    data = dumps(doc, custom_types={Point: CustomType("pt", to_pair)})
    assert loads(data, custom_types=loaders) == doc
    assert get(data, "path", Idx(0), custom_types=loaders) == Point(3, 4)
    assert contains(data, "where", include_falsy=False, custom_types=loaders)
    with pytest.raises(DeserializationError, match="Unknown custom type"):
        loads(data)


@pytest.mark.parametrize(
    "wrap",
    [memoryview, lambda d: memoryview(b"xx" + d)[2:], lambda d: array.array("B", d), bytearray],
    ids=["memoryview", "memoryview slice", "array", "bytearray"],
)
def test_any_buffer_is_accepted(wrap):
    data = dumps({"a": [1, 2]})
    assert loads(wrap(data)) == {"a": [1, 2]}
    assert get(wrap(data), "a", Idx(1)) == 2 and contains(wrap(data), "a")


def test_an_mmapped_file_is_accepted(tmp_path):
    path = tmp_path / "doc.quarl"
    path.write_bytes(dumps({"a": "b"}))
    with path.open("rb") as fp, mmap.mmap(fp.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        assert loads(mapped) == {"a": "b"} and get(mapped, "a") == "b"


def test_int_steps_are_keys_and_idx_steps_are_positions():
    data = dumps({"by_id": {1: "one"}, "list": ["zero", "one"]})
    assert get(data, "by_id", 1) == get(data, "list", Idx(1)) == "one"
    with pytest.raises(DeserializationError, match="expected `dict` but found `list`"):
        get(data, "list", 1)


@pytest.mark.parametrize(
    "path, message",
    [(["missing"], "Key not found"), (["list", Idx(2)], "Index out of range"), (["list", Idx(0), "x"], "Invalid path")],
)
def test_a_path_that_leads_nowhere(path, message):
    data = dumps({"list": [1, 2]})
    with pytest.raises(DeserializationError, match=message) as info:
        get(data, *path)
    assert isinstance(info.value, QuarlError) and isinstance(info.value, ValueError)
    assert not contains(data, *path)
    assert not contains(data[:-1], "list", Idx(1), include_falsy=False)  # damaged: False, not an error


@pytest.mark.parametrize(
    "index, error, message",
    [
        (-1, TypeError, "Index must not be negative"),
        ("1", TypeError, "Idx index must be an int, got str"),
        (1.0, TypeError, "Idx index must be an int, got float"),
        (True, TypeError, "Idx index must be an int, got bool"),
        (2**64, OverflowError, "Idx index must be below 2**64"),
    ],
)
def test_idx_rejects_bad_indices(index, error, message):
    with pytest.raises(error) as info:
        Idx(index)
    assert str(info.value).startswith(message)


def test_idx_value_semantics():
    class Four:
        def __index__(self):
            return 4

    assert Idx(2**64 - 1).index == 2**64 - 1 and type(Idx(Four()).index) is int
    assert repr(Idx(3)) == "Idx(3)"
    assert Idx(3) == Idx(3) and Idx(3) != Idx(4) and Idx(3) != 3
    assert len({Idx(3), Idx(3), Idx(4)}) == 2
    assert pickle.loads(pickle.dumps(Idx(5))) == Idx(5)


def test_idx_index_stays_assignable_and_is_checked_when_used():
    data = dumps([10, 20])
    step = Idx(0)
    step.index = 1
    assert get(data, step) == 20
    step.index = -1
    with pytest.raises(TypeError, match="Index must not be negative"):
        get(data, step)


@pytest.mark.parametrize(
    "custom, text",
    [
        (CustomType("pt", to_pair), "CustomType('pt', converter=to_pair)"),
        (CustomType(7, str, one_way=True), "CustomType(7, converter=str, one_way=True)"),
        (CustomType("pt", to_pair, include_subclasses=1), "CustomType('pt', converter=to_pair, include_subclasses=1)"),
    ],
)
def test_custom_type_repr(custom, text):
    assert repr(custom).replace("test_api.", "") == text


def test_custom_type_equality_and_validation():
    assert CustomType("pt", to_pair) == CustomType("pt", to_pair)
    for other in [CustomType("p", to_pair), CustomType("pt", str), CustomType("pt", to_pair, one_way=True)]:
        assert CustomType("pt", to_pair) != other
    # 1 is not True to the encoder, so the two registrations differ.
    assert CustomType("pt", to_pair, 1) != CustomType("pt", to_pair, True)
    with pytest.raises(TypeError, match="^CustomType converter must be callable, got int$"):
        CustomType("pt", 5)
    with pytest.raises(TypeError, match="^CustomType identifier must be hashable"):
        CustomType(["pt"], to_pair)


@pytest.mark.parametrize("flag, applies", [(True, True), (1, False), ("yes", False)])
def test_only_the_object_true_turns_include_subclasses_on(flag, applies):
    class Point3(Point):
        pass

    registered = {Point: CustomType("pt", to_pair, include_subclasses=flag)}
    if applies:
        assert loads(dumps(Point3(1, 2), custom_types=registered), custom_types={"pt": tuple}) == (1, 2)
    else:
        with pytest.raises(SerializationError, match="Unexpected type"):
            dumps(Point3(1, 2), custom_types=registered)
