"""Shared helpers: documents built byte by byte (so readers meet forms the encoder
never writes), `Model`, an independent encoder whose ops also give the expected
write() calls, strict comparisons, leak probes and value strategies. Also the
suite's own switches: every test starts from the sizes of a first dump, and
`--shuffle SEED` runs the tests in a random order."""

import datetime
import gc
import math
import os
import random
import struct
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import strategies as st

from pyquarl import _pyquarl
from pyquarl import CustomType, DeserializationError, Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes


def pytest_addoption(parser):
    parser.addoption("--shuffle", type=int, default=None, metavar="SEED",
                     help="run the tests in an order shuffled with SEED, to show that none needs another first")


def pytest_collection_modifyitems(config, items):
    seed = config.getoption("--shuffle")
    if seed is not None:
        random.Random(seed).shuffle(items)


@pytest.fixture(autouse=True)
def first_dump_sizes():
    """Dumps start their buffer and string table at the sizes the previous
    dump needed; each test starts as if no dump had run before it."""
    _pyquarl._forget_dump_sizes()


MARKER = b"<o>"
DEFAULT_FLUSH = 10 * 1024 * 1024
DEFAULT_DIRECT = 5 * 1024 * 1024
SANITIZED = bool(os.environ.get("PYQUARL_SANITIZED"))

END = "Unexpected end of input"
CORRUPTED = "Corrupted data"
MISSING_MARKER = "Corrupted data: missing starting marker `<o>`"
INVALID_ASCII = "Corrupted data: a string marked as ASCII holds a byte above 127"
INVALID_UTF8 = "Corrupted data: a string is not valid UTF-8"
SIZE_OVERFLOW = "Corrupted data: a size field does not fit in 64 bits"
TOO_MANY = "Corrupted data: more elements without payload than this document can hold"
LOADER_FAILED = "Failed to deserialize custom type"


def extra_data(position):
    return f"Unexpected extra data, from position {position}. If you want to ignore it use the flag `ignore_extra_data`"


def unknown_custom_type(identifier):
    return ("Unknown custom type. please provide the correct mapping when deserializing. "
            f"identifier: `{identifier}` (type: `{type(identifier)!r}`)")


def invalid_key(key_type):
    return f"Invalid type for a key: {key_type!r}"


def size(n, base=255, pad=0):
    """Size field of n: one byte below `base`, else FF, the base-`base` digits
    of n - base and FF (key form: base=254), with `pad` extra zero digits."""
    if n < base and not pad:
        return bytes([n])
    digits, rest = [], n - base
    while rest:
        rest, digit = divmod(rest, base)
        digits.append(digit)
    return bytes([0xFF, *digits, *[0] * pad, 0xFF])


def key_size(n, pad=0):
    return size(n, 254, pad)


def doc(*parts):
    """The marker followed by the parts: hex text ("0D 01 1F") or bytes."""
    return MARKER + b"".join(bytes.fromhex(p) if isinstance(p, str) else bytes(p) for p in parts)


def enc_int(v):
    return bytes([v + 30]) if 0 <= v <= 224 else bytes([7 if v > 0 else 8]) + size(abs(v))


def ascii_str(s):
    return b"\x12" + size(len(s)) + s.encode("ascii")


def utf8_str(s):
    data = s.encode()
    return b"\x0a" + size(len(data)) + data


def inline_key(s):
    """An inline key of a str-keyed dict: FE-marked when ASCII."""
    data = s.encode()
    return key_size(len(data) + 1) + b"\xfe" + data if s.isascii() else key_size(len(data)) + data


def marked(s):
    """A typed-list string element: value-form size, FE marks ASCII."""
    data = b"\xfe" + s.encode() if s.isascii() and s else s.encode()
    return size(len(data)) + data


def ref(number, width):
    """A back-reference of the given width: 1-4 bytes (flags 20-23) or 0 for flag 17."""
    return b"\x11" + size(number) if width == 0 else bytes([19 + width]) + number.to_bytes(width, "big")


def typed_list(kind, items):
    """A typed list of floats (9), strs (10) or bytes (11), which the encoder never writes."""
    out = bytearray([0x0E, kind]) + size(len(items))
    for item in items:
        out += struct.pack(">d", item) if kind == 9 else marked(item) if kind == 10 else size(len(item)) + item
    return bytes(out)


