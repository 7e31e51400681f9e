"""The module in subinterpreters: legacy ones (sharing the GIL) and isolated
ones (their own GIL, refusing modules that do not declare support). Each
interpreter has its own module state, so its classes are its own, and
starting the module in one leaves the others' unchanged. Run in a child
process, since a regression crashes the interpreter."""

import pytest

from conftest import run_isolated

CHILD = r"""
import _interpreters
{main_first}

IN_SUBINTERPRETER = '''
import datetime
import pyquarl
from pyquarl import CorruptDataError, DeserializationError, Idx
when = datetime.datetime(2024, 5, 6, 7, 8, 9)
value = {{"a": [1, "x", b"y", 2.5, None, [{{"k": i}} for i in range(3)]], "when": when}}
data = pyquarl.dumps(value, serialize_dates=True)
assert pyquarl.loads(data) == {{**value, "when": when.isoformat()}}
assert pyquarl.get(data, "a", Idx(5), Idx(2), "k") == 2
try:
    pyquarl.loads(b"<o>\\x0d\\x02\\x0c\\x1e")
except CorruptDataError as error:  # this interpreter's class
    assert type(error) is pyquarl.CorruptDataError and isinstance(error, DeserializationError), type(error)
    assert error.pos == 5
assert pyquarl.contains(b"<o>\\x0d\\x02\\x0c\\x1e", Idx(1)) is False
items = pyquarl.iter_items(data, "a")  # an iterator type of this interpreter
assert list(items) == value["a"]
try:
    next(pyquarl.iter_items(b"<o>\\x0d\\x02\\x1f\\x0c"))
    next(pyquarl.iter_items(b"<o>\\x0d\\x02\\x1f\\x0c"))
except CorruptDataError:
    pass
'''

for kind in {kinds}:
    for _ in range(2):  # a second interpreter of the kind starts the module afresh
        interp = _interpreters.create(kind)
        failure = _interpreters.exec(interp, IN_SUBINTERPRETER)
        assert failure is None, (kind, failure)
        _interpreters.destroy(interp)

# the main interpreter's classes are still the ones its module raises
import pyquarl
try:
    pyquarl.loads(b"<o>")
except pyquarl.DeserializationError as error:
    assert type(error) is pyquarl.DeserializationError
try:
    pyquarl.dumps(object())
except pyquarl.SerializationError:
    pass
import datetime
assert pyquarl.loads(pyquarl.dumps(datetime.datetime(2020, 1, 2), serialize_dates=True)) == "2020-01-02T00:00:00"
assert list(pyquarl.iter_items(pyquarl.dumps([1, "a"]))) == [1, "a"]
print("ok")
"""


@pytest.mark.parametrize("kinds", [["legacy"], ["isolated"], ["legacy", "isolated"]])
@pytest.mark.parametrize("main_first", ["import pyquarl", "import datetime; import pyquarl", ""],
                         ids=["main-first", "datetime-then-main", "subinterpreters-first"])
def test_import_round_trip_and_own_exception_classes_in_subinterpreters(kinds, main_first):
    assert run_isolated(CHILD.format(kinds=kinds, main_first=main_first)) == "ok\n"


def test_a_second_module_object_works_with_a_state_of_its_own():
    code = r"""
import importlib.util
import pyquarl
found = importlib.util.find_spec("pyquarl._pyquarl")
module = importlib.util.module_from_spec(found)
found.loader.exec_module(module)
assert module is not pyquarl._pyquarl
assert module.load_bytes(b"<o>\x1f") == 1
try:
    module.load_bytes(b"<o>")
except pyquarl.DeserializationError as error:
    assert error.msg == "Unexpected end of input"
del module
import gc; gc.collect()
assert pyquarl.loads(pyquarl.dumps([1, "a"])) == [1, "a"]
print("ok")
"""
    assert run_isolated(code) == "ok\n"
