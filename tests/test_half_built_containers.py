"""Python code that runs in the middle of a decode (a custom-type loader here;
finalizers and gc callbacks alike) must not find the containers still being
filled: through gc.get_objects() it could shrink a list under the decoder's
stores. The loader below searches the collector's objects for every
container that holds the marker decoded just before it and empties it.
Run in a child process, as a regression corrupts the heap."""

import pytest

from conftest import run_isolated

CHILD = r"""
import gc
import pyquarl

MARK = "mark-" + "x" * 10

def is_half_built(o):
    # while the loader runs: the marker is in, the loader's value (under "x", 1 or "v") is not
    if type(o) in (list, tuple):
        return len(o) > 0 and (o[0] == MARK or is_half_built(o[0]) or (type(o[0]) is dict and MARK in o[0]))
    if type(o) is dict:
        return MARK in o and all(o.get(key) is None for key in ("x", 1, "v"))
    return False

found = []

def spy(value):
    for o in gc.get_objects():
        if is_half_built(o):
            found.append(type(o).__name__)
            if type(o) is list:
                del o[1:]
                o.clear()
            elif type(o) is dict:
                o.clear()
    return value

value = {value}
expected = {expected}
data = pyquarl.dumps(value, custom_types={{Box: pyquarl.CustomType("box", lambda box: box.n)}})
del value  # only the decoder's containers may hold the marker now
for tuples in (False, True):
    got = pyquarl.loads(data, custom_types={{"box": spy}}, use_tuples=tuples)
    assert found == [], found
    assert pyquarl.dumps(got) == pyquarl.dumps(expected(tuples)), got
    del got
    assert pyquarl.get(data, *{path}, custom_types={{"box": spy}}) == 5
    assert found == [], found
print("ok")
"""

PRELUDE = """
class Box:
    def __init__(self, n):
        self.n = n
"""

CASES = {
    # a list: the marker, then the loader's value, then enough items to overflow a shrunk list
    "list": ("[MARK, Box(5)] + list(range(40))", "lambda t: (tuple if t else list)([MARK, 5] + list(range(40)))",
             "[pyquarl.Idx(1)]"),
    "nested-list": ("[[MARK, [Box(5), [1]], 2]]", "lambda t: ((MARK, (5, (1,)), 2),) if t else [[MARK, [5, [1]], 2]]",
                    "[pyquarl.Idx(0), pyquarl.Idx(1), pyquarl.Idx(0)]"),
    # a dict whose first value is a container, so the collector would track it
    "dict": ("{MARK: [1], 'x': Box(5), 'y': [2]}", "lambda t: {MARK: (1,) if t else [1], 'x': 5, 'y': (2,) if t else [2]}",
             "['x']"),
    "int-key-dict": ("{MARK: [1], 1: Box(5), 2: [2]}", "lambda t: {MARK: (1,) if t else [1], 1: 5, 2: (2,) if t else [2]}",
                     "[1]"),
    # rows of like dicts, the loader running in a later row
    "rows": ("[{MARK: [i], 'v': Box(5) if i == 2 else i} for i in range(4)]",
             "lambda t: (tuple if t else list)({MARK: (i,) if t else [i], 'v': 5 if i == 2 else i} for i in range(4))",
             "[pyquarl.Idx(2), 'v']"),
}


@pytest.mark.parametrize("case", CASES)
def test_a_loader_never_finds_a_container_being_filled(case):
    value, expected, path = CASES[case]
    code = CHILD.replace("import pyquarl\n", "import pyquarl\n" + PRELUDE, 1).format(
        value=value, expected=expected, path=path)
    assert run_isolated(code) == "ok\n"
