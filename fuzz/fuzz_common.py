"""Pieces shared by the fuzz targets: strict value comparison, the loaders and
hostile path keys the targets use, and the exception classes each entry point
may legitimately raise on bad input.

Everything here is deterministic, so an input that fails once fails again when
it is replayed from the corpus.
"""

import math
import struct

from pyquarl import DeserializationError, Idx


class Opaque:
    """Marks a value the lazy reader cannot step into (a custom-type value)."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


def same_value(expected, actual):
    """Exact types everywhere, floats by bits (NaN equals NaN, 0.0 is not -0.0),
    dicts by content."""
    if type(expected) is Opaque:
        return same_value(expected.value, actual)
    if type(expected) is not type(actual):
        return False
    if type(expected) is float:
        return struct.pack(">d", expected) == struct.pack(">d", actual) or (
            math.isnan(expected) and math.isnan(actual)
        )
    if type(expected) in (list, tuple):
        return len(expected) == len(actual) and all(map(same_value, expected, actual))
    if type(expected) is dict:
        if len(expected) != len(actual):
            return False
        # Same order first (NaN keys can only be matched this way), then by
        # lookup: rows of a list of like dicts come back in the first row's
        # key order.
        if all(
            same_value(k, ak) and same_value(v, av)
            for (k, v), (ak, av) in zip(expected.items(), actual.items())
        ):
            return True
        actual_keys = {key: key for key in actual}
        for key, value in expected.items():
            if key not in actual_keys or not same_value(key, actual_keys[key]):
                return False
            if not same_value(value, actual[key]):
                return False
        return True
    return expected == actual


def strip_opaque(value):
    if type(value) is Opaque:
        return strip_opaque(value.value)
    if type(value) in (list, tuple):
        return type(value)(strip_opaque(item) for item in value)
    if type(value) is dict:
        return {strip_opaque(k): strip_opaque(v) for k, v in value.items()}
    return value


# ---- hostile path keys ----------------------------------------------------

class CompareBoom(Exception):
    """Raised by a path key's __eq__; the lookup must fail with it."""


class StrBoom(Exception):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise CompareBoom("eq")

    __hash__ = object.__hash__

    def __str__(self):
        return "RaisingEq"


class RaisingStr:
    """Never equal to anything; its str() raises, so "key not found" cannot be
    worded and the call fails with MemoryError (the module's convention)."""

    def __eq__(self, other):
        return False

    __hash__ = object.__hash__

    def __str__(self):
        raise StrBoom("str")


class RaisingBool:
    def __bool__(self):
        raise CompareBoom("bool")

    def __eq__(self, other):
        return type(other) is RaisingBool

    def __hash__(self):
        return 7


KEY_POOL = [
    "a", "b", "key", "x", "", "é", "pt", "k" * 253,
    0, 1, 2, -1, 2**70, None, True, False, 1.5, b"k",
    RaisingEq(), RaisingStr(),
]


# ---- loaders ----------------------------------------------------------------

class LoaderBoom(Exception):
    pass


def _raising_loader(value):
    raise LoaderBoom("loader")


def _falsy_raising(value):
    return RaisingBool()


def make_loaders(buffer_holder):
    """Loaders keyed by identifiers the seeds use. `buffer_holder` is a
    one-item list holding the bytearray being decoded, which the "grow" loader
    tries to resize (it must get BufferError, turned into a decode failure)."""

    def grow(value):
        target = buffer_holder[0]
        if type(target) is bytearray:
            target.extend(b"\x00" * 4096)
            del target[:]
        return value

    return {
        "pt": lambda value: ["pt", value],
        "tag": lambda value: value,
        1: lambda value: [value],
        "boom": _raising_loader,
        "grow": grow,
        "falsy": _falsy_raising,
        b"id": lambda value: {"id": value},
    }


# Classes an entry point may raise for hostile bytes and paths. Anything else
# (SystemError from a leaked pending exception, IndexError, ...) is a bug.
# Damaged data is always a DeserializationError (bytes that are no flag raise
# CorruptDataError, also a TypeError), so the containment check answers False
# for it instead of raising.
LOAD_ERRORS = (DeserializationError, RecursionError)
LAZY_ERRORS = (DeserializationError, RecursionError, CompareBoom)
CHECK_ERRORS = (RecursionError, CompareBoom)


def check_error(error, allowed, what, path=()):
    if type(error) is TypeError:
        raise AssertionError(f"{what} raised a bare TypeError: {error}") from error
    if isinstance(error, allowed):
        return
    # A key whose str() fails cannot be named in "Key not found": the module
    # reports the failed interpreter call as MemoryError.
    if type(error) is MemoryError and any(type(step) is RaisingStr for step in path):
        return
    raise AssertionError(f"{what} raised {type(error).__name__}: {error}") from error


def path_from(header):
    """Path of up to six steps from header bytes: a byte with its top bit set
    is an index step, any other picks a key from KEY_POOL."""
    length = header[0] % 7
    steps = []
    for b in header[1 : 1 + length]:
        steps.append(Idx(b & 0x3F) if b & 0x80 else KEY_POOL[b % len(KEY_POOL)])
    return steps


def header_for(path, options=0):
    """Inverse of path_from for seeds: the header bytes for `path`, or None
    when a step cannot be expressed."""
    out = [options, len(path)]
    for step in path:
        if type(step) is Idx:
            if step.index > 0x3F:
                return None
            out.append(0x80 | step.index)
        else:
            out.append(next(i for i, key in enumerate(KEY_POOL) if type(key) is type(step) and key == step))
    out += [0] * (8 - len(out))
    return bytes(out)


HEADER_SIZE = 8


def run(script, test_one_input):
    """Fuzzes `test_one_input` under libFuzzer. Its merge and fork modes start
    the target again through the shell from argv[0]: that is made the
    interpreter running `script`, since the script is not executable by itself."""
    import os
    import sys

    import atheris

    atheris.Setup([f"{sys.executable} {os.path.abspath(script)}", *sys.argv[1:]], test_one_input)
    atheris.Fuzz()
