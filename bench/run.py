"""Benchmarks pyquarl against peer serializers and writes docs/benchmarks.md.

    python bench/run.py                 # full run (several minutes), writes docs/benchmarks.md
    python bench/run.py --quick         # smoke run, writes bench/out/benchmarks.md
    python bench/run.py --only records --only lazy --json bench/out/raw.json

See bench/README.md.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

if __package__ in (None, ""):
    # Run as a script: import the bench package from the repository root rather
    # than its modules from bench/ itself, where profile.py shadows the stdlib's.
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

import pyquarl  # noqa: E402

from bench import datasets, dense, measure, peers, report, shapes, std_types  # noqa: E402

DOCS_OUT = datasets.REPO / "docs" / "benchmarks.md"
PARTIAL_OUT = datasets.OUT_DIR / "benchmarks.md"
SECTIONS = datasets.DATASETS + (std_types.NAME, "lazy", "shapes", "dense")
# Seconds of timing per document shape, as a share of the budget of a dataset.
SHAPE_BUDGET_SHARE = 0.1


def cpu_model() -> str:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        model = platform.processor() or model
    return f"{model}, {os.cpu_count()} logical cores"


def pyquarl_build() -> str:
    version = peers._version("pyquarl")
    try:
        def git(*args: str) -> str:
            return subprocess.run(["git", "-C", str(datasets.REPO), *args], capture_output=True, text=True,
                                  check=True, timeout=10).stdout.strip()
        commit = git("rev-parse", "--short", "HEAD")
        dirty = git("status", "--porcelain", "--", "src", "python", "CMakeLists.txt")
    except (OSError, subprocess.SubprocessError):
        return version
    return f"{version} (commit {commit}{', with uncommitted changes' if dirty else ''})"


def environment(codecs: list[peers.Codec]) -> dict[str, Any]:
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "python": sys.version.replace("\n", " "),
        "cpu": cpu_model(),
        "platform": platform.platform(),
        "pyquarl": pyquarl_build(),
        "peers": {c.name: c.version for c in codecs if c.name != peers.BASELINE},
    }


def describe(name: str, obj: Any) -> str:
    if name in datasets.JSON_FILES:
        size = (datasets.json_dir() / f"{name}.json").stat().st_size
        return f"`{name}.json`, {size:,} bytes of JSON"
    if name == "records":
        return f"{len(obj):,} generated records of {len(obj[0])} fields (seed {datasets.SEED})"
    strings = list(datasets.iter_strings(obj))
    return (f"{len(obj['nodes']):,} generated nodes; {len(strings):,} strings with {len(set(strings)):,} distinct "
            f"values, each occurrence its own object (seed {datasets.SEED})")


def log(message: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="few repetitions and a 5 MB lazy document")
    parser.add_argument("--only", action="append", choices=SECTIONS, metavar="DATASET",
                        help=f"run only this dataset (repeatable): {', '.join(SECTIONS)}")
    parser.add_argument("--peers", help="comma-separated peers to compare with (default: all)")
    parser.add_argument("--budget", type=float, help="seconds of timing per dataset (default 20, quick 0.5)")
    parser.add_argument("--json", type=Path, help="write the raw results to this file")
    parser.add_argument("--md", type=Path,
                        help=f"Markdown output (default: {DOCS_OUT.relative_to(datasets.REPO)} for a full run, "
                             f"{PARTIAL_OUT.relative_to(datasets.REPO)} otherwise)")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    settings = dataclasses.replace(measure.QUICK if args.quick else measure.Settings())
    if args.budget is not None:
        settings.budget_s = args.budget
    selected = [s for s in SECTIONS if not args.only or s in args.only]
    names = None if args.peers is None else {p.strip() for p in args.peers.split(",") if p.strip()}
    if names is not None:
        known = {c.name for c in peers.codecs()}
        if unknown := names - known:
            sys.exit(f"unknown peers: {', '.join(sorted(unknown))} (known: {', '.join(sorted(known))})")
    codecs = peers.codecs(names)
    partial = [reason for reason, on in (("--quick", args.quick), ("--only " + ",".join(selected), args.only),
                                         ("--peers " + str(args.peers), names is not None),
                                         ("--budget", args.budget is not None)) if on]
    results: dict[str, Any] = {
        "env": environment(codecs),
        "partial": " ".join(partial),
        "settings": dataclasses.asdict(settings),
        "datasets": {},
        "memory": {},
    }
    for c in codecs:
        if c.missing:
            log(f"{c.name}: {c.missing}")

    for name in selected:
        if name in ("lazy", "shapes", "dense", std_types.NAME):
            continue
        log(f"{name}: preparing")
        obj = datasets.load(name)
        if name == "graph" and datasets.shared_strings(obj):
            raise RuntimeError("the graph dataset shares string objects")
        data = measure.bench_dataset(name, obj, codecs, settings)
        data["description"] = describe(name, obj)
        results["datasets"][name] = data
        log(f"{name}: timed, {data['reps']} repetitions; measuring memory")
        results["memory"][name] = measure.memory(obj, pyquarl.dump_bytes(obj))
        del obj
        gc.collect()

    if std_types.NAME in selected:
        log(f"{std_types.NAME}: timing")
        results["datasets"][std_types.NAME] = std_types.bench_std_types(settings, names, std_types.COUNT)
        gc.collect()

    if "lazy" in selected:
        log(f"lazy: building or loading the document of {settings.lazy_records:,} records")
        obj = datasets.lazy_doc_cached(settings.lazy_records)
        doc = pyquarl.dump_bytes(obj)
        log(f"lazy: {len(doc):,} bytes; timing")
        results["lazy"] = measure.bench_lazy(obj, doc, settings)
        log("lazy: measuring memory")
        results["memory"]["lazy document"] = measure.memory(obj, doc)
        del obj, doc
        gc.collect()

    if "shapes" in selected:
        log("shapes: timing every shape with every peer")
        results["shapes"] = shapes.bench_shapes(codecs, settings.budget_s * SHAPE_BUDGET_SHARE, log=log)
        gc.collect()

    if "dense" in selected:
        log("dense: lookups at the end of documents of small records, and msgspec's partial decode")
        results["dense"] = dense.bench_dense(args.quick, log=log)
        gc.collect()

    text = report.markdown(results)
    print(text)
    md_path = args.md or (PARTIAL_OUT if partial else DOCS_OUT)
    md_path.parent.mkdir(parents=True, exist_ok=True)
    md_path.write_text(text)
    log(f"wrote {md_path}")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=1))
        log(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
