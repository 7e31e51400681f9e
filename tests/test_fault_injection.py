"""Every piece of Python code the module runs in the middle of a call fails or
misbehaves in turn: the writer's write, custom-type converters and loaders,
isoformat through a time zone, rich comparisons, truth tests, str() of a path
key, and allocation itself. Each case must end in its documented exception
(or a clean result), leave no exception pending, leave the interpreter usable,
and leak nothing over many repetitions.
"""

import datetime
import gc
import os
import sys
import textwrap
import weakref

import pytest

from conftest import assert_memory_flat, run_isolated
from pyquarl import (
    CustomType,
    DeserializationError,
    Idx,
    SerializationError,
    bytes_check_if_contains,
    dump_bytes,
    lazy_load_bytes,
    load_bytes,
)

SANITIZED = bool(os.environ.get("PYQUARL_SANITIZED"))
LEAK_RUNS = 300 if SANITIZED else 2000

CUSTOM_FAILED = "Failed to serialize custom type"
LOADER_FAILED = "Failed to deserialize custom type"
DATE_FAILED = "Failed to serialize date"
LIST_CHANGED = "list changed size during iteration"
DICT_CHANGED = "dictionary changed size during iteration"
DICT_MESSAGES = (DICT_CHANGED, "dictionary keys changed during iteration")
ENDLESS = (RecursionError, SerializationError)
ROW_KEYS_CHANGED = "Failed to serialize list of dicts: a dict's keys changed while it was being written"


class Boom(Exception):
    pass


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


class Point:
    def __init__(self, x=1, y=2):
        self.x, self.y = x, y


def assert_interpreter_clean():
    """No exception survives the call, and every entry point works after it."""
    assert sys.exc_info() == (None, None, None)
    document = dump_bytes({"a": [1, "x", None], "b": Point.__name__})
    assert load_bytes(document) == {"a": [1, "x", None], "b": "Point"}
    assert lazy_load_bytes(document, ["a", Idx(1)]) == "x"
    assert bytes_check_if_contains(document, ["a", Idx(2)], include_falsy=False) is False
    assert gc.isenabled()


def expect(call, error, message=None):
    """Runs `call`; it must raise exactly `error` (or one of a tuple of
    classes), with `message` (or one of a tuple of messages) when given."""
    classes = error if isinstance(error, tuple) else (error,)
    with pytest.raises(classes) as info:
        call()
    assert type(info.value) in classes, repr(info.value)
    if type(info.value) is SerializationError and classes == ENDLESS:
        message = CUSTOM_FAILED
    if message is not None:
        assert str(info.value) in (message if isinstance(message, tuple) else (message,))
    return info.value


def swallowing(call, error):
    """`call` for the leak checks: the expected exception is caught."""

    def run():
        try:
            call()
        except error:
            pass

    return run


# ---- the writer ------------------------------------------------------------

STREAMED = {
    "names": ["ann", "bob", "ann", "é" * 30],
    "numbers": [1, 2**70, -5, 1.5, 225],
    "blob": b"x" * 40,
    "flags": [True, False] * 5,
    "rows": [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}],
    "nothing": [None, None],
}
THRESHOLDS = [(0, 0), (0, 5), (3, 1), (16, 8), (10 * 1024 * 1024, 5 * 1024 * 1024)]


class FailingWriter:
    """Raises `error` on its `fail_on`-th call (1-based); keeps what it got."""

    def __init__(self, fail_on, error=None):
        self.fail_on, self.calls, self.chunks = fail_on, 0, []
        self.error = error if error is not None else Boom(f"write {fail_on}")

    def write(self, chunk):
        self.calls += 1
        if self.calls == self.fail_on:
            raise self.error
        self.chunks.append(bytes(chunk))


def write_calls(flush, direct):
    writer = FailingWriter(0)
    dump_bytes(STREAMED, writer=writer, flush_threshold=flush, direct_write_threshold=direct)
    return writer.calls


