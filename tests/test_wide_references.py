"""Back-references of three and four bytes, read by every reader. The documents
are built byte by byte: a typed list numbers one string per element, so 2**24
numbered strings take two bytes each, all of them the interpreter's own "a"
except a few marked ones, and the test fits in a few hundred MiB."""

from pathlib import Path

import pytest

from conftest import SANITIZED, doc, ref, run_isolated, size
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, load_bytes


def numbered(count, marks):
    """A typed list of `count` strings, "a" but at the numbers in `marks`, which read "m<number>"."""
    parts, at = [b"\x0e\x0a" + size(count)], 0
    for number in sorted(marks):
        text = f"m{number}".encode()
        parts += [b"\x01a" * (number - at), size(len(text)) + text]
        at = number + 1
    parts.append(b"\x01a" * (count - at))
    return b"".join(parts)


def references(count, uses):
    """The numbered strings, then a list of references: (number, width) pairs, width 0 for the long form."""
    marks = {number for number, _ in uses}
    return doc("0D 02", numbered(count, marks), "0D", size(len(uses)), *(ref(n, width) for n, width in uses))


def check(data, count, uses):
    value = load_bytes(data)
    assert len(value[0]) == count and value[1] == [f"m{n}" for n, _ in uses]
    assert all(value[0][n] == f"m{n}" and (n == 0 or value[0][n - 1] in ("a", f"m{n - 1}")) for n, _ in uses)
    assert value[1][-1] is value[0][uses[-1][0]]  # a reference yields the numbered string itself
    del value
    for i, (n, _) in enumerate(uses):
        assert lazy_load_bytes(data, [Idx(1), Idx(i)]) == f"m{n}"
        assert bytes_check_if_contains(data, [Idx(1), Idx(i)], include_falsy=False) is True
    assert lazy_load_bytes(data, [Idx(0), Idx(uses[-1][0])]) == f"m{uses[-1][0]}"


USES_3 = [(65535, 2), (65536, 3), (65791, 3), (69999, 3), (69999, 0), (255, 3), (0, 4)]


def test_three_byte_references():
    check(references(70_000, USES_3), 70_000, USES_3)


@pytest.mark.parametrize("number, width", [(70_000, 3), (2**24 - 1, 3), (2**32 - 1, 4), (2**40, 0)])
def test_a_reference_past_the_table_is_damage(number, width):
    data = references(70_000, [(69_999, 3)])[:-4] + ref(number, width)
    for read in (lambda: load_bytes(data), lambda: lazy_load_bytes(data, [Idx(1), Idx(0)])):
        with pytest.raises(DeserializationError):
            read()


# 2**24 + 2 numbered strings, in a fresh interpreter whose peak memory is measured
FOUR_BYTES = r"""
import resource, sys
sys.path.insert(0, {tests!r})
from test_wide_references import check, references
uses = [(2**24 - 1, 3), (2**24, 4), (2**24 + 1, 4), (2**24 + 1, 0), (65536, 4), (1, 3)]
check(references(2**24 + 2, uses), 2**24 + 2, uses)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""
BUDGET = 512 * 2**20  # the table of 2**24 numbers, a list of as many strings and the document: 340 MiB


def test_four_byte_references_within_a_memory_budget():
    peak = int(run_isolated(FOUR_BYTES.format(tests=str(Path(__file__).parent)), timeout=600))
    assert SANITIZED or peak < BUDGET, f"{peak / 2**20:.0f} MiB"
