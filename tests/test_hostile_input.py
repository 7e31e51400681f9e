"""Documents nobody valid would write: truncated, claiming huge sizes, nested
without end. Each must fail in an orderly way, with the decoder's own error
classes, without allocating what it claims (random mutations: fuzz/fuzz_decode.py)."""

import textwrap
import tracemalloc

import pytest

from conftest import (
    CORPUS_LOADERS, CORRUPTED, END, MISSING_MARKER, SIZE_OVERFLOW, TOO_MANY, corpus, doc, extra_data, key_size, load_fails,
    run_isolated, same_value, size,
)
from pyquarl import DeserializationError, load_bytes

CORPUS = corpus()


@pytest.mark.parametrize("data", CORPUS, ids=range(len(CORPUS)))
def test_every_truncation_and_extension_of_valid_documents(data):
    whole = load_bytes(data, custom_types=CORPUS_LOADERS)
    assert same_value(whole, load_bytes(bytearray(data), custom_types=CORPUS_LOADERS))
    for cut in range(len(data)):
        load_fails(data[:cut], DeserializationError, MISSING_MARKER if cut < 3 else END, custom_types=CORPUS_LOADERS)
    load_fails(data + b"\x00", DeserializationError, extra_data(len(data)), custom_types=CORPUS_LOADERS)


HUGE = size(2**63)
# Size fields past 64 bits: 2**64 just over, nine digits of 254, and far too many digits.
OVERFLOWING = [size(2**64), bytes([0xFF] + [0xFE] * 9 + [0xFF]), bytes([0xFF] + [0xFE] * 40 + [0xFF])]
# (before, after) the size field of every place one is read
SIZE_SITES = {
    "list": ("0D", "1F"), "dict": ("0F", "1F 1F"), "str-key-dict": ("10", "01 FE 1F"), "utf8-str": ("0A", "61"),
    "ascii-str": ("12", "61"), "bytes": ("0B", "61"), "nones": ("0E 04", ""), "floats": ("0E 09", bytes(16)),
    "strs": ("0E 0A", "00 00"), "bytes-list": ("0E 0B", "00 00"), "bools": ("0E 0C", "FF FF"),
    "str-element": ("0E 0A 01", "61"), "bytes-element": ("0E 0B 01", "61"), "ref-long": ("11", ""),
    "key-ref": ("10 01 FE", "1F"), "rows": ("13", "01 12 01 61 1F 20"), "row-width": ("13 02", "12 01 61 1F 20"),
}
CLAIM_MESSAGES = {"nones": TOO_MANY, "ref-long": CORRUPTED, "key-ref": CORRUPTED}

CLAIMS = [
    *(pytest.param(doc(before, HUGE, after), CLAIM_MESSAGES.get(site, END), id=f"huge-{site}")
      for site, (before, after) in SIZE_SITES.items()),
    *(pytest.param(doc(before, over, after), SIZE_OVERFLOW, id=f"overflow-{site}-{i}")
      for site, (before, after) in SIZE_SITES.items() for i, over in enumerate(OVERFLOWING)),
    pytest.param(doc("10 01", key_size(2**63), "FE 61 1F"), END, id="huge-inline-key"),
    pytest.param(doc("10 01", key_size(2**64 - 1), "FE 61 1F"), END, id="largest-inline-key"),
    pytest.param(doc("10 01", key_size(2**64), "FE 61 1F"), SIZE_OVERFLOW, id="overflow-inline-key"),
    pytest.param(doc("13", size(2**32), size(2**32), "1F 1F"), END, id="huge-rows-and-width"),
    pytest.param(doc("13", HUGE, "00"), TOO_MANY, id="huge-keyless-rows"),
    pytest.param(doc("0E 04", size(2**64 - 1)), TOO_MANY, id="largest-nones"),
    pytest.param(doc("13", size(2**64 - 1), "00"), TOO_MANY, id="largest-keyless-rows"),
    pytest.param(doc("13", size(2**30), "00"), TOO_MANY, id="keyless-rows-2**30"),
    pytest.param(doc("0D", size(2**64 - 1), "1F"), END, id="largest-list"),
    pytest.param(doc("11", size(2**64 - 1)), CORRUPTED, id="largest-ref-long"),
    pytest.param(doc("17 FF FF FF FF"), CORRUPTED, id="largest-ref-32"),
    # a count one past what the input holds: each item takes at least one byte, each pair two
    *(pytest.param(doc(data), END, id=f"one-too-many-{kind}") for kind, data in [
        ("list", "0D 04 1F 1F 1F"), ("dict", "0F 03 1F 1F 20 20"), ("str-key-dict", "10 02 00 1F"),
        ("strs", "0E 0A 03 00 00"), ("bytes-list", "0E 0B 03 00 00"), ("floats", "0E 09 02" + " 00" * 15),
        ("bools", "0E 0C 11 FF FF"), ("rows", "13 04 01 1F 1F 20 21"), ("row-width", "13 01 03 1F 1F 20 20")]),
]


