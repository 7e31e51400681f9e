"""Documents nobody valid would write: truncated, corrupted, claiming huge
sizes, nested without end. Each must fail in an orderly way, with the
decoder's own error classes, without allocating what it claims."""

import textwrap
import tracemalloc

import pytest

from helpers_decode import (
    CORPUS_LOADERS,
    CORRUPTED,
    END_OF_INPUT,
    INT_TOO_LARGE,
    MISSING_MARKER,
    SIZE_OVERFLOW,
    TOO_MANY_ELEMENTS,
    UNEXPECTED_FLAG,
    UNEXPECTED_LIST_TYPE,
    assert_fails,
    corpus,
    doc,
    key_size,
    load_error,
    run_isolated,
    same_value,
    size,
)
from pyquarl import DeserializationError, load_bytes

CORPUS = corpus()


@pytest.mark.parametrize("data", CORPUS, ids=range(len(CORPUS)))
def test_every_truncation_fails_with_end_of_input(data):
    whole = load_bytes(data, custom_types=CORPUS_LOADERS)
    assert same_value(whole, load_bytes(bytearray(data), custom_types=CORPUS_LOADERS))
    for cut in range(len(data)):
        prefix = data[:cut]
        error = load_error(prefix, custom_types=CORPUS_LOADERS)
        assert type(error) is DeserializationError, (cut, error)
        assert str(error) == (MISSING_MARKER if cut < 3 else END_OF_INPUT), cut


@pytest.mark.parametrize("data", CORPUS, ids=range(len(CORPUS)))
def test_every_extension_is_extra_data(data):
    error = load_error(data + b"\x00", custom_types=CORPUS_LOADERS)
    assert str(error).startswith(f"Unexpected extra data, from position {len(data)}.")


# ---- sizes that cannot be true -------------------------------------------

HUGE = size(2**63)

HUGE_CLAIMS = [
    ("list", doc("0D", HUGE, "1F"), END_OF_INPUT),
    ("dict", doc("0F", HUGE, "1F 1F"), END_OF_INPUT),
    ("str-key-dict", doc("10", HUGE, "01 FE 1F"), END_OF_INPUT),
    ("utf8-str", doc("0A", HUGE, "61"), END_OF_INPUT),
    ("ascii-str", doc("12", HUGE, "61"), END_OF_INPUT),
    ("bytes", doc("0B", HUGE, "61"), END_OF_INPUT),
    ("floats", doc("0E 09", HUGE, bytes(16)), END_OF_INPUT),
    ("strs", doc("0E 0A", HUGE, "00 00"), END_OF_INPUT),
    ("bytes-list", doc("0E 0B", HUGE, "00 00"), END_OF_INPUT),
    ("bools", doc("0E 0C", HUGE, "FF FF"), END_OF_INPUT),
    ("str-element", doc("0E 0A 01", HUGE, "61"), END_OF_INPUT),
    ("bytes-element", doc("0E 0B 01", HUGE, "61"), END_OF_INPUT),
    ("inline-key", doc("10 01", key_size(2**63), "FE 61 1F"), END_OF_INPUT),
    ("structured-rows", doc("13", HUGE, "01 12 01 61 1F 20"), END_OF_INPUT),
    ("structured-keys", doc("13 02", HUGE, "12 01 61 1F 20"), END_OF_INPUT),
    ("structured-both", doc("13", size(2**32), size(2**32), "1F 1F"), END_OF_INPUT),
    ("nones", doc("0E 04", HUGE), TOO_MANY_ELEMENTS),
    ("keyless-rows", doc("13", HUGE, "00"), TOO_MANY_ELEMENTS),
    ("nones-max", doc("0E 04", size(2**64 - 1)), TOO_MANY_ELEMENTS),
    ("keyless-rows-max", doc("13", size(2**64 - 1), "00"), TOO_MANY_ELEMENTS),
    ("nones-2**40", doc("0E 04", size(2**40)), TOO_MANY_ELEMENTS),
    ("keyless-rows-2**30", doc("13", size(2**30), "00"), TOO_MANY_ELEMENTS),
    ("ref-long", doc("11", HUGE), CORRUPTED),
    ("ref-32", doc("17 FF FF FF FF"), CORRUPTED),
    ("key-ref", doc("10 01 FE", HUGE, "1F"), CORRUPTED),
]


@pytest.mark.parametrize("data, message", [pytest.param(d, m, id=i) for i, d, m in HUGE_CLAIMS])
def test_huge_claims_are_refused_before_allocating(data, message):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        assert_fails(data, DeserializationError, message)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64 * 1024, f"{peak} bytes allocated for a {len(data)}-byte document"


