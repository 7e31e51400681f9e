"""Every reader of a document agrees with the full decode.

Each value below is placed in short documents (alone, in a list before a
sibling, as a dict value before another pair, in the first row of a list of
like dicts) and each document is cut at every length. On every one of them
the full decode (`loads`), `raw_decode`, `get` at the value, `get` past it
(which makes the skipper pass it), `contains` and `iter_items` must give the
same value, or the same error: class, message and offset.

The one allowed difference: the skipper passes over what only building a
value can find wrong (a back-reference to no string, text that is no valid
UTF-8, an unknown custom type, ...). Where the full decode stops at such a
fault, a read that skips it may succeed, or stop later at damage of the byte
layout."""

from operator import itemgetter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pyquarl._pyquarl import document_end
from pyquarl import DeserializationError, Idx, contains, dumps, get, iter_items, loads, raw_decode

MARKER = b"<o>"
SIBLING = b"\x25"  # the int 7
END = "Unexpected end of input"
# Faults of the byte layout, which every reader must find where the full decode finds them.
LAYOUT_FAULTS = {
    END,
    "Unexpected flag",
    "Unexpected consistent list type",
    "Corrupted data: a size field does not fit in 64 bits",
    "Corrupted data: a list of structured dicts with no rows",
}
# Faults only reading a value through finds: a reference to no string, text that is no valid UTF-8 or ASCII.
UNREAD_FAULTS = {"Corrupted data", "Corrupted data: a string is not valid UTF-8",
                 "Corrupted data: a string marked as ASCII holds a byte above 127"}
# Payloads after a flag byte: none, zeros (references to the first string),
# counts or lengths of one and two with small values after them, escaped size
# fields, a long one.
TAILS = [b"", b"\x00", b"\x00\x00", b"\x00\x00\x00", b"\x00\x00\x00\x00\x1e", b"\x01\x1e", b"\x02\x0a\x01\x61\x1f",
         b"\x02\x1e\x1f\x1e\x1f", b"\xff\x00\xff\x1e", b"\x01\x01\x0a\x01\x62\x1e", b"\x01\x00\x01\x00\x00",
         b"\xff" + b"\x00" * 9 + b"\x01\xff"]
# After a typed list's element type: a count of zero, of one and two with elements, nine bools.
ELEMENT_TAILS = [b"\x00", b"\x02\x01\x41\x01\x42", b"\x09\x80\x01", b"\x01" + bytes(8)]

# Every flag and every element type; the ints in the flag byte and the unknown
# element types, all read alike, with fewer tails.
VALUES = ([bytes([flag]) + tail for flag in range(256) for tail in (TAILS if flag < 30 else TAILS[:2])] +
          [bytes([0x0E, element_type]) + tail for element_type in range(256)
           for tail in (ELEMENT_TAILS if element_type in (4, 9, 10, 11, 12) else ELEMENT_TAILS[:2])])
# Runs long enough for the skipper's fast loops: one-byte values, scalars of
# every fixed width and size field, and str-keyed pairs of back-referenced keys.
SCALARS = (b"\x09" + bytes(8) + b"\x14\x00\x15\x00\x00\x17\x00\x00\x00\x00\x07\xe1\x08\xff\x2d\xff"
           b"\x07\xff\x00\x00\x00\x00\x00\x01\xff\x11\x00\x02")
VALUES += [b"\x0d\x28" + bytes(30 + i if i % 5 else i % 7 for i in range(40)),
           b"\x0d\x27" + bytes(range(30, 60)) + SCALARS,
           b"\x10\x0a" + b"".join(b"\xfe\x00" + value for value in (b"\x1e", b"\x02", b"\x09" + bytes(8), b"\x14\x00",
                                                                  b"\x07\xff\x2d\xff", b"\x1f", b"\x04", b"\x15\x00\x00",
                                                                  b"\x20", b"\x0d\x01\x21"))]
VALUES.append(b"\x0f\x02\x05\x1e\x1f\x04")  # a list as a dict key: refused by every reader
CONTAINER_FLAGS = {0x05, 0x06, 0x0D, 0x0E, 0x0F, 0x10, 0x13}


