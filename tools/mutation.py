"""Mutation testing: plants each fault of tools/mutations.toml in turn, rebuilds
the extension incrementally and runs the test suite against it.

A fault is *killed* when the suite fails, *survives* when it passes, and is
*stale* when its text is no longer found exactly once in its file (the code
moved on: update the list). A fault that does not compile counts apart. The
source file is restored after every fault, also on Ctrl-C or SIGTERM.

    .venv/bin/python tools/mutation.py [--only ID ...] [--pytest-args "..."]

Run by `make mutation`; the last result belongs in docs/testing.md.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutation"
SITE = BUILD / "site"
LIST = ROOT / "tools" / "mutations.toml"

# Files run first, quickest and broadest first, so that a killed fault costs
# seconds; the rest follow in name order. The order never changes a verdict,
# only how soon a failure stops the run.
FIRST = ["test_decode_examples.py", "test_lazy_examples.py", "test_encode_bytes.py", "test_damaged_data_errors.py",
         "test_int_codec.py", "test_hostile_input.py", "test_arguments.py", "test_roundtrip.py", "test_std_types.py",
         "test_custom_types_encode.py", "test_custom_types_decode.py", "test_items.py", "test_streaming.py"]
# Files last: the slow repetitions of the leak checks.
LAST = ["test_leaks.py"]
# The command line, the integrations, the typing stubs and the documentation
# are Python layers that no fault of the native code reaches first; left out
# unless --all-tests.
PYTHON_LAYERS = ["test_cli.py", "test_dask_bag.py", "test_dask_family.py", "test_kombu.py", "test_typing.py",
                 "test_help.py", "test_docs.py", "test_integration_docs.py", "test_optional_dependencies.py"]


@dataclass
class Fault:
    id: str
    file: str
    find: str
    replace: str
    why: str = ""
    equivalent: str = ""  # why the fault changes nothing observable; such faults are not run


def load_faults(path: Path) -> list[Fault]:
    with path.open("rb") as f:
        entries = tomllib.load(f)["fault"]
    faults = [Fault(**entry) for entry in entries]
    ids = [fault.id for fault in faults]
    duplicated = {i for i in ids if ids.count(i) > 1}
    if duplicated:
        sys.exit(f"duplicate fault ids: {sorted(duplicated)}")
    return faults


def run(command: list[str], **kwargs: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, cwd=ROOT, text=True, capture_output=True, **kwargs)  # type: ignore[call-overload]


def tool(name: str) -> str:
    beside = Path(sys.executable).parent / name
    return str(beside) if beside.exists() else name


def configure() -> Path:
    """A build of the module alone, so that a fault recompiles only what it touches;
    at -O1, which compiles about twice as fast as the release flags and runs
    the same code paths."""
    if not (BUILD / "cmake" / "build.ninja").exists():
        result = run([tool("cmake"), "-S", ".", "-B", str(BUILD / "cmake"), "-G", "Ninja",
                      f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release",
                      "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG",
                      f"-DPython_EXECUTABLE={sys.executable}", "-DPYQUARL_PGO=OFF"])
        if result.returncode:
            sys.exit(result.stdout + result.stderr)
    # The package's Python files are linked, the module is copied in after each build.
    package = SITE / "pyquarl"
    if package.exists():
        shutil.rmtree(package)
    shutil.copytree(ROOT / "python" / "pyquarl", package,
                    copy_function=os.symlink, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    return package


def build(package: Path) -> bool:
    result = run([tool("cmake"), "--build", str(BUILD / "cmake"), "--target", "_pyquarl"])
    if result.returncode:
        return False
    for module in (BUILD / "cmake").glob("_pyquarl*.so"):
        shutil.copy2(module, package / module.name)
    return True


def test_files(all_tests: bool, root: Path = ROOT) -> list[str]:
    names = sorted(path.name for path in (root / "tests").glob("test_*.py"))
    if not all_tests:
        names = [name for name in names if name not in PYTHON_LAYERS]
    rank = {name: i for i, name in enumerate(FIRST)} | {name: len(names) + i for i, name in enumerate(LAST)}
    return [str(root / "tests" / name) for name in sorted(names, key=lambda name: rank.get(name, len(FIRST)))]


def suite(pytest_args: list[str], timeout: int, root: Path = ROOT) -> str:
    env = {**os.environ, "PYTHONPATH": str(SITE), "PYTHONDONTWRITEBYTECODE": "1"}
    try:
        result = subprocess.run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                                 "-m", "big or not big", *pytest_args],
                                cwd=root, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "killed (timeout)"
    if result.returncode == 0:
        return "survived"
    failed = [line for line in result.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return "killed" + (f" by {failed[0].split()[1]}" if failed else f" (exit {result.returncode})")


def stop(signum: int, frame: object) -> None:
    raise KeyboardInterrupt  # so that the planted fault is taken out on the way


def main() -> int:
    signal.signal(signal.SIGTERM, stop)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", default=None, help="fault ids to run")
    parser.add_argument("--pytest-args", default="", help="extra pytest arguments, one string")
    parser.add_argument("--timeout", type=int, default=1800, help="seconds for one suite run")
    parser.add_argument("--all-tests", action="store_true", help="also run the tests of the Python-only layers")
    parser.add_argument("--no-baseline", action="store_true", help="skip the run without any fault")
    parser.add_argument("--compare", type=Path, default=None, metavar="CHECKOUT",
                        help="also run the tests of another checkout (say, the suite before a change) on each fault")
    args = parser.parse_args()
    pytest_args = [*args.pytest_args.split(), *test_files(args.all_tests)]
    other_args = [*args.pytest_args.split(), *test_files(args.all_tests, args.compare)] if args.compare else []

    faults = load_faults(LIST)
    if args.only:
        faults = [fault for fault in faults if fault.id in args.only]
    package = configure()
    if not build(package):
        sys.exit("the unmodified build fails")
    baseline = "survived" if args.no_baseline else suite(pytest_args, args.timeout)
    if baseline != "survived":
        sys.exit(f"the suite fails without any fault: {baseline}")

    outcomes: dict[str, list[Fault]] = {"killed": [], "survived": [], "stale": [], "does not compile": [],
                                        "equivalent": []}
    started = time.monotonic()
    for number, fault in enumerate(faults, 1):
        path, began = ROOT / fault.file, time.monotonic()
        original = path.read_text()
        if original.count(fault.find) != 1:
            verdict = "stale"
        elif fault.equivalent:
            verdict = "equivalent"
        else:
            try:
                path.write_text(original.replace(fault.find, fault.replace))
                verdict = suite(pytest_args, args.timeout) if build(package) else "does not compile"
                if args.compare and verdict != "does not compile":
                    verdict += f"; compared: {suite(other_args, args.timeout, args.compare)}"
            finally:
                path.write_text(original)
        outcomes["killed" if verdict.startswith("killed") else verdict.split(";")[0]].append(fault)
        print(f"[{number:3}/{len(faults)}] {fault.id:40} {verdict} ({time.monotonic() - began:.0f} s)", flush=True)
    build(package)  # leave the module of the unmodified sources behind

    live = len(outcomes["killed"]) + len(outcomes["survived"])
    print(f"\n{len(outcomes['killed'])} of {live} faults killed"
          f" ({100 * len(outcomes['killed']) / max(live, 1):.1f}%), {len(outcomes['stale'])} stale,"
          f" {len(outcomes['does not compile'])} not compiling, {len(outcomes['equivalent'])} equivalent;"
          f" {time.monotonic() - started:.0f} s")
    for fault in outcomes["survived"]:
        print(f"  survivor {fault.id} ({fault.file}): {fault.why}")
    for fault in outcomes["equivalent"]:
        print(f"  equivalent {fault.id} ({fault.file}): {fault.equivalent}")
    for fault in outcomes["stale"]:
        print(f"  stale {fault.id} ({fault.file})")
    return 1 if outcomes["stale"] else 0


if __name__ == "__main__":
    sys.exit(main())