@pytest.mark.parametrize(
    "fits, too_many",
    [
        # each list item takes at least one byte, each dict pair two
        (doc("0D 03 1F 1F 1F"), doc("0D 04 1F 1F 1F")),
        (doc("0F 02 1F 1F 20 20"), doc("0F 03 1F 1F 20 20")),
        (doc("10 01 00 1F"), doc("10 02 00 1F")),
        (doc("0E 0A 02 00 00"), doc("0E 0A 03 00 00")),
        (doc("0E 0B 02 00 00"), doc("0E 0B 03 00 00")),
        (doc("0E 09 01", bytes(8)), doc("0E 09 02", bytes(15))),
        (doc("0E 0C 10 FF FF"), doc("0E 0C 11 FF FF")),
        (doc("13 03 01 1F 1F 20 21"), doc("13 04 01 1F 1F 20 21")),
        (doc("13 01 02 1F 1F 20 20"), doc("13 01 03 1F 1F 20 20")),
    ],
    ids=["list", "dict", "str-key-dict", "strs", "bytes-list", "floats", "bools", "rows", "keys"],
)
def test_counts_at_the_edge_of_the_input(fits, too_many):
    load_bytes(fits)
    assert_fails(too_many, DeserializationError, END_OF_INPUT)


def test_payload_free_elements_within_bounds_decode():
    assert load_bytes(doc("0E 04", size(10**6))) == [None] * 10**6
    rows = load_bytes(doc("13", size(10**5), "00"), use_tuples=True)
    assert type(rows) is tuple and len(rows) == 10**5 and rows[-1] == {}


# ---- size fields beyond 64 bits --------------------------------------------

OVER = size(2**64)
NINE_DIGITS = bytes([0xFF] + [0xFE] * 9 + [0xFF])


@pytest.mark.parametrize("over", [OVER, NINE_DIGITS, bytes([0xFF] + [0xFE] * 40 + [0xFF])], ids=["2**64", "nine-254s", "forty-254s"])
@pytest.mark.parametrize(
    "before, after",
    [
        ("0D", "1F"),
        ("0F", "1F 1F"),
        ("10", "01 FE 1F"),
        ("0A", "61"),
        ("12", "61"),
        ("0B", "61"),
        ("0E 04", ""),
        ("0E 09", ""),
        ("0E 0A", "00"),
        ("0E 0B", "00"),
        ("0E 0C", "FF"),
        ("0E 0A 01", "61"),
        ("0E 0B 01", "61"),
        ("11", ""),
        ("10 01 FE", "1F"),
        ("13", "00"),
        ("13 01", "1F 1F"),
    ],
)
def test_size_field_overflow(before, after, over):
    assert_fails(doc(before, over, after), DeserializationError, SIZE_OVERFLOW)


def test_key_form_size_overflow():
    assert_fails(doc("10 01", key_size(2**64), "FE 61 1F"), DeserializationError, SIZE_OVERFLOW)
    assert_fails(doc("10 01", key_size(2**64 - 1), "FE 61 1F"), DeserializationError, END_OF_INPUT)


def test_largest_size_fields_are_not_overflow():
    assert_fails(doc("0D", size(2**64 - 1), "1F"), DeserializationError, END_OF_INPUT)
    assert_fails(doc("11", size(2**64 - 1)), DeserializationError, CORRUPTED)


def test_zero_digits_beyond_64_bits_are_accepted():
    assert load_bytes(doc("0E 04", size(300, pad=30))) == [None] * 300
    assert load_bytes(doc("0B", size(255, pad=12), bytes(255))) == bytes(255)


def test_size_field_without_terminator():
    assert_fails(doc("0D FF 01 02 03"), DeserializationError, END_OF_INPUT)
    assert_fails(doc("0D FF"), DeserializationError, END_OF_INPUT)


# ---- integer magnitudes ----------------------------------------------------

@pytest.mark.parametrize("flag, sign", [(7, 1), (8, -1)])
def test_integer_magnitude_limit(flag, sign):
    longest = doc(bytes([flag, 0xFF]) + b"\xfe" * 65536 + b"\xff")
    assert load_bytes(longest) == sign * (255**65536 + 254)
    too_long = doc(bytes([flag, 0xFF]) + b"\x01" * 65537 + b"\xff")
    assert_fails(too_long, DeserializationError, INT_TOO_LARGE)
    assert_fails(too_long[:-1], DeserializationError, END_OF_INPUT)


@pytest.mark.parametrize("digits", [1, 7, 8, 9, 15, 16, 17, 100])
def test_integer_magnitudes_of_every_length(digits):
    # digits 1, 2, ..., with the trailing zeros readers must accept
    body = bytes(range(1, digits + 1))
    expected = 255 + sum(d * 255**i for i, d in enumerate(body))
    assert load_bytes(doc(b"\x07\xff" + body + b"\xff")) == expected
    assert load_bytes(doc(b"\x08\xff" + body + b"\x00\x00\xff")) == -expected