def canon(value):
    """`value` with every NaN made a marker, so that equal readings compare equal."""
    if isinstance(value, float) and value != value:
        return "<nan>"
    if isinstance(value, (list, tuple)):
        return type(value)(canon(item) for item in value)
    if isinstance(value, dict):
        return {canon(key): canon(item) for key, item in value.items()}
    return value


def outcome(read):
    try:
        return ("value", canon(read()))
    except DeserializationError as error:
        return ("error", type(error).__name__, error.msg, error.pos)


def fault(reading):
    return reading[2] if reading[0] == "error" else None


def where(reading):
    return reading[3] if reading[0] == "error" else None


def items_of(value):
    return list(value.items()) if isinstance(value, dict) else list(value)


def as_decoded(iterator):
    items = list(iterator)
    return list(dict(items).items()) if iterator.kind == "dict" else items


def repeats_the_key(data, path):
    """Whether the dict holding the last step of `path` has that key twice:
    a lazy read takes the first entry, a full decode keeps the last."""
    try:
        return [key for key, _ in iter_items(data, *path[:-1])].count(path[-1]) > 1
    except (DeserializationError, TypeError, ValueError):
        return False


def picked(pick, whole):
    try:
        return ("value", pick(whole))
    except (KeyError, IndexError, TypeError):
        return None  # the value parsed into another shape: the path leads nowhere


# Each context: bytes before the value, bytes after it, the paths to the value
# and past it, and how both are picked out of the whole. Every context but
# the root has the string "k" as string 0, so that references resolve.
CONTEXTS = {
    "root": (b"", b"", None, None, None),
    "list": (b"\x0d\x03\x12\x01k", SIBLING, [Idx(1)], [Idx(2)], (itemgetter(1), itemgetter(2))),
    "dict": (b"\x10\x02\x01k", b"\x01z" + SIBLING, ["k"], ["z"], (itemgetter("k"), itemgetter("z"))),
    # a dict of encoded keys, the second a 2-byte reference to "k"
    "keys": (b"\x0d\x02\x12\x01k\x0f\x02\x12\x01z", b"\x15\x00\x00" + SIBLING, [Idx(1), "z"], [Idx(1), "k"],
             (lambda whole: whole[1]["z"], lambda whole: whole[1]["k"])),
    "rows": (b"\x13\x02\x01\x0a\x01k", SIBLING, [Idx(0), "k"], [Idx(1), "k"],
             (lambda rows: rows[0]["k"], lambda rows: rows[1]["k"])),
}
# The start of a document whose last value is the value, after the strings
# that come before it in a context, with nothing after it to reserve input for.
ALONE = {"keys": b"\x0d\x03\x12\x01k\x12\x01z"}


