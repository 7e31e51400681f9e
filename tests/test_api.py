"""The Python wrappers dumps/loads, dump/load and get/contains, and Idx and CustomType."""

import datetime
import io
import pickle

import pytest
from hypothesis import given, settings

from conftest import PLAIN_VALUES, Point, Recorder, as_read, paths, same_value
from pyquarl import (
    CustomType, DeserializationError, Idx, QuarlError, SerializationError, contains, dump, dump_bytes, dumps, get, load,
    loads,
)


def to_pair(p):
    return [p.x, p.y]


@settings(max_examples=50, deadline=None)
@given(PLAIN_VALUES)
def test_every_wrapper_agrees_with_the_native_functions(value):
    data, expected = dumps(value), as_read(value)
    assert data == dump_bytes(value)
    fp = io.BytesIO()
    assert dump(value, fp) is None and fp.getvalue() == data
    fp.seek(0)
    for decoded in (loads(data), loads(bytearray(data)), load(fp), get(data)):
        assert same_value(expected, decoded)  # like dicts read back in the first one's key order
    for path, item in paths(expected):
        assert same_value(item, get(data, *path)), path
        assert contains(data, *path) and contains(data, *path, include_falsy=False) is bool(item), path


def test_dump_streams_to_any_writer_and_load_needs_binary_mode(tmp_path):
    value = {"blob": b"\x01" * 100, "words": ["alpha", "beta"] * 20}
    for options, many in [({}, False), ({"flush_threshold": 7}, True), ({"direct_write_threshold": 50}, True)]:
        writer = Recorder()
        dump(value, writer, **options)
        assert b"".join(writer.chunks) == dumps(value) and (len(writer.chunks) > 1) is many, options
    path = tmp_path / "doc.quarl"
    with path.open("wb") as fp:
        dump(value, fp)
    with path.open("rb") as fp:
        assert load(fp) == value
    with pytest.raises(TypeError, match=r"binary mode \('rb'\)"):
        load(io.StringIO("<o>\x1f"))


@pytest.mark.parametrize("call, message", [
    (lambda: dumps(1, bogus=1), "dump_bytes() got an unexpected keyword argument 'bogus'"),
    (lambda: dump(1, io.BytesIO(), flush_threshold="5"), "Expected flush_threshold to be of type `int`"),
    (lambda: loads(dumps(1), bogus=1), "load_bytes() got an unexpected keyword argument 'bogus'"),
    (lambda: get(dumps(1), bogus=1), "lazy_load_bytes() got an unexpected keyword argument 'bogus'"),
    (lambda: contains(dumps(1), custom_types=[]), "custom_types must be a dict"),
    (lambda: loads("text"), "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
    (lambda: dumps(1, writer=Recorder()), "use dump(obj, fp)"),
    (lambda: dump(1, Recorder(), writer=Recorder()), "fp is the writer"),
])
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
    assert loads(dumps([(1, 2), ()]), use_tuples=True) == ((1, 2), ())

    doc = {"where": Point(1, 2), "path": [Point(3, 4)]}
    loaders = {"pt": lambda xy: Point(*xy)}
    data = dumps(doc, custom_types={Point: CustomType("pt", to_pair)})
    assert loads(data, custom_types=loaders) == doc
    assert get(data, "path", Idx(0), custom_types=loaders) == Point(3, 4)
    assert contains(data, "where", include_falsy=False, custom_types=loaders)
    with pytest.raises(DeserializationError, match="Unknown custom type"):
        loads(data)


def test_errors_are_quarl_errors_and_value_errors():
    assert issubclass(SerializationError, QuarlError) and issubclass(DeserializationError, QuarlError)
    assert issubclass(QuarlError, ValueError)
    with pytest.raises(DeserializationError, match="^Key not found"):
        get(dumps({"list": [1, 2]}), "missing")
    assert not contains(dumps({"list": [1, 2]})[:-1], "list", Idx(1), include_falsy=False)  # damaged: False


@pytest.mark.parametrize("index, error, message", [
    (-1, TypeError, "Index must not be negative"),
    ("1", TypeError, "Idx index must be an int, got str"),
    (1.0, TypeError, "Idx index must be an int, got float"),
    (True, TypeError, "Idx index must be an int, got bool"),
    (2**64, OverflowError, "Idx index must be below 2**64"),
])
def test_idx_rejects_bad_indices(index, error, message):
    with pytest.raises(error) as info:
        Idx(index)
    assert str(info.value).startswith(message)


def test_idx_value_semantics():
    class Four:
        def __index__(self):
            return 4

    assert Idx(2**64 - 1).index == 2**64 - 1 and type(Idx(Four()).index) is int
    assert Idx(3) == Idx(3) and Idx(3) != Idx(4) and Idx(3) != 3
    assert len({Idx(3), Idx(3), Idx(4)}) == 2
    assert pickle.loads(pickle.dumps(Idx(5))) == Idx(5)


def test_custom_type_validation():
    with pytest.raises(TypeError, match="^CustomType converter must be callable, got int$"):
        CustomType("pt", 5)
    with pytest.raises(TypeError, match="^CustomType identifier must be hashable"):
        CustomType(["pt"], to_pair)