# ---- crash-prone inputs, each in a fresh interpreter -------------------------

def test_deep_nesting_raises_recursion_error():
    code = textwrap.dedent(
        """
        import sys
        from pyquarl import DeserializationError, load_bytes
        sys.setrecursionlimit(10**6)
        DEPTH = 100_000
        # head and close of one level; the innermost value is 1F
        kinds = {
            "list": (b"\\x0d\\x01", b""),
            "dict": (b"\\x0f\\x01\\x1f", b""),
            "dict-key": (b"\\x0f\\x01", b"\\x1f"),
            "str-key-dict": (b"\\x10\\x01\\x01\\xfe", b""),
            "structured-first-row": (b"\\x13\\x01\\x01\\x1f", b""),
            "structured-key": (b"\\x13\\x01\\x01", b"\\x1f"),
            "structured-later-row": (b"\\x13\\x02\\x01\\x1f\\x1f", b""),
            "custom-value": (b"\\x18\\x1f", b""),
            "custom-identifier": (b"\\x18", b"\\x1f"),
            "mixed": (b"\\x0d\\x01\\x10\\x01\\x01\\xfe\\x13\\x01\\x01\\x1f\\x18\\x1f", b""),
        }
        loaders = {1: lambda value: 1}
        for name, (head, close) in kinds.items():
            for use_tuples in (False, True):
                data = b"<o>" + head * DEPTH + b"\\x1f" + close * DEPTH
                try:
                    load_bytes(data, use_tuples=use_tuples, custom_types=loaders)
                except RecursionError:
                    pass
                else:
                    print("no error", name)
                # shallow nesting of the same kind decodes, or fails on its
                # (unhashable or unknown) keys and identifiers only
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


FUZZ = textwrap.dedent(
    """
    import random
    from pyquarl import DeserializationError, load_bytes
    corpus = {corpus!r}
    loaders = {loaders}
    rng = random.Random({seed})
    interesting = [0x00, 0x01, 0x04, 0x05, 0x0A, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13,
               0x14, 0x17, 0x18, 0x19, 0x1D, 0x7F, 0x80, 0xC3, 0xFE, 0xFF]
    allowed_type_errors = {allowed!r}
    outcomes = {{}}
    bad = []

    def mutate(data):
        data = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            op = rng.randrange(6)
            pos = rng.randrange(3, len(data) + 1)
            if op == 0 and pos < len(data):
                data[pos] = rng.randrange(256)
            elif op == 1 and pos < len(data):
                data[pos] = rng.choice(interesting)
            elif op == 2:
                data.insert(pos, rng.choice(interesting))
            elif op == 3 and pos < len(data):
                del data[pos:pos + rng.randint(1, 3)]
            elif op == 4:
                other = rng.choice(corpus)
                start = rng.randrange(3, len(other))
                data[pos:pos] = other[start:start + rng.randint(1, 12)]
            elif op == 5 and pos < len(data):
                data[pos] ^= 1 << rng.randrange(8)
        return data

    for i in range({runs}):
        if i % 10 == 0:
            data = b"<o>" + bytes(rng.choice(interesting) if rng.random() < 0.5 else rng.randrange(256)
                                  for _ in range(rng.randint(1, 24)))
        else:
            data = mutate(rng.choice(corpus))
        buffer = bytes(data) if i % 2 else bytearray(data)
        try:
            load_bytes(buffer, use_tuples=i % 3 == 0, custom_types=loaders)
            kind = "ok"
        except DeserializationError:
            kind = "DeserializationError"
        except RecursionError:
            kind = "RecursionError"
        except TypeError as error:
            kind = "TypeError"
            if str(error) not in allowed_type_errors:
                bad.append((bytes(data).hex(" "), repr(error)))
        except BaseException as error:
            kind = type(error).__name__
            bad.append((bytes(data).hex(" "), repr(error)))
        outcomes[kind] = outcomes.get(kind, 0) + 1
    for case in bad[:20]:
        print("BAD", *case)
    print(sorted(outcomes.items()))
    """
)


@pytest.mark.parametrize("seed", [1, 2])
def test_mutated_documents_fail_only_with_decoder_errors(seed):
    code = FUZZ.format(
        corpus=CORPUS,
        loaders="{'pt': tuple, 7: list, 'tag': repr}",
        seed=seed,
        runs=60_000,
        allowed={UNEXPECTED_FLAG, UNEXPECTED_LIST_TYPE},
    )
    assert CORPUS_LOADERS == {"pt": tuple, 7: list, "tag": repr}
    output = run_isolated(code)
    assert "BAD" not in output, output
    outcomes = dict(eval(output))  # noqa: S307 - our own subprocess's printout
    # the mutations must reach both successful and failing decodes
    assert outcomes.get("ok", 0) > 500 and outcomes.get("DeserializationError", 0) > 5000, outcomes
