"""Mutation testing: plants each fault of tools/mutations.toml in turn, rebuilds
the extension incrementally and runs the test suite against it.

A fault is *killed* when the suite fails, *survives* when it passes, and is
*stale* when its text is no longer found exactly once in its file (the code
moved on: update the list). A fault that does not compile counts apart. The
source file is restored after every fault, also on Ctrl-C.

    .venv/bin/python tools/mutation.py [--only ID ...] [--pytest-args "..."]

Run by `make mutation`; the last result belongs in docs/testing.md.
"""

from __future__ import annotations

import argparse
import os
import shutil
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


@dataclass
class Fault:
    id: str
    file: str
    find: str
    replace: str
    why: str = ""


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
    """A plain Release build of the module alone, so that a fault recompiles one file."""
    if not (BUILD / "cmake" / "build.ninja").exists():
        result = run([tool("cmake"), "-S", ".", "-B", str(BUILD / "cmake"), "-G", "Ninja",
                      f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release",
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


def suite(pytest_args: list[str], timeout: int) -> str:
    env = {**os.environ, "PYTHONPATH": str(SITE), "PYTHONDONTWRITEBYTECODE": "1"}
    try:
        result = subprocess.run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *pytest_args],
                                cwd=ROOT, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "killed (timeout)"
    if result.returncode == 0:
        return "survived"
    failed = [line for line in result.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return "killed" + (f" by {failed[0].split()[1]}" if failed else f" (exit {result.returncode})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", default=None, help="fault ids to run")
    parser.add_argument("--pytest-args", default="", help="extra pytest arguments, one string")
    parser.add_argument("--timeout", type=int, default=600, help="seconds for one suite run")
    args = parser.parse_args()

    faults = load_faults(LIST)
    if args.only:
        faults = [fault for fault in faults if fault.id in args.only]
    package = configure()
    if not build(package):
        sys.exit("the unmodified build fails")
    baseline = suite(args.pytest_args.split(), args.timeout)
    if baseline != "survived":
        sys.exit(f"the suite fails without any fault: {baseline}")

    outcomes: dict[str, list[Fault]] = {"killed": [], "survived": [], "stale": [], "does not compile": []}
    started = time.monotonic()
    for number, fault in enumerate(faults, 1):
        path = ROOT / fault.file
        original = path.read_text()
        if original.count(fault.find) != 1:
            verdict = "stale"
        else:
            try:
                path.write_text(original.replace(fault.find, fault.replace))
                verdict = suite(args.pytest_args.split(), args.timeout) if build(package) else "does not compile"
            finally:
                path.write_text(original)
        outcomes["killed" if verdict.startswith("killed") else verdict].append(fault)
        print(f"[{number:3}/{len(faults)}] {fault.id:40} {verdict}", flush=True)
    build(package)  # leave the module of the unmodified sources behind

    live = len(outcomes["killed"]) + len(outcomes["survived"])
    print(f"\n{len(outcomes['killed'])} of {live} faults killed"
          f" ({100 * len(outcomes['killed']) / max(live, 1):.1f}%), {len(outcomes['stale'])} stale,"
          f" {len(outcomes['does not compile'])} not compiling; {time.monotonic() - started:.0f} s")
    for fault in outcomes["survived"]:
        print(f"  survivor {fault.id} ({fault.file}): {fault.why}")
    for fault in outcomes["stale"]:
        print(f"  stale {fault.id} ({fault.file})")
    return 1 if outcomes["stale"] else 0


if __name__ == "__main__":
    sys.exit(main())
