"""Python code run mid-call (writers, converters, loaders, isoformat, comparisons,
truth tests) fails in turn, and so does allocation: each ends in its documented
exception, leaves the interpreter usable and leaks nothing."""

import datetime
import gc
import sys

import pytest

from conftest import (
    CUSTOM_TYPES, LOADER_FAILED, SANITIZED, Point, Recorder, assert_fails, assert_memory_flat, raw_idx, run_isolated,
    stream, swallowing,
)
from pyquarl import (
    CustomType, DeserializationError, Idx, SerializationError, bytes_check_if_contains, dump_bytes, lazy_load_bytes,
    load_bytes,
)

LEAK_RUNS = 200 if SANITIZED else 1000
CUSTOM_FAILED = "Failed to serialize custom type"
LIST_CHANGED = "list changed size during iteration"
DICT_CHANGED = ("dictionary changed size during iteration", "dictionary keys changed during iteration")
ROW_KEYS_CHANGED = "Failed to serialize list of dicts: a dict's keys changed while it was being written"
# an endless conversion runs out of budget in the encoder (RecursionError) or
# inside a converter call (reported as a failed converter)
ENDLESS = (RecursionError, SerializationError)


class Boom(Exception):
    pass


def raising(error_class, *args):
    def call(*_):
        raise error_class(*args)
    return call


RaisingBool = type("RaisingBool", (), {"__bool__": raising(Boom, "bool")})


