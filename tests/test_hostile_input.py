"""Documents nobody valid would write: truncated, claiming far more than they
hold, sizes past 64 bits, nesting without end, paths of 100,000 steps. Every
reader refuses or answers them in an orderly way, with the decoder's own error
classes, without allocating what they claim (random damage: fuzz/)."""

import tracemalloc

import pytest

from conftest import (
    CORPUS_LOADERS, CORRUPTED, END, MISSING_MARKER, SIZE_OVERFLOW, TOO_MANY, corpus, doc, extra_data, key_size,
    load_fails, run_isolated, same_value, size,
)
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, load_bytes

CORPUS = corpus()
MAX = 2**64 - 1
INT_TOO_LARGE = "Corrupted data: integer magnitude of more than 65536 digits"


@pytest.mark.parametrize("data", CORPUS, ids=range(len(CORPUS)))
def test_every_truncation_and_extension_of_valid_documents(data):
    whole = load_bytes(data, custom_types=CORPUS_LOADERS)
    assert same_value(whole, load_bytes(bytearray(data), custom_types=CORPUS_LOADERS))
    for cut in range(len(data)):
        load_fails(data[:cut], DeserializationError, MISSING_MARKER if cut < 3 else END, custom_types=CORPUS_LOADERS)
    load_fails(data + b"\x00", DeserializationError, extra_data(len(data)), custom_types=CORPUS_LOADERS)


# (before, after) the size field of every place one is read, and what a full
# decode says of a claim far beyond the input
SITES = {
    "list": ("0D", "1F", END), "dict": ("0F", "1F 1F", END), "str-key-dict": ("10", "02 FE 61 1F", END),
    "str": ("0A", "61", END), "ascii": ("12", "61", END), "bytes": ("0B", "61", END),
    "floats": ("0E 09", bytes(16), END), "strs": ("0E 0A", "01 61", END), "bytes-list": ("0E 0B", "01 61", END),
    "bools": ("0E 0C", "FF", END), "str-element": ("0E 0A 01", "61", END), "bytes-element": ("0E 0B 01", "61", END),
    "rows": ("13", "01 12 01 61 1F", END), "row-width": ("13 02", "12 01 61 1F", END),
    "nones": ("0E 04", "", TOO_MANY), "keyless-rows": ("13", "00", TOO_MANY),
    "long-ref": ("11", "", CORRUPTED), "key-ref": ("10 01 FE", "1F", CORRUPTED),
}
CLAIMED = {"2**32": size(2**32), "2**63": size(2**63), "2**64-8": size(2**64 - 8), "max": size(MAX)}
# 2**64 just over, nine digits of 254, far too many digits
OVERFLOWING = {"2**64": size(2**64), "nine-digits": bytes([0xFF] + [0xFE] * 9 + [0xFF]),
               "forty-digits": bytes([0xFF] + [0xFE] * 40 + [0xFF])}
