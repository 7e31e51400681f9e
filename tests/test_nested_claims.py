"""Containers nested inside each other, each claiming as many items as the
rest of the document could hold on its own: together the claims are far
beyond the input, and a decoder that allocates each claim before reading an
item asks for gigabytes. Memory must stay within a small multiple of the
input whatever the nesting, for every reader that builds values.

Each case runs in a child process under an address-space limit, so a
regression fails the test (MemoryError, or a killed child) instead of making
the machine swap."""

import pytest

from conftest import run_isolated, size

CHILD = r"""
import os, resource, tracemalloc
if not os.environ.get("PYQUARL_SANITIZED"):  # the sanitizer reserves terabytes of address space
    resource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))
import pyquarl
from pyquarl import DeserializationError

data = open({path!r}, "rb").read()
readers = {{
    "loads": lambda: pyquarl.loads(data),
    "loads-tuples": lambda: pyquarl.loads(data, use_tuples=True),
    "get": lambda: pyquarl.get(data),
}}
for name, read in readers.items():
    tracemalloc.start()
    try:
        read()
        outcome = "decoded"
    except DeserializationError as error:
        outcome = error.msg
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert outcome == {outcome!r}, (name, outcome)
    assert peak < {factor} * len(data) + (1 << 20), (name, peak, len(data))
assert pyquarl.contains(data, include_falsy=False) is True
print("ok")
"""

CAP = 1 << 30  # far above what the interpreter and the bound need, far below what the claims ask for
FACTOR = 40  # bytes of memory per input byte at the peak


def level(kind, claim):
    """One level of nesting that claims `claim` items and opens the next
    level as its first item (as the value of its first entry for dicts)."""
    return {
        "list": b"\x0d" + size(claim),
        "dict": b"\x0f" + size(claim // 2) + b"\x1e",
        "str-key-dict": b"\x10" + size(claim // 2) + b"\x02\xfea",
        "rows": b"\x13" + size(claim // 2) + b"\x01\x1e",
    }[kind]


def nested(kinds, depth, claim):
    body = b"".join(level(kinds[i % len(kinds)], claim) for i in range(depth))
    return b"<o>" + body + b"\x1e" * claim


CASES = [
    # the reported case: 9 000 lists of 54 000 items each, 99 kB
    pytest.param(nested(["list"], 9000, 54_000), "Unexpected end of input", id="lists-9000x54000"),
    pytest.param(nested(["dict"], 9000, 54_000), "Unexpected end of input", id="dicts"),
    pytest.param(nested(["str-key-dict"], 9000, 54_000), "Unexpected end of input", id="str-key-dicts"),
    pytest.param(nested(["rows"], 9000, 54_000), "Unexpected end of input", id="rows"),
    pytest.param(nested(["list", "dict", "rows", "str-key-dict"], 9000, 54_000), "Unexpected end of input",
                 id="mixed"),
    # 2 000 levels in 1 MB: 16 GB of claimed slots
    pytest.param(nested(["list"], 2000, 495_000), "Unexpected end of input", id="lists-1mb"),
    # claims that do fit decode as before: each level's other items follow it
    pytest.param(b"<o>" + b"\x0d\x02" * 5000 + b"\x1e" + b"\x1f" * 5000, "decoded", id="deep-and-complete"),
]


@pytest.mark.parametrize("data, outcome", CASES)
def test_memory_stays_proportional_to_the_input_across_nesting(data, outcome, tmp_path):
    (tmp_path / "doc.quarl").write_bytes(data)
    code = CHILD.format(cap=CAP, path=str(tmp_path / "doc.quarl"), outcome=outcome, factor=FACTOR)
    assert run_isolated(code) == "ok\n"

