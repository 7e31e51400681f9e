"""Timing and memory measurements.

Timing: every task is one call, timed with perf_counter_ns. Tasks run
round-robin, one call each per repetition, with a rotating first task, so
slow drifts of the machine (other processes, frequency changes) spread over
all of them; a task's figure is the minimum over the repetitions. The
cyclic GC is off while samples are taken (as timeit does) and a call's
result is released after its timer has stopped, outside the measurement.
"""

from __future__ import annotations

import ctypes
import gc
import io
import statistics
import time
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Any

import pyquarl

from . import datasets
from .peers import BASELINE, Codec, check


@dataclass
class Settings:
    warmup: int = 2
    budget_s: float = 20.0  # per dataset: repetitions are chosen to fill about this much time
    min_reps: int = 15
    max_reps: int = 400
    lazy_records: int = datasets.LAZY_RECORDS
    lazy_reps: int = 7
    stream_reps: int = 7


QUICK = Settings(warmup=1, budget_s=0.5, min_reps=3, max_reps=20,
                 lazy_records=datasets.LAZY_RECORDS_QUICK, lazy_reps=3, stream_reps=3)

Task = tuple[Callable[[Any], Any], Any]


def run_interleaved(tasks: dict[str, Task], reps: int, group: int = 1) -> dict[str, list[int]]:
    """`reps` timings (ns) of each task; tasks are taken in groups of `group`
    consecutive entries (e.g. one library's dump and load) and the group
    that goes first rotates with each repetition."""
    names = list(tasks)
    groups = [names[i:i + group] for i in range(0, len(names), group)]
    samples: dict[str, list[int]] = {name: [] for name in names}
    if not groups:
        return samples
    clock = time.perf_counter_ns
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for rep in range(reps):
            k = rep % len(groups)
            for chunk in groups[k:] + groups[:k]:
                for name in chunk:
                    fn, arg = tasks[name]
                    start = clock()
                    result = fn(arg)
                    stop = clock()
                    del result
                    samples[name].append(stop - start)
    finally:
        if was_enabled:
            gc.enable()
    return samples


def warm_up(tasks: dict[str, Task], rounds: int) -> float:
    """Runs every task `rounds` times; returns the seconds of the last round."""
    last = 0.0
    for _ in range(max(rounds, 1)):
        start = time.perf_counter()
        for fn, arg in tasks.values():
            fn(arg)
        last = time.perf_counter() - start
    return last


def summary(times: list[int]) -> dict[str, Any]:
    return {"min_ns": min(times), "median_ns": int(statistics.median(times)), "samples": len(times),
            "times_ns": times}


def bench_dataset(name: str, obj: Any, codecs: list[Codec], settings: Settings) -> dict[str, Any]:
    """Size, dump and load times of every codec on `obj`."""
    libs: dict[str, dict[str, Any]] = {}
    tasks: dict[str, Task] = {}
    for codec in codecs:
        encoded, reason = check(codec, obj)
        libs[codec.name] = {"binary": codec.binary, "na": reason, "size": None if encoded is None else len(encoded)}
        if codec.name == BASELINE and reason:
            raise RuntimeError(f"pyquarl fails on {name}: {reason}")
        if encoded is not None:
            tasks[f"{codec.name}.dump"] = (codec.dump, obj)
            tasks[f"{codec.name}.load"] = (codec.load, encoded)
    round_s = warm_up(tasks, settings.warmup)
    reps = int(min(settings.max_reps, max(settings.min_reps, settings.budget_s / max(round_s, 1e-9))))
    samples = run_interleaved(tasks, reps, group=2)
    for task, times in samples.items():
        lib, op = task.rsplit(".", 1)
        libs[lib][op] = summary(times)
    return {"reps": reps, "libs": libs}


# --- the lazy reader and streaming on the large document ----------------------

def to_path(steps: list[Any]) -> list[Any]:
    return [pyquarl.Idx(step) if isinstance(step, int) else step for step in steps]


def dump_to_bytesio(obj: Any) -> io.BytesIO:
    sink = io.BytesIO()
    pyquarl.dump_bytes(obj, writer=sink)
    return sink


class _Discard:
    """A writer that keeps nothing: what streaming costs the encoder itself."""

    def write(self, chunk: bytes) -> int:
        return len(chunk)


def _dump_to_discard(obj: Any) -> None:
    pyquarl.dump_bytes(obj, writer=_Discard())


def _dump_to_file(path: Path, obj: Any) -> None:
    with open(path, "wb") as f:
        pyquarl.dump_bytes(obj, writer=f)


def _lookups(obj: Any, steps: list[Any], settings: Settings) -> dict[str, Any]:
    """load_bytes against both lazy functions at `steps` of `obj`'s document."""
    doc = pyquarl.dump_bytes(obj)
    path = to_path(steps)
    expected = obj
    for step in steps:
        expected = expected[step]
    if pyquarl.lazy_load_bytes(doc, path) != expected:
        raise RuntimeError(f"lazy_load_bytes returned the wrong value at {path!r}")
    tasks: dict[str, Task] = {
        "load_bytes": (pyquarl.load_bytes, doc),
        "lazy_load_bytes": (partial(pyquarl.lazy_load_bytes, doc), path),
        "bytes_check_if_contains": (partial(pyquarl.bytes_check_if_contains, doc), path),
    }
    warm_up(tasks, 1)
    lookups = run_interleaved(tasks, settings.lazy_reps)
    return {"doc_bytes": len(doc), "path": repr(path),
            "lookups": {name: summary(times) for name, times in lookups.items()}}


