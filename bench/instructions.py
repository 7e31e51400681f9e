"""Instructions per call of pyquarl's hot paths, counted by callgrind, to
compare two builds on a shared machine where timings wander.

    python bench/instructions.py                       # every case, this interpreter's pyquarl
    python bench/instructions.py --python OTHER/python # the same with another build
    python bench/instructions.py --only load:records

Each case runs twice under callgrind, with 0 and with N calls after the same
set-up; the difference divided by N is the count per call (set-up and
start-up cancel out). The data is made beforehand, outside callgrind, and
read back from a pickle. Needs valgrind.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

SMALL = {"id": 12, "name": "ada", "tags": ["x", "y"], "score": 1.5, "ok": True, "parent": None}
# (operation, dataset, calls): small documents many times, large ones a few
CASES = [
    ("dump", "small", 2000), ("load", "small", 2000), ("get", "small", 2000), ("contains", "small", 2000),
    ("dump", "records", 2), ("load", "records", 2),
    ("dump", "twitter", 3), ("load", "twitter", 3),
    ("dump", "citm_catalog", 2), ("load", "citm_catalog", 2),
    ("dump", "canada", 2), ("load", "canada", 2),
    ("dump", "graph", 2), ("load", "graph", 2),
    # the skipper: `get` of the last value of bench/dense.py's documents (4 MB each)
    ("tail", "events", 2), ("tail", "int matrix", 2), ("tail", "int matrix 0..99999", 2),
    ("tail", "rows of like dicts", 2),
]

CHILD = r"""
import pickle
import pyquarl
operation, calls = {operation!r}, {calls}
with open({data!r}, "rb") as fp:
    obj = pickle.load(fp)
doc = pyquarl.dumps(obj)
if operation == "dump":
    call, arg = pyquarl.dump_bytes, obj
elif operation == "load":
    call, arg = pyquarl.load_bytes, doc
elif operation == "get":
    call, arg = (lambda d: pyquarl.lazy_load_bytes(d, ["tags", pyquarl.Idx(1)])), doc
elif operation == "tail":
    call, arg = (lambda d: pyquarl.get(d, "tail")), doc
else:
    call, arg = (lambda d: pyquarl.bytes_check_if_contains(d, ["score"], include_falsy=False)), doc
call(arg)
for _ in range(calls):
    call(arg)
"""


def instructions(python: str, operation: str, data: str, calls: int) -> int:
    code = CHILD.format(operation=operation, data=data, calls=calls)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        # A fixed hash seed: str hashes decide how many probes a dict makes.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python, "-c", code],
                       check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        with open(out) as fp:
            for line in fp:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(re.split(r"\s+", line.strip())[1])
    raise RuntimeError("no totals in the callgrind output")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable, help="the interpreter whose pyquarl is measured")
    parser.add_argument("--only", action="append", help="operation:dataset; repeatable")
    args = parser.parse_args()
    sys.path.insert(0, str(REPO))
    from bench import datasets, dense

    def make(name: str) -> object:
        if name == "small":
            return SMALL
        for family, build, per_item in dense.FAMILIES:
            if family == name:
                return dense.document(build, dense.QUICK_MB * 1_000_000 // per_item)
        return datasets.load(name)

    work = tempfile.mkdtemp()
    for operation, name, calls in CASES:
        if args.only and f"{operation}:{name}" not in args.only:
            continue
        data = os.path.join(work, f"{name.replace(' ', '_')}.pickle")
        if not os.path.exists(data):
            with open(data, "wb") as fp:
                pickle.dump(make(name), fp)
        per_call = (instructions(args.python, operation, data, calls) -
                    instructions(args.python, operation, data, 0)) / calls
        print(json.dumps({"case": f"{operation}:{name}", "instructions_per_call": round(per_call)}), flush=True)


if __name__ == "__main__":
    main()
