"""The benchmark's own machinery: deterministic datasets, a graph without shared
string objects, and the verdicts it prints. Peer libraries are optional here."""

import json
import marshal
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import datasets, measure, peers, report  # noqa: E402
from pyquarl import dump_bytes, lazy_load_bytes, load_bytes  # noqa: E402


@pytest.mark.parametrize("make", [
    lambda seed: datasets.records(300, seed),
    lambda seed: datasets.graph(200, seed),
    lambda seed: datasets.lazy_doc(300, seed),
], ids=["records", "graph", "lazy_doc"])
def test_generators_are_deterministic_per_seed(make):
    first = make(7)
    assert make(7) == first
    assert marshal.dumps(make(7)) == marshal.dumps(first)
    assert make(8) != first


def test_graph_repeats_values_but_never_objects():
    graph = datasets.graph(500)
    strings = list(datasets.iter_strings(graph))
    assert datasets.shared_strings(graph) == []
    # Plenty of equal values, so deduplication by value has work to do.
    assert len(set(strings)) * 5 < len(strings)
    assert len({id(s) for s in strings}) == len(strings)


def test_shared_strings_finds_reused_objects():
    name = datasets.fresh("shared-name")
    doc = {"a": [name, datasets.fresh("shared-name")], "b": {"k": name}}
    assert datasets.shared_strings(doc) == [name]
    # Key objects of like dicts are shared in ordinary data such as the records table.
    assert "city" in datasets.shared_strings(datasets.records(3))


@given(st.text(min_size=2, max_size=50))
def test_fresh_copies_are_equal_new_objects(text):
    copy = datasets.fresh(text)
    assert copy == text and copy is not text


def test_lazy_target_is_the_last_value_of_the_encoding(tmp_path):
    doc = datasets.lazy_doc_cached(400, cache_dir=tmp_path)
    assert datasets.lazy_doc_cached(400, cache_dir=tmp_path) == doc == datasets.lazy_doc(400)
    steps, expected = datasets.lazy_target(doc)
    last_record = doc["records"]["rec-0000399"]
    assert steps == ["records", "rec-0000399", "history", len(last_record["history"]) - 1]
    assert list(last_record)[-1] == "history" and list(doc)[-1] == "records"
    assert lazy_load_bytes(dump_bytes(doc), measure.to_path(steps)) == expected


def test_synthetic_datasets_round_trip_through_pyquarl():
    for obj in (datasets.records(200), datasets.graph(100)):
        assert load_bytes(dump_bytes(obj)) == obj


class Opaque:
    pass


def _lossy_dump(obj):
    return marshal.dumps(obj)


def _lossy_load(data):
    return [marshal.loads(data)]


@pytest.mark.parametrize("dump, load, obj, reason", [
    (marshal.dumps, marshal.loads, {"a": [1, 2.5, None]}, None),
    (marshal.dumps, marshal.loads, {"a": Opaque()}, "cannot encode: ValueError"),
    (marshal.dumps, lambda data: marshal.loads(data[:-1]), [1, 2, 3], "cannot decode its own output: "),
    (_lossy_dump, _lossy_load, {"a": 1}, "decoded value differs from the input"),
])
def test_check_reports_why_a_codec_sits_out(dump, load, obj, reason):
    codec = peers.Codec("x", dump, load, True, "0")
    encoded, why = peers.check(codec, obj)
    if reason is None:
        assert why is None and encoded == dump(obj)
    else:
        assert encoded is None and why.startswith(reason)


def test_installed_peers_take_the_json_datasets_and_orjson_refuses_bytes():
    pytest.importorskip("orjson")
    sample = datasets.records(50)
    for codec in peers.codecs():
        if not codec.missing:
            assert peers.check(codec, sample)[1] is None, codec.name
    orjson = next(c for c in peers.codecs() if c.name == "orjson")
    assert peers.check(orjson, {"blob": b"\x00"})[1].startswith("cannot encode")


def test_interleaving_rotates_which_library_goes_first():
    calls = []
    tasks = {f"{lib}.{op}": (calls.append, f"{lib}.{op}") for lib in "abc" for op in ("dump", "load")}
    samples = measure.run_interleaved(tasks, reps=4, group=2)
    assert all(len(times) == 4 for times in samples.values())
    firsts = calls[::6]
    assert firsts == ["a.dump", "b.dump", "c.dump", "a.dump"]
    assert calls[:6] == ["a.dump", "a.load", "b.dump", "b.load", "c.dump", "c.load"]


def _lib(dump, load, size, binary=True, na=None):
    if na:
        return {"binary": binary, "na": na, "size": None}
    return {"binary": binary, "na": None, "size": size, "dump": {"min_ns": dump}, "load": {"min_ns": load}}


