"""Lists of like dicts whose keys collide in the hash table. The rows after
the first must not place their keys again: a document can choose keys that
all hash alike (ints hash the same in every process), and re-probing K
colliding keys per row makes N rows cost N * K^2 comparisons."""

from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import size
from pyquarl import dumps, loads

M = (1 << 61) - 1  # int hashes are taken modulo M: every multiple of M hashes to 0


class CountingKey:
    """A key of constant hash that counts the equality tests made on it."""

    comparisons = 0

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return 0

    def __eq__(self, other):
        CountingKey.comparisons += 1
        return isinstance(other, CountingKey) and self.n == other.n

    def __repr__(self):
        return f"CountingKey({self.n})"


def rows_of_counting_keys(rows, width):
    # flag 19; each key is custom type 0 (flag 24, identifier 0) of the small int j; every value is j
    keys = b"".join(b"\x18\x1e" + bytes([0x1E + j]) + bytes([0x1E + j]) for j in range(width))
    later = bytes(0x1E + j for j in range(width)) * (rows - 1)
    return b"<o>\x13" + size(rows) + size(width) + keys + later


def rows_document(table):
    """`table` (a list of dicts with the same keys in the same order) as a list
    of structured dicts, which the encoder writes only for str keys."""
    def enc(value):
        return dumps(value)[3:]  # no string repeats across the document's values here

    keys = list(table[0])
    first = b"".join(enc(key) + enc(table[0][key]) for key in keys)
    later = b"".join(enc(row[key]) for row in table[1:] for key in keys)
    return b"<o>\x13" + size(len(table)) + size(len(keys)) + first + later


def comparisons_to_load(data):
    CountingKey.comparisons = 0
    value = loads(data, custom_types={0: CountingKey})
    return CountingKey.comparisons, value


def test_rows_after_the_first_compare_no_key():
    width = 40
    first_only, one = comparisons_to_load(rows_of_counting_keys(1, width))
    many, value = comparisons_to_load(rows_of_counting_keys(300, width))
    assert 0 < first_only <= width * width  # the first row is a dict built key by key
    assert many == first_only
    assert len(value) == 300
    for row in value:
        assert [(key.n, v) for key, v in row.items()] == [(j, j) for j in range(width)]
        assert list(row) == list(value[0])  # the very key objects of the first row


@settings(max_examples=60, deadline=None)
@given(
    keys=st.lists(st.integers(-50, 50).map(lambda k: k * M), min_size=1, max_size=30, unique=True),
    rows=st.integers(1, 6),
    data=st.data(),
)
def test_colliding_int_keys_round_trip_in_key_order(keys, rows, data):
    values = st.one_of(st.integers(), st.lists(st.integers(), max_size=2), st.none(), st.floats(allow_nan=False))
    table = [{key: data.draw(values) for key in keys} for _ in range(rows)]
    for tuples in (False, True):
        decoded = loads(rows_document(table), use_tuples=tuples)
        assert [list(row.items()) for row in decoded] == [
            [(k, tuple(v) if tuples and isinstance(v, list) else v) for k, v in row.items()] for row in table
        ]


def test_a_first_row_with_a_repeated_key_fills_later_rows_in_key_order():
    # keys 1, 1, 2: the first row keeps the last value of key 1; so does every later row
    data = b"<o>\x13\x02\x03" + b"\x1f\x1e" + b"\x1f\x1f" + b"\x20\x20" + b"\x23\x24\x25"
    assert loads(data) == [{1: 1, 2: 2}, {1: 6, 2: 7}]
