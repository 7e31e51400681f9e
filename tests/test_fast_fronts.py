"""The native fronts of dumps, loads, get and contains: a call without options
runs natively, any other goes to the Python function behind (`__wrapped__`).
Both ways must give the same value or the same error, and the front must look
like that function to help(), inspect and pickle."""

import inspect
import pickle
import sys
import tracemalloc

import pytest
from hypothesis import given, settings

from conftest import PLAIN_VALUES
from pyquarl import Idx, contains, dump_bytes, dumps, get, loads

FRONTS = [dumps, loads, get, contains]
DOC = dumps({"a": [1, {"b": "x"}], "n": None, "deep": {"k": {"k": {"k": {"k": {"k": {"k": {"k": {"k": {"k": 7}}}}}}}}}})
DEEP = ["deep"] + ["k"] * 9


class Unknown:
    pass


def outcome(function, *args):
    try:
        return "value", function(*args)
    except Exception as error:  # the type and message are what must agree
        return type(error), str(error)


# (front, positional arguments): values, errors, paths short and long (over
# eight steps), buffers of every kind, outputs on both sides of the small array.
CALLS = [
    (dumps, (1,)), (dumps, ({"a": 1},)), (dumps, (["x" * 240],)), (dumps, (["x" * 260],)),
    (dumps, (list(range(300)),)), (dumps, (Unknown(),)), (dumps, ([[[[]]]],)), (dumps, (1, 2)),
    (loads, (DOC,)), (loads, (bytearray(DOC),)), (loads, (memoryview(DOC),)), (loads, ("text",)),
    (loads, (DOC[:-1],)), (loads, (DOC + b"\x1f",)), (loads, (b"<x>",)), (loads, (DOC, DOC)),
    (get, (DOC,)), (get, (DOC, "a", Idx(1), "b")), (get, (DOC, *DEEP)), (get, (DOC, *DEEP, "k")),
    (get, (DOC, "a", 1.5)), (get, (DOC, "missing")), (get, (DOC, "a", Idx(5))), (get, (DOC[:5], "a")),
    (get, ("text", "a")), (get, (DOC, ["a"])),
    (contains, (DOC, "n")), (contains, (DOC, *DEEP)), (contains, (DOC, "a", 1.5)), (contains, (DOC[:9], "a")),
    (contains, (1, "a")),
]


@pytest.mark.parametrize("front, args", CALLS, ids=lambda v: getattr(v, "__name__", None) or "")
def test_native_and_python_paths_agree(front, args):
    native, python = outcome(front, *args), outcome(front.__wrapped__, *args)
    assert native == python
    if front is contains and native[0] == "value":
        assert native[1] in (True, False)


@settings(max_examples=60, deadline=None)
@given(PLAIN_VALUES)
def test_dumps_writes_what_dump_bytes_writes(value):
    data = dumps(value)
    assert data == dumps.__wrapped__(value) == dump_bytes(value)
    assert type(data) is bytes and dumps(loads(data)) == dumps(loads.__wrapped__(data))


@pytest.mark.parametrize("front", FRONTS, ids=lambda f: f.__name__)
def test_fronts_look_like_their_functions(front):
    python = front.__wrapped__
    assert inspect.isfunction(python) and inspect.signature(front) == inspect.signature(python)
    assert (front.__name__, front.__qualname__, front.__module__, front.__doc__) == \
        (python.__name__, python.__qualname__, python.__module__, python.__doc__)
    assert inspect.isroutine(front) and pickle.loads(pickle.dumps(front)) is front

    class Holder:
        method = front

    # Set on a class, the front binds to instances as the function would.
    assert outcome(Holder().method, DOC) == outcome(python.__get__(Holder(), Holder), DOC)


def test_options_go_to_the_python_function():
    assert dumps({1, 2}, std_types=True) == dumps.__wrapped__({1, 2}, std_types=True)
    assert loads(dumps([(1,)]), use_tuples=True) == ((1,),)
    assert not contains(DOC, "n", include_falsy=False)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'obj'"):
        dumps()
    assert get(data=DOC) == get.__wrapped__(data=DOC) == loads(DOC)


@pytest.mark.parametrize("value", [1, {"a": 1}, {"id": 12, "name": "ada", "score": 1.5, "ok": True, "parent": None}])
def test_a_small_dump_allocates_only_its_result(value):
    dumps(value)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        data = dumps(value)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # No buffer grown and shrunk on the way: the result is the only block.
    assert peak - before == current - before == sys.getsizeof(data)
