"""The lazy reader with Python code running inside it (key comparisons, truth
tests, loaders), odd path steps, and very deep documents or long paths."""

import pytest

from helpers_lazy import doc, raw_idx
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, load_bytes

STR_DICT = doc("10 02 02 FE 61 1F 02 FE 62 20")
GENERAL_DICT = doc("0F 02 12 01 61 1F 12 01 62 20")
ROWS = doc("13 02 02 12 01 61 1F 12 01 62 20 21 22")


class Box:
    """What the test loader makes of a custom-type value."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return type(other) is Box and other.value == self.value

    def __bool__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return bool(self.value)


class Key:
    """A path key whose comparison answers `answer` (or raises it) and counts its calls."""

    def __init__(self, answer):
        self.answer, self.calls = answer, 0

    def __eq__(self, other):
        self.calls += 1
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer(other) if callable(self.answer) else self.answer

    __hash__ = object.__hash__

    def __str__(self):
        return "Key"


@pytest.mark.parametrize("data, prefix", [(STR_DICT, []), (GENERAL_DICT, []), (ROWS, [Idx(1)])])
class TestKeyComparison:
    def test_raising_comparison_fails_the_lookup(self, data, prefix):
        key = Key(ValueError("no"))
        for call in (lazy_load_bytes, bytes_check_if_contains):
            with pytest.raises(ValueError, match="no"):
                call(data, [*prefix, key])
        assert key.calls == 2  # the first entry already failed

    def test_deserialization_error_in_comparison_is_a_miss_for_check(self, data, prefix):
        key = Key(DeserializationError("mine"))
        with pytest.raises(DeserializationError, match="mine"):
            lazy_load_bytes(data, [*prefix, key])
        assert bytes_check_if_contains(data, [*prefix, key]) is False

    def test_result_whose_truth_raises_fails_the_lookup(self, data, prefix):
        class Bad:
            def __bool__(self):
                raise KeyError("truth")
        with pytest.raises(KeyError):
            lazy_load_bytes(data, [*prefix, Key(Bad())])

    def test_only_true_matches_and_first_match_wins(self, data, prefix):
        assert lazy_load_bytes(data, [*prefix, Key(lambda other: other == "b")]) == (4 if prefix else 2)
        assert lazy_load_bytes(data, [*prefix, Key(True)]) == (3 if prefix else 1)
        with pytest.raises(DeserializationError, match="^Key not found, key: `Key` .type `<class '.*Key'>`.$"):
            lazy_load_bytes(data, [*prefix, Key(False)])

    def test_comparison_may_empty_the_path(self, data, prefix):
        path = [*prefix]
        path.append(Key(lambda other: path.clear() or other == "b"))
        assert lazy_load_bytes(data, path) == (4 if prefix else 2)


def test_unprintable_missing_key_is_a_memory_error():
    class Unprintable(Key):
        def __str__(self):
            raise RuntimeError("str")
    with pytest.raises(MemoryError):
        lazy_load_bytes(STR_DICT, [Unprintable(False)])


def test_comparison_cannot_resize_the_bytearray_being_read():
    data = bytearray(STR_DICT)
    with pytest.raises(BufferError):
        lazy_load_bytes(data, [Key(lambda other: data.clear())])
    data.clear()  # released again once the call is over


@pytest.mark.parametrize("loaded, truth", [
    (1, True), (0, False), ([], False), ("x", True), (ValueError("bad"), ValueError), (DeserializationError("bad"), False),
])
def test_custom_type_value_at_the_end(loaded, truth):
    data = doc("0D 02 1F 18 12 01 70 1F")
    types = {"p": lambda value: Box(loaded)}
    assert lazy_load_bytes(data, [Idx(1)], custom_types=types) == Box(loaded)
    if truth is ValueError:  # a truth test that raises fails the check
        with pytest.raises(ValueError, match="bad"):
            bytes_check_if_contains(data, [Idx(1)], include_falsy=False, custom_types=types)
    else:
        assert bytes_check_if_contains(data, [Idx(1)], include_falsy=False, custom_types=types) is truth


@pytest.mark.parametrize("types, message", [
    (None, "Unknown custom type. please provide the correct mapping when deserializing. identifier: `p` (type: `<class 'str'>`)"),
    ({"p": lambda value: 1 / 0}, "Failed to deserialize custom type"),
])
def test_custom_type_that_cannot_be_loaded(types, message):
    data, options = doc("0D 02 1F 18 12 01 70 1F"), {} if types is None else {"custom_types": types}
    with pytest.raises(DeserializationError) as raised:
        lazy_load_bytes(data, [Idx(1)], **options)
    assert str(raised.value) == message
    assert bytes_check_if_contains(data, [Idx(1)], include_falsy=False, **options) is False
    assert bytes_check_if_contains(data, [Idx(1)], **options) is True  # not read
    assert lazy_load_bytes(data, [Idx(0)], **options) == 1  # only skipped


def test_custom_type_keys_are_loaded_and_compared():
    data = doc("0F 02 18 12 01 70 1F 12 01 76 18 14 00 20 12 01 77")
    types = {"p": lambda value: value * 10}
    assert lazy_load_bytes(data, [20], custom_types=types) == "w"
    assert bytes_check_if_contains(data, [10], custom_types=types, include_falsy=False) is True
    assert bytes_check_if_contains(data, [10]) is False  # the unknown identifier is a DeserializationError


@pytest.mark.parametrize("index, error, message", [
    ("1", TypeError, None), (1.0, TypeError, None), (None, TypeError, None),
    (-1, TypeError, "^Index must not be negative$"), (-(2**70), TypeError, "^Index must not be negative$"),
    (2**64, OverflowError, None),
])
def test_index_that_is_not_a_64_bit_count(index, error, message):
    data = doc("0D 01 1F")
    for call in (lazy_load_bytes, bytes_check_if_contains):
        with pytest.raises(error, match=message):
            call(data, [raw_idx(index)])
        with pytest.raises(error, match=message):
            call(b"", [raw_idx(index)])  # the path is read before the marker


def test_index_steps_are_exactly_idx():
    class SubIdx(Idx):
        pass
    data = doc("0F 02 1F 12 01 61 0D 01 20 12 01 62")
    assert lazy_load_bytes(data, [True]) == "a"  # a bool is a key step
    with pytest.raises(DeserializationError, match="^Key not found"):
        lazy_load_bytes(data, [SubIdx(0)])  # a subclass is a key step too
    assert lazy_load_bytes(doc("0D 02 1F 20"), [raw_idx(True)]) == 2  # a bool index is an int


def test_index_comparison_may_edit_the_path():
    class Index(int):
        def __lt__(self, other):
            path.clear()
            return False
    path = [raw_idx(Index(1)), "gone"]
    assert lazy_load_bytes(doc("0D 02 1F 20"), path) == 2


DEPTH = 1_000_000


@pytest.mark.parametrize("unit, step", [
    (b"\x0d\x01", Idx(0)),
    (b"\x10\x01\x02\xfea", "a"),
    (b"\x10\x01\xfe\x00", "a"),
    (b"\x0f\x01\x12\x01a", "a"),
    (b"\x13\x01\x01\x12\x01a", None),
    (b"\x18\x1e", None),
])
def test_deep_documents(unit, step):
    key = b"\x12\x01a" if unit[0] == 0x10 and unit[2] == 0xFE else b""  # registers "a" for the FE references
    data = b"<o>\x0d" + bytes([3 if key else 2]) + key + unit * DEPTH + b"\x1f\x2a"
    first = 1 if key else 0
    assert lazy_load_bytes(data, [Idx(first + 1)]) == 12  # skipped without recursion
    for call in (lambda: lazy_load_bytes(data, [Idx(first)]), lambda: load_bytes(data, ignore_extra_data=True)):
        with pytest.raises(RecursionError):
            call()
    if step is not None:
        path = [Idx(first)] + [step] * DEPTH
        assert lazy_load_bytes(data, path) == 1
        assert bytes_check_if_contains(data, path, include_falsy=False) is True
        assert bytes_check_if_contains(data, path[: 100_001]) is True
        with pytest.raises(RecursionError):
            lazy_load_bytes(data, path[: 100_001])


def test_long_path_through_rows():
    data = b"<o>" + b"\x13\x01\x01\x12\x01a" + b"\x13\x01\x01\x14\x00" * 99_999 + b"\x1f"
    assert lazy_load_bytes(data, [Idx(0), "a"] * 100_000) == 1
    with pytest.raises(DeserializationError, match="^Index out of range"):
        lazy_load_bytes(data, [Idx(0), "a"] * 99_999 + [Idx(1)])
