"""The benchmark's datasets: three JSON files and three generated documents.

Every generator is deterministic for a given size and seed, so two runs (or
two machines) measure the same values.
"""

from __future__ import annotations

import json
import marshal
import os
import random
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parent.parent
OUT_DIR = REPO / "bench" / "out"

JSON_FILES = ("twitter", "citm_catalog", "canada")
SYNTHETIC = ("records", "graph")
DATASETS = JSON_FILES + SYNTHETIC

SEED = 20240613
RECORDS_COUNT = 50_000
GRAPH_NODES = 12_000
# Records in the lazy reader's document: about 100 MB encoded, or 5 MB quick.
LAZY_RECORDS = 891_000
LAZY_RECORDS_QUICK = 44_500
# Bump when lazy_doc() changes, so stale cached copies are not reused.
LAZY_VERSION = 1


def json_dir() -> Path:
    """Folder of twitter.json, citm_catalog.json and canada.json."""
    candidates = [
        os.environ.get("QUARL_BENCH_JSON_DIR"),
        REPO.parent / "shared" / "data" / "json-bench",
        Path("/work/shared/data/json-bench"),
    ]
    for candidate in candidates:
        if candidate and (Path(candidate) / "twitter.json").is_file():
            return Path(candidate)
    raise FileNotFoundError(
        "json-bench files not found; set QUARL_BENCH_JSON_DIR to the folder holding twitter.json"
    )


def load_json(name: str) -> Any:
    with open(json_dir() / f"{name}.json", "rb") as f:
        return json.load(f)


# --- records: a table of like rows ------------------------------------------

CITIES = ["Oslo", "Lima", "Pune", "Kyiv", "Quito", "Riga", "Accra", "Dakar",
          "Hanoi", "Perth", "Tunis", "Porto", "Cusco", "Davao", "Izmir", "Malmo"]
STATUSES = ["active", "idle", "banned", "pending"]
TAGS = ["red", "green", "blue", "admin", "beta", "vip", "new", "legacy", "ops", "dev"]
FIRST = ["ada", "alan", "grace", "linus", "ken", "barbara", "edsger", "donald",
         "frances", "john", "margaret", "dennis", "radia", "tim", "guido"]
LAST = ["lovelace", "turing", "hopper", "torvalds", "thompson", "liskov", "dijkstra",
        "knuth", "allen", "backus", "hamilton", "ritchie", "perlman", "berners", "rossum"]


