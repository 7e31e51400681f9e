"""Documents and paths sized to exhaust the reader: counts and lengths far
beyond the input, sizes that wrap 64 bits, a million levels of nesting, paths
of a hundred thousand steps. Every reader must refuse them (or answer them)
in an orderly way, without allocating what they claim. The heavy cases run in
a fresh interpreter under a timeout, so a crash or a hang fails one test
instead of the run.
"""

import textwrap
import tracemalloc

import pytest

from conftest import run_isolated
from pyquarl import DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

MARKER = b"<o>"
END = "Unexpected end of input"
OVERFLOW = "Corrupted data: a size field does not fit in 64 bits"
TOO_MANY = "Corrupted data: more elements without payload than this document can hold"
HANG_TIMEOUT = 120  # seconds; catches hangs, not a speed target


def size(n, base=255):
    if n < base:
        return bytes([n])
    digits, rest = [], n - base
    while rest:
        rest, digit = divmod(rest, base)
        digits.append(digit)
    return bytes([0xFF, *digits, 0xFF])


def doc(*parts):
    return MARKER + b"".join(bytes.fromhex(p) if isinstance(p, str) else p for p in parts)


MAX = 2**64 - 1
WRAPPING = [2**63, 2**64 - 8, MAX]
# the size field of 2**64 + 254: nine digits that do not fit in 64 bits
TOO_WIDE = b"\xff" + b"\xfe" * 9 + b"\xff"


def claims():
    """(id, body) of values claiming far more than the input holds."""
    cases = []
    for n in WRAPPING:
        s = size(n)
        cases += [
            (f"list-{n}", doc("0D", s, "1F")),
            (f"dict-{n}", doc("0F", s, "1F 1F")),
            (f"str-key-dict-{n}", doc("10", s, "02 FE 61 1F")),
            (f"str-{n}", doc("0A", s, "61")),
            (f"ascii-{n}", doc("12", s, "61")),
            (f"bytes-{n}", doc("0B", s, "61")),
            (f"floats-{n}", doc("0E 09", s, bytes(16))),
            (f"strs-{n}", doc("0E 0A", s, "01 61")),
            (f"bytes-list-{n}", doc("0E 0B", s, "01 61")),
            (f"bools-{n}", doc("0E 0C", s, "FF")),
            (f"str-element-{n}", doc("0E 0A 01", s, "61")),
            (f"rows-{n}", doc("13", s, "01 12 01 61 1F")),
            (f"row-width-{n}", doc("13 02", s, "12 01 61 1F")),
            (f"rows-and-width-{n}", doc("13", s, s, "1F 1F")),
            (f"inline-key-{n}", doc("10 01", size(n, 254), "FE 61 1F")),
            (f"long-ref-{n}", doc("11", s)),
            (f"key-ref-{n}", doc("10 01 FE", s, "1F")),
        ]
    cases += [
        ("size-too-wide", doc("0B", TOO_WIDE, "61")),
        ("count-too-wide", doc("0D", TOO_WIDE, "1F")),
        ("key-size-too-wide", doc("10 01", TOO_WIDE, "1F")),
        ("int-digits-unterminated", doc("07 FF", b"\x01" * 1000)),
        ("nones-2**40", doc("0E 04", size(2**40))),
        ("keyless-rows-2**40", doc("13", size(2**40), "00")),
    ]
    return cases


CLAIMS = claims()


def readers(data):
    """Every way of reading the value at the top, or an element inside it."""
    return {
        "load": lambda: load_bytes(data),
        "load-bytearray-tuples": lambda: load_bytes(bytearray(data), use_tuples=True),
        "lazy-whole": lambda: lazy_load_bytes(data, []),
        "lazy-last-index": lambda: lazy_load_bytes(data, [Idx(MAX - 1)]),
        "lazy-key": lambda: lazy_load_bytes(data, ["a"]),
        "lazy-second": lambda: lazy_load_bytes(data, [Idx(1)]),
        "lazy-row-key": lambda: lazy_load_bytes(data, [Idx(2**62), "b"]),
        "lazy-skipped": lambda: lazy_load_bytes(MARKER + b"\x0d\x02" + data[3:] + b"\x1f", [Idx(1)]),
        "check-falsy": lambda: bytes_check_if_contains(data, [], include_falsy=False),
        "check-skipped": lambda: bytes_check_if_contains(MARKER + b"\x0d\x02" + data[3:] + b"\x1f", [Idx(1)]),
    }


