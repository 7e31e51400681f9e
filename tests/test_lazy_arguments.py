"""Argument handling shared by lazy_load_bytes and bytes_check_if_contains."""

import pytest

from helpers_lazy import doc
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes

DATA = doc("10 01 02 FE 61 0D 02 1F 1E")  # {"a": [1, 0]}
PATH = ["a", Idx(1)]
BOTH = pytest.mark.parametrize("call", [lazy_load_bytes, bytes_check_if_contains])

WRONG_COUNT = "lazy_load_bytes() expected exactly 2 positional argument, but {} were provided"
MISSING = "lazy_load_bytes() missing 1 required positional argument: 'buffer'"
TWO_BUFFERS = "lazy_load_bytes() got multiple values for argument 'buffer'"
TWO_PATHS = "lazy_load_bytes() got multiple values for argument 'path_to_load'"

# (positional, keywords, message): every row of the count and duplication table.
CALLS = [
    ((DATA,), {"buffer": DATA}, TWO_BUFFERS),
    ((DATA, PATH), {"buffer": DATA, "path_to_load": PATH}, TWO_BUFFERS),
    ((), {"buffer": DATA, "path_to_load": PATH}, None),
    ((), {"path_to_load": PATH, "buffer": DATA}, None),
    ((), {"buffer": DATA}, WRONG_COUNT.format(0)),
    ((), {}, MISSING),
    ((), {"path_to_load": PATH}, MISSING),
    ((), {"include_falsy": False}, MISSING),
    ((DATA,), {"path_to_load": PATH}, None),
    ((DATA, PATH), {"path_to_load": PATH}, TWO_PATHS),
    ((DATA, PATH, PATH), {"path_to_load": PATH}, TWO_PATHS),
    ((DATA, PATH), {}, None),
    ((DATA,), {}, WRONG_COUNT.format(1)),
    ((DATA, PATH, PATH), {}, WRONG_COUNT.format(3)),
    ((DATA,), {"include_falsy": True}, WRONG_COUNT.format(1)),
]


@BOTH
@pytest.mark.parametrize("args, kwargs, message", CALLS)
def test_argument_count_and_duplication(call, args, kwargs, message):
    if message is None:
        assert call(*args, **kwargs) == (0 if call is lazy_load_bytes else True)
    else:
        with pytest.raises(TypeError) as raised:
            call(*args, **kwargs)
        assert str(raised.value) == message


@BOTH
@pytest.mark.parametrize("kwargs, message", [
    ({"buffer": "<o>"}, "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
    ({"buffer": memoryview(DATA)}, "buffer must be of type `bytes` or `bytearray` but got `<class 'memoryview'>`"),
    ({"foo": 1}, "lazy_load_bytes() got an unexpected keyword argument 'foo'"),
    ({"use_tuples": True}, "lazy_load_bytes() got an unexpected keyword argument 'use_tuples'"),
    ({"custom_types": []}, "custom_types must be a dict"),
    ({"custom_types": None}, "custom_types must be a dict"),
    ({"custom_types": {"p": print, "q": 5}}, "custom_types value must be a function"),
    # keywords are handled in order, before the positional arguments
    ({"foo": 1, "buffer": "x"}, "lazy_load_bytes() got an unexpected keyword argument 'foo'"),
    ({"buffer": "x", "foo": 1}, "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
    ({"custom_types": 5, "path_to_load": (), "buffer": DATA}, "custom_types must be a dict"),
])
def test_keyword_errors(call, kwargs, message):
    with pytest.raises(TypeError) as raised:
        call(**kwargs)
    assert str(raised.value) == message


@BOTH
@pytest.mark.parametrize("buffer, name", [("<o>", "str"), (None, "NoneType"), (memoryview(DATA), "memoryview")])
def test_positional_buffer_of_another_type(call, buffer, name):
    with pytest.raises(TypeError, match=f"^buffer must be of type `bytes` or `bytearray` but got `<class '{name}'>`$"):
        call(buffer, PATH)


@BOTH
@pytest.mark.parametrize("path", [("a",), None, "a", {"a": 1}, iter(["a"])])
def test_path_must_be_a_list(call, path):
    with pytest.raises(TypeError, match="^path_to_load must be a list$"):
        call(b"", path)  # tested before the marker
    with pytest.raises(TypeError, match="^path_to_load must be a list$"):
        call(buffer=DATA, path_to_load=path)


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    def __buffer__(self, flags):  # the reader must use the bytearray's own storage
        return memoryview(b"<o>\x04")


class Path(list):
    pass


@pytest.mark.parametrize("buffer", [DATA, bytearray(DATA), Bytes(DATA), ByteArray(DATA)])
@pytest.mark.parametrize("path", [PATH, Path(PATH)])
def test_accepted_buffers_and_paths(buffer, path):
    assert lazy_load_bytes(buffer, path) == 0
    assert lazy_load_bytes(buffer=buffer, path_to_load=path) == 0
    assert lazy_load_bytes(buffer, path_to_load=path, include_falsy=False) == 0
    assert bytes_check_if_contains(buffer, path) is True
    assert bytes_check_if_contains(buffer, path, include_falsy=False) is False
    assert bytes_check_if_contains(buffer=buffer, path_to_load=path[:1], include_falsy=0) is True


class Raises:
    def __bool__(self):
        raise ValueError("truth")


@pytest.mark.parametrize("flag, answer", [(0, False), ("", False), (None, False), (1, True), ("x", True), (Raises(), ValueError)])
def test_include_falsy_is_a_truth_value(flag, answer):
    if answer is ValueError:
        with pytest.raises(ValueError, match="truth"):
            bytes_check_if_contains(DATA, PATH, include_falsy=flag)
    else:
        assert bytes_check_if_contains(DATA, PATH, include_falsy=flag) is answer


@pytest.mark.parametrize("types", [{}, {"p": int}, type("D", (dict,), {})(p=lambda v: v)])
def test_accepted_custom_types(types):
    assert lazy_load_bytes(DATA, PATH, custom_types=types) == 0


@BOTH
def test_idx_without_index_is_a_memory_error(call):
    with pytest.raises(MemoryError):
        call(DATA, ["a", Idx.__new__(Idx)])