@pytest.mark.parametrize("flush, direct", THRESHOLDS)
def test_writer_failing_on_each_call_stops_the_dump_with_its_exception(flush, direct):
    document = dump_bytes(STREAMED)
    calls = write_calls(flush, direct)
    assert calls >= 1
    for n in range(1, calls + 1):
        writer = FailingWriter(n)
        with pytest.raises(Boom) as info:
            dump_bytes(STREAMED, writer=writer, flush_threshold=flush, direct_write_threshold=direct)
        assert info.value is writer.error
        assert writer.calls == n
        # what was delivered before the failure stays delivered, in order
        assert document.startswith(b"".join(writer.chunks))
        assert_interpreter_clean()


@pytest.mark.parametrize("flush, direct", [(0, 0), (16, 8)])
def test_writer_failing_on_each_call_leaks_nothing(flush, direct):
    calls = write_calls(flush, direct)

    def every_failure():
        for n in range(1, calls + 1):
            try:
                dump_bytes(STREAMED, writer=FailingWriter(n), flush_threshold=flush, direct_write_threshold=direct)
            except Boom:
                pass

    assert_memory_flat(every_failure, runs=max(LEAK_RUNS // calls, 50))


class NoisyResult:
    """A write() result whose destructor raises: it is released unexamined."""

    def __del__(self):
        raise Boom("result")


def writer_of(write):
    return type("Writer", (), {"write": write})()


UNCALLABLE_WRITE = writer_of(5)
ARGUMENTLESS_WRITE = writer_of(lambda self: None)
WRITER_CASES = {
    "memory-error": (lambda: FailingWriter(1, MemoryError()), MemoryError),
    "keyboard-interrupt": (lambda: FailingWriter(2, KeyboardInterrupt()), KeyboardInterrupt),
    "no-write": (lambda: object(), AttributeError),
    "write-not-callable": (lambda: UNCALLABLE_WRITE, TypeError),
    "write-wrong-arity": (lambda: ARGUMENTLESS_WRITE, TypeError),
}


@pytest.mark.parametrize("case", WRITER_CASES, ids=str)
def test_broken_writers(case):
    make, error = WRITER_CASES[case]
    expect(lambda: dump_bytes(STREAMED, writer=make(), flush_threshold=0), error)
    assert_interpreter_clean()


def test_write_result_is_released_unexamined(monkeypatch):
    chunks, unraisable = [], []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def write(self, chunk):
        chunks.append(chunk)
        return NoisyResult()

    assert dump_bytes(STREAMED, writer=writer_of(write), flush_threshold=0) is None
    assert b"".join(chunks) == dump_bytes(STREAMED)
    # each result's failing destructor is reported as unraisable, never raised
    assert len(unraisable) == len(chunks) and all(type(u.exc_value) is Boom for u in unraisable)
    assert_interpreter_clean()


@pytest.mark.parametrize("flush", [0, 7])
def test_writer_mutating_the_value_being_written(flush):
    """The writer empties and refills the containers under the encoder: the
    dump either completes with a readable document or fails with RuntimeError."""
    for victim in range(4):
        value = {"list": list(range(50)), "dict": {str(i): i for i in range(20)}, "text": ["t" * 20] * 10}
        targets = [value["list"], value["dict"], value["text"], value]
        chunks = []

        def write(self, chunk, target=targets[victim]):
            chunks.append(bytes(chunk))
            target.clear()
            if isinstance(target, list):
                target.extend(["new string"] * 3)
            else:
                target.update({"k": "v"})

        try:
            dump_bytes(value, writer=writer_of(write), flush_threshold=flush)
        except RuntimeError as error:
            assert str(error) in (LIST_CHANGED, DICT_CHANGED, "dictionary keys changed during iteration")
        else:
            load_bytes(b"".join(chunks))
        assert_interpreter_clean()


# ---- converters --------------------------------------------------------------

def converter_case(value, converter, identifier="p", one_way=False):
    return value, {Point: CustomType(identifier, converter, one_way=one_way)}


def self_returning(p):
    return p


def clears(target):
    def convert(p):
        target.clear()
        return 1

    return convert


def grows(target):
    def convert(p):
        if isinstance(target, list):
            target.append(1)
        else:
            target[object()] = 1
        return 1

    return convert


def changes_row(rows):
    def convert(p):
        rows[1].pop("b")
        rows[1]["c"] = 1
        return 1

    return convert


def raising(error_class, *args):
    """A callback raising a new `error_class` instance on every call."""

    def convert(value):
        raise error_class(*args)

    return convert


def converter_cases():
    victim_list = [Point(), 1, 2]
    grown_list = [Point(), 1, 2]
    victim_dict = {"a": Point(), "b": 2}
    grown_dict = {"a": Point(), "b": 2}
    rows = [{"a": Point(), "b": 1}, {"a": 2, "b": 3}]
    return {
        "raises": (converter_case(Point(), raising(ValueError, "no")), SerializationError, CUSTOM_FAILED),
        "raises-memory-error": (converter_case(Point(), raising(MemoryError)), SerializationError, CUSTOM_FAILED),
        "returns-set": (converter_case(Point(), lambda p: {1}), SerializationError, "Unexpected type: <class 'set'>"),
        "returns-tuple-key": (
            converter_case(Point(), lambda p: {(1, 2): 3}),
            SerializationError,
            "Invalid type for dict key: tuple",
        ),
        "returns-lone-surrogate": (
            converter_case(Point(), lambda p: "\ud800"),
            SerializationError,
            "Failed to serialize str: it cannot be encoded as UTF-8",
        ),
        "identifier-unencodable": (
            converter_case(Point(), lambda p: 1, identifier=frozenset()),
            SerializationError,
            "Unexpected type: <class 'frozenset'>",
        ),
        # endless conversions run out of recursion budget either in the encoder
        # (RecursionError) or inside the converter call (a failed converter)
        "returns-itself": (converter_case(Point(), self_returning), ENDLESS, None),
        "returns-itself-one-way": (converter_case(Point(), self_returning, one_way=True), ENDLESS, None),
        "endless-chain": (converter_case(Point(), lambda p: Point()), ENDLESS, None),
        "clears-its-list": (converter_case(victim_list, clears(victim_list)), RuntimeError, LIST_CHANGED),
        "grows-its-list": (converter_case(grown_list, grows(grown_list)), RuntimeError, LIST_CHANGED),
        "clears-its-dict": (converter_case(victim_dict, clears(victim_dict)), RuntimeError, DICT_MESSAGES),
        "grows-its-dict": (converter_case(grown_dict, grows(grown_dict)), RuntimeError, DICT_MESSAGES),
        "changes-a-row": (converter_case(rows, changes_row(rows)), SerializationError, ROW_KEYS_CHANGED),
    }


CONVERTER_CASES = converter_cases()


@pytest.mark.parametrize("streaming", [False, True], ids=["memory", "writer"])
@pytest.mark.parametrize("case", CONVERTER_CASES, ids=str)
def test_failing_converters(case, streaming):
    (value, custom_types), error, message = converter_cases()[case]  # fresh containers
    options = {"writer": FailingWriter(0), "flush_threshold": 0} if streaming else {}
    expect(lambda: dump_bytes(value, custom_types=custom_types, **options), error, message)
    assert_interpreter_clean()


def test_converter_results_are_freed_after_a_failure():
    produced = []

    class Result(list):
        pass

    def convert(p):
        result = Result([1, {2}])  # a list subclass is itself unencodable
        produced.append(weakref.ref(result))
        return result

    expect(lambda: dump_bytes([Point(), Point()], custom_types={Point: CustomType("p", convert)}), SerializationError)
    gc.collect()
    assert produced and all(ref() is None for ref in produced)


def test_converter_replacing_dict_values_keeps_the_document_readable():
    value = {"a": Point(), "b": "before"}

    def convert(p):
        value["b"] = "after"
        return 1

    document = dump_bytes(value, custom_types={Point: CustomType("p", convert)})
    assert load_bytes(document, custom_types={"p": lambda v: v}) == {"a": 1, "b": "after"}


# ---- isoformat ---------------------------------------------------------------

class Zone(datetime.tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, moment):
        return self.offset(moment)

    def dst(self, moment):
        return None


ZONES = {
    "offset-raises": Zone(raising(Boom, "utcoffset")),
    "offset-wrong-type": Zone(lambda moment: "five hours"),
    "offset-out-of-range": Zone(lambda moment: datetime.timedelta(days=2)),
    "offset-memory-error": Zone(raising(MemoryError)),
}


@pytest.mark.parametrize("streaming", [False, True], ids=["memory", "writer"])
@pytest.mark.parametrize("zone", ZONES, ids=str)
def test_isoformat_failures(zone, streaming):
    moment = datetime.datetime(2024, 5, 1, 12, tzinfo=ZONES[zone])
    options = {"writer": FailingWriter(0)} if streaming else {}
    expect(lambda: dump_bytes([moment], serialize_dates=True, **options), SerializationError, DATE_FAILED)
    assert_interpreter_clean()


# ---- loaders -----------------------------------------------------------------

CUSTOM_DOC = dump_bytes(
    {"first": Point(), "list": [Point(3, 4)], "after": "tail"},
    custom_types={Point: CustomType("p", lambda p: [p.x, p.y])},
)


def loader_cases():
    growing = bytearray(CUSTOM_DOC)
    emptied = bytearray(CUSTOM_DOC)

    def grow(value):
        growing.extend(b"\x00" * 1024)

    def empty(value):
        emptied.clear()

    return {
        "raises": (CUSTOM_DOC, raising(ValueError, "bad"), DeserializationError, LOADER_FAILED),
        "raises-memory-error": (CUSTOM_DOC, raising(MemoryError), DeserializationError, LOADER_FAILED),
        "resizes-the-buffer": (growing, grow, DeserializationError, LOADER_FAILED),
        "empties-the-buffer": (emptied, empty, DeserializationError, LOADER_FAILED),
    }


LOADER_CASES = loader_cases()
ENTRY_POINTS = {
    "load": lambda data, loaders: load_bytes(data, custom_types=loaders),
    "load-tuples-stop-gc": lambda data, loaders: load_bytes(data, custom_types=loaders, use_tuples=True, stop_gc=True),
    "lazy-whole": lambda data, loaders: lazy_load_bytes(data, [], custom_types=loaders),
    "lazy-path": lambda data, loaders: lazy_load_bytes(data, ["list", Idx(0)], custom_types=loaders),
}


@pytest.mark.parametrize("entry", ENTRY_POINTS, ids=str)
@pytest.mark.parametrize("case", LOADER_CASES, ids=str)
def test_failing_loaders(case, entry):
    data, loader, error, message = loader_cases()[case]
    before = bytes(data)
    expect(lambda: ENTRY_POINTS[entry](data, {"p": loader}), error, message)
    assert bytes(data) == before  # the export held during the decode refused the resize
    assert_interpreter_clean()


@pytest.mark.parametrize("case", LOADER_CASES, ids=str)
def test_failing_loader_in_a_containment_check_is_not_contained(case):
    data, loader, _, _ = loader_cases()[case]
    assert bytes_check_if_contains(data, ["first"], include_falsy=False, custom_types={"p": loader}) is False
    # with include_falsy the value is never decoded, so the loader never runs
    assert bytes_check_if_contains(data, ["first"], custom_types={"p": loader}) is True
    assert_interpreter_clean()


def test_loader_result_whose_truth_raises():
    loaders = {"p": lambda value: RaisingBool()}
    assert type(lazy_load_bytes(CUSTOM_DOC, ["first"], custom_types=loaders)) is RaisingBool
    expect(lambda: bytes_check_if_contains(CUSTOM_DOC, ["first"], include_falsy=False, custom_types=loaders), Boom)
    assert_interpreter_clean()


def test_loader_results_are_freed_when_the_decode_fails_later():
    produced = []

    class Loaded:
        pass

    def loader(value):
        result = Loaded()
        produced.append(weakref.ref(result))
        return result

    truncated = CUSTOM_DOC[:-2]
    for entry in ("load", "load-tuples-stop-gc", "lazy-whole"):
        expect(lambda: ENTRY_POINTS[entry](truncated, {"p": loader}), DeserializationError)
    expect(lambda: lazy_load_bytes(truncated, ["after"], custom_types={"p": loader}), DeserializationError)
    gc.collect()
    assert produced and all(ref() is None for ref in produced)


def test_loader_decoding_the_same_buffer_again():
    data = bytearray(CUSTOM_DOC)
    inner = []

    def loader(value):
        inner.append(lazy_load_bytes(data, ["after"]))
        inner.append(load_bytes(data, custom_types={"p": tuple}))
        return value

    assert load_bytes(data, custom_types={"p": loader})["after"] == "tail"
    assert inner[0] == "tail" and inner[1]["list"] == [(3, 4)]


def test_loader_result_that_cannot_be_a_key():
    data = dump_bytes({Point(): 1}, custom_types={Point: CustomType("p", lambda p: 0)})
    expect(
        lambda: load_bytes(data, custom_types={"p": lambda v: []}),
        DeserializationError,
        "Invalid type for a key: <class 'list'>",
    )
    assert_interpreter_clean()


# ---- comparisons, truth tests and str() on lazy paths ------------------------

class RaisingEq:
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise Boom("eq")


class EqReturnsRaisingBool:
    __hash__ = object.__hash__

    def __eq__(self, other):
        return RaisingBool()


class Unprintable:
    __hash__ = object.__hash__

    def __eq__(self, other):
        return False

    def __str__(self):
        raise Boom("str")


class RaisingIndex:
    def __lt__(self, other):
        raise Boom("lt")


def idx_with(index):
    step = Idx(0)
    step.index = index  # bypasses the constructor's checks
    return step


LAZY_DOCS = {
    "str-key-dict": dump_bytes({"a": 1, "b": [1, 2]}),
    "mixed-key-dict": dump_bytes({1: "a", "b": 2}),
    "rows": dump_bytes([{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
}
PATH_CASES = {
    "eq-raises": (lambda: [RaisingEq()], Boom, Boom),
    "eq-result-truth-raises": (lambda: [EqReturnsRaisingBool()], Boom, Boom),
    "unprintable-missing-key": (lambda: [Unprintable()], MemoryError, MemoryError),
    "index-compare-raises": (lambda: [idx_with(RaisingIndex())], Boom, Boom),
    "index-not-an-int": (lambda: [idx_with(1.5)], TypeError, TypeError),
    "index-too-large": (lambda: [idx_with(2**64)], OverflowError, OverflowError),
}


def rows_path(path):
    return [Idx(1), *path] if path and type(path[0]) is not Idx else path


@pytest.mark.parametrize("document", LAZY_DOCS, ids=str)
@pytest.mark.parametrize("case", PATH_CASES, ids=str)
def test_raising_path_callbacks(case, document):
    make_path, lazy_error, check_error = PATH_CASES[case]
    data = LAZY_DOCS[document]
    path = rows_path(make_path()) if document == "rows" else make_path()
    expect(lambda: lazy_load_bytes(data, path), lazy_error)
    expect(lambda: bytes_check_if_contains(data, path), check_error)
    assert_interpreter_clean()


FLAG_CASES = {
    "dump-serialize-dates": lambda: dump_bytes(1, serialize_dates=RaisingBool()),
    "load-use-tuples": lambda: load_bytes(b"<o>\x1f", use_tuples=RaisingBool()),
    "load-stop-gc": lambda: load_bytes(b"<o>\x1f", stop_gc=RaisingBool()),
    "load-ignore-extra-data": lambda: load_bytes(b"<o>\x1f", ignore_extra_data=RaisingBool()),
    "lazy-include-falsy": lambda: lazy_load_bytes(b"<o>\x1f", [], include_falsy=RaisingBool()),
    "check-include-falsy": lambda: bytes_check_if_contains(b"<o>\x1f", [], include_falsy=RaisingBool()),
}


@pytest.mark.parametrize("case", FLAG_CASES, ids=str)
def test_option_whose_truth_raises_fails_the_call(case):
    expect(FLAG_CASES[case], Boom)
    assert_interpreter_clean()


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


# ---- leak checks over every case above ---------------------------------------

def fault_calls():
    """(id, callable) for every fault above, each swallowing its exception."""
    calls = {}
    for case, (_, error, _) in CONVERTER_CASES.items():

        def convert(case=case):
            (value, custom_types), _, _ = converter_cases()[case]  # containers the converter mutates
            dump_bytes(value, custom_types=custom_types)

        calls[f"converter-{case}"] = swallowing(convert, error)
    for zone, tz in ZONES.items():
        moment = datetime.datetime(2024, 5, 1, tzinfo=tz)
        calls[f"isoformat-{zone}"] = swallowing(
            lambda moment=moment: dump_bytes([moment], serialize_dates=True), SerializationError
        )
    for case in LOADER_CASES:
        data, loader, error, _ = loader_cases()[case]
        for entry, call in ENTRY_POINTS.items():
            calls[f"loader-{case}-{entry}"] = swallowing(
                lambda call=call, data=data, loader=loader: call(data, {"p": loader}), error
            )
        calls[f"loader-{case}-check"] = lambda data=data, loader=loader: bytes_check_if_contains(
            data, ["first"], include_falsy=False, custom_types={"p": loader}
        )
    for case, (make_path, lazy_error, check_error) in PATH_CASES.items():
        for document, data in LAZY_DOCS.items():
            path = rows_path(make_path()) if document == "rows" else make_path()
            calls[f"path-{case}-{document}-lazy"] = swallowing(
                lambda data=data, path=path: lazy_load_bytes(data, path), lazy_error
            )
            calls[f"path-{case}-{document}-check"] = swallowing(
                lambda data=data, path=path: bytes_check_if_contains(data, path), check_error
            )
    for case, call in FLAG_CASES.items():
        calls[f"option-{case}"] = swallowing(call, Boom)
    for case, (make, error) in WRITER_CASES.items():
        calls[f"writer-{case}"] = swallowing(
            lambda make=make: dump_bytes(STREAMED, writer=make(), flush_threshold=0), error
        )
    return calls


FAULT_CALLS = fault_calls()


@pytest.mark.parametrize("case", FAULT_CALLS, ids=str)
def test_fault_leaks_nothing(case):
    # an endless conversion builds thousands of objects per call: a few calls
    # show any leak of them
    endless = case.startswith("converter-") and CONVERTER_CASES[case[len("converter-") :]][1] is ENDLESS
    assert_memory_flat(FAULT_CALLS[case], runs=30 if endless else LEAK_RUNS)


# ---- leak checks over every entry point, succeeding and failing --------------

VALUE = {"ints": [0, 300, -(2**70)], "text": ["é", "a", "a"], "rows": [{"k": 1.5}, {"k": None}], "b": b"\x00" * 9}
DOCUMENT = dump_bytes(VALUE)
TRUNCATED = DOCUMENT[:-4]

ENTRY_CALLS = {
    "dump": (lambda: dump_bytes(VALUE), None),
    "dump-streaming": (lambda: dump_bytes(VALUE, writer=FailingWriter(0), flush_threshold=4), None),
    "dump-unencodable": (lambda: dump_bytes([1, "x", {1, 2}]), SerializationError),
    "dump-bad-argument": (lambda: dump_bytes(VALUE, custom_types={"x": 1}), TypeError),
    "load": (lambda: load_bytes(DOCUMENT), None),
    "load-bytearray-tuples": (lambda: load_bytes(bytearray(DOCUMENT), use_tuples=True), None),
    "load-truncated": (lambda: load_bytes(TRUNCATED), DeserializationError),
    "load-extra-data": (lambda: load_bytes(DOCUMENT + b"\x00"), DeserializationError),
    "load-bad-argument": (lambda: load_bytes("text"), TypeError),
    "lazy": (lambda: lazy_load_bytes(DOCUMENT, ["rows", Idx(1), "k"]), None),
    "lazy-missing-key": (lambda: lazy_load_bytes(DOCUMENT, ["nope"]), DeserializationError),
    "lazy-truncated": (lambda: lazy_load_bytes(TRUNCATED, ["b"]), DeserializationError),
    "lazy-bad-path": (lambda: lazy_load_bytes(DOCUMENT, ("ints",)), TypeError),
    "check": (lambda: bytes_check_if_contains(DOCUMENT, ["text", Idx(2)]), None),
    "check-missing": (lambda: bytes_check_if_contains(DOCUMENT, ["ints", Idx(9)]), None),
    "check-truncated": (lambda: bytes_check_if_contains(TRUNCATED, ["b"], include_falsy=False), None),
    "check-bad-argument": (lambda: bytes_check_if_contains(DOCUMENT), TypeError),
}


@pytest.mark.parametrize("case", ENTRY_CALLS, ids=str)
def test_entry_point_leaks_nothing(case):
    call, error = ENTRY_CALLS[case]
    if error is not None:
        expect(call, error)
        call = swallowing(call, error)
    assert_memory_flat(call, runs=LEAK_RUNS * 2)


# ---- running out of memory ---------------------------------------------------

MEMORY_SCRIPT = textwrap.dedent(
    """
    import gc, resource, sys
    from pyquarl import Idx, dump_bytes, lazy_load_bytes, load_bytes, bytes_check_if_contains

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    big = b"x" * (96 << 20)
    count = 24_000_000
    list_doc = dump_bytes([0] * count)            # 24 M one-byte items: a list of 192 MB to build
    bytes_doc = dump_bytes(big)                   # decoding copies 96 MB
    strs_doc = dump_bytes(["s%d" % i for i in range(1_000_000)])  # 1 M distinct strings to build
    gc.collect()
    limit = vm_size() + (40 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    def expect_memory_error(name, call):
        try:
            call()
        except MemoryError:
            assert sys.exc_info()[0] is MemoryError
        else:
            raise AssertionError(name + " did not run out of memory")
        assert sys.exc_info() == (None, None, None)
        # the interpreter is still usable and nothing was left behind
        assert load_bytes(dump_bytes({"a": [1, 2]})) == {"a": [1, 2]}
        gc.collect()
        print(name, "ok")

    expect_memory_error("dump-output-growth", lambda: dump_bytes([big, big, big]))
    expect_memory_error("dump-streaming-chunk", lambda: dump_bytes([big, b"y"], writer=open("/dev/null", "wb"),
                                                              flush_threshold=1 << 40, direct_write_threshold=1 << 40))
    expect_memory_error("load-list", lambda: load_bytes(list_doc))
    expect_memory_error("load-bytes", lambda: load_bytes(bytes_doc))
    expect_memory_error("lazy-bytes", lambda: lazy_load_bytes(bytes_doc, []))
    expect_memory_error("lazy-list", lambda: lazy_load_bytes(list_doc, []))
    expect_memory_error("load-strings", lambda: load_bytes(strs_doc))
    # reading one element needs no memory at all
    assert lazy_load_bytes(list_doc, [Idx(count - 1)]) == 0
    assert bytes_check_if_contains(bytes_doc, [], include_falsy=False) is True
    print("done")
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves more address space than any limit allows")
def test_running_out_of_memory_raises_memory_error_and_recovers():
    output = run_isolated(MEMORY_SCRIPT, timeout=300)
    assert output.strip().splitlines()[-1] == "done", output
