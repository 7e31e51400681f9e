"""Long lists of like dicts: written in one pass and taken back when a late row
differs. The bytes must equal the model's and those of the checked-first writer
(used whenever Python code may run, forced here by an unused custom type)."""

import pytest

from conftest import model_document
from pyquarl import CustomType, SerializationError, dump_bytes, load_bytes

N = 1100  # past the rows checked up front
AT = [1023, 1024, 1050, N - 1]


def checked_first(value):
    return dump_bytes(value, custom_types={type("Unused", (), {}): CustomType("u", str)})


def rows(n, odd_at=None, odd=None):
    data = [{"id": i, "name": f"row-{i}", "tag": "same"} for i in range(n)]
    if odd_at is not None:
        data[odd_at] = odd
    return data


def assert_written(value, flag=None, model=True):
    document = dump_bytes(value)
    assert document == checked_first(value) and (not model or document == model_document(value))
    assert flag is None or document[3] == flag
    assert load_bytes(document) == value


ODD_ROWS = {
    "extra key": {"id": 0, "name": "x", "tag": "same", "more": "new-string"},
    "missing key": {"id": 0, "name": "new-string"},
    "other key": {"id": 0, "name": "x", "gat": "new-string"},
    "non-str key": {"id": 0, "name": "x", 3: "new-string"},
    "not a dict": ["new-string"],
}


@pytest.mark.parametrize("at", AT)
@pytest.mark.parametrize("odd", ODD_ROWS.values(), ids=ODD_ROWS.keys())
def test_a_late_odd_row_gives_the_plain_list_form(odd, at):
    assert_written(rows(N, at, odd), flag=0x0D)


@pytest.mark.parametrize("at", AT)
@pytest.mark.parametrize("late", ["key of a str subclass", "row of a dict subclass"])
def test_a_late_row_without_encoding_fails_the_dump(late, at):
    # only the first rows' types are checked up front; the others as they are written
    if late.startswith("key"):
        odd = type("S", (str,), {})
        row = {"id": 0, "name": "x", odd("tag"): 1}
    else:
        odd = type("D", (dict,), {})
        row = odd(id=0, name="x", tag="same")
    with pytest.raises(SerializationError) as caught:
        dump_bytes(rows(N, at, row))
    assert str(caught.value) == f"Unexpected type: {odd!r}"


@pytest.mark.parametrize("at", [None, *AT])
def test_rows_whose_keys_are_equal_strings_of_their_own(at):
    # rows parsed from text: every row has its own key objects
    data = [{"".join(("i", "d")): i, "".join(("na", "me")): f"row-{i}"} for i in range(N)]
    if at is not None:
        data[at] = {"".join(("i", "d")): 0, "".join(("na", "mE")): "new-string"}
    assert_written(data, flag=0x13 if at is None else 0x0D)


def test_uniform_rows_and_strings_first_seen_in_taken_back_rows():
    assert_written(rows(N), flag=0x13)
    # "shared-late" first appears in rows that are taken back: it is numbered
    # anew in the plain form, and its later uses point to it
    data = rows(N, 1090, {"odd": "shape"})
    for row in data[1030:1080]:
        row["name"] = "shared-late"
    assert_written([data, "shared-late", "row-5"])


def test_nested_long_lists_taken_back_at_either_level():
    inner_ok, inner_odd = rows(1030), rows(1030, 1029, {"x": "inner-odd"})
    outer = [{"k": "v", "items": inner_odd if i == 1040 else inner_ok} for i in range(1050)]
    for value in (outer, outer + [{"different": "keys"}], [outer, inner_ok, "row-7"]):
        assert_written(value, model=False)
