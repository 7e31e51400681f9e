"""Fuzz target: object graphs built from the fuzzer's bytes go through
dump_bytes, then both readers.

Invariants checked on every input:
- dump_bytes succeeds, and a streaming dump with random thresholds delivers
  exactly the in-memory document;
- load_bytes and lazy_load_bytes(doc, []) both return the input, with tuples
  read as lists (tuples with use_tuples), dates as their ISO text and custom
  types rebuilt by their loaders;
- for every path that reaches a value, lazy_load_bytes returns that value and
  bytes_check_if_contains(include_falsy=False) answers its truth; paths that
  miss raise
  DeserializationError in lazy_load_bytes and answer False in the check.
"""

import datetime
import sys

import atheris

with atheris.instrument_imports():
    import fuzz_common as fc
    from pyquarl import (
        CustomType,
        DeserializationError,
        Idx,
        bytes_check_if_contains,
        dump_bytes,
        lazy_load_bytes,
        load_bytes,
    )


class Point:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x, self.y = x, y


class PointChild(Point):
    __slots__ = ()


class Tag:
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


DUMP_TYPES = {
    Point: CustomType("pt", lambda p: [p.x, p.y], include_subclasses=True),
    Tag: CustomType("tag", lambda t: t.name, one_way=True),
}
LOADERS = {"pt": lambda value: ("pt", value)}

TEXTS = ["a", "b", "key", "é", "ünï", "日本", "x" * 300, "k" * 253, "", "\x00", "🎉"]
ZONES = [
    None,
    datetime.timezone.utc,
    datetime.timezone(datetime.timedelta(hours=-5, minutes=-30)),
]
MAX_DEPTH = 6
MAX_PATHS = 80


class Builder:
    def __init__(self, fdp):
        self.fdp = fdp
        self.made = []  # finished containers, reused to share sub-graphs

    def text(self):
        if self.fdp.ConsumeBool():
            return self.fdp.PickValueInList(TEXTS)
        return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 20))

    def key(self):
        kind = self.fdp.ConsumeIntInRange(0, 6)
        if kind == 0:
            return self.fdp.ConsumeIntInRange(-300, 300)
        if kind == 1:
            return self.fdp.PickValueInList([None, True, False, b"", b"k", 2**64, -(2**70)])
        if kind == 2:
            value = self.fdp.ConsumeRegularFloat()
            return value
        return self.text()

    def scalar(self):
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 10)
        if kind == 0:
            return None
        if kind == 1:
            return fdp.ConsumeBool()
        if kind == 2:
            return fdp.ConsumeIntInRange(-300, 300)
        if kind == 3:
            return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
        if kind == 4:
            return fdp.ConsumeFloat()
        if kind in (5, 6):
            return self.text()
        if kind == 7:
            return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
        if kind == 8:
            return datetime.datetime(
                fdp.ConsumeIntInRange(1, 9999),
                fdp.ConsumeIntInRange(1, 12),
                fdp.ConsumeIntInRange(1, 28),
                fdp.ConsumeIntInRange(0, 23),
                fdp.ConsumeIntInRange(0, 59),
                fdp.ConsumeIntInRange(0, 59),
                fdp.ConsumeIntInRange(0, 999999) if fdp.ConsumeBool() else 0,
                tzinfo=fdp.PickValueInList(ZONES),
            )
        if kind == 9:
            return Tag(self.text())
        return fdp.ConsumeIntInRange(0, 224)

    def value(self, depth=0):
        fdp = self.fdp
        if depth >= MAX_DEPTH or fdp.remaining_bytes() < 4:
            return self.scalar()
        kind = fdp.ConsumeIntInRange(0, 12)
        if kind <= 3:
            return self.scalar()
        count = fdp.ConsumeIntInRange(0, 6)
        if kind == 4:
            result = [self.value(depth + 1) for _ in range(count)]
        elif kind == 5:
            result = tuple(self.value(depth + 1) for _ in range(count))
        elif kind == 6:
            result = {self.text(): self.value(depth + 1) for _ in range(count)}
        elif kind == 7:
            result = {}
            for _ in range(count):
                key = self.key()
                if key != key:  # NaN keys cannot be looked up by equality
                    continue
                result[key] = self.value(depth + 1)
        elif kind == 8:
            keys = list(dict.fromkeys(self.text() for _ in range(fdp.ConsumeIntInRange(0, 4))))
            rows = []
            for _ in range(fdp.ConsumeIntInRange(1, 5)):
                order = list(keys)
                if fdp.ConsumeBool():
                    order.reverse()
                rows.append({k: self.value(depth + 1) for k in order})
            result = rows if fdp.ConsumeBool() else tuple(rows)
        elif kind == 9:
            result = [None] * fdp.ConsumeIntInRange(0, 20)
        elif kind == 10:
            result = [fdp.ConsumeBool() for _ in range(fdp.ConsumeIntInRange(0, 40))]
        elif kind == 11:
            cls = PointChild if fdp.ConsumeBool() else Point
            return cls(self.value(depth + 1), self.value(depth + 1))
        else:
            if self.made:
                return fdp.PickValueInList(self.made)
            return self.scalar()
        self.made.append(result)
        return result


