"""The README's Dask, Kombu and Celery examples and examples/dask_example.py run as written."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed")
pytest.importorskip("celery")

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()


def blocks(section):
    text = README.split(f"## {section}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", text, re.DOTALL)


def test_the_readme_dask_examples_run(tmp_path, monkeypatch):
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from dask_example import write_log
    finally:
        sys.path.remove(str(ROOT / "examples"))
    family, bags = blocks("Inside Dask")
    (tmp_path / "logs").mkdir()
    write_log(tmp_path / "logs", 40)
    monkeypatch.chdir(tmp_path)
    exec(compile(bags, "README-bags", "exec"), {})
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [f"part-{i}.quarl" for i in range(4)]
    exec(compile(family, "README-family", "exec"), {})


def test_the_readme_kombu_and_celery_examples_run(capsys):
    celery_app, kombu_alone = blocks("Inside Kombu and Celery")
    namespace = {}
    exec(compile(celery_app, "README-celery", "exec"), namespace)
    assert namespace["app"].conf.task_serializer == "quarl"
    exec(compile(kombu_alone, "README-kombu", "exec"), {})
    assert capsys.readouterr().out == "{'id': 7, 2: b'\\x00raw'}\n"


def test_the_dask_example_runs():
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "dask_example.py"), "--events", "120"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["distinct users", "large orders", "revenue per country"]
