"""Documents claiming far more than they hold (counts, lengths, sizes that wrap 64
bits, a million levels, 100,000-step paths): every reader refuses or answers them
within a second, without allocating what they claim."""

import time
import tracemalloc

import pytest

from conftest import CORRUPTED, END, SANITIZED, SIZE_OVERFLOW, TOO_MANY, doc, key_size, run_isolated, size
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, load_bytes

MAX = 2**64 - 1
QUICK = 10 if SANITIZED else 1  # seconds for one read: a refusal never walks what was claimed
INT_TOO_LARGE = "Corrupted data: integer magnitude of more than 65536 digits"
TOO_WIDE = b"\xff" + b"\xfe" * 9 + b"\xff"  # nine digits: 2**64 + 254 and up, past 64 bits

# each form claims n of something; a full decode refuses it with the message
FORMS = {
    "list": (lambda n: doc("0D", size(n), "1F"), END),
    "dict": (lambda n: doc("0F", size(n), "1F 1F"), END),
    "str-key-dict": (lambda n: doc("10", size(n), "02 FE 61 1F"), END),
    "str": (lambda n: doc("0A", size(n), "61"), END),
    "ascii": (lambda n: doc("12", size(n), "61"), END),
    "bytes": (lambda n: doc("0B", size(n), "61"), END),
    "floats": (lambda n: doc("0E 09", size(n), bytes(16)), END),
    "strs": (lambda n: doc("0E 0A", size(n), "01 61"), END),
    "bytes-list": (lambda n: doc("0E 0B", size(n), "01 61"), END),
    "bools": (lambda n: doc("0E 0C", size(n), "FF"), END),
    "str-element": (lambda n: doc("0E 0A 01", size(n), "61"), END),
    "bytes-element": (lambda n: doc("0E 0B 01", size(n), "61"), END),
    "rows": (lambda n: doc("13", size(n), "01 12 01 61 1F"), END),
    "row-width": (lambda n: doc("13 02", size(n), "12 01 61 1F"), END),
    "rows-and-width": (lambda n: doc("13", size(n), size(n), "1F 1F"), END),
    "inline-key": (lambda n: doc("10 01", key_size(n), "FE 61 1F"), END),
    "nones": (lambda n: doc("0E 04", size(n)), TOO_MANY),
    "keyless-rows": (lambda n: doc("13", size(n), "00"), TOO_MANY),
    "long-ref": (lambda n: doc("11", size(n)), CORRUPTED),
    "key-ref": (lambda n: doc("10 01 FE", size(n), "1F"), CORRUPTED),
}
CLAIMS = [
    *[pytest.param(make(n), message, id=f"{name}-{label}")
      for name, (make, message) in FORMS.items()
      for n, label in ((2**32, "2**32"), (2**63, "2**63"), (2**64 - 8, "2**64-8"), (MAX, "max"))],
    pytest.param(doc("0B", TOO_WIDE, "61"), SIZE_OVERFLOW, id="size-too-wide"),
    pytest.param(doc("0D 02 0B", TOO_WIDE, "1F"), SIZE_OVERFLOW, id="nested-size-too-wide"),
    pytest.param(doc("0D", TOO_WIDE, "1F"), SIZE_OVERFLOW, id="count-too-wide"),
    pytest.param(doc("10 01", TOO_WIDE, "1F"), SIZE_OVERFLOW, id="key-size-too-wide"),
    pytest.param(doc("07 FF", b"\x01" * 1000), END, id="int-digits-unterminated"),
    pytest.param(doc("07 FF", b"\x01" * 65537, "FF"), INT_TOO_LARGE, id="int-too-long"),
    pytest.param(doc("17 FF FF FF FF"), CORRUPTED, id="ref-32"),
]


def readers(data):
    """Every way of reading the value at the top, an element inside it, or past it."""
    copy, past = bytearray(data), doc("0D 02", data[3:], "1F")  # made before memory is traced
    return {
        "load": lambda: load_bytes(data),
        "load-bytearray-tuples": lambda: load_bytes(copy, use_tuples=True),
        "lazy-whole": lambda: lazy_load_bytes(data, []),
        "lazy-last-index": lambda: lazy_load_bytes(data, [Idx(MAX - 1)]),
        "lazy-key": lambda: lazy_load_bytes(data, ["a"]),
        "lazy-second": lambda: lazy_load_bytes(data, [Idx(1)]),
        "lazy-row-key": lambda: lazy_load_bytes(data, [Idx(2**62), "b"]),
        "lazy-past-it": lambda: lazy_load_bytes(past, [Idx(1)]),
        "check-falsy": lambda: bytes_check_if_contains(data, [], include_falsy=False),
        "check-past-it": lambda: bytes_check_if_contains(past, [Idx(1)]),
    }