@pytest.mark.parametrize("data, message", CLAIMS)
def test_impossible_sizes_are_refused_before_allocating(data, message):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        load_fails(data, DeserializationError, message)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64 * 1024, f"{peak} bytes allocated for a {len(data)}-byte document"


def test_counts_at_the_edge_of_the_input_decode():
    # the counts one below the refused ones above
    for data in ["0D 03 1F 1F 1F", "0F 02 1F 1F 20 20", "10 01 00 1F", "0E 0A 02 00 00", "0E 0B 02 00 00",
                 "0E 09 01" + " 00" * 8, "0E 0C 10 FF FF", "13 03 01 1F 1F 20 21", "13 01 02 1F 1F 20 20"]:
        load_bytes(doc(data))
    # elements without payload are bounded by what a document could hold, not by its length
    assert load_bytes(doc("0E 04", size(10**6))) == [None] * 10**6
    rows = load_bytes(doc("13", size(10**5), "00"), use_tuples=True)
    assert type(rows) is tuple and len(rows) == 10**5 and rows[-1] == {}


def test_deep_nesting_raises_recursion_error():
    code = textwrap.dedent(
        """
        import sys
        from pyquarl import DeserializationError, load_bytes
        sys.setrecursionlimit(10**6)
        # head and close of one level; the innermost value is 1F
        kinds = {
            "list": (b"\\x0d\\x01", b""), "dict": (b"\\x0f\\x01\\x1f", b""), "dict-key": (b"\\x0f\\x01", b"\\x1f"),
            "str-key-dict": (b"\\x10\\x01\\x01\\xfe", b""), "structured-first-row": (b"\\x13\\x01\\x01\\x1f", b""),
            "structured-key": (b"\\x13\\x01\\x01", b"\\x1f"), "structured-later-row": (b"\\x13\\x02\\x01\\x1f\\x1f", b""),
            "custom-value": (b"\\x18\\x1f", b""), "custom-identifier": (b"\\x18", b"\\x1f"),
            "mixed": (b"\\x0d\\x01\\x10\\x01\\x01\\xfe\\x13\\x01\\x01\\x1f\\x18\\x1f", b""),
        }
        loaders = {1: lambda value: 1}
        for name, (head, close) in kinds.items():
            for use_tuples in (False, True):
                try:
                    load_bytes(b"<o>" + head * 100_000 + b"\\x1f" + close * 100_000, use_tuples=use_tuples, custom_types=loaders)
                except RecursionError:
                    pass
                else:
                    print("no error", name)
                # shallow nesting decodes, or fails on its (unhashable or unknown) keys and identifiers only
                try:
                    load_bytes(b"<o>" + head * 100 + b"\\x1f" + close * 100, use_tuples=use_tuples, custom_types=loaders)
                except DeserializationError as error:
                    assert str(error).startswith(("Invalid type for a key", "Unknown custom type")), error
        print("done")
        """
    )
    assert run_isolated(code) == "done\n"


def test_deep_nesting_in_a_thread_with_a_small_stack():
    code = textwrap.dedent(
        """
        import threading
        from pyquarl import load_bytes
        outcome = []
        def run():
            try:
                load_bytes(b"<o>" + b"\\x0d\\x01" * 100_000 + b"\\x1f")
            except RecursionError:
                outcome.append("RecursionError")
        threading.stack_size(4 * 1024 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(outcome)
        """
    )
    assert run_isolated(code) == "['RecursionError']\n"