def records(n: int = RECORDS_COUNT, seed: int = SEED) -> list[dict[str, Any]]:
    """`n` rows of the same shape: ints of several widths, short repeated
    strings, a unique name per row, floats, bools, None and small lists."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        rows.append({
            "id": 1_000_000 + i,
            "name": f"{rng.choice(FIRST)}.{rng.choice(LAST)}.{i}",
            "city": rng.choice(CITIES),
            "status": rng.choice(STATUSES),
            "age": rng.randint(18, 90),
            "created_ms": 1_600_000_000_000 + rng.randrange(10**11),
            "score": round(rng.uniform(0, 100), 2),
            "balance": rng.uniform(-1e4, 1e6),
            "active": rng.random() < 0.7,
            "verified": rng.random() < 0.4,
            "manager": None if rng.random() < 0.3 else 1_000_000 + rng.randrange(n),
            "deleted_at": None,
            "tags": rng.sample(TAGS, rng.randint(0, 3)),
            "recent": [rng.randint(-500, 5000) for _ in range(rng.randint(1, 5))],
        })
    return rows


# --- graph: equal strings that are separate objects --------------------------

KINDS = ["service", "database", "queue", "cache", "gateway", "worker"]
RELS = ["calls", "reads", "writes", "publishes", "subscribes", "depends_on"]
LABELS = ["prod", "staging", "eu-west", "us-east", "critical", "internal", "public", "legacy"]
OWNERS = ["team-search", "team-billing", "team-infra", "team-growth", "team-data"]


def fresh(text: str) -> str:
    """A new str object equal to `text` (at least two characters long).

    Joining two pieces always allocates, unlike copy.copy, str() or a full
    slice, which hand back the same object."""
    if len(text) < 2:
        raise ValueError("one-character and empty strings are shared singletons")
    return "".join((text[:1], text[1:]))


def graph(n_nodes: int = GRAPH_NODES, seed: int = SEED) -> dict[str, Any]:
    """Nodes that name each other in their edges. Every string, keys
    included, is its own object, so no serializer can find repeats by
    object identity; equal values still repeat heavily."""
    rng = random.Random(seed)
    names = [f"node-{i:06d}" for i in range(n_nodes)]
    nodes = []
    for i in range(n_nodes):
        edges = []
        for _ in range(rng.randint(0, 6)):
            edges.append({
                fresh("to"): fresh(names[rng.randrange(n_nodes)]),
                fresh("rel"): fresh(rng.choice(RELS)),
                fresh("weight"): round(rng.random(), 4),
            })
        nodes.append({
            fresh("id"): fresh(names[i]),
            fresh("kind"): fresh(rng.choice(KINDS)),
            fresh("owner"): fresh(rng.choice(OWNERS)),
            fresh("labels"): [fresh(label) for label in rng.sample(LABELS, rng.randint(1, 3))],
            fresh("rank"): rng.randint(0, 10**6),
            fresh("edges"): edges,
        })
    return {fresh("name"): fresh("service-graph"), fresh("nodes"): nodes}


def iter_strings(obj: Any) -> Iterator[str]:
    """Every str occurrence in a tree of dicts, lists and tuples, keys included."""
    stack = [obj]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            yield item
        elif isinstance(item, dict):
            for key, value in item.items():
                stack.append(key)
                stack.append(value)
        elif isinstance(item, (list, tuple)):
            stack.extend(item)


def shared_strings(obj: Any) -> list[str]:
    """Strings that occur more than once in `obj` as the same object."""
    seen: set[int] = set()
    shared = []
    for text in iter_strings(obj):
        if id(text) in seen:
            shared.append(text)
        seen.add(id(text))
    return shared


# --- the lazy reader's large document ----------------------------------------

WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel",
         "india", "juliet", "kilo", "lima", "mike", "november", "oscar", "papa"]


def lazy_doc(n_records: int, seed: int = SEED) -> dict[str, Any]:
    """A dict of `n_records` records keyed by name. The last record's last
    field is the last value of the document (see `lazy_target`)."""
    rng = random.Random(seed)
    table = {}
    for i in range(n_records):
        table[f"rec-{i:07d}"] = {
            "id": i,
            "city": rng.choice(CITIES),
            "note": " ".join(rng.choices(WORDS, k=rng.randint(2, 8))),
            "score": rng.random() * 1000,
            "flags": [rng.random() < 0.5, rng.random() < 0.5],
            "parent": None if i % 7 == 0 else rng.randrange(i + 1),
            "history": [rng.randrange(100_000) for _ in range(rng.randint(3, 8))],
        }
    return {"version": LAZY_VERSION, "generator": "bench.datasets.lazy_doc", "records": table}


LEVELS = ["debug", "info", "info", "info", "warning", "error"]
EVENT_TAGS = ["auth", "billing", "cache", "db", "http", "queue", "search", "storage"]


def event_log(n_events: int, seed: int = SEED) -> dict[str, Any]:
    """A log of `n_events` events, each with a free-text message: the shape of
    application logs and message archives, where most of the bytes are text."""
    rng = random.Random(seed)
    vocab = [word + ending for word in WORDS + [c.lower() for c in CITIES] for ending in ("", "s", "ed", "ing")]
    events = [{
        "seq": i,
        "ts": 1_700_000_000 + 7 * i + rng.randrange(7),
        "level": rng.choice(LEVELS),
        "host": f"node-{rng.randrange(40):02d}",
        "message": " ".join(rng.choices(vocab, k=rng.randint(12, 40))),
        "tags": rng.sample(EVENT_TAGS, rng.randint(0, 3)),
    } for i in range(n_events)]
    return {"events": events}


def lazy_target(doc: dict[str, Any]) -> tuple[list[Any], Any]:
    """Path steps (plain ints stand for list indices) to the last value of
    `lazy_doc`'s document, and that value."""
    records_ = doc["records"]
    last_key = next(reversed(records_))
    history = records_[last_key]["history"]
    return ["records", last_key, "history", len(history) - 1], history[-1]


def lazy_doc_cached(n_records: int, seed: int = SEED, cache_dir: Path = OUT_DIR) -> dict[str, Any]:
    """`lazy_doc`, kept as a marshal file under `cache_dir` after the first run."""
    path = cache_dir / f"lazy-doc-v{LAZY_VERSION}-{n_records}-{seed}.marshal"
    if path.is_file():
        with open(path, "rb") as f:
            return marshal.load(f)
    doc = lazy_doc(n_records, seed)
    cache_dir.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(f".tmp{os.getpid()}")
    with open(tmp, "wb") as f:
        marshal.dump(doc, f)
    tmp.replace(path)
    return doc


LOADERS: dict[str, Callable[[], Any]] = {
    "twitter": lambda: load_json("twitter"),
    "citm_catalog": lambda: load_json("citm_catalog"),
    "canada": lambda: load_json("canada"),
    "records": records,
    "graph": graph,
}


def load(name: str) -> Any:
    return LOADERS[name]()