def expect(value, tuples=False):
    """What the readers return for `value`."""
    t = type(value)
    if t in (list, tuple):
        items = [expect(item, tuples) for item in value]
        return tuple(items) if tuples else items
    if t is dict:
        return {k: expect(v, tuples) for k, v in value.items()}
    if t in (Point, PointChild):
        pair = [expect(value.x, tuples), expect(value.y, tuples)]
        return fc.Opaque(("pt", tuple(pair) if tuples else pair))
    if t is Tag:
        return value.name
    if isinstance(value, datetime.datetime):
        return datetime.datetime.isoformat(value)
    return value


def walk(value, path, out):
    """(path, original value) for every value reachable by a path."""
    if len(out) >= MAX_PATHS:
        return
    out.append((path, value))
    t = type(value)
    if t in (list, tuple):
        for i, item in enumerate(value):
            walk(item, [*path, Idx(i)], out)
    elif t is dict:
        for key, item in value.items():
            walk(item, [*path, key], out)


def misses(value, path):
    """A few paths that reach nothing, below `value`."""
    t = type(value)
    if t in (list, tuple):
        return [[*path, Idx(len(value))], [*path, "nope"]]
    if t is dict:
        return [[*path, "missing key that is not there"], [*path, Idx(0)]]
    if t in (Point, PointChild):
        return [[*path, Idx(0)], [*path, "x"]]
    return [[*path, Idx(0)]]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    obj = Builder(fdp).value()
    thresholds = (fdp.ConsumeIntInRange(0, 64), fdp.ConsumeIntInRange(0, 64))

    document = dump_bytes(obj, serialize_dates=True, custom_types=DUMP_TYPES)
    chunks = []

    class Writer:
        def write(self, chunk):
            chunks.append(bytes(chunk))

    assert (
        dump_bytes(
            obj,
            serialize_dates=True,
            custom_types=DUMP_TYPES,
            writer=Writer(),
            flush_threshold=thresholds[0],
            direct_write_threshold=thresholds[1],
        )
        is None
    )
    assert b"".join(chunks) == document, "streamed document differs"

    expected = expect(obj)
    loaded = load_bytes(document, custom_types=LOADERS)
    assert fc.same_value(expected, loaded), f"load_bytes: {loaded!r} != {fc.strip_opaque(expected)!r}"
    loaded_tuples = load_bytes(bytearray(document), use_tuples=True, custom_types=LOADERS)
    assert fc.same_value(expect(obj, tuples=True), loaded_tuples), "load_bytes(use_tuples=True) differs"
    whole = lazy_load_bytes(document, [], custom_types=LOADERS)
    assert fc.same_value(expected, whole), "lazy_load_bytes(doc, []) differs"

    found = []
    walk(obj, [], found)
    for path, original in found:
        value = expect(original)
        got = lazy_load_bytes(document, path, custom_types=LOADERS)
        assert fc.same_value(value, got), f"path {path!r}: {got!r} != {fc.strip_opaque(value)!r}"
        truth = bool(fc.strip_opaque(value))
        answer = bytes_check_if_contains(document, path, include_falsy=False, custom_types=LOADERS)
        assert answer is truth, f"check {path!r} answered {answer!r}, value {value!r}"
        assert bytes_check_if_contains(document, path, custom_types=LOADERS) is True
    for path, original in found[:8]:
        for miss in misses(original, path):
            assert bytes_check_if_contains(document, miss, custom_types=LOADERS) is False, f"miss {miss!r}"
            try:
                lazy_load_bytes(document, miss, custom_types=LOADERS)
            except DeserializationError:
                pass
            else:
                raise AssertionError(f"lazy_load_bytes found a value at {miss!r}")
    assert sys.exc_info() == (None, None, None)


if __name__ == "__main__":
    fc.run(__file__, TestOneInput)
