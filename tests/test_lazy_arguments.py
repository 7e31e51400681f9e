"""Argument handling shared by lazy_load_bytes and bytes_check_if_contains."""

import pytest

from conftest import assert_fails, doc
from pyquarl import Idx, bytes_check_if_contains, lazy_load_bytes

DATA = doc("10 01 02 FE 61 0D 02 1F 1E")  # {"a": [1, 0]}
PATH = ["a", Idx(1)]
BOTH = pytest.mark.parametrize("call", [lazy_load_bytes, bytes_check_if_contains])

COUNT = "lazy_load_bytes() expected exactly 2 positional argument, but {} were provided"
MISSING = "lazy_load_bytes() missing 1 required positional argument: 'buffer'"
TWO_BUFFERS = "lazy_load_bytes() got multiple values for argument 'buffer'"
TWO_PATHS = "lazy_load_bytes() got multiple values for argument 'path_to_load'"
UNEXPECTED = "lazy_load_bytes() got an unexpected keyword argument '{}'"
NOT_A_DICT = "custom_types must be a dict"


def not_a_buffer(name):
    return f"buffer must be of type `bytes` or `bytearray` but got `<class '{name}'>`"


@BOTH
@pytest.mark.parametrize("args, kwargs, message", [
    ((DATA,), {"buffer": DATA}, TWO_BUFFERS),
    ((DATA, PATH), {"buffer": DATA, "path_to_load": PATH}, TWO_BUFFERS),
    ((), {"buffer": DATA, "path_to_load": PATH}, None),
    ((), {"path_to_load": PATH, "buffer": DATA}, None),
    ((), {"buffer": DATA}, COUNT.format(0)),
    ((), {}, MISSING),
    ((), {"path_to_load": PATH}, MISSING),
    ((), {"include_falsy": False}, MISSING),
    ((DATA,), {"path_to_load": PATH}, None),
    ((DATA, PATH), {"path_to_load": PATH}, TWO_PATHS),
    ((DATA, PATH, PATH), {"path_to_load": PATH}, TWO_PATHS),
    ((DATA, PATH), {}, None),
    ((DATA,), {}, COUNT.format(1)),
    ((DATA, PATH, PATH), {}, COUNT.format(3)),
    ((DATA,), {"include_falsy": True}, COUNT.format(1)),
    # keywords are handled in order, before the positional arguments
    ((), {"foo": 1, "buffer": "x"}, UNEXPECTED.format("foo")),
    ((), {"buffer": "<o>", "foo": 1}, not_a_buffer("str")),
    ((), {"use_tuples": True}, UNEXPECTED.format("use_tuples")),
    ((), {"custom_types": None}, NOT_A_DICT),
    ((), {"custom_types": [], "path_to_load": (), "buffer": DATA}, NOT_A_DICT),
    ((), {"custom_types": {"p": print, "q": 5}}, "custom_types value must be a function"),
    *(((DATA, PATH), {"custom_types": types}, None) for types in ({}, {"p": int}, type("D", (dict,), {})(p=len))),
    ((None, PATH), {}, not_a_buffer("NoneType")),
    ((memoryview(DATA + DATA)[::2], PATH), {}, "buffer must be C-contiguous"),
    *(((b"", path), {}, "path_to_load must be a list") for path in [("a",), None, "a", {"a": 1}, iter(["a"])]),
    ((), {"buffer": DATA, "path_to_load": ("a",)}, "path_to_load must be a list"),
])
def test_arguments(call, args, kwargs, message):
    if message is None:
        assert call(*args, **kwargs) == (0 if call is lazy_load_bytes else True)
    else:
        assert_fails(lambda: call(*args, **kwargs), TypeError, message)


class ByteArray(bytearray):
    def __buffer__(self, flags):  # the reader must use the bytearray's own storage
        return memoryview(b"<o>\x04")


@pytest.mark.parametrize("buffer", [DATA, bytearray(DATA), type("Bytes", (bytes,), {})(DATA), ByteArray(DATA)])
@pytest.mark.parametrize("path", [PATH, type("Path", (list,), {})(PATH)])
def test_accepted_buffers_and_paths(buffer, path):
    assert lazy_load_bytes(buffer, path_to_load=path, include_falsy=False) == 0
    assert bytes_check_if_contains(buffer, path) is True
    assert bytes_check_if_contains(buffer=buffer, path_to_load=path, include_falsy=False) is False


@pytest.mark.parametrize("flag, answer", [(0, False), ("", False), (None, False), (1, True), ("x", True)])
def test_include_falsy_is_a_truth_value(flag, answer):
    assert bytes_check_if_contains(DATA, PATH, include_falsy=flag) is answer


@BOTH
def test_idx_without_index_is_a_memory_error(call):
    assert_fails(lambda: call(DATA, ["a", Idx.__new__(Idx)]), MemoryError)
