"""Runs one pyquarl operation on one dataset in a loop, for a profiler.

    python bench/profile.py dump records -n 200
    python bench/profile.py lazy lazy --quick -n 50

The data is prepared before the loop; the loop itself calls only pyquarl.
Command lines for perf and callgrind are in bench/README.md.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import shutil
import struct
import sys
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any

if __package__ in (None, ""):
    # Run as a script: import the bench package from the repository root rather
    # than its modules from bench/ itself, where profile.py shadows the stdlib's.
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

REPO = Path(__file__).resolve().parent.parent
SYMBOLS_SITE = REPO / "bench" / "out" / "profile-site"
BUILD_ID_NOTE = struct.pack("<III", 4, 20, 3) + b"GNU\0"  # NT_GNU_BUILD_ID with a 20-byte id


def build_id(path: Path) -> bytes | None:
    data = path.read_bytes()
    at = data.find(BUILD_ID_NOTE)
    return None if at < 0 else data[at + len(BUILD_ID_NOTE): at + len(BUILD_ID_NOTE) + 20]


def use_unstripped_extension() -> str:
    """The installed extension is stripped, so profilers would show bare
    addresses. The build tree keeps the same binary with its symbol table:
    when the build ids match, import the package from a copy whose extension
    links to it."""
    found = importlib.util.find_spec("pyquarl")
    if found is None or found.origin is None:
        return "pyquarl is not installed"
    installed_dir = Path(found.origin).parent
    installed = next(installed_dir.glob("_pyquarl*.so"), None)
    if installed is None:
        return "no installed extension found"
    wanted = build_id(installed)
    for candidate in sorted((REPO / "build").glob(f"*/{installed.name}")):
        if wanted is not None and build_id(candidate) == wanted:
            target = SYMBOLS_SITE / "pyquarl"
            shutil.rmtree(SYMBOLS_SITE, ignore_errors=True)
            shutil.copytree(installed_dir, target, ignore=shutil.ignore_patterns("_pyquarl*.so", "__pycache__"))
            (target / installed.name).symlink_to(candidate)
            sys.path.insert(0, str(SYMBOLS_SITE))
            return f"symbols from {candidate.relative_to(REPO)}"
    return "no build-tree copy of the installed extension; profiles show addresses only"


if "--no-symbols" not in sys.argv:
    SYMBOLS = use_unstripped_extension()
else:
    SYMBOLS = "installed (stripped) extension"

import pyquarl  # noqa: E402

from bench import datasets, measure  # noqa: E402

OPERATIONS = ("dump", "load", "lazy", "contains", "stream")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("operation", choices=OPERATIONS,
                        help="dump_bytes, load_bytes, lazy_load_bytes or bytes_check_if_contains of the last "
                             "value, or dump_bytes to an io.BytesIO writer")
    parser.add_argument("dataset", choices=datasets.DATASETS + ("lazy",),
                        help="'lazy' is the large document of the lazy reader benchmark")
    parser.add_argument("-n", "--iterations", type=int, default=100)
    parser.add_argument("--quick", action="store_true", help="with 'lazy': the 5 MB document instead of 100 MB")
    parser.add_argument("--no-symbols", action="store_true",
                        help="use the installed extension as is, not the build tree's copy with symbols")
    args = parser.parse_args(argv)
    if args.operation in ("lazy", "contains") and args.dataset != "lazy":
        parser.error("lazy and contains look up the last value of the 'lazy' dataset")

    if args.dataset == "lazy":
        obj = datasets.lazy_doc_cached(datasets.LAZY_RECORDS_QUICK if args.quick else datasets.LAZY_RECORDS)
        steps, _ = datasets.lazy_target(obj)
    else:
        obj = datasets.load(args.dataset)
        steps = None
    doc = pyquarl.dump_bytes(obj)
    fn: Callable[[Any], Any]
    arg: Any
    if steps is not None and args.operation in ("lazy", "contains"):
        lookup = pyquarl.lazy_load_bytes if args.operation == "lazy" else pyquarl.bytes_check_if_contains
        fn, arg = partial(lookup, doc), measure.to_path(steps)
    elif args.operation == "dump":
        fn, arg = pyquarl.dump_bytes, obj
    elif args.operation == "load":
        fn, arg = pyquarl.load_bytes, doc
    else:
        fn, arg = measure.dump_to_bytesio, obj

    print(f"{args.operation} {args.dataset}: {len(doc):,} bytes encoded, {args.iterations} iterations; "
          f"{SYMBOLS}", file=sys.stderr, flush=True)
    # As in the benchmark: no cyclic GC, and results freed outside the timing.
    gc.collect()
    gc.disable()
    best = float("inf")
    start = time.perf_counter()
    for _ in range(args.iterations):
        t0 = time.perf_counter_ns()
        result = fn(arg)
        best = min(best, time.perf_counter_ns() - t0)
        del result
    total = time.perf_counter() - start
    gc.enable()
    print(f"total {total:.3f} s, best {best / 1e6:.3f} ms per call", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