FULL_DECODES = ("load", "load-bytearray-tuples", "lazy-whole")


@pytest.mark.parametrize("data", [data for _, data in CLAIMS], ids=[name for name, _ in CLAIMS])
def test_impossible_claims_are_refused_without_allocating_them(data):
    tracemalloc.start()
    try:
        for name, read in readers(data).items():
            try:
                read()
            except (DeserializationError, TypeError) as error:
                assert type(error) is DeserializationError or str(error).startswith("Unexpected"), (name, error)
            else:
                # a lazy read may answer from what it needs without checking
                # what it skips or never reaches; a full decode may not
                assert name not in FULL_DECODES, f"{name} accepted the document"
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1024 * 1024, f"{peak} bytes allocated for a {len(data)}-byte document"


@pytest.mark.parametrize(
    "data, message",
    [
        (doc("0B", TOO_WIDE, "61"), OVERFLOW),
        (doc("0D 02 0B", TOO_WIDE, "1F"), OVERFLOW),
        (doc("0E 04", size(2**40)), TOO_MANY),
        (doc("0D", size(MAX), "1F"), END),
        (doc("0E 0C", size(MAX), "FF"), END),
    ],
    ids=["size-overflow", "nested-size-overflow", "nones", "list-max", "bools-max"],
)
def test_messages_of_refused_sizes(data, message):
    with pytest.raises(DeserializationError) as info:
        load_bytes(data)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "data, path, expected",
    [
        (doc("0E 04", size(MAX)), [Idx(MAX - 1)], None),  # a None element needs no payload
        (doc("13", size(MAX), "00"), [Idx(MAX - 1)], {}),  # nor does a row of no keys
        (doc("0E 0C", size(MAX), "80"), [Idx(0)], True),  # the first bool is in the first byte
    ],
    ids=["none-element", "keyless-row", "first-bool"],
)
def test_elements_that_need_no_payload_are_answered(data, path, expected):
    assert lazy_load_bytes(data, path) == expected


@pytest.mark.parametrize("width", [2**57, 2**62, MAX], ids=["2**57", "2**62", "max"])
@pytest.mark.parametrize(
    "path, contained",
    [([Idx(1)], True), ([Idx(1), "a"], False), ([Idx(254), "a"], False)],
    ids=["row", "row-key", "last-row-key"],
)
def test_lazy_row_of_a_list_claiming_a_huge_width(width, path, contained):
    # A row after the first used to reserve its key array for the claimed
    # width before reading a single key: MemoryError for 2**57 keys, and for
    # 2**62 an exception that ended the process.
    data = doc("13", size(255), size(width), "12 01 61 1F")
    with pytest.raises(DeserializationError):
        lazy_load_bytes(data, path)
    # a row is present whatever its values, so the check answers without reading it
    assert bytes_check_if_contains(data, path, include_falsy=False) is contained


def test_integer_magnitudes_are_bounded():
    digits = 65536
    value = load_bytes(doc("07 FF", b"\x01" * digits, "FF"))
    assert value.bit_length() > 500_000
    assert lazy_load_bytes(doc("07 FF", b"\x01" * digits, "FF"), []) == value
    with pytest.raises(DeserializationError, match="integer magnitude of more than"):
        load_bytes(doc("07 FF", b"\x01" * (digits + 1), "FF"))


# ---- deep nesting and long paths, in a fresh interpreter -----------------------

