"""What help() and the README tell a user: every option is named, the native
functions have signatures that match their stubs, and every README example runs
on its own."""

import ast
import inspect
import re
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import pyquarl
from pyquarl import _pyquarl, api

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
STUB = Path(_pyquarl.__file__).with_name("_pyquarl.pyi")

DOCUMENTED_OPTIONS = [
    (pyquarl.dumps, api.DumpsOptions),
    (pyquarl.dump, api.DumpOptions),
    (pyquarl.loads, api.LoadOptions),
    (pyquarl.load, api.LoadOptions),
    (pyquarl.get, api.GetOptions),
    (pyquarl.contains, api.ContainsOptions),
]


@pytest.mark.parametrize("function, options", DOCUMENTED_OPTIONS, ids=lambda f: getattr(f, "__name__", ""))
def test_docstrings_name_every_option_and_the_errors(function, options):
    # dump and load refer to dumps and loads for the options they share
    text = inspect.getdoc(function) + (inspect.getdoc(pyquarl.dumps) if function is pyquarl.dump else "") + \
        (inspect.getdoc(pyquarl.loads) if function is pyquarl.load else "")
    missing = [name for name in typing.get_type_hints(options) if name not in text]
    assert not missing, f"{function.__name__} does not name {missing}"
    assert "Error" in text


def stub_parameters():
    tree = ast.parse(STUB.read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            arguments = node.args
            names = [a.arg for a in arguments.posonlyargs + arguments.args + arguments.kwonlyargs]
            found.setdefault(node.name, set()).update(names)
    return found


@pytest.mark.parametrize("name", ["dump_bytes", "load_bytes", "lazy_load_bytes", "bytes_check_if_contains"])
def test_native_signatures_match_the_stubs(name):
    function = getattr(_pyquarl, name)
    signature = inspect.signature(function)
    if not STUB.exists():
        pytest.skip("the stub is not installed next to the module")
    assert set(signature.parameters) == stub_parameters()[name]


PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
# The integrations' examples need their frameworks and data: test_integration_docs runs them.
INTEGRATIONS = re.compile(r"^## Inside (Dask|Kombu and Celery)\n.*?(?=^## )", re.MULTILINE | re.DOTALL)
BLOCKS = PYTHON_BLOCK.findall(INTEGRATIONS.sub("", README.read_text())) if README.exists() else []


@pytest.mark.parametrize("number", range(len(BLOCKS)))
def test_readme_example_runs_on_its_own(number, tmp_path):
    assert len(BLOCKS) >= 3
    result = subprocess.run([sys.executable, "-c", BLOCKS[number]], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, f"example {number + 1}:\n{BLOCKS[number]}\n{result.stderr}"
