"""The lazy reader with Python code running inside it (key comparisons, truth
tests, loaders), and odd index steps (deep documents and long paths: test_hostile_input.py)."""

import pytest

from conftest import assert_fails, doc, raw_idx
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes

STR_DICT = doc("10 02 02 FE 61 1F 02 FE 62 20")
GENERAL_DICT = doc("0F 02 12 01 61 1F 12 01 62 20")
ROWS = doc("13 02 02 12 01 61 1F 12 01 62 20 21 22")


class Key:
    """A path key that prints as Key and compares through `compare`."""
    __hash__ = object.__hash__

    def __init__(self, compare):
        self.compare = compare

    def __eq__(self, other):
        return self.compare(other)

    def __str__(self):
        return "Key"


def failing_on_a(error):
    def compare(other):
        if other == "a":
            raise error
        return True
    return Key(compare)


@pytest.mark.parametrize("data, prefix", [(STR_DICT, []), (GENERAL_DICT, []), (ROWS, [Idx(1)])], ids=["str", "any", "row"])
def test_key_comparison_runs_python(data, prefix):
    b = 4 if prefix else 2
    assert lazy_load_bytes(data, [*prefix, Key(lambda other: other == "b")]) == b
    assert lazy_load_bytes(data, [*prefix, Key(lambda other: True)]) == b - 1  # the first match wins
    assert_fails(lambda: lazy_load_bytes(data, [*prefix, Key(lambda other: False)]), DeserializationError,
                 f"Key not found, key: `Key` (type `{Key!r}`)")
    # an exception ends the search, so no later match returns with it pending;
    # the check takes a DeserializationError for a miss like any other
    for call, error in [(lazy_load_bytes, ValueError), (lazy_load_bytes, DeserializationError), (bytes_check_if_contains, ValueError)]:
        assert_fails(lambda: call(data, [*prefix, failing_on_a(error("no"))]), error, "no")
    assert bytes_check_if_contains(data, [*prefix, failing_on_a(DeserializationError("no"))]) is False
    path = [*prefix]  # the walk holds its own reference to each step
    path.append(Key(lambda other: path.clear() or other == "b"))
    assert lazy_load_bytes(data, path) == b


def test_comparison_cannot_resize_the_bytearray_being_read():
    data = bytearray(STR_DICT)
    with pytest.raises(BufferError):
        lazy_load_bytes(data, [Key(lambda other: data.clear())])
    data.clear()  # released again once the call is over


class RaisingTruth:
    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


def test_custom_value_whose_truth_test_raises():
    def check(error):
        return bytes_check_if_contains(doc("0D 02 1F 18 12 01 70 1F"), [Idx(1)], include_falsy=False,
                                       custom_types={"p": lambda value: RaisingTruth(error)})
    assert_fails(lambda: check(ValueError("bad")), ValueError, "bad")
    assert check(DeserializationError("bad")) is False  # a miss like any other


def test_custom_type_keys_are_loaded_and_compared():
    data = doc("0F 02 18 12 01 70 1F 12 01 76 18 14 00 20 12 01 77")
    types = {"p": lambda value: value * 10}
    assert lazy_load_bytes(data, [20], custom_types=types) == "w"
    assert bytes_check_if_contains(data, [10], custom_types=types, include_falsy=False) is True
    assert bytes_check_if_contains(data, [10]) is False  # the unknown identifier is a DeserializationError


@pytest.mark.parametrize("index, error, message", [
    ("1", TypeError, None), (-1, TypeError, "Index must not be negative"),
    (-(2**70), TypeError, "Index must not be negative"), (2**64, OverflowError, None),
])
def test_index_that_is_not_a_64_bit_count(index, error, message):
    for call in (lazy_load_bytes, bytes_check_if_contains):
        for data in (doc("0D 01 1F"), b""):  # the path is read before the marker
            assert_fails(lambda: call(data, [raw_idx(index)]), error, message)


def test_idx_subclass_is_a_key_step():
    class SubIdx(Idx):
        pass
    assert_fails(lambda: lazy_load_bytes(doc("0F 02 1F 12 01 61 0D 01 20 12 01 62"), [SubIdx(0)]), DeserializationError,
                 f"Key not found, key: `Idx(0)` (type `{SubIdx!r}`)")


def test_index_comparison_may_edit_the_path():
    class Index(int):
        def __lt__(self, other):
            path.clear()
            return False
    path = [raw_idx(Index(1)), "gone"]
    assert lazy_load_bytes(doc("0D 02 1F 20"), path) == 2