def raw_idx(index):
    """An Idx holding any object, past the constructor's own validation."""
    step = Idx.__new__(Idx)
    step.index = index
    return step


class Model:
    def __init__(self, custom_types=None, serialize_dates=False):
        self.ops, self.refs = [], {}
        self.custom_types, self.serialize_dates = custom_types or {}, serialize_dates

    def push(self, *values):
        self.ops.extend(values)

    def chunk(self, data):
        self.ops.append(bytes(data))

    def string(self, s):
        if not s:
            return self.push(0)
        if s in self.refs:
            number = self.refs[s]
            width = next((w for w in (1, 2, 3, 4) if number < 1 << (8 * w)), 0)
            return self.push(*ref(number, width))
        self.refs[s] = len(self.refs)
        data = s.encode()
        self.push(18 if s.isascii() else 10, *size(len(data)))
        self.chunk(data)

    def key(self, s):
        if s in self.refs:
            return self.push(0xFE, *size(self.refs[s]))
        self.refs[s] = len(self.refs)
        data = s.encode()
        self.push(*(key_size(len(data) + 1) + b"\xfe" if s.isascii() else key_size(len(data))))
        self.chunk(data)

    def value(self, v):
        t = type(v)
        if t is str:
            self.string(v)
        elif t is bool:
            self.push(2 if v else 3)
        elif t is int:
            self.push(*enc_int(v))
        elif t in (list, tuple):
            self.sequence(v)
        elif t is dict:
            self.dict(v)
        elif t is float:
            self.push(9)
            self.chunk(struct.pack(">d", v))
        elif t is bytes:
            if not v:
                return self.push(1)
            self.push(11, *size(len(v)))
            self.chunk(v)
        elif v is None:
            self.push(4)
        elif self.serialize_dates and isinstance(v, datetime.datetime):
            self.string(datetime.datetime.isoformat(v))
        else:
            for registered, ct in self.custom_types.items():
                if t is registered or (ct.include_subclasses is True and issubclass(t, registered)):
                    if ct.one_way is not True:
                        self.push(24)
                        self.value(ct.identifier)
                    return self.value(ct.converter(v))
            raise TypeError(f"model cannot encode {t!r}")

    def sequence(self, v):
        n = len(v)
        if n == 0:
            return self.push(5)
        if n >= 2 and all(type(x) is type(v[0]) for x in v):
            if v[0] is None:
                self.chunk(b"\x0e\x04")
                return self.push(*size(n))
            if type(v[0]) is bool:
                self.chunk(b"\x0e\x0c")
                packed = bytearray((n + 7) // 8)
                for i, item in enumerate(v):
                    packed[i // 8] |= item << (7 - i % 8)
                return self.push(*size(n), *packed)
            keys = v[0].keys() if type(v[0]) is dict else None
            if keys is not None and all(type(k) is str for k in keys) and all(
                len(d) == len(keys) and all(type(k) is str and k in keys for k in d) for d in v[1:]
            ):
                self.push(19, *size(n), *size(len(keys)))
                for k, item in v[0].items():
                    self.string(k)
                    self.value(item)
                for d in v[1:]:
                    for k in keys:
                        self.value(d[k])
                return None
        self.push(13, *size(n))
        for item in v:
            self.value(item)

    def dict(self, d):
        if not d:
            return self.push(6)
        str_keys = all(type(k) is str for k in d)
        self.push(16 if str_keys else 15, *size(len(d)))
        for k, item in d.items():
            self.key(k) if str_keys else self.value(k)
            self.value(item)


def model_ops(obj, **options):
    model = Model(**options)
    model.value(obj)
    return model.ops


def model_document(obj, **options):
    return MARKER + b"".join(bytes([op]) if type(op) is int else op for op in model_ops(obj, **options))


def model_writes(ops, flush_threshold=DEFAULT_FLUSH, direct_write_threshold=DEFAULT_DIRECT):
    """The write() calls of a streaming dump: single bytes flush the buffer once
    it holds flush_threshold bytes; chunks of at least direct_write_threshold
    bytes get a call of their own after a flush of what was buffered."""
    writes, buffered = [], bytearray()

    def flush():
        writes.append(bytes(buffered))
        buffered.clear()

    for op in [MARKER, *ops]:
        if type(op) is int:
            buffered.append(op)
            if len(buffered) >= flush_threshold:
                flush()
        elif len(op) >= direct_write_threshold:
            if buffered:
                flush()
            writes.append(op)
        else:
            buffered.extend(op)
            if buffered and len(buffered) >= flush_threshold:
                flush()
    if buffered:
        flush()
    return writes


class Recorder:
    """A writer that keeps every chunk it gets and a copy taken at call time,
    and can raise on its n-th call (1-based)."""

    def __init__(self, fail_on=None, error=None):
        self.chunks, self.copies, self.calls = [], [], 0
        self.fail_on, self.error = fail_on, error or OSError("disk full")

    def write(self, chunk):
        self.calls += 1
        if self.calls == self.fail_on:
            raise self.error
        assert type(chunk) is bytes
        self.chunks.append(chunk)
        self.copies.append(bytes(bytearray(chunk)))
        return 12345  # ignored by the encoder


def stream(obj, **options):
    writer = Recorder()
    assert dump_bytes(obj, writer=writer, **options) is None
    return writer.copies


def same_value(expected, actual, ordered=False):
    """Strict structural equality: exact types everywhere, floats by bits (NaN
    equals NaN, 0.0 differs from -0.0), dicts by content (and key order when
    `ordered`), key types included."""
    if type(expected) is not type(actual):
        return False
    if type(expected) is float:
        return struct.pack(">d", expected) == struct.pack(">d", actual) or (math.isnan(expected) and math.isnan(actual))
    if type(expected) in (list, tuple):
        return len(expected) == len(actual) and all(same_value(e, a, ordered) for e, a in zip(expected, actual))
    if type(expected) is dict:
        if len(expected) != len(actual):
            return False
        if ordered:
            return all(same_value(k, l) and same_value(v, w, ordered)
                       for (k, v), (l, w) in zip(expected.items(), actual.items()))
        actual_keys = {key: key for key in actual}
        return all(key in actual_keys and type(actual_keys[key]) is type(key) and same_value(value, actual[key])
                   for key, value in expected.items())
    return expected == actual


def as_read(value, use_tuples=False):
    """What a value reads back as: every list and tuple a list, or a tuple with use_tuples."""
    if type(value) in (list, tuple):
        return (tuple if use_tuples else list)(as_read(item, use_tuples) for item in value)
    if type(value) is dict:
        return {key: as_read(item, use_tuples) for key, item in value.items()}
    return value


def assert_equal_strings_shared(value):
    """Equal strings anywhere in a decoded value, dict keys included, are one object."""
    first, todo = {}, [value]
    while todo:
        v = todo.pop()
        if type(v) is str:
            assert first.setdefault(v, v) is v, f"{v!r} decoded to two objects"
        elif type(v) in (list, tuple):
            todo.extend(v)
        elif type(v) is dict:
            todo.extend(v.keys())
            todo.extend(v.values())


def paths(value, prefix=()):
    """Every (path, value) pair reachable in a decoded value, the root included."""
    yield list(prefix), value
    if type(value) is dict:
        for key, item in value.items():
            yield from paths(item, (*prefix, key))
    elif type(value) is list:
        for i, item in enumerate(value):
            yield from paths(item, (*prefix, Idx(i)))


def misses(value, prefix=()):
    """Paths that leave a decoded value at one step: an absent key, an index
    past the end, a key on a list, an index on a dict or a scalar."""
    prefix = list(prefix)
    if type(value) is dict:
        return [prefix + ["\uffff not a key"], prefix + [Idx(0)]]
    if type(value) is list:
        return [prefix + [Idx(len(value))], prefix + ["k"]]
    return [prefix + [Idx(0)], prefix + ["k", Idx(0)]]


def assert_resolves(data, path, expected, **options):
    """lazy_load_bytes gives `expected`; both checks agree with its truth."""
    assert same_value(lazy_load_bytes(data, path, **options), expected, ordered=True), path
    assert bytes_check_if_contains(data, path, include_falsy=False, **options) is bool(expected), path
    assert bytes_check_if_contains(data, path, **options) is True, path


def assert_misses(data, path, message=None, contained=False, **options):
    """lazy_load_bytes raises DeserializationError (with `message`); the check
    answers False, or `contained` with include_falsy left at True."""
    with pytest.raises(DeserializationError) as raised:
        lazy_load_bytes(data, path, **options)
    assert message is None or str(raised.value) == message
    assert bytes_check_if_contains(data, path, include_falsy=False, **options) is False
    assert bytes_check_if_contains(data, path, **options) is contained


def assert_fails(call, error_class, message=None):
    """`call` raises exactly `error_class` (or one of a tuple of classes), with
    `message` (or one of a tuple of messages) when given; returns the error."""
    classes = error_class if isinstance(error_class, tuple) else (error_class,)
    with pytest.raises(classes) as raised:
        call()
    assert type(raised.value) in classes, repr(raised.value)
    assert message is None or str(raised.value) in (message if isinstance(message, tuple) else (message,)), raised.value
    return raised.value


def load_fails(data, error_class, message, **options):
    return assert_fails(lambda: load_bytes(data, **options), error_class, message)


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter, so a crash or a hang fails one test
    instead of the run; returns its stdout, failing on a non-zero exit."""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_memory_flat(call, runs=10_000, traced_runs=1000, traced_tolerance=32 * 1024, rss_tolerance=8 * 1024 * 1024):
    """Runs `call` `runs` times after a warm-up, the last `traced_runs` of them
    under tracemalloc. Allocated blocks must grow by less than one per 20
    calls over all runs (or, when they grew more, over as many calls again:
    the interpreter's own caches settle, a leak grows in every window),
    traced memory and the process RSS stay within the tolerances."""
    for _ in range(max(runs // 10, 50)):
        call()
    gc.collect()
    rss_before, blocks_before = rss_bytes(), sys.getallocatedblocks()
    for _ in range(runs - traced_runs):
        call()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(traced_runs):
            call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    gc.collect()
    block_growth, allowed = sys.getallocatedblocks() - blocks_before, max(runs // 20, 10)
    if block_growth >= allowed:
        blocks_before = sys.getallocatedblocks()
        for _ in range(runs):
            call()
        gc.collect()
        block_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = rss_bytes() - rss_before
    assert traced_growth < traced_tolerance, f"traced memory grew by {traced_growth} bytes"
    assert block_growth < allowed, f"{block_growth} more blocks allocated"
    assert rss_growth < rss_tolerance, f"RSS grew by {rss_growth} bytes"


def assert_refcounts_unchanged(call, objects, runs=1000):
    objects = list(objects)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(runs):
        call()
    changed = [(o, b, a) for o, b, a in zip(objects, before, [sys.getrefcount(o) for o in objects]) if a != b]
    assert not changed, changed[:5]


def swallowing(call, error):
    """`call` for the leak checks: it must raise `error`, which is caught."""
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError("the call did not fail")
    return run


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is Point and same_value([self.x, self.y], [other.x, other.y])

    def __bool__(self):
        return bool(self.x)


class Tag:
    def __init__(self, name):
        self.name = name


CUSTOM_TYPES = {
    Point: CustomType("pt", lambda p: [p.x, p.y]),
    Tag: CustomType("tag", lambda t: t.name, one_way=True),
}
LOADERS = {"pt": lambda value: Point(*value)}

POOL = ["", "a", "b", "key", "é", "ünï", "日本", "\U0001f600", "k" * 253, "x" * 300, "ü" * 130]
TEXTS = st.sampled_from(POOL) | st.text(max_size=10)
EDGE_INTS = st.sampled_from([224, 225, 254, 255, 256, 509, 510, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 255**8 + 254,
                             255**8 + 255]).flatmap(lambda v: st.sampled_from([v, -v, -v - 1]))
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(-300, 300), st.integers(), st.integers(-(2**600), 2**600), EDGE_INTS,
    st.floats(), st.sampled_from([-math.nan, -0.0, math.inf, -math.inf]), TEXTS, st.binary(max_size=20),
)
# any encodable hashable key but tuples (the encoder refuses them); no NaN,
# which is never equal to itself and so cannot be looked up again
KEYS = st.one_of(TEXTS, st.integers(), st.none(), st.booleans(), st.binary(max_size=4), st.floats(allow_nan=False))


def like_dicts(children):
    """Two or more dicts with one str key set, in varying key orders."""
    def rows(keys):
        row = st.permutations(keys).flatmap(
            lambda order: st.tuples(*[children] * len(order)).map(lambda values: dict(zip(order, values))))
        return st.lists(row, min_size=2, max_size=4)
    return st.lists(TEXTS, unique=True, max_size=4).flatmap(rows)


def values(scalars=SCALARS, points=False, max_leaves=40):
    """Nested values of every encodable form; with `points`, Point objects too."""
    def containers(children):
        forms = [
            st.lists(children, max_size=6), st.lists(children, max_size=4).map(tuple),
            st.dictionaries(TEXTS, children, max_size=5), st.dictionaries(KEYS, children, max_size=4),
            like_dicts(children), st.lists(st.none(), max_size=10), st.lists(st.booleans(), max_size=20),
            st.lists(st.booleans(), min_size=2, max_size=20).map(tuple),
        ]
        return st.one_of(*forms, *([st.builds(Point, children, children)] if points else []))
    return st.recursive(scalars, containers, max_leaves=max_leaves)


PLAIN_VALUES = values()
_ZONES = st.sampled_from([None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))])
ENCODABLE = values(SCALARS | st.builds(Tag, TEXTS) | st.datetimes(timezones=_ZONES), points=True)


CORPUS_LOADERS = {"pt": tuple, 7: list, "tag": repr}


def corpus():
    """Valid documents covering every flag and layout, written by the encoder
    and by hand (for the forms the encoder never writes). All decode with
    custom_types=CORPUS_LOADERS."""
    strings = [f"s{i}" for i in range(300)]
    samples = [
        {
            "name": "é日本", "n": -12345678901234567890123, "f": [1.5, math.nan, -0.0, math.inf], "b": b"\x00\xff",
            "t": (1, "name", None, 225, 254, 255, 256), "rows": [{"x": 1, "y": "name"}, {"y": "é日本", "x": 2}],
            "bools": [True, False] * 5, "nones": [None] * 4, "nested": {3: {b"k": 1.0, None: "x", 2.5: [], True: {}}, "": ""},
        },
        strings + strings[::-1],
        [2**64, -(2**64), 255**8 + 254, 255**9, 2**200, -(2**1000), -1, -255],
        [{}, {}, {}],
        [[[[{"a": [[{}], ()]}]]]],
        {"k" * 300: "v" * 300, "é" * 200: b"x" * 300},
        [Point(1, 2), {"p": Point("pt", [Point(3, 4)])}],
    ]
    documents = [dump_bytes(v, custom_types=CUSTOM_TYPES) for v in samples]
    return documents + [
        doc(typed_list(9, [1.5, -0.0, 1e300])),
        doc(b"\x0d\x03\x0e\x0a\x04", marked("abc"), marked("é"), marked(""), b"\x02ab", "14 00 14 02"),
        doc(typed_list(11, [b"\x00\xff", b"", b"\x7f"])),
        doc("0F 03 1F 12 01 61 14 00 0D 01 04 09", struct.pack(">d", 2.5), "0B 01 00"),
        doc(b"\x0d\x06", typed_list(10, strings), ref(299, 0), ref(1, 2), ref(2, 3), ref(3, 4), b"\x11" + size(299, pad=2)),
        doc("0D 04 FF 07 FF 2D 00 00 FF 08 FF 00 00 01 FF 07 00"),
        doc("10 02 FF 00 01 FF FE", b"k" * 507, "1F FE 00 20"),
        doc("18 25 0D 02 1F 18 12 03 74 61 67 20"),  # custom 7 wrapping custom "tag"
        doc("13 02 02 1F 12 01 61 0A 01 62 0E 0C 03 A0 21 0E 04 02"),
        doc("13 04 00"),
        doc("0A 05 68 65 6C 6C 6F"),
        doc("0D 02 0E 0C 00 0E 04 00"),
    ]


def damaged(data, edits):
    """`data` with each (where, kind, byte) edit applied: a byte set, inserted or deleted, or the rest cut."""
    out = bytearray(data)
    for where, kind, byte in edits:
        where %= len(out) + 1
        end = {"set": where + 1, "insert": where, "delete": where + 1, "cut": len(out)}[kind]
        out[where:end] = bytes([byte]) if kind in ("set", "insert") else b""
    return bytes(out)


EDITS = st.lists(st.tuples(st.integers(0, 10**6), st.sampled_from(["set", "set", "insert", "delete", "cut"]),
                           st.integers(0, 255)), min_size=1, max_size=4)
