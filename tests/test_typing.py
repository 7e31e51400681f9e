"""The type information: mypy --strict accepts the package and its typed example, and rejects misuse."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is one of the test dependencies (make test installs it)")

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "python"
EXAMPLE = ROOT / "examples" / "typed_usage.py"


def mypy(*targets, cwd):
    """Runs mypy --strict on the source tree when there is one, else on the installed package."""
    env = dict(os.environ)
    if (SOURCE / "pyquarl").is_dir():
        env["MYPYPATH"] = str(SOURCE)
    cache = ROOT / ".mypy_cache" if os.access(ROOT, os.W_OK) else cwd / ".mypy_cache"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, targets)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=300,
    )
    return result.returncode, result.stdout + result.stderr


def test_package_and_typed_example_pass_strict(tmp_path):
    if (SOURCE / "pyquarl").is_dir():
        runs = [(SOURCE / "pyquarl", EXAMPLE)]
    else:  # the installed package: mypy takes a package name or files, not both
        runs = [("-p", "pyquarl"), (EXAMPLE,)]
    for targets in runs:
        code, output = mypy(*targets, cwd=tmp_path)
        assert code == 0, output


def test_typed_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "get -> 2" in result.stdout


MISUSE = '''
import io
from pyquarl import CustomType, Idx, contains, dump, dump_bytes, dumps, get, lazy_load_bytes, load, loads

reveal_type(dump_bytes(1))  # bytes
reveal_type(dump_bytes(1, writer=io.BytesIO()))  # None
reveal_type(dumps(1))  # bytes
reveal_type(contains(b"", "a"))  # bool
reveal_type(lazy_load_bytes(b"", [Idx(1)]))  # Any
dumps(1, writer=io.BytesIO())  # error
dumps(1, flush_treshold=3)  # error
dump(1, "out.quarl")  # error
loads("<o>")  # error
load(io.StringIO())  # error
get(b"", "a", custom_types=[])  # error
lazy_load_bytes(b"", ("a",))  # error
Idx("1")  # error
CustomType("pt", 5)  # error
dumps(1, custom_types={int: lambda x: x})  # error
'''


def test_misuse_is_caught(tmp_path):
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSE))
    code, output = mypy(tmp_path / "misuse.py", cwd=tmp_path)
    assert code == 1
    found = {}
    for line in output.splitlines():
        match = re.match(r".*misuse\.py:(\d+): (error|note): (.*)", line)
        if match:
            found.setdefault(int(match[1]), []).append(match[3])
    for number, line in enumerate(MISUSE.splitlines(), start=1):
        if "#" not in line:
            continue
        expected = line.rsplit("#", 1)[1].strip()
        messages = " | ".join(found.get(number, []))
        if expected == "error":
            assert "[" in messages, f"line {number} ({line!r}) passed: {messages}"
        else:
            # Older mypy versions qualify builtins ("builtins.bytes"), newer ones do not.
            assert re.search(rf'Revealed type is "(builtins\.)?{expected}"', messages), (line, messages)
