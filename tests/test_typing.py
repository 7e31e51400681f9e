"""mypy --strict accepts the package and its typed example, and rejects misuse."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is one of the test dependencies (make test installs it)")

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "python"
EXAMPLE = ROOT / "examples" / "typed_usage.py"


def mypy(*targets, cwd):
    """Exit code and output of mypy --strict, on the source tree when there is one, else the installed package."""
    env = {**os.environ, "MYPYPATH": str(SOURCE)} if (SOURCE / "pyquarl").is_dir() else None
    cache = ROOT / ".mypy_cache" if os.access(ROOT, os.W_OK) else cwd / ".mypy_cache"
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, targets)],
                            capture_output=True, text=True, cwd=cwd, env=env, timeout=300)
    return result.returncode, result.stdout + result.stderr


BUFFERS = """
import array
import io
import mmap

import pyquarl
from pyquarl import Document, Idx, contains, get, iter_documents, iter_items, loads, raw_decode

for data in (mmap.mmap(-1, 8), array.array("B", b"<o>"), memoryview(b"<o>"), b"<o>", bytearray(b"<o>")):
    loads(data)
    get(data, "a", Idx(0))
    contains(data, "a", include_falsy=False)
    value, end = raw_decode(data, 0, use_tuples=True)
    kind: str = iter_items(data, "a", keys_only=True).kind
    with Document(data) as doc:
        doc.get("a")
        left: int = doc.iter_items().__length_hint__()
for document in iter_documents(io.BytesIO(b""), "a", default=None):
    pass
with pyquarl.open("file.quarl") as opened:
    closed: bool = opened.closed
list(iter_documents("log.quarl"))
"""


def test_package_typed_example_and_every_buffer_kind_pass_strict(tmp_path):
    (tmp_path / "buffers.py").write_text(BUFFERS)
    files = (EXAMPLE, tmp_path / "buffers.py")
    # mypy takes an installed package by name or files, not both at once
    runs = [(SOURCE / "pyquarl", *files)] if (SOURCE / "pyquarl").is_dir() else [("-p", "pyquarl"), files]
    for targets in runs:
        code, output = mypy(*targets, cwd=tmp_path)
        assert code == 0, output
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "get -> 2" in result.stdout, result.stderr


MISUSE = """
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
"""


def test_misuse_is_caught(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    code, output = mypy(tmp_path / "misuse.py", cwd=tmp_path)
    assert code == 1
    found = {}
    for match in re.finditer(r".*misuse\.py:(\d+): (?:error|note): (.*)", output):
        found.setdefault(int(match[1]), []).append(match[2])
    for number, line in enumerate(MISUSE.splitlines(), start=1):
        if "#" in line:
            expected, messages = line.rsplit("#", 1)[1].strip(), " | ".join(found.get(number, []))
            if expected == "error":
                assert "[" in messages, f"line {number} ({line!r}) passed: {messages}"
            else:  # older mypy versions qualify builtins ("builtins.bytes")
                assert re.search(rf'Revealed type is "(builtins\.)?{expected}"', messages), (line, messages)
