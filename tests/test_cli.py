"""The `quarl` command, run as a subprocess; its helpers in-process where that is faster."""

import json
import math
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from pyquarl import dumps, loads
from pyquarl.cli import Exit

DOC = {
    "users": [{"name": "ada", "age": 36, "tags": ["x", "y"], "boss": None},
              {"name": "lin", "age": 41, "tags": [], "boss": 0}],
    "by_id": {"1": "ada", "2": "lin"},
    "-dash": "yes",
    "#hash": "hash",
}
# values without a JSON form of their own
ODD = {"blob": b"\x00\xffhi", "keys": {1: "int", None: "none", False: "bool", 1.5: "float", b"\x01": "bytes"},
       "floats": [math.nan, math.inf, -math.inf], "big": 3**500}


LOG = [{"n": 1, "blob": b"x"}, ["a", {"n": 2}], "a", None]


def run(*args, stdin=b""):
    result = subprocess.run([sys.executable, "-m", "pyquarl", *map(str, args)], input=stdin, capture_output=True,
                            timeout=60)
    assert b"Traceback" not in result.stderr
    return result


def error_line(result):
    """The one-line message (argparse prints its usage line before it)."""
    lines = result.stderr.decode().splitlines()
    assert lines and lines[-1].startswith("quarl")
    return lines[-1]


@pytest.fixture
def files(tmp_path):
    (tmp_path / "doc.json").write_text(json.dumps(DOC))
    (tmp_path / "doc.quarl").write_bytes(dumps(DOC))
    (tmp_path / "odd.quarl").write_bytes(dumps(ODD))
    (tmp_path / "cut.quarl").write_bytes(dumps(DOC)[:30])
    (tmp_path / "keys.quarl").write_bytes(dumps({5: {"a": [{None: "found"}]}}))
    (tmp_path / "log.quarl").write_bytes(b"".join(dumps(v) for v in LOG))
    (tmp_path / "log-damaged.quarl").write_bytes(b"".join(dumps(v) for v in LOG)[:-1])
    return tmp_path


def test_encode_and_decode_through_files_and_pipes(files):
    assert run("encode", files / "doc.json", "-o", files / "out.quarl").returncode == 0
    assert loads((files / "out.quarl").read_bytes()) == DOC
    assert run("decode", files / "out.quarl", "-o", files / "back.json").returncode == 0
    assert json.loads((files / "back.json").read_text()) == DOC

    decoded = run("decode", "-", stdin=run("encode", stdin=json.dumps(DOC).encode()).stdout)
    assert decoded.returncode == 0 and json.loads(decoded.stdout) == DOC
    assert decoded.stdout.count(b"\n") == 1 and b", " not in decoded.stdout
    indented = run("decode", files / "out.quarl", "--indent", "2", "--sort-keys").stdout.decode()
    assert '\n  "users": [' in indented and indented.index('"#hash"') < indented.index('"users"')


def test_decode_writes_non_json_values_explicitly(files):
    assert json.loads(run("decode", files / "odd.quarl").stdout) == {
        "blob": "AP9oaQ==",
        "keys": {"1": "int", "null": "none", "false": "bool", "1.5": "float", "AQ==": "bytes"},
        "floats": ["NaN", "Infinity", "-Infinity"],
        "big": 3**500,
    }
    bare = run("decode", files / "odd.quarl", "--allow-nan").stdout.decode()
    assert "[NaN,Infinity,-Infinity]" in bare and json.loads(bare)["big"] == 3**500