@pytest.mark.parametrize("data, message", CLAIMS)
def test_impossible_claims_are_refused_quickly_without_allocating_them(data, message):
    for name, read in readers(data).items():
        tracemalloc.start()
        start = time.perf_counter()
        try:
            read()
        except DeserializationError as error:
            # the full decodes of the plain form give the exact message; a lazy
            # read may stop elsewhere, e.g. at the end while looking for a string
            assert not name.startswith("load") or str(error) == message, (name, error)
        else:
            # a lazy read may answer from what it needs without checking what
            # it skips or never reaches; a full decode may not
            assert name not in ("load", "load-bytearray-tuples", "lazy-whole"), f"{name} accepted the document"
        finally:
            elapsed, peak = time.perf_counter() - start, tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        assert elapsed < QUICK and peak < 64 * 1024, (name, elapsed, peak)


@pytest.mark.parametrize("data, path, expected", [
    (doc("0E 04", size(MAX)), [Idx(MAX - 1)], None),  # a None element needs no payload
    (doc("13", size(MAX), "00"), [Idx(MAX - 1)], {}),  # nor does a row of no keys
    (doc("0E 0C", size(MAX), "80"), [Idx(0)], True),  # the first bool is in the first byte
    (doc("07 FF", b"\xfe" * 65536, "FF"), [], 255**65536 + 254),  # the longest int there is
], ids=["none-element", "keyless-row", "first-bool", "longest-int"])
def test_what_needs_no_more_than_is_there_is_answered(data, path, expected):
    assert lazy_load_bytes(data, path) == expected


@pytest.mark.parametrize("width", [2**57, 2**62, MAX], ids=["2**57", "2**62", "max"])
@pytest.mark.parametrize("path, contained", [([Idx(1)], True), ([Idx(1), "a"], False), ([Idx(254), "a"], False)],
                         ids=["row", "row-key", "last-row-key"])
def test_lazy_row_of_a_list_claiming_a_huge_width(width, path, contained):
    # A row after the first used to reserve its key array for the claimed
    # width before reading a single key: MemoryError for 2**57 keys, and for
    # 2**62 an exception that ended the process.
    data = doc("13", size(255), size(width), "12 01 61 1F")
    with pytest.raises(DeserializationError):
        lazy_load_bytes(data, path)
    # a row is present whatever its values, so the check answers without reading it
    assert bytes_check_if_contains(data, path, include_falsy=False) is contained


# In a fresh interpreter, so a crash or a hang fails one test instead of the run.
TIMED = """
import time
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

def outcome(call):
    start = time.perf_counter()
    try:
        result = call()
    except (RecursionError, DeserializationError) as error:
        result = type(error).__name__
    assert time.perf_counter() - start < {quick}, call
    return result
"""

DEEP = TIMED + r"""
units = {
    "list": b"\x0d\x01", "dict": b"\x0f\x01\x1e", "str-key-dict": b"\x10\x01\x02\xfea", "custom": b"\x18\x1e",
    "rows": b"\x13\x01\x01\x1e",
}
loaders = {0: lambda value: value}
for name, unit in units.items():
    deep = b"<o>" + unit * 1_000_000 + b"\x1f"
    past = b"<o>\x0d\x02" + deep[3:] + b"\x1f"  # the deep value, then one to reach past it
    results = (
        outcome(lambda: load_bytes(deep, custom_types=loaders)),
        outcome(lambda: lazy_load_bytes(deep, [], custom_types=loaders)),
        outcome(lambda: lazy_load_bytes(past, [Idx(1)])),  # the skipper keeps no recursion
        outcome(lambda: bytes_check_if_contains(past, [Idx(1)], include_falsy=False)),
        outcome(lambda: bytes_check_if_contains(deep, [], include_falsy=False, custom_types=loaders))
        in (True, "RecursionError"),
    )
    assert results == ("RecursionError", "RecursionError", 1, True, True), (name, results)
assert load_bytes(dump_bytes([1, [2]])) == [1, [2]]
print("ok")
"""

LONG_PATHS = TIMED + r"""
STEPS = 100_000
lists = b"<o>" + b"\x0d\x01" * STEPS + b"\x1f"
dicts = b"<o>" + b"\x10\x01\x02\xfea" * STEPS + b"\x1f"
rows = b"<o>\x13\x01\x01\x12\x01a" + b"\x13\x01\x01\x14\x00" * (STEPS // 2 - 1) + b"\x1f"
cases = {
    "index-steps": (lists, [Idx(0)] * STEPS, 1),
    "key-steps": (dicts, ["a"] * STEPS, 1),
    "row-steps": (rows, [Idx(0), "a"] * (STEPS // 2), 1),
    "past-the-end": (lists, [Idx(0)] * (STEPS + 1), "DeserializationError"),
    "short-document": (b"<o>\x1f", ["a"] * STEPS, "DeserializationError"),
    "missing-key-at-the-end": (dicts, ["a"] * (STEPS - 1) + ["b"], "DeserializationError"),
}
for name, (data, path, expected) in cases.items():
    assert outcome(lambda: lazy_load_bytes(data, path)) == expected, name
    assert outcome(lambda: bytes_check_if_contains(data, path)) is (expected == 1), name
print("ok")
"""


@pytest.mark.parametrize("script", [DEEP, LONG_PATHS], ids=["a-million-levels", "100000-step-paths"])
def test_deep_documents_and_long_paths(script):
    assert run_isolated(script.replace("{quick}", str(QUICK))) == "ok\n"
