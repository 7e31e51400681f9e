"""Markdown tables and the goals check, from the results that run.py gathers."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .datasets import DATASETS
from .peers import BASELINE

SIZE_GOAL_DATASETS = ("twitter", "citm_catalog", "records")
MIN_LAZY_SPEEDUP = 20
MIN_SKIP_GBPS = 1.0
MAX_STREAM_OVERHEAD = 0.10
MAX_DUMP_PEAK_RATIO = 2.0
# load_bytes' Python-side allocations that are not part of the result:
# allowed slack for allocator rounding and the module's own bookkeeping.
LOAD_TRANSIENT_SLACK = (0.01, 64 * 1024)  # fraction of the result, bytes


def fmt_time(ns: float) -> str:
    if ns < 1_000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1_000_000_000:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e9:.2f} s"


def fmt_bytes(n: float | None) -> str:
    if n is None:
        return "n/a"
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if abs(n) >= scale:
            return f"{n / scale:.2f} {unit}"
    return f"{n:.0f} B"


def ratio(value: float, ref: float, more: str, less: str) -> str:
    """`value` relative to `ref` in words: "2.30x slower", "1.15x faster"."""
    if value == ref:
        return "same"
    if value > ref:
        return f"{value / ref:.2f}x {more}"
    return f"{ref / value:.2f}x {less}"


def _table(header: list[str], align: str, rows: list[list[str]]) -> list[str]:
    marks = {"l": "---", "r": "--:", "c": ":-:"}
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(marks[a] for a in align) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


# --- goals -------------------------------------------------------------------

def _lead(ours: float, rivals: list[tuple[str, float]], words: tuple[str, str],
          show: Callable[[float, float], str]) -> tuple[bool, str]:
    """Whether pyquarl's figure beats the best rival's (lower is better), and how it reads."""
    lib, best = min(rivals, key=lambda item: item[1])
    if ours < best:
        return True, f"next is {lib}, {best / ours:.2f}x {words[0]}"
    return False, f"{lib} is {ours / best:.2f}x {words[1]} ({show(best, ours)})"


def goals(results: dict[str, Any]) -> list[tuple[bool, str]]:
    """(passed, explanation) for every goal that this run measured."""
    checks: list[tuple[bool, str]] = []
    measured = results.get("datasets", {})
    for op in ("dump", "load"):
        for name in DATASETS:
            if name not in measured:
                continue
            libs = measured[name]["libs"]
            ours = libs[BASELINE][op]["min_ns"]
            rivals = [(lib, v[op]["min_ns"]) for lib, v in libs.items() if lib != BASELINE and op in v]
            if not rivals:
                continue
            ok, detail = _lead(ours, rivals, ("slower", "faster"), lambda a, b: f"{fmt_time(a)} vs {fmt_time(b)}")
            checks.append((ok, f"{op}_bytes fastest on {name}: {detail}"))
    for name in SIZE_GOAL_DATASETS:
        if name not in measured:
            continue
        libs = measured[name]["libs"]
        ours = libs[BASELINE]["size"]
        rivals = [(lib, v["size"]) for lib, v in libs.items()
                  if lib != BASELINE and v["binary"] and v["size"] is not None]
        if not rivals:
            continue
        ok, detail = _lead(ours, rivals, ("larger", "smaller"), lambda a, b: f"{a:,} vs {b:,} bytes")
        checks.append((ok, f"smallest among binary peers on {name}: {detail}"))

    lazy = results.get("lazy")
    if lazy:
        size = lazy["doc_bytes"]
        for op in ("lazy_load_bytes", "bytes_check_if_contains"):
            gbps = size / lazy["lookups"][op]["min_ns"]
            checks.append((gbps >= MIN_SKIP_GBPS,
                           f"{op} skips at least {MIN_SKIP_GBPS:g} GB/s on the {fmt_bytes(size)} document: {gbps:.2f} GB/s"))
        for label, part in (("keyed", lazy), ("table", lazy.get("table")), ("event-log", lazy.get("events"))):
            if not part:
                continue
            ratio = part["lookups"]["load_bytes"]["min_ns"] / part["lookups"]["lazy_load_bytes"]["min_ns"]
            checks.append((ratio >= MIN_LAZY_SPEEDUP,
                           f"lazy_load_bytes at least {MIN_LAZY_SPEEDUP:g}x faster than load_bytes on the {label} "
                           f"document ({fmt_bytes(part['doc_bytes'])}): {ratio:.1f}x"))
        overhead = stream_overhead(lazy, "writer=io.BytesIO()")
        checks.append((overhead <= MAX_STREAM_OVERHEAD,
                       f"streaming dump (writer=io.BytesIO()) within {MAX_STREAM_OVERHEAD:.0%} of the in-memory dump: "
                       f"{overhead:+.1%}"))

    memory = results.get("memory", {})
    if memory:
        name, mem = max(memory.items(), key=lambda item: item[1]["output"])
        worst = max(mem["dump_py_peak"], mem["dump_rss_rise"] or 0) / mem["output"]
        checks.append((worst <= MAX_DUMP_PEAK_RATIO,
                       f"dump_bytes peak memory at most {MAX_DUMP_PEAK_RATIO:g}x the output on the {name} "
                       f"({fmt_bytes(mem['output'])}): {worst:.2f}x (larger of traced peak and RSS rise)"))
        fraction, floor = LOAD_TRANSIENT_SLACK
        over = [(n, m["load_py_peak"] - m["load_retained"]) for n, m in memory.items()
                if m["load_py_peak"] - m["load_retained"] > max(fraction * m["load_retained"], floor)]
        if over:
            detail = "; ".join(f"{n}: {fmt_bytes(extra)} beyond the result" for n, extra in over)
        else:
            detail = "traced peak within 1% (or 64 kB) of the returned objects on every document"
        checks.append((not over, f"load_bytes allocates nothing beyond its result: {detail}"))
    return checks


def stream_overhead(lazy: dict[str, Any], writer: str) -> float:
    stream = lazy["stream"]
    return stream[writer]["min_ns"] / stream["in memory"]["min_ns"] - 1


# --- document ------------------------------------------------------------------

def dataset_section(name: str, data: dict[str, Any]) -> list[str]:
    libs = data["libs"]
    ours = libs[BASELINE]
    rows, notes = [], []
    for lib, v in libs.items():
        label = f"**{lib}**" if lib == BASELINE else lib + ("" if v["binary"] else " (JSON)")
        if v["na"]:
            rows.append([label] + ["n/a"] * 6)
            notes.append(f"- {lib}: n/a, {v['na']}")
            continue
        if lib == BASELINE:
            vs = ["", "", ""]
        else:
            vs = [ratio(v["dump"]["min_ns"], ours["dump"]["min_ns"], "slower", "faster"),
                  ratio(v["load"]["min_ns"], ours["load"]["min_ns"], "slower", "faster"),
                  ratio(v["size"], ours["size"], "larger", "smaller")]
        rows.append([label, fmt_time(v["dump"]["min_ns"]), vs[0], fmt_time(v["load"]["min_ns"]), vs[1],
                     f"{v['size']:,}", vs[2]])
    lines = [f"### {name}", "", f"{data['description']}; minimum of {data['reps']} repetitions.", ""]
    lines += _table(["library", "dump", "vs pyquarl", "load", "vs pyquarl", "size (bytes)", "vs pyquarl"],
                    "lrlrlrl", rows)
    notes += data.get("notes", [])
    if notes:
        lines += [""] + notes
    return lines + [""]


def _lookup_table(size: int, lookups: dict[str, Any]) -> list[str]:
    return _table(["operation", "time", "GB/s", "speed-up vs load_bytes"], "lrrr", _lookup_rows(size, lookups))


def _lookup_rows(size: int, lookups: dict[str, Any]) -> list[list[str]]:
    full = lookups["load_bytes"]["min_ns"]
    rows = []
    for op, v in lookups.items():
        t = v["min_ns"]
        function, _, note = op.partition(" (")
        label = f"`{function}`" + (f" ({note}" if note else "")
        rows.append([label, fmt_time(t), f"{size / t:.2f}", "" if op == "load_bytes" else f"{full / t:.1f}x"])
    return rows


def lazy_section(lazy: dict[str, Any]) -> list[str]:
    size = lazy["doc_bytes"]
    lookups = lazy["lookups"]
    lines = ["## Lazy reader", "",
             f"A dict of {lazy['records']:,} records, {size:,} bytes encoded. The path `{lazy['path']}` names the "
             f"last value of the document, so the reader skips all but a few bytes of it, comparing every record's "
             f"key on the way; the absent key is looked up in the same table. Throughput is document bytes per "
             f"second. Minimum of {lookups['load_bytes']['samples']} repetitions, interleaved.", ""]
    lines += _lookup_table(size, lookups)
    table = lazy.get("table")
    if table:
        lines += ["", f"The same records as a list of like dicts (a table), {table['doc_bytes']:,} bytes encoded, "
                  f"read at `{table['path']}`: rows are skipped by index, with no key to compare.", ""]
        lines += _lookup_table(table["doc_bytes"], table["lookups"])
    events = lazy.get("events")
    if events:
        lines += ["", f"An event log, {events['doc_bytes']:,} bytes encoded, whose events carry a free-text message "
                  f"of 12 to 40 words (most of the bytes), read at `{events['path']}`.", ""]
        lines += _lookup_table(events["doc_bytes"], events["lookups"])
    stream = lazy["stream"]
    base = stream["in memory"]["min_ns"]
    rows = [[f"`dump_bytes` {mode}", fmt_time(v["min_ns"]),
             "" if mode == "in memory" else f"{v['min_ns'] / base - 1:+.1%}"] for mode, v in stream.items()]
    lines += ["", "### Streaming dump", "",
              f"`dump_bytes(doc)` against `dump_bytes(doc, writer=...)` on the same document; minimum of "
              f"{stream['in memory']['samples']} repetitions. The discarding writer keeps nothing, so its row "
              f"is the encoder's own cost of streaming; the others add the writer's copying.", ""]
    lines += _table(["dump", "time", "overhead"], "lrr", rows)
    return lines + [""]


def memory_section(memory: dict[str, Any]) -> list[str]:
    rows = []
    for name, m in memory.items():
        out = m["output"]
        rss_dump = m["dump_rss_rise"]
        rows.append([
            name, fmt_bytes(out),
            fmt_bytes(m["dump_py_peak"]), f"{m['dump_py_peak'] / out:.2f}x",
            fmt_bytes(rss_dump), "n/a" if rss_dump is None else f"{rss_dump / out:.2f}x",
            fmt_bytes(m["load_retained"]), fmt_bytes(m["load_py_peak"]),
            fmt_bytes(m["load_py_peak"] - m["load_retained"]), fmt_bytes(m["load_rss_rise"]),
        ])
    lines = ["## Memory", "",
             "Traced: tracemalloc (Python's allocators: the output bytes, the returned objects). "
             "RSS rise: growth of the resident-set peak during the call, measured in a separate call "
             "without tracemalloc after handing malloc's free memory back to the system; it also sees the "
             "extension's own C++ allocations and memory left behind by moving reallocations, but it is a lower "
             "bound, since pages that Python's small-object allocator keeps are reused without a rise. "
             "Load transient = traced peak minus what the result still holds.", ""]
    lines += _table(["document", "encoded", "dump peak (traced)", "÷ encoded", "dump RSS rise", "÷ encoded",
                     "load result (traced)", "load peak (traced)", "load transient", "load RSS rise"],
                    "lrrrrrrrrr", rows)
    return lines + [""]


def shapes_section(shapes: dict[str, Any]) -> list[str]:
    """pyquarl (through dumps/loads) against the fastest peer on each document shape."""
    lines = ["## Document shapes", "",
             "Small messages, unique and repeated strings, big dicts, tables, ints, text and the datasets above, "
             "timed by `bench/shapes.py`: pyquarl through `pyquarl.dumps`/`pyquarl.loads` (wrappers included); "
             "a figure is the least time per call over rounds of batches, libraries interleaved. The ratio is "
             "pyquarl's time over the fastest peer that gives the same value back (above 1: pyquarl is slower).",
             ""]
    rows = []
    for name, result in shapes.items():
        ours = result["libs"][BASELINE]
        row = [name]
        for op in ("dump", "load"):
            row.append(fmt_time(ours[op] * 1e9))
            if op in result:
                best = result[op]["best"]
                row += [f"{best} {fmt_time(result['libs'][best][op] * 1e9)}", f"{result[op]['ratio']:.2f}x"]
            else:
                row += ["n/a", ""]
        rows.append(row)
    lines += _table(["shape", "dump", "fastest peer", "ratio", "load", "fastest peer", "ratio"], "lrrrrrr", rows)
    lines.append("")
    for op in ("dump", "load"):
        found = [(name, r[op]["ratio"]) for name, r in shapes.items() if op in r]
        if found:
            worst, best = max(found, key=lambda item: item[1]), min(found, key=lambda item: item[1])
            lines.append(f"- {op}: worst ratio {worst[1]:.2f}x ({worst[0]}), best {best[1]:.2f}x ({best[0]})")
    return lines + [""]


def markdown(results: dict[str, Any]) -> str:
    env = results["env"]
    lines = ["# Benchmarks", "",
             "Written by `make bench` (`bench/run.py`); edit the benchmark, not this file.", ""]
    if results.get("partial"):
        lines += [f"**Partial run** ({results['partial']}): not the reference numbers.", ""]
    lines += _table(["", ""], "ll", [
        ["date", env["date"]],
        ["Python", env["python"]],
        ["CPU", env["cpu"]],
        ["system", env["platform"]],
        ["pyquarl", env["pyquarl"]],
        ["peers", ", ".join(f"{name} {version}" for name, version in env["peers"].items())],
    ])
    lines += ["", "All libraries run in one process. Each repetition calls every library once per operation, "
              "round-robin with a rotating first library; a figure is the minimum over the repetitions, after "
              "warm-up. The cyclic garbage collector is disabled while timing (as timeit does), and each call's "
              "result is released after its timer stops. Peers use default options; msgspec reuses one "
              "`msgspec.msgpack.Encoder` and `Decoder`. Ratios compare each peer with pyquarl in the same run.", ""]
    checks = goals(results)
    if checks:
        lines += ["## Goals", ""]
        lines += [f"- **{'PASS' if ok else 'FAIL'}** {text}" for ok, text in checks]
        lines += ["", f"{sum(ok for ok, _ in checks)} of {len(checks)} goals met.", ""]
    if results.get("datasets"):
        lines += ["## Datasets", ""]
        for name, data in results["datasets"].items():
            lines += dataset_section(name, data)
    if results.get("lazy"):
        lines += lazy_section(results["lazy"])
    if results.get("memory"):
        lines += memory_section(results["memory"])
    if results.get("shapes"):
        lines += shapes_section(results["shapes"])
    if results.get("dense"):
        from bench import dense

        lines += dense.section(results["dense"])
    return "\n".join(lines).rstrip() + "\n"