def bench_lazy(obj: Any, doc: bytes, settings: Settings) -> dict[str, Any]:
    steps, expected = datasets.lazy_target(obj)
    path = to_path(steps)
    missing = ["records", "rec-missing"]
    if pyquarl.lazy_load_bytes(doc, path) != expected:
        raise RuntimeError("lazy_load_bytes returned the wrong value on the large document")
    if pyquarl.bytes_check_if_contains(doc, path) is not True or pyquarl.bytes_check_if_contains(doc, missing):
        raise RuntimeError("bytes_check_if_contains answered wrongly on the large document")
    tasks: dict[str, Task] = {
        "load_bytes": (pyquarl.load_bytes, doc),
        "lazy_load_bytes": (partial(pyquarl.lazy_load_bytes, doc), path),
        "bytes_check_if_contains": (partial(pyquarl.bytes_check_if_contains, doc), path),
        "bytes_check_if_contains (absent key)": (partial(pyquarl.bytes_check_if_contains, doc), missing),
    }
    warm_up(tasks, 1)
    lookups = run_interleaved(tasks, settings.lazy_reps)

    # The same records as a table (a list of like dicts), reached by index:
    # rows are skipped without any key to compare.
    table_obj = {"rows": list(obj["records"].values())}
    table = _lookups(table_obj, ["rows", len(table_obj["rows"]) - 1, "history",
                                 len(table_obj["rows"][-1]["history"]) - 1], settings)
    del table_obj
    # A log whose bytes are mostly message text, about a fifth of the records' size.
    events_obj = datasets.event_log(max(1, len(obj["records"]) // 8))
    events = _lookups(events_obj, ["events", len(events_obj["events"]) - 1, "message"], settings)
    del events_obj

    stream_file = datasets.OUT_DIR / "stream-dump.quarl"
    stream_file.parent.mkdir(parents=True, exist_ok=True)
    if dump_to_bytesio(obj).getvalue() != doc:
        raise RuntimeError("streaming dump differs from the in-memory dump")
    streams: dict[str, Task] = {
        "in memory": (pyquarl.dump_bytes, obj),
        "writer=io.BytesIO()": (dump_to_bytesio, obj),
        "writer=file": (partial(_dump_to_file, stream_file), obj),
        "writer=discarding": (_dump_to_discard, obj),
    }
    warm_up(streams, 1)
    dumps = run_interleaved(streams, settings.stream_reps)
    stream_file.unlink(missing_ok=True)
    return {
        "doc_bytes": len(doc),
        "records": len(obj["records"]),
        "path": repr(path),
        "lookups": {name: summary(times) for name, times in lookups.items()},
        "table": table,
        "events": events,
        "stream": {name: summary(times) for name, times in dumps.items()},
    }


# --- memory -------------------------------------------------------------------

def _status_bytes(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def _release_free_memory() -> None:
    """Hands memory that malloc holds free back to the system, so that a
    measured call which reuses it shows up in the RSS again."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _reset_rss_peak() -> int | None:
    """Resets the resident-set high-water mark; returns the current RSS."""
    _release_free_memory()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None
    return _status_bytes("VmRSS")


def rss_rise(fn: Callable[[], Any]) -> tuple[Any, int | None]:
    """Runs `fn`; returns its result and how far the RSS peak rose above the
    RSS before the call. Free memory is released first, but pages that
    Python's small-object allocator keeps are reused without a rise, so
    this is a lower bound on what the call allocated."""
    gc.collect()
    before = _reset_rss_peak()
    result = fn()
    peak = _status_bytes("VmHWM")
    return result, None if before is None or peak is None else max(peak - before, 0)


def traced(fn: Callable[[], Any]) -> tuple[Any, int, int]:
    """Runs `fn` under tracemalloc; returns its result, the traced bytes it
    still holds afterwards, and the traced peak, both above the start."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = fn()
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return result, current - base, peak - base


def memory(obj: Any, doc: bytes) -> dict[str, Any]:
    """Peak memory of dump_bytes(obj) and load_bytes(doc).

    tracemalloc sees the Python allocators (the output bytes, the returned
    objects); the RSS rise, measured in a separate call without tracemalloc,
    also sees the extension's own C++ allocations (string table, reference
    table)."""
    out, _, dump_peak = traced(lambda: pyquarl.dump_bytes(obj))
    size = len(out)
    del out
    out, dump_rss = rss_rise(lambda: pyquarl.dump_bytes(obj))
    del out
    result, retained, load_peak = traced(lambda: pyquarl.load_bytes(doc))
    del result
    result, load_rss = rss_rise(lambda: pyquarl.load_bytes(doc))
    del result
    gc.collect()
    return {
        "output": size,
        "dump_py_peak": dump_peak,
        "dump_rss_rise": dump_rss,
        "load_retained": retained,
        "load_py_peak": load_peak,
        "load_rss_rise": load_rss,
    }
