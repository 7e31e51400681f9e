"""The encoder's string numbering checked byte for byte against the model
encoder of conftest, which writes the first occurrence of a text in full and
later ones as back-references to its number, keys and values sharing one
numbering. The encoder's table (its slot layout, growth, the memos, requests
made ahead of long runs, taking back a list of rows that turned out unlike)
must give exactly these bytes."""

from __future__ import annotations

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pyquarl
from conftest import model_document as expected


def fresh(text: str) -> str:
    """An equal str that is another object, as text parsed twice would be."""
    return "".join(list(text))


# Texts around the table's short/long boundary (11 stored bytes) and the
# 16-byte compare window, in the three storage widths.
ALPHABETS = ["ab", "abcdefghijklmnopqrstuvwxyz0123456789", "aé", "жыц", "a\u4e2d", "\U0001f600x"]


def texts(rnd: random.Random, count: int, alphabet: str, lengths: range) -> list[str]:
    return ["".join(rnd.choices(alphabet, k=rnd.choice(lengths))) for _ in range(count)]


@pytest.mark.parametrize("alphabet", ALPHABETS)
@pytest.mark.parametrize("count", [1, 63, 64, 65, 300, 5_000])
def test_lists_of_strings_match_the_model(alphabet: str, count: int) -> None:
    rnd = random.Random(count * 31 + len(alphabet))
    items = texts(rnd, count, alphabet, range(0, 24))
    items += [fresh(rnd.choice(items)) for _ in range(count)]  # repeats as other objects
    items += rnd.sample(items, len(items))  # and as the same objects
    assert pyquarl.dumps(items) == expected(items)


@pytest.mark.parametrize("count", [63, 64, 1_000, 20_000])
def test_big_str_key_dicts_match_the_model(count: int) -> None:
    rnd = random.Random(count)
    keys = texts(rnd, count, ALPHABETS[1] + "é", range(0, 30))
    values = [rnd.choice(keys) if rnd.random() < 0.5 else fresh(k) for k in keys]
    doc = {"list": [fresh(k) for k in keys[: count // 2]], "big": dict(zip(keys, values)), "again": keys[::7]}
    assert pyquarl.dumps(doc) == expected(doc)


def test_numbers_past_two_bytes_match_the_model() -> None:
    # 70 000 distinct strings: back-references of one, two and three bytes.
    items = [f"{i:x}-{i * 7919 % 10007}" for i in range(70_000)]
    items += items[::-97] + [fresh(t) for t in items[65_530:65_545]]
    assert pyquarl.dumps(items) == expected(items)


def test_a_second_dump_numbers_from_zero_whatever_the_first_left() -> None:
    # The first dump leaves a large table size behind as a hint for the next.
    pyquarl.dumps([f"warm-{i}" for i in range(50_000)])
    small = ["x", "y", "x", fresh("y")]
    assert pyquarl.dumps(small) == expected(small)


@pytest.mark.parametrize("odd_row", ["extra key", "missing key", "other key"])
def test_rows_taken_back_after_the_table_grew(odd_row: str) -> None:
    # More rows than are checked ahead: the odd last row is met only while
    # writing, after the rows before it registered thousands of new strings.
    rows = [{"id": f"row-{i}", "name": f"name {i} é", "k": "shared"} for i in range(3_000)]
    last = dict(rows[-1])
    if odd_row == "extra key":
        last["more"] = "x"
    elif odd_row == "missing key":
        del last["k"]
    else:
        last["other"] = last.pop("k")
    rows[-1] = last
    doc = {"before": ["name 5 é", "row-2999"], "rows": rows, "after": ["row-17", "new"]}
    assert pyquarl.dumps(doc) == expected(doc)


@pytest.mark.parametrize("width", [3, 16, 17, 50])
@pytest.mark.parametrize("count", [2, 64, 1_500])
def test_rows_in_shuffled_key_orders_match_the_model(width: int, count: int) -> None:
    rnd = random.Random(width * count)
    keys = [f"key {c}" if c % 3 else f"k{c}é" for c in range(width)]
    rows = []
    for i in range(count):
        order = rnd.sample(keys, width) if rnd.random() < 0.8 else keys
        # Keys of some rows are other objects with the same text.
        rows.append({fresh(k) if rnd.random() < 0.1 else k: f"v{i % 37}-{c}" for c, k in enumerate(order)})
    assert pyquarl.dumps(rows) == expected(rows)


short_or_long = st.text(alphabet=st.sampled_from("ab\u00e9\u4e2d\U0001f600"), max_size=20)


@settings(max_examples=60, deadline=None)
@given(st.lists(short_or_long, min_size=1, max_size=40), st.integers(0, 400), st.randoms(use_true_random=False))
def test_random_repeats_match_the_model(pool: list[str], length: int, rnd: random.Random) -> None:
    items = [rnd.choice(pool) for _ in range(length)]
    items = [fresh(t) if rnd.random() < 0.3 else t for t in items]
    assert pyquarl.dumps(items) == expected(items)


@settings(max_examples=40, deadline=None)
@given(st.dictionaries(short_or_long, short_or_long, min_size=1, max_size=120),
       st.lists(short_or_long, max_size=80))
def test_dicts_and_values_share_numbers(mapping: dict[str, str], values: list[str]) -> None:
    doc = [values, mapping, [fresh(k) for k in mapping]]
    assert pyquarl.dumps(doc) == expected(doc)
