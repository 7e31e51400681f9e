"""Every failure caused by the bytes of a document is a DeserializationError,
so one `except` catches damaged input, and `contains` answers False for it.
Bytes that are no flag or element type raise CorruptDataError, which is also
a TypeError (what they raised before). Where the damage has one offset, the
error carries it as `pos` (from the start of the document, marker included)."""

import pickle

import pytest

from conftest import doc
from pyquarl import CorruptDataError, DeserializationError, Idx, contains, get, loads

# (document, path to reach the damage lazily, class, message, pos)
DAMAGE = [
    pytest.param(doc("0D 02 0C 1E"), [Idx(1)], CorruptDataError, "Unexpected flag", 5, id="flag-12-in-list"),
    pytest.param(doc("0D 03 1E 19 1E"), [Idx(1)], CorruptDataError, "Unexpected flag", 6, id="flag-25"),
    pytest.param(doc("0E 07 00"), [], CorruptDataError, "Unexpected consistent list type", 4, id="element-type-7"),
    pytest.param(doc("0D 02 1E 1F"), [Idx(5)], DeserializationError, None, None, id="index-out-of-range"),
    pytest.param(doc("0D 02 1E 0A 03 61"), [Idx(1)], DeserializationError, "Unexpected end of input", 8,
                 id="cut-string-in-list"),
    # (the containment test answers for a container by its count alone, so these are "contained")
    pytest.param(doc("0D 03 1E 1F"), [], DeserializationError, "Unexpected end of input", 4, id="count-past-the-end"),
    pytest.param(doc("0A 02 61"), [], DeserializationError, "Unexpected end of input", 5, id="cut-string"),
    pytest.param(doc("13 02 01 1E 1E"), [], DeserializationError, "Unexpected end of input", 4, id="rows-past-the-end"),
]


@pytest.mark.parametrize("data, path, error_class, message, pos", DAMAGE)
def test_damage_is_a_deserialization_error_with_its_offset(data, path, error_class, message, pos):
    readers = [lambda: get(data, *path)] + ([lambda: loads(data)] if message is not None else [])
    for read in readers:
        with pytest.raises(DeserializationError) as raised:
            read()
        error = raised.value
        assert type(error) is error_class
        if message is not None:
            assert (error.msg, error.pos, str(error)) == (message, pos, message)
        if error_class is CorruptDataError:
            assert isinstance(error, TypeError)
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), again.msg, again.pos) == (type(error), error.msg, error.pos)
    assert contains(data, *path, include_falsy=False) is (path == [] and data[3] in (0x0D, 0x13))


def test_the_skipper_reports_a_bad_element_type_where_it_stands():
    data = doc("0D 02 0E 0D 00 1F")
    with pytest.raises(CorruptDataError) as raised:
        get(data, Idx(1))
    assert (raised.value.msg, raised.value.pos) == ("Unexpected consistent list type", 6)
    assert contains(data, Idx(1)) is False