def disagreements(value, context):
    """What each reader says about `value` in `context`, cut at every length,
    where it differs from the full decode."""
    before, after, path_at, path_past, pick = CONTEXTS[context]
    whole = MARKER + before + value + after
    start = len(MARKER + before)
    found = []

    for cut in range(len(MARKER) + 1, len(whole) + 1):
        data = whole[:cut]
        full = outcome(lambda: loads(data, ignore_extra_data=True))
        readings = {"raw_decode": outcome(lambda: raw_decode(data)[0]), "get": outcome(lambda: get(data))}
        if data[len(MARKER)] in CONTAINER_FLAGS:
            # (a dict's items come out as written, repeated keys too)
            walked = outcome(lambda: as_decoded(iter_items(data)))
            readings["iter_items"] = full if full[0] == "value" and walked == ("value", items_of(full[1])) else walked
        for name, got in readings.items():
            if got != full:
                found.append((data.hex(" "), name, full, got))
        if path_at is None:
            continue

        at, past = outcome(lambda: get(data, *path_at)), outcome(lambda: get(data, *path_past))
        for name, got in (("get at", at), ("get past", past)):
            if got[0] == "error" and (where(got) or 0) > len(data):
                found.append((data.hex(" "), name, "an offset within the input", got))
        if fault(full) == END and where(full) in (len(MARKER) + 1, len(MARKER) + 6) and where(full) < start:
            continue  # a lazy read does not judge the counts of the containers it steps into
        # The value in a document with nothing after it: what a lazy read, which
        # reserves no input for the values after the one it reads, finds there.
        alone_start = ALONE.get(context, b"\x0d\x02\x12\x01k")
        shift = start - len(MARKER + alone_start)
        alone = outcome(lambda: loads(MARKER + alone_start + data[start:], ignore_extra_data=True)[-1])
        alone = alone if alone[0] == "value" or where(alone) is None else alone[:3] + (where(alone) + shift,)
        end = outcome(lambda: document_end(MARKER + data[start:]))  # where the value ends, by the skipper

        if full[0] == "value":
            for name, got, wanted, path in (("get at", at, picked(pick[0], full[1]), path_at),
                                            ("get past", past, picked(pick[1], full[1]), path_past)):
                if got != wanted and not (wanted is None and got[0] == "error") and not repeats_the_key(data, path):
                    found.append((data.hex(" "), name, wanted, got))
        else:
            # Damage after the value leaves it readable; damage in it or before
            # it is found where the full decode finds it, or, where the full
            # decode refuses a count because the values after it are missing,
            # where reading it alone finds it.
            after_value = end[0] == "value" and (where(full) or 0) >= start + end[1] - len(MARKER)
            if at != full and not (after_value and at[0] == "value") and not (fault(full) == END and at == alone):
                found.append((data.hex(" "), "get at", full, at))
            # The skipper passes faults that only building the value finds, and
            # then may stop later, at a fault of the layout or where the path
            # leads nowhere.
            passed = fault(full) not in LAYOUT_FAULTS and (past[0] == "value" or where(past) is None or where(past) > (where(full) or 0))
            value_end = start + end[1] - len(MARKER) if end[0] == "value" else None
            skipped_alone = fault(full) == END and (
                past[0] == "value" or fault(past) == END and where(past) >= value_end if value_end is not None
                else past[:3] == end[:3] and where(past) == (where(end) or 0) + start - len(MARKER))
            if past != full and not passed and not skipped_alone:
                found.append((data.hex(" "), "get past", full, past))

        # A containment test does not read the value through (nor resolve a
        # back-reference there, nor check the text it leads to): it says True
        # for every value that get() reads, False where the way to it is
        # damaged, and False for a byte that is no flag or element type.
        said = contains(data, *path_past)
        if said is not (past[0] == "value") and not (said and fault(past) in LAYOUT_FAULTS | UNREAD_FAULTS):
            found.append((data.hex(" "), "contains past", past, said))
        truthy = contains(data, *path_at, include_falsy=False)
        if at[0] == "value" and truthy is not bool(at[1]):
            found.append((data.hex(" "), "truthy at", at, truthy))
        if at[1] == "CorruptDataError" and where(at) in (start, start + 1) and (truthy or contains(data, *path_at)):
            found.append((data.hex(" "), "contains at", at, True))
    return found


@pytest.mark.parametrize("context", CONTEXTS)
def test_every_flag_and_element_type_reads_the_same_everywhere(context):
    found = [problem for value in VALUES for problem in disagreements(value, context)]
    assert found == [], f"{len(found)} disagreements, the first: {found[:3]}"


# Values whose encodings hold every form: typed lists, rows, references, long ints, keys of all kinds.
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=False),
                    st.sampled_from(["", "a", "key", "é", "ключ"]), st.binary(max_size=4))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=4),
    st.dictionaries(st.sampled_from(["a", "b", "é", ""]), inner, max_size=3),
    st.dictionaries(st.integers(0, 3), inner, max_size=2),
    st.lists(st.fixed_dictionaries({"a": inner, "b": inner}), min_size=2, max_size=3),
    st.lists(st.sampled_from([True, False, None, 1.5, "s", b"b"]), min_size=2, max_size=9),
), max_leaves=12)


@settings(max_examples=150, deadline=None)
@given(values, st.sampled_from(list(CONTEXTS)), st.data())
def test_encoded_values_damaged_anywhere_read_the_same_everywhere(value, context, data):
    encoded = dumps(value)[len(MARKER):]
    at = data.draw(st.integers(0, len(encoded) - 1))
    damaged = encoded[:at] + bytes([data.draw(st.integers(0, 255))]) + encoded[at + 1:]
    assert disagreements(damaged, context) == []
