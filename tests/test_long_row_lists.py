"""Long lists of like dicts: written in one pass and taken back when a late row
differs. Whatever happens, the bytes must equal those of the reference model
and of the checked-first writer (used whenever Python code may run, here
forced by registering an unused custom type), and decode to the input."""

import pytest

from conftest import model_document
from pyquarl import CustomType, dump_bytes, load_bytes

N = 1100  # past the rows checked up front


class Unused:
    pass


def checked_first(value):
    return dump_bytes(value, custom_types={Unused: CustomType("u", str)})


def rows(n, start=0):
    return [{"id": i, "name": f"row-{i}", "tag": "same"} for i in range(start, start + n)]


def with_row(at, row, n=N):
    data = rows(n)
    data[at] = row
    return data


LATE_MISMATCHES = {
    "extra key": lambda at: with_row(at, {"id": 0, "name": "x", "tag": "same", "more": "new-string"}),
    "missing key": lambda at: with_row(at, {"id": 0, "name": "new-string"}),
    "other key": lambda at: with_row(at, {"id": 0, "name": "x", "gat": "new-string"}),
    "non-str key": lambda at: with_row(at, {"id": 0, "name": "x", 3: "new-string"}),
    "str subclass key": lambda at: with_row(at, {"id": 0, "name": "x", type("S", (str,), {})("tag"): 1}),
    "not a dict": lambda at: with_row(at, ["new-string"]),
}


@pytest.mark.parametrize("at", [1023, 1024, 1050, N - 1])
@pytest.mark.parametrize("make", LATE_MISMATCHES.values(), ids=LATE_MISMATCHES.keys())
def test_a_late_odd_row_gives_the_plain_list_form(make, at):
    data = make(at)
    if any(type(k) is not str and k not in (3,) for row in data if isinstance(row, dict) for k in row):
        # A str subclass key has no encoding: the whole dump fails.
        with pytest.raises(Exception, match="Unexpected type"):
            dump_bytes(data)
        return
    doc = dump_bytes(data)
    assert doc == model_document(data) == checked_first(data)
    assert doc[3] == 0x0D  # plain list, not one of like dicts
    assert load_bytes(doc) == data


def test_strings_first_seen_in_taken_back_rows_are_numbered_again():
    # "shared-late" first appears inside the rows that are taken back; it must
    # get its number anew in the plain form, and its later uses must point to it.
    data = rows(N)
    for row in data[1030:1080]:
        row["name"] = "shared-late"
    data[1090] = {"odd": "shape"}
    doc = dump_bytes([data, "shared-late", "row-5"])
    assert doc == model_document([data, "shared-late", "row-5"])
    assert load_bytes(doc) == [data, "shared-late", "row-5"]


def test_nested_long_lists_taken_back_at_either_level():
    inner_ok = rows(1030)
    inner_odd = rows(1030)
    inner_odd[1029] = {"x": "inner-odd"}
    outer = [{"k": "v", "items": inner_odd if i == 1040 else inner_ok} for i in range(1050)]
    for value in (outer, outer + [{"different": "keys"}], [outer, inner_ok, "row-7"]):
        doc = dump_bytes(value)
        assert doc == checked_first(value)
        assert load_bytes(doc) == value


def test_a_uniform_long_list_is_written_as_rows():
    data = rows(N)
    doc = dump_bytes(data)
    assert doc[3] == 0x13
    assert doc == model_document(data) == checked_first(data)
    assert load_bytes(doc) == data
