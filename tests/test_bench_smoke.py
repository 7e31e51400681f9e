"""The benchmark scripts still run end to end, on tiny generated data and the stdlib peers."""

import dataclasses
import functools
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from bench import datasets, measure, run, std_types  # noqa: E402


def test_run_writes_markdown_and_json(tmp_path, monkeypatch):
    monkeypatch.setattr(datasets, "OUT_DIR", tmp_path)  # where the streaming benchmark writes its file
    monkeypatch.setattr(datasets, "lazy_doc_cached", functools.partial(datasets.lazy_doc_cached, cache_dir=tmp_path))
    monkeypatch.setitem(datasets.LOADERS, "records", lambda: datasets.records(40))
    monkeypatch.setitem(datasets.LOADERS, "graph", lambda: datasets.graph(30))
    monkeypatch.setattr(measure, "QUICK", dataclasses.replace(measure.QUICK, budget_s=0, lazy_records=300))
    monkeypatch.setattr(std_types, "COUNT", 30)
    md, raw = tmp_path / "bench.md", tmp_path / "raw.json"
    argv = ["--quick", "--only", "records", "--only", "graph", "--only", "std_types", "--only", "lazy",
            "--peers", "pickle,marshal"]
    assert run.main([*argv, "--md", str(md), "--json", str(raw)]) == 0
    text = md.read_text()
    assert "**Partial run**" in text and "### graph" in text and "| marshal |" in text and "## Lazy reader" in text
    assert "### std_types" in text and "30 dataclass records" in text
    results = json.loads(raw.read_text())
    assert set(results["datasets"]) == {"records", "graph", "std_types"} and results["lazy"]["records"] == 300
    assert set(results["datasets"]["std_types"]["libs"]) == {"pyquarl", "pickle"}
    assert sorted(path.suffix for path in tmp_path.iterdir()) == [".json", ".marshal", ".md"]  # no stream file left


def test_profile_script_runs():
    command = [sys.executable, str(ROOT / "bench" / "profile.py"), "dump", "graph", "-n", "2", "--no-symbols"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and "best" in result.stderr, result.stderr