def assert_no_leak(call, runs=LEAK_RUNS):
    for _ in range(runs // 4):  # the interpreter's own caches settle over the first calls
        call()
    assert_memory_flat(call, runs=runs, traced_runs=runs // 10)


def assert_no_leak_per_level(call, runs=30):
    """For calls thousands of levels deep, where the interpreter's own caches
    grow by up to ~100 blocks over the first thousand calls (too slow to
    outlast): a leak at each level would add thousands of blocks per call."""
    for _ in range(runs // 2):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(runs):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - before < 5 * runs


def assert_interpreter_clean():
    """No exception survives the call, and every entry point works after it."""
    assert sys.exc_info() == (None, None, None) and gc.isenabled()
    document = dump_bytes({"a": [1, "x", None]})
    assert load_bytes(document) == {"a": [1, "x", None]} and lazy_load_bytes(document, ["a", Idx(1)]) == "x"
    assert bytes_check_if_contains(document, ["a", Idx(2)], include_falsy=False) is False


STREAMED = {"names": ["ann", "bob", "ann", "é" * 30], "numbers": [1, 2**70, -5, 1.5, 225], "blob": b"x" * 40,
            "flags": [True, False] * 5, "rows": [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}], "nothing": [None, None]}


@pytest.mark.parametrize("flush, direct", [(0, 0), (16, 8)])
def test_writer_failing_on_each_call_raises_its_error_and_leaks_nothing(flush, direct):
    # test_streaming checks the bytes delivered before each failure
    options = {"flush_threshold": flush, "direct_write_threshold": direct}
    calls = len(stream(STREAMED, **options))

    def every_failure():
        for n in range(1, calls + 1):
            writer = Recorder(n, Boom(n))
            try:
                dump_bytes(STREAMED, writer=writer, **options)
            except Boom as error:
                assert error is writer.error and writer.calls == n
            else:
                raise AssertionError(f"write {n} failed silently")

    every_failure()
    assert_interpreter_clean()
    assert_no_leak(every_failure, runs=max(LEAK_RUNS // calls, 50))


# The fault table below maps an id to (call, error class or None, message).

def on_point(converter, identifier="p", one_way=False):
    return lambda: (Point(1, 2), {Point: CustomType(identifier, converter, one_way=one_way)})


def mutating(make, mutate):
    """A container holding a Point whose converter changes that container."""
    def case():
        value = make(Point(1, 2))
        return value, {Point: CustomType("p", lambda p: mutate(value) or 1)}
    return case


CONVERTERS = {
    "raises": (on_point(raising(ValueError, "no")), SerializationError, CUSTOM_FAILED),
    "raises-memory-error": (on_point(raising(MemoryError)), SerializationError, CUSTOM_FAILED),
    "returns-set": (on_point(lambda p: {1}), SerializationError, "Unexpected type: <class 'set'>"),
    "returns-tuple-key": (on_point(lambda p: {(1, 2): 3}), SerializationError, "Invalid type for dict key: tuple"),
    "returns-lone-surrogate": (on_point(lambda p: "\ud800"), SerializationError,
                               "Failed to serialize str: it cannot be encoded as UTF-8"),
    "identifier-unencodable": (on_point(lambda p: 1, identifier=frozenset()), SerializationError,
                               "Unexpected type: <class 'frozenset'>"),
    "returns-itself": (on_point(lambda p: p), ENDLESS, None),
    "returns-itself-one-way": (on_point(lambda p: p, one_way=True), ENDLESS, None),
    "endless-chain": (on_point(lambda p: Point(1, 2)), ENDLESS, None),
    "clears-its-list": (mutating(lambda p: [p, 1, 2], list.clear), RuntimeError, LIST_CHANGED),
    "grows-its-list": (mutating(lambda p: [p, 1, 2], lambda v: v.append(1)), RuntimeError, LIST_CHANGED),
    "clears-its-list-last": (mutating(lambda p: [1, 2, p], list.clear), RuntimeError, LIST_CHANGED),
    "drops-a-written-mixed-key": (mutating(lambda p: {1: "one", "b": p}, lambda d: d.pop(1)), RuntimeError,
                                  DICT_CHANGED),
    "swaps-a-written-str-key": (mutating(lambda p: {"a": 1, "b": p}, lambda d: d.update(c=d.pop("a"))),
                                RuntimeError, DICT_CHANGED),
    "clears-its-dict": (mutating(lambda p: {"a": p, "b": 2}, dict.clear), RuntimeError, DICT_CHANGED),
    "grows-its-dict": (mutating(lambda p: {"a": p, "b": 2}, lambda d: d.update({object(): 1})), RuntimeError,
                       DICT_CHANGED),
    "changes-a-row": (mutating(lambda p: [{"a": p, "b": 1}, {"a": 2, "b": 3}],
                               lambda rows: rows[1].update(c=rows[1].pop("b"))), SerializationError, ROW_KEYS_CHANGED),
}


class Zone(datetime.tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, moment):
        return self.offset(moment)


ZONES = {
    "raises": Zone(raising(Boom, "utcoffset")),
    "wrong-type": Zone(lambda moment: "five hours"),
    "out-of-range": Zone(lambda moment: datetime.timedelta(days=2)),
    "memory-error": Zone(raising(MemoryError)),
}

CUSTOM_DOC = dump_bytes({"first": Point(1, 2), "list": [Point(3, 4)], "after": "tail"}, custom_types=CUSTOM_TYPES)


def resizing(mutate):
    def case():
        data = bytearray(CUSTOM_DOC)
        return data, lambda value: mutate(data)
    return case


LOADERS = {
    "raises": lambda: (CUSTOM_DOC, raising(ValueError, "bad")),
    "raises-memory-error": lambda: (CUSTOM_DOC, raising(MemoryError)),
    "resizes-the-buffer": resizing(lambda data: data.extend(bytes(1024))),
    "empties-the-buffer": resizing(bytearray.clear),
}
READERS = {
    "load": lambda data, loaders: load_bytes(data, custom_types=loaders),
    "load-tuples-stop-gc": lambda data, loaders: load_bytes(data, custom_types=loaders, use_tuples=True, stop_gc=True),
    "lazy-whole": lambda data, loaders: lazy_load_bytes(data, [], custom_types=loaders),
    "lazy-path": lambda data, loaders: lazy_load_bytes(data, ["list", Idx(0)], custom_types=loaders),
}


def loading(case, read):
    def call():
        data, loader = LOADERS[case]()
        before = bytes(data)
        try:
            read(data, {"pt": loader})
        finally:
            assert data == before  # the export held during the decode refused the resize
    return call


def checking(case):
    def call():
        data, loader = LOADERS[case]()
        # a failing loader means not contained; with include_falsy the value is never decoded
        assert bytes_check_if_contains(data, ["first"], include_falsy=False, custom_types={"pt": loader}) is False
        assert bytes_check_if_contains(data, ["first"], custom_types={"pt": loader}) is True
    return call


# path steps whose comparison, its result's truth, or str() fails
RaisingEq = type("RaisingEq", (), {"__eq__": raising(Boom, "eq"), "__hash__": object.__hash__})
EqReturnsRaisingBool = type("EqReturnsRaisingBool", (), {"__eq__": lambda *_: RaisingBool(),
                                                         "__hash__": object.__hash__})
Unprintable = type("Unprintable", (), {"__eq__": lambda *_: False, "__str__": raising(Boom, "str"),
                                       "__hash__": object.__hash__})
RaisingIndex = type("RaisingIndex", (), {"__lt__": raising(Boom, "lt")})


LAZY_DOCS = {
    "str-key-dict": dump_bytes({"a": 1, "b": [1, 2]}),
    "mixed-key-dict": dump_bytes({1: "a", "b": 2}),
    "rows": dump_bytes([{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
}
PATH_STEPS = {
    "eq-raises": (RaisingEq, Boom),
    "eq-result-truth-raises": (EqReturnsRaisingBool, Boom),
    # the missing-key message cannot be built: reported as MemoryError, the cause
    # chained; a check never builds it and answers False
    "unprintable-missing-key": (Unprintable, MemoryError),
    "index-compare-raises": (lambda: raw_idx(RaisingIndex()), Boom),
    "index-not-an-int": (lambda: raw_idx(1.5), TypeError),
    "index-too-large": (lambda: raw_idx(2**64), OverflowError),
}
TINY = b"<o>\x1f"


# one instance for all calls: a class made per call would cost memory of its own
DISCARD = type("Writer", (), {"write": lambda self, chunk: None})()
UNCALLABLE_WRITE = type("Writer", (), {"write": 5})()
ARGUMENTLESS_WRITE = type("Writer", (), {"write": lambda self: None})()
SINKS = {"memory": dict, "writer": lambda: {"writer": DISCARD, "flush_threshold": 0}}


def faults():
    table = {}
    for name, (make, error, message) in CONVERTERS.items():
        for sink, options in SINKS.items():
            def call(make=make, options=options):
                value, custom_types = make()  # fresh containers for the converters to mutate
                dump_bytes(value, custom_types=custom_types, **options())
            table[f"converter-{name}-{sink}"] = (call, error, message)
    for name, zone in ZONES.items():
        moment = datetime.datetime(2024, 5, 1, 12, tzinfo=zone)
        for sink, options in SINKS.items():
            table[f"isoformat-{name}-{sink}"] = (
                lambda moment=moment, options=options: dump_bytes([moment], serialize_dates=True, **options()),
                SerializationError, "Failed to serialize date")
    for case in LOADERS:
        for reader, read in READERS.items():
            table[f"loader-{case}-{reader}"] = (loading(case, read), DeserializationError, LOADER_FAILED)
        table[f"loader-{case}-check"] = (checking(case), None, None)
    table["loader-result-truth-raises-check"] = (lambda: bytes_check_if_contains(
        CUSTOM_DOC, ["first"], include_falsy=False, custom_types={"pt": lambda value: RaisingBool()}), Boom, None)
    # objects a loader made before the decode fails are released with it
    for reader in ("load", "load-tuples-stop-gc", "lazy-whole"):
        table[f"loader-then-truncated-{reader}"] = (lambda read=READERS[reader]: read(
            CUSTOM_DOC[:-2], {"pt": lambda value: Point(*value)}), DeserializationError, None)
    for name, (make_step, error) in PATH_STEPS.items():
        for document, data in LAZY_DOCS.items():
            for entry in (lazy_load_bytes, bytes_check_if_contains):
                def call(data=data, entry=entry, make_step=make_step, rows=document == "rows"):
                    assert entry(data, [Idx(1), make_step()] if rows else [make_step()]) is False
                quiet = name == "unprintable-missing-key" and entry is bytes_check_if_contains
                table[f"path-{name}-{document}-{entry.__name__}"] = (call, None if quiet else error, None)
    for option, call in {
        "dump-serialize-dates": lambda: dump_bytes(1, serialize_dates=RaisingBool()),
        "load-use-tuples": lambda: load_bytes(TINY, use_tuples=RaisingBool()),
        "load-stop-gc": lambda: load_bytes(TINY, stop_gc=RaisingBool()),
        "load-ignore-extra-data": lambda: load_bytes(TINY, ignore_extra_data=RaisingBool()),
        "lazy-include-falsy": lambda: lazy_load_bytes(TINY, [], include_falsy=RaisingBool()),
        "check-include-falsy": lambda: bytes_check_if_contains(TINY, [], include_falsy=RaisingBool()),
    }.items():
        table[f"option-truth-raises-{option}"] = (call, Boom, None)
    for writer, (make, error) in {
        "memory-error": (lambda: Recorder(1, MemoryError()), MemoryError),
        "keyboard-interrupt": (lambda: Recorder(2, KeyboardInterrupt()), KeyboardInterrupt),
        "no-write": (object, AttributeError),
        "write-not-callable": (lambda: UNCALLABLE_WRITE, TypeError),
        "write-wrong-arity": (lambda: ARGUMENTLESS_WRITE, TypeError),
    }.items():
        table[f"writer-{writer}"] = (
            lambda make=make: dump_bytes(STREAMED, writer=make(), flush_threshold=0), error, None)
    return table


FAULTS = faults()


@pytest.mark.parametrize("case", FAULTS)
def test_fault_ends_cleanly_and_leaks_nothing(case):
    call, error, message = FAULTS[case]
    if error is not None:
        failure = assert_fails(call, error, message)
        if error is ENDLESS and type(failure) is SerializationError:
            assert str(failure) == CUSTOM_FAILED
        call = swallowing(call, error)
    else:
        call()
    assert_interpreter_clean()
    if error is not ENDLESS:
        assert_no_leak(call)
    else:  # thousands of levels per call: a leak at each level shows within a few calls
        assert_no_leak_per_level(call)


def test_loader_decoding_the_same_buffer_again():
    data, inner = bytearray(CUSTOM_DOC), []

    def loader(value):
        inner.extend([lazy_load_bytes(data, ["after"]), load_bytes(data, custom_types={"pt": tuple})["list"]])
        return value

    assert load_bytes(data, custom_types={"pt": loader})["after"] == "tail"
    assert inner[:2] == ["tail", [(3, 4)]]


def test_comparison_that_clears_the_path_being_walked():
    path = []

    class Clearing:
        __hash__ = object.__hash__

        def __eq__(self, other):
            path.clear()
            gc.collect()
            return other == "b"

    path.extend([Clearing(), Idx(1)])
    assert lazy_load_bytes(LAZY_DOCS["str-key-dict"], path) == 2
    path.extend([Clearing(), Idx(1)])
    assert bytes_check_if_contains(LAZY_DOCS["str-key-dict"], path, include_falsy=False) is True


MEMORY_SCRIPT = """
import gc, resource, sys
from pyquarl import Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

big, count = b"x" * (96 << 20), 24_000_000
list_doc = dump_bytes([0] * count)  # a list of 192 MB to build
bytes_doc = dump_bytes(big)  # decoding copies 96 MB
strs_doc = dump_bytes(["s%d" % i for i in range(1_000_000)])  # a million distinct strings to build
gc.collect()
limit = vm_size() + (40 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
calls = {
    "dump-output-growth": lambda: dump_bytes([big, big, big]),
    "dump-streaming-chunk": lambda: dump_bytes([big, b"y"], writer=open("/dev/null", "wb"), flush_threshold=1 << 40,
                                               direct_write_threshold=1 << 40),
    "load-list": lambda: load_bytes(list_doc),
    "load-bytes": lambda: load_bytes(bytes_doc),
    "lazy-bytes": lambda: lazy_load_bytes(bytes_doc, []),
    "lazy-list": lambda: lazy_load_bytes(list_doc, []),
    "load-strings": lambda: load_bytes(strs_doc),
}
for name, call in calls.items():
    try:
        call()
    except MemoryError:
        pass
    else:
        raise AssertionError(name + " did not run out of memory")
    assert sys.exc_info() == (None, None, None)
    assert load_bytes(dump_bytes({"a": [1, 2]})) == {"a": [1, 2]}, name
    gc.collect()
# reading one element needs no memory at all
assert lazy_load_bytes(list_doc, [Idx(count - 1)]) == 0
assert bytes_check_if_contains(bytes_doc, [], include_falsy=False) is True
print("done")
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves more address space than any limit allows")
def test_running_out_of_memory_raises_memory_error_and_recovers():
    assert run_isolated(MEMORY_SCRIPT, timeout=300) == "done\n"