DEEP = textwrap.dedent(
    """
    import sys, time
    from pyquarl import CustomType, DeserializationError, Idx, bytes_check_if_contains, dump_bytes, \\
        lazy_load_bytes, load_bytes

    DEPTH = 1_000_000
    M = b"<o>"
    units = {{
        "list": b"\\x0d\\x01",
        "dict": b"\\x0f\\x01\\x1e",
        "str-key-dict": b"\\x10\\x01\\x02\\xfea",
        "custom": b"\\x18\\x1e",
        "rows": b"\\x13\\x01\\x01\\x1e",
    }}
    unit = units["{unit}"]
    deep = M + unit * DEPTH + b"\\x1f"
    inside = M + b"\\x0d\\x02" + deep[3:] + b"\\x1f"   # the deep value, then one to reach past it
    loaders = {{0: lambda value: value}}

    def outcome(call):
        start = time.perf_counter()
        try:
            result = call()
        except (RecursionError, DeserializationError) as error:
            result = type(error).__name__
        return result, time.perf_counter() - start

    results = {{
        "load": outcome(lambda: load_bytes(deep, custom_types=loaders)),
        "lazy-whole": outcome(lambda: lazy_load_bytes(deep, [], custom_types=loaders)),
        "lazy-past-it": outcome(lambda: lazy_load_bytes(inside, [Idx(1)])),
        "check-past-it": outcome(lambda: bytes_check_if_contains(inside, [Idx(1)], include_falsy=False)),
        "check-whole": outcome(lambda: bytes_check_if_contains(deep, [], include_falsy=False, custom_types=loaders)),
    }}
    assert results["load"][0] == "RecursionError", results
    assert results["lazy-whole"][0] == "RecursionError", results
    assert results["lazy-past-it"][0] == 1, results      # the skipper keeps no recursion
    assert results["check-past-it"][0] is True, results
    assert results["check-whole"][0] in (True, "RecursionError"), results
    assert sys.exc_info() == (None, None, None)
    assert load_bytes(dump_bytes([1, [2]])) == [1, [2]]
    print(" ".join(f"{{name}}={{seconds:.3f}}s" for name, (_, seconds) in results.items()))
    """
)


@pytest.mark.parametrize("unit", ["list", "dict", "str-key-dict", "custom", "rows"])
def test_a_million_levels_of_nesting(unit):
    print(unit, run_isolated(DEEP.format(unit=unit), timeout=HANG_TIMEOUT))


ENCODE_DEEP = textwrap.dedent(
    """
    import time
    from pyquarl import CustomType, dump_bytes

    class Box:
        def __init__(self, inner):
            self.inner = inner

    def nest(make):
        value = None
        for _ in range(1_000_000):
            value = make(value)
        return value

    values = {
        "list": nest(lambda v: [v]),
        "tuple": nest(lambda v: (v,)),
        "dict": nest(lambda v: {"a": v}),
        "mixed-key-dict": nest(lambda v: {1: v}),
        "custom": nest(Box),
    }
    custom = {Box: CustomType("b", lambda box: box.inner)}
    for name, value in values.items():
        for options in ({}, {"writer": open("/dev/null", "wb")}):
            start = time.perf_counter()
            try:
                dump_bytes(value, custom_types=custom, **options)
            except RecursionError:
                pass
            except Exception as error:  # a converter that ran out of budget
                assert type(error).__name__ == "SerializationError", error
            else:
                raise AssertionError(name + " encoded a million levels")
            print(name, "writer" if options else "memory", f"{time.perf_counter() - start:.3f}s")
    """
)


def test_encoding_a_million_levels():
    print(run_isolated(ENCODE_DEEP, timeout=HANG_TIMEOUT))


LONG_PATHS = textwrap.dedent(
    """
    import time
    from pyquarl import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes

    STEPS = 100_000
    M = b"<o>"
    lists = M + b"\\x0d\\x01" * STEPS + b"\\x1f"
    dicts = M + b"\\x10\\x01\\x02\\xfea" * STEPS + b"\\x1f"
    rows = M + b"\\x13\\x01\\x01\\x12\\x01a" + b"\\x13\\x01\\x01\\x14\\x00" * (STEPS // 2 - 1) + b"\\x1f"
    cases = {
        "index-steps": (lists, [Idx(0)] * STEPS, 1),
        "key-steps": (dicts, ["a"] * STEPS, 1),
        "row-steps": (rows, [Idx(0), "a"] * (STEPS // 2), 1),
        "past-the-end": (lists, [Idx(0)] * (STEPS + 1), "DeserializationError"),
        "short-document": (M + b"\\x1f", ["a"] * STEPS, "DeserializationError"),
        "missing-key-at-the-end": (dicts, ["a"] * (STEPS - 1) + ["b"], "DeserializationError"),
    }
    for name, (data, path, expected) in cases.items():
        for mode, call in (("lazy", lazy_load_bytes), ("check", bytes_check_if_contains)):
            start = time.perf_counter()
            try:
                result = call(data, path)
            except DeserializationError:
                result = "DeserializationError"
            elapsed = time.perf_counter() - start
            want = (expected != "DeserializationError") if mode == "check" else expected
            assert result == want, (name, mode, result)
            print(name, mode, f"{elapsed:.3f}s")
    """
)


def test_paths_of_a_hundred_thousand_steps():
    print(run_isolated(LONG_PATHS, timeout=HANG_TIMEOUT))
