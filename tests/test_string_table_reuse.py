"""The string table's slots outlive a dump: each thread keeps the block of its
last large table, cleared, for the next one. Whatever the dump before left
(an error halfway, a nested dump, another thread, rows taken back), the next
dump must number its strings from zero, byte for byte as the model does."""

from __future__ import annotations

import threading

import pytest
from conftest import model_document

import pyquarl


def texts(tag: str, count: int) -> list[str]:
    # Short and long texts, so both kinds of slot are left behind.
    return [f"{tag}{i}" if i % 2 else f"{tag}-a-longer-text-{i}" for i in range(count)]


# Checked after each way of leaving the table: few strings (the table's first
# slots), and enough for it to grow within the kept block.
PROBES = [["x", "y", "x", "".join(["y"])], texts("p", 3_000) + texts("p", 3_000)[::-3]]


def assert_numbered_from_zero() -> None:
    for probe in PROBES:
        assert pyquarl.dumps(probe) == model_document(probe)


class Boom(Exception):
    pass


def fail(obj: object) -> object:
    raise Boom


@pytest.mark.parametrize("count", [10, 200, 40_000])
def test_after_an_error_halfway(count: int) -> None:
    with pytest.raises(pyquarl.SerializationError):
        pyquarl.dumps([*texts("e", count), object()], default=fail)
    assert_numbered_from_zero()


@pytest.mark.parametrize("inner_count", [5, 20_000])
def test_a_dump_nested_in_a_hook_keeps_both_numberings(inner_count: int) -> None:
    inner = texts("i", inner_count)
    outer_strings = texts("o", 5_000)
    inner_bytes: list[bytes] = []

    def hook(obj: object) -> object:
        inner_bytes.append(pyquarl.dumps(inner))
        return "hooked"

    doc = [*outer_strings, object(), *outer_strings[::-7]]
    out = pyquarl.dumps(doc, default=hook)
    assert out == model_document([*outer_strings, "hooked", *outer_strings[::-7]])
    assert inner_bytes == [model_document(inner)]
    assert_numbered_from_zero()


def test_threads_keep_their_own_tables() -> None:
    pyquarl.dumps(texts("m", 30_000))
    results: dict[int, bool] = {}

    def work(n: int) -> None:
        ok = True
        for round_ in range(3):
            doc = texts(f"t{n}.{round_}", 4_000 * (n + 1))
            ok &= pyquarl.dumps(doc) == model_document(doc)
        results[n] = ok

    threads = [threading.Thread(target=work, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {0: True, 1: True, 2: True}
    assert_numbered_from_zero()


def test_after_rows_taken_back() -> None:
    rows = [{"id": f"row-{i}", "k": "shared"} for i in range(2_000)]
    rows[-1] = {"id": "last", "other": "x"}
    doc = {"rows": rows, "after": ["row-7", "new"]}
    assert pyquarl.dumps(doc) == model_document(doc)
    assert_numbered_from_zero()


def test_after_a_table_too_large_to_keep() -> None:
    # More distinct strings than a kept block holds: that table is freed, and
    # the block kept from before (if any) still serves.
    big = [f"{i:x}" for i in range(150_000)]
    assert pyquarl.loads(pyquarl.dumps(big)) == big
    assert_numbered_from_zero()