def test_encode_refuses_to_write_binary_to_a_terminal(files):
    leader, follower = pty.openpty()
    try:
        command = [sys.executable, "-m", "pyquarl", "encode", str(files / "doc.json")]
        result = subprocess.run(command, stdout=follower, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(follower)
        os.close(leader)
    assert result.returncode == Exit.USAGE and b"refusing to write binary data to a terminal" in result.stderr


def test_a_failed_encode_leaves_the_old_output_alone(files):
    target = files / "out.quarl"
    target.write_bytes(b"old")
    (files / "huge.json").write_text(f"[{'9' * 160_000}]")  # over 523,000 bits
    result = run("encode", files / "huge.json", "-o", target)
    assert result.returncode == Exit.UNSUPPORTED and "cannot encode" in error_line(result)
    assert target.read_bytes() == b"old" and not [p for p in files.iterdir() if p.name.startswith(".quarl-")]
    # a device is written in place, never replaced
    assert run("encode", files / "doc.json", "-o", os.devnull).returncode == 0 and not Path(os.devnull).is_file()


@pytest.mark.parametrize("file, steps, expected", [
    ("doc", [], DOC),
    ("doc", ["users", "#1", "name"], "lin"),
    ("doc", ["by_id", "2"], "lin"),
    ("doc", ["--", "-dash"], "yes"),
    ("doc", ["--json-key", '"#hash"'], "hash"),
    ("doc", ['--json-key="users"', "#0", "age"], 36),
    ("doc", ["users", "--indent", "2", "#1", "boss"], 0),
    ("keys", ["--json-key", "5", "a", "#0", "--json-key", "null"], "found"),
    ("doc", ["users", "#0", "name", "--raw"], b"ada\n"),
    ("odd", ["blob", "-r"], b"\x00\xffhi"),
])
def test_get(files, file, steps, expected):
    result = run("get", files / f"{file}.quarl", *steps)
    assert result.returncode == 0
    assert result.stdout == expected if type(expected) is bytes else json.loads(result.stdout) == expected


@pytest.mark.parametrize("steps, code, message", [
    (["nope"], Exit.BAD_PATH, "no value at nope: Key not found"),
    (["users", "#9"], Exit.BAD_PATH, "Index out of range"),
    (["users", "name"], Exit.BAD_PATH, "Invalid path, expected `dict` but found `list`"),
    (["#x"], Exit.USAGE, "invalid step '#x': an index is # followed by digits"),
    (["#-1"], Exit.USAGE, "invalid step '#-1'"),
    (["#" + "9" * 30], Exit.USAGE, "below 2**64"),
    (["--json-key", "{oops"], Exit.USAGE, "is not valid JSON"),
])
def test_get_bad_paths(files, steps, code, message):
    result = run("get", files / "doc.quarl", *steps)
    assert result.returncode == code and message in error_line(result)


@pytest.mark.parametrize("steps, code", [
    (["users", "#1", "boss"], Exit.OK),
    (["users", "#1", "boss", "--truthy"], Exit.NOT_FOUND),
    (["users", "#0", "tags", "#1", "--truthy"], Exit.OK),
    (["users", "#2"], Exit.NOT_FOUND),
    (["users", "x", "y"], Exit.NOT_FOUND),
])
def test_has(files, steps, code):
    result = run("has", files / "doc.quarl", *steps)
    assert result.returncode == code and result.stdout == result.stderr == b""


def test_stats(files):
    size = (files / "doc.quarl").stat().st_size
    text = run("stats", files / "doc.quarl").stdout.decode()
    assert f"{size:,} bytes" in text and "gzip" in text and "pickle" in text
    assert '"users"  list of 2 items, all dict' in text
    figures = json.loads(run("stats", files / "doc.quarl", "--json").stdout)
    assert figures["bytes"]["quarl"] == size
    assert figures["bytes"]["json"] == len(json.dumps(DOC, separators=(",", ":")))
    assert figures["distinct_strings"] == 16  # users name ada age tags x y boss lin by_id 1 2 -dash yes #hash hash
    assert (figures["depth"], figures["top_level"]) == (4, "dict with 4 keys")
    odd = json.loads(run("stats", files / "odd.quarl", "--json").stdout)
    assert [m["shape"] for m in odd["members"]] == ["bytes", "dict with 5 keys", "list of 3 items, all float", "int"]


@pytest.mark.parametrize("argv", [["decode", "doc.quarl"], ["--version"]])
def test_a_full_output_device_is_an_io_error(files, argv):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    args = [files / arg if arg.startswith("doc.") else arg for arg in argv]
    with open("/dev/full", "wb") as full:
        result = subprocess.run([sys.executable, "-m", "pyquarl", *map(str, args)], stdout=full, stderr=subprocess.PIPE,
                                timeout=60)
    assert result.returncode == Exit.IO, result.stderr
    assert result.stderr.decode().splitlines() == ["quarl: error: cannot write to standard output: No space left on device"] \
        or b"No space left on device" in result.stderr and b"Traceback" not in result.stderr


@pytest.mark.parametrize("data, message", [
    (dumps(1) + b"x", "doc.quarl: unexpected data after the end of the document, from byte 4"),
    (dumps({2}, std_types=True),
     "doc.quarl: holds a value of the custom type `set`, which only a Python program that knows the type can decode"),
])
def test_library_messages_are_reworded_for_the_command_line(tmp_path, data, message):
    (tmp_path / "doc.quarl").write_bytes(data)
    result = run("decode", tmp_path / "doc.quarl")
    assert result.returncode == Exit.BAD_DATA and error_line(result).endswith(f"/{message}")


@pytest.mark.parametrize("argv, code, message", [
    (["decode", "missing.quarl"], Exit.IO, "missing.quarl: No such file or directory"),
    (["stats", "."], Exit.IO, ": Is a directory"),
    (["get", "doc.json", "users"], Exit.BAD_DATA, "doc.json: not a quarl document"),
    (["decode", "cut.quarl"], Exit.BAD_DATA, "cut.quarl: Unexpected end of input"),
    (["has", "cut.quarl", "users", "#1", "name"], Exit.BAD_DATA, "Unexpected end of input"),
    (["keys", "cut.quarl", "users", "#1"], Exit.BAD_DATA, "Unexpected end of input"),
    (["keys", "doc.quarl", "nobody"], Exit.BAD_PATH, "no list or dict at nobody: Key not found"),
    (["keys", "doc.quarl", "--", "-dash"], Exit.BAD_PATH, "expected `list` or `dict` but found `str`"),
    (["decode", "log-damaged.quarl"], Exit.BAD_DATA, "log-damaged.quarl: Unexpected end of input (at byte "),
])
def test_bad_files(files, argv, code, message):
    command, file, *steps = argv
    result = run(command, files / file, *steps)
    assert result.returncode == code and message in error_line(result)


@pytest.mark.parametrize("data, message", [
    (b"{bad", "not valid JSON: Expecting property name enclosed in double quotes at line 1 column 2"),
    (b"", "not valid JSON: Expecting value at line 1 column 1"),
    (b'["\xff"]', "not valid JSON: the text is not UTF-8"),
    (b"[" * 100_000 + b"]" * 100_000, "nested too deeply"),
], ids=["syntax", "empty", "not-utf-8", "too-deep"])
def test_bad_json(data, message):
    result = run("encode", "-o", os.devnull, stdin=data)
    assert result.returncode == Exit.BAD_JSON and message in error_line(result)


def test_usage_help_and_version(files):
    for argv in ([], ["frobnicate"], ["get"], ["decode", files / "doc.quarl", "--indent", "x"],
                 ["decode", files / "doc.quarl", "--indent", "1025"]):
        assert run(*argv).returncode == Exit.USAGE
    assert b"exit status" in run("--help").stdout and b"--json-key" in run("get", "--help").stdout
    script = shutil.which("quarl", path=str(Path(sys.executable).parent))
    assert script, "the quarl console script is not installed next to the interpreter"
    assert subprocess.run([script, "--version"], capture_output=True, timeout=60).stdout.startswith(b"quarl (pyquarl) ")


def test_a_closed_pipe_ends_quietly(tmp_path):
    (tmp_path / "big.quarl").write_bytes(dumps(["some text"] * 200_000))
    command = [sys.executable, "-m", "pyquarl", "decode", str(tmp_path / "big.quarl")]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdout.read(10)
        process.stdout.close()
        assert process.wait(timeout=60) == Exit.BROKEN_PIPE and process.stderr.read() == b""


def test_progress_when_asked(files):
    shown = run("encode", files / "doc.json", "-o", files / "a.quarl", "--progress")
    assert b"quarl encode: " in shown.stderr and shown.stderr.endswith(b"\r\x1b[K")
    assert run("decode", files / "doc.quarl").stderr == b""


def test_decode_of_several_documents_writes_json_lines(files):
    for result in (run("decode", files / "log.quarl", "--indent", "2"),
                   run("decode", stdin=(files / "log.quarl").read_bytes())):
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().splitlines()
        assert [json.loads(line) for line in lines] == [{"n": 1, "blob": "eA=="}, ["a", {"n": 2}], "a", None]
    damaged = run("decode", files / "log-damaged.quarl", "-o", files / "out.jsonl")
    size = (files / "log.quarl").stat().st_size
    assert damaged.returncode == Exit.BAD_DATA and error_line(damaged).endswith(f"(at byte {size - 1})")
    assert not (files / "out.jsonl").exists()  # nothing half-written is left


@pytest.mark.parametrize("steps, lines", [
    ([], ['"users"', '"by_id"', '"-dash"', '"#hash"']),
    (["users"], ["2"]),
    (["users", "#1"], ['"name"', '"age"', '"tags"', '"boss"']),
])
def test_keys_lists_dict_keys_or_the_list_length(files, steps, lines):
    result = run("keys", files / "doc.quarl", *steps)
    assert result.returncode == 0 and result.stdout.decode().splitlines() == lines
    assert run("keys", "-", *steps, stdin=(files / "doc.quarl").read_bytes()).stdout.decode().splitlines() == lines