@pytest.mark.parametrize("rivals, expected", [
    # pyquarl (dump 100, load 100, size 1000) against the rivals
    ({"msgspec": _lib(200, 150, 2000)}, [True, True, True]),
    ({"msgspec": _lib(90, 150, 2000)}, [False, True, True]),
    ({"msgspec": _lib(200, 100, 999)}, [True, False, False]),
    # a text format's size and an n/a peer's missing times do not count
    ({"orjson": _lib(200, 200, 10, binary=False), "cbor2": _lib(0, 0, 0, na="cannot encode")}, [True, True]),
])
def test_goals_compare_pyquarl_with_the_best_usable_peer(rivals, expected):
    libs = {peers.BASELINE: _lib(100, 100, 1000), **rivals}
    results = {"datasets": {"twitter": {"libs": libs, "reps": 1}}}
    checks = report.goals(results)
    assert [ok for ok, _ in checks] == expected
    assert [text.split(":")[0] for _, text in checks][:2] == ["dump_bytes fastest on twitter",
                                                              "load_bytes fastest on twitter"]


@pytest.mark.parametrize("lookup_ns, load_ns, stream_ns, dump_peak, load_extra, expected", [
    (50_000_000, 1_000_000_000, 105, 150, 0, [True, True, True, True, True, True]),
    (200_000_000, 1_000_000_000, 120, 250, 10_000_000, [False, False, False, False, False, False]),
])
def test_goals_for_lazy_streaming_and_memory(lookup_ns, load_ns, stream_ns, dump_peak, load_extra, expected):
    lookups = {op: {"min_ns": lookup_ns} for op in ("lazy_load_bytes", "bytes_check_if_contains")}
    lookups["load_bytes"] = {"min_ns": load_ns}
    results = {
        "lazy": {"doc_bytes": 100_000_000, "lookups": lookups,
                 "stream": {"in memory": {"min_ns": 100}, "writer=io.BytesIO()": {"min_ns": stream_ns}}},
        "memory": {"doc": {"output": 100, "dump_py_peak": dump_peak, "dump_rss_rise": 0,
                           "load_retained": 1_000_000, "load_py_peak": 1_000_000 + load_extra}},
    }
    assert [ok for ok, _ in report.goals(results)] == expected




TINY = measure.Settings(warmup=1, budget_s=0.0, min_reps=3, max_reps=3, lazy_reps=2, stream_reps=2)


def test_bench_dataset_times_usable_codecs_and_sets_others_aside():
    rows = datasets.records(20)
    stdlib = [c for c in peers.codecs() if c.name in (peers.BASELINE, "pickle", "marshal")]
    data = measure.bench_dataset("rows", rows, stdlib, TINY)
    assert data["reps"] == 3
    for lib in ("pyquarl", "pickle", "marshal"):
        for op in ("dump", "load"):
            timing = data["libs"][lib][op]
            assert timing["samples"] == len(timing["times_ns"]) == 3
            assert 0 < timing["min_ns"] <= timing["median_ns"]
    assert data["libs"]["pyquarl"]["size"] == len(dump_bytes(rows))

    marshal_codec = stdlib[2]
    sidelined = measure.bench_dataset("opaque", [Opaque()], [marshal_codec], TINY)["libs"]["marshal"]
    assert sidelined["na"].startswith("cannot encode") and "dump" not in sidelined


def test_lazy_section_and_memory_on_a_small_document(tmp_path, monkeypatch):
    monkeypatch.setattr(datasets, "OUT_DIR", tmp_path)
    obj = datasets.lazy_doc(500)
    doc = dump_bytes(obj)
    lazy = measure.bench_lazy(obj, doc, TINY)
    assert lazy["doc_bytes"] == len(doc) and lazy["records"] == 500
    assert set(lazy["stream"]) == {"in memory", "writer=io.BytesIO()", "writer=file"}
    assert list(tmp_path.iterdir()) == []  # the streamed file is removed
    mem = measure.memory(obj, doc)
    assert mem["output"] == len(doc)
    assert mem["dump_py_peak"] >= len(doc)
    assert mem["load_py_peak"] >= mem["load_retained"] > len(doc)


def test_quick_run_writes_markdown_and_json(tmp_path):
    try:
        datasets.json_dir()
    except FileNotFoundError:
        pytest.skip("json-bench files not available")
    from bench import run

    md, raw = tmp_path / "bench.md", tmp_path / "raw.json"
    assert run.main(["--quick", "--only", "twitter", "--peers", "pickle", "--budget", "0",
                     "--md", str(md), "--json", str(raw)]) == 0
    text = md.read_text()
    assert "**Partial run**" in text and "### twitter" in text and "| pickle |" in text
    assert "load_bytes fastest on twitter" in text and "## Lazy reader" not in text
    assert set(json.loads(raw.read_text())["datasets"]) == {"twitter"}