CLAIMS = [
    *(pytest.param(doc(before, field, after), message, id=f"{site}-{label}")
      for site, (before, after, message) in SITES.items() for label, field in CLAIMED.items()),
    *(pytest.param(doc(before, field, after), SIZE_OVERFLOW, id=f"{site}-over-{label}")
      for site, (before, after, _) in SITES.items() for label, field in OVERFLOWING.items()),
    pytest.param(doc("10 01", key_size(2**63), "FE 61 1F"), END, id="inline-key-2**63"),
    pytest.param(doc("10 01", key_size(MAX), "FE 61 1F"), END, id="inline-key-max"),
    pytest.param(doc("10 01", key_size(2**64), "FE 61 1F"), SIZE_OVERFLOW, id="inline-key-over"),
    pytest.param(doc("13", size(2**32), size(2**32), "1F 1F"), END, id="rows-and-width"),
    pytest.param(doc("13", size(2**30), "00"), TOO_MANY, id="keyless-rows-2**30"),
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
def test_impossible_claims_are_refused_without_allocating_them(data, message):
    for name, read in readers(data).items():
        tracemalloc.start()
        try:
            read()
        except DeserializationError as error:
            # the full decodes give the exact message; a lazy read may stop
            # elsewhere, e.g. at the end while looking for a string
            assert not name.startswith("load") or str(error) == message, (name, error)
        else:
            # a lazy read may answer from what it needs without checking what
            # it skips or never reaches; a full decode may not
            assert name not in ("load", "load-bytearray-tuples", "lazy-whole"), f"{name} accepted the document"
        finally:
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        assert peak < 64 * 1024, (name, peak)


# a count at the edge of what the input holds (each item takes at least one
# byte, each pair two), then one more
@pytest.mark.parametrize("fits, one_more", [
    ("0D 03 1F 1F 1F", "0D 04 1F 1F 1F"), ("0F 02 1F 1F 20 20", "0F 03 1F 1F 20 20"),
    ("10 01 00 1F", "10 02 00 1F"), ("0E 0A 02 00 00", "0E 0A 03 00 00"), ("0E 0B 02 00 00", "0E 0B 03 00 00"),
    ("0E 09 01" + " 00" * 8, "0E 09 02" + " 00" * 15), ("0E 0C 10 FF FF", "0E 0C 11 FF FF"),
    ("13 03 01 1F 1F 20 21", "13 04 01 1F 1F 20 21"), ("13 01 02 1F 1F 20 20", "13 01 03 1F 1F 20 20"),
], ids=["list", "dict", "str-key-dict", "strs", "bytes-list", "floats", "bools", "rows", "row-width"])
def test_counts_at_the_edge_of_the_input(fits, one_more):
    load_bytes(doc(fits))
    load_fails(doc(one_more), DeserializationError, END)


def test_elements_without_payload_are_bounded_by_what_a_document_could_hold():
    assert load_bytes(doc("0E 04", size(10**6))) == [None] * 10**6
    rows = load_bytes(doc("13", size(10**5), "00"), use_tuples=True)
    assert type(rows) is tuple and len(rows) == 10**5 and rows[-1] == {}


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


# In a fresh interpreter, so that a crash fails one test instead of the run.
# Paths are made of keys that count their comparisons: a walk that went back
# over the steps it had taken would compare far more often than once a step.
DEEP = r"""
import sys, threading
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

def outcome(call):
    try:
        return call()
    except (RecursionError, DeserializationError) as error:
        return type(error).__name__

class Key:
    compared = 0
    __hash__ = object.__hash__
    def __eq__(self, other):
        Key.compared += 1
        return other == "a"

LEVELS = 1_000_000
# head and close of one level; the innermost value is 1F
kinds = {
    "list": (b"\x0d\x01", b""), "dict": (b"\x0f\x01\x1f", b""), "dict-key": (b"\x0f\x01", b"\x1f"),
    "str-key-dict": (b"\x10\x01\x02\xfea", b""), "ref-key-dict": (b"\x10\x01\xfe\x00", b""),
    "rows": (b"\x13\x01\x01\x1f", b""), "row-key": (b"\x13\x01\x01", b"\x1f"),
    "later-row": (b"\x13\x02\x01\x1f\x1f", b""), "custom": (b"\x18\x1f", b""), "custom-identifier": (b"\x18", b"\x1f"),
    "mixed": (b"\x0d\x01\x10\x01\x01\xfe\x13\x01\x01\x1f\x18\x1f", b""),
}
loaders = {1: lambda value: 1}
for name, (head, close) in kinds.items():
    value = head * LEVELS + b"\x1f" + close * LEVELS
    deep = b"<o>\x0d\x02\x12\x01a" + value  # "a" first, for the key references
    past = b"<o>\x0d\x03\x12\x01a" + value + b"\x2a"  # and one more to reach past it
    results = (
        outcome(lambda: load_bytes(deep, custom_types=loaders)),
        outcome(lambda: load_bytes(deep, custom_types=loaders, use_tuples=True)),
        outcome(lambda: lazy_load_bytes(deep, [Idx(1)], custom_types=loaders)),
        outcome(lambda: lazy_load_bytes(past, [Idx(2)])),  # the skipper keeps no recursion
        outcome(lambda: bytes_check_if_contains(past, [Idx(2)], include_falsy=False)),
    )
    assert results == ("RecursionError",) * 3 + (12, True), (name, results)

# a path as deep as the document is walked without recursion, one comparison a step
STEPS = 100_000
lists = b"<o>" + b"\x0d\x01" * STEPS + b"\x1f"
dicts = b"<o>" + b"\x10\x01\x02\xfea" * STEPS + b"\x1f"
ref_dicts = b"<o>\x10\x01\x02\xfea" + b"\x10\x01\xfe\x00" * (STEPS - 1) + b"\x1f"
rows = b"<o>\x13\x01\x01\x12\x01a" + b"\x13\x01\x01\x14\x00" * (STEPS // 2 - 1) + b"\x1f"
a = Key()
cases = {
    "index-steps": (lists, [Idx(0)] * STEPS, 1),
    "key-steps": (dicts, [a] * STEPS, 1),
    "ref-key-steps": (ref_dicts, [a] * STEPS, 1),
    "row-steps": (rows, [Idx(0), a] * (STEPS // 2), 1),
    "past-the-end": (lists, [Idx(0)] * (STEPS + 1), "DeserializationError"),
    "short-document": (b"<o>\x1f", [a] * STEPS, "DeserializationError"),
    "missing-key-at-the-end": (dicts, [a] * (STEPS - 1) + ["b"], "DeserializationError"),
}
for name, (data, path, expected) in cases.items():
    Key.compared = 0
    assert outcome(lambda: lazy_load_bytes(data, path)) == expected, name
    assert outcome(lambda: bytes_check_if_contains(data, path)) is (expected == 1), name
    assert Key.compared <= 2 * path.count(a), (name, Key.compared)

# a thread with a small stack ends deep nesting with RecursionError too
thread_outcome = []
threading.stack_size(4 * 1024 * 1024)
thread = threading.Thread(target=lambda: thread_outcome.append(outcome(lambda: load_bytes(lists))))
thread.start()
thread.join()
assert thread_outcome == ["RecursionError"], thread_outcome
assert load_bytes(dump_bytes([1, [2]])) == [1, [2]]
print("ok")
"""


def test_deep_documents_and_long_paths():
    assert run_isolated(DEEP, timeout=600) == "ok\n"


# A decode may build 512 MiB of elements without payload, plus 64 bytes per
# input byte; a None costs one 8-byte slot. At the edge the list is built.
EDGE = r"""
from pyquarl import DeserializationError, load_bytes
def nones(n):
    return b"<o>\x0e\x04\xff" + b"".join(bytes([(n - 255) // 255**i % 255]) for i in range(4)) + b"\xff"
n = (2**29 + 64 * len(nones(2**26))) // 8
assert len(nones(n)) == len(nones(2**26)) == 11
assert len(load_bytes(nones(n))) == n
try:
    load_bytes(nones(n + 1))
except DeserializationError as error:
    print(error)
"""


@pytest.mark.big
def test_elements_without_payload_at_the_edge_of_the_allowance():
    assert run_isolated(EDGE, timeout=600) == TOO_MANY + "\n"
