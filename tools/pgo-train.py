"""The training run of the profile-guided build.

The build compiles the extension twice: first instrumented, then optimised
with the counts this script collects by running the instrumented copy on
typical documents. The documents are a mix of what people store: nested JSON
(the demo's shop), tables of like records, a graph whose equal strings are
separate objects, coordinate lists, text in several scripts and the odd
bytes, big int or date. Every generator has a fixed seed, so two builds
learn the same profile.

    python tools/pgo-train.py PATH_TO_INSTRUMENTED_MODULE

Exits non-zero when a round trip goes wrong: a build whose own training
fails must not pass.
"""

from __future__ import annotations

import datetime as dt
import gzip
import io
import json
import random
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parent.parent
SEED = 20261206
ROUNDS = 12

WORDS = ["north", "south", "river", "stone", "cloud", "ember", "maple", "orbit",
         "pixel", "quartz", "amber", "delta", "lunar", "cedar", "harbor", "meadow"]
TEXTS = ["plain words", "café crème", "Grüße aus Köln", "Ελληνικά", "Привет, мир",
         "日本語のテキスト", "한국어", "emoji 🎉 party", "naïve façade", "שלום"]


def import_instrumented(module_file: Path, workdir: Path) -> Any:
    """The package from the source tree around the instrumented extension.

    The extension imports its companion modules while it starts, so it is
    loaded as part of a copy of the package rather than on its own."""
    package = workdir / "pyquarl"
    shutil.copytree(REPO / "python" / "pyquarl", package)
    shutil.copy2(module_file, package / module_file.name)
    sys.path.insert(0, str(workdir))
    import pyquarl

    return pyquarl


def fresh(text: str) -> str:
    """A new str object equal to `text` (two characters or more)."""
    return "".join((text[:1], text[1:]))


def shop() -> Any:
    with gzip.open(REPO / "examples" / "shop.json.gz", "rb") as f:
        return json.load(f)


def table(rng: random.Random, rows: int) -> list[dict[str, Any]]:
    return [{
        "id": 500_000 + i,
        "user": f"{rng.choice(WORDS)}_{rng.choice(WORDS)}_{i}",
        "zone": rng.choice(WORDS[:6]),
        "level": rng.randint(0, 120),
        "stamp": 1_700_000_000_000 + rng.randrange(10**10),
        "ratio": rng.random(),
        "amount": round(rng.uniform(-500, 5000), 2),
        "open": rng.random() < 0.5,
        "parent": None if rng.random() < 0.4 else rng.randrange(rows),
        "labels": rng.sample(WORDS, rng.randint(0, 3)),
        "recent": [rng.randint(-100, 70_000) for _ in range(rng.randint(0, 4))],
    } for i in range(rows)]


def keyed(rng: random.Random, count: int) -> dict[str, Any]:
    return {f"item-{i:06d}": {
        "rank": i,
        "title": " ".join(rng.choices(WORDS, k=rng.randint(1, 6))),
        "weight": rng.random() * 100,
        "seen": [rng.random() < 0.5, rng.random() < 0.5],
        "from": None if i % 5 == 0 else rng.randrange(i + 1),
        "counts": [rng.randrange(50_000) for _ in range(rng.randint(2, 7))],
    } for i in range(count)}


def graph(rng: random.Random, nodes: int) -> dict[str, Any]:
    names = [f"vertex-{i:05d}" for i in range(nodes)]
    return {fresh("nodes"): [{
        fresh("name"): fresh(names[i]),
        fresh("group"): fresh(rng.choice(WORDS)),
        fresh("tags"): [fresh(word) for word in rng.sample(WORDS, rng.randint(1, 3))],
        fresh("links"): [{
            fresh("target"): fresh(names[rng.randrange(nodes)]),
            fresh("kind"): fresh(rng.choice(WORDS[:4])),
            fresh("cost"): round(rng.random(), 3),
        } for _ in range(rng.randint(0, 5))],
    } for i in range(nodes)]}


def shapes(rng: random.Random, count: int) -> dict[str, Any]:
    return {"type": "Collection", "items": [{
        "type": "Shape",
        "name": rng.choice(WORDS),
        "rings": [[[round(rng.uniform(-180, 180), 6), round(rng.uniform(-90, 90), 6)]
                   for _ in range(rng.randint(4, 60))] for _ in range(rng.randint(1, 3))],
    } for _ in range(count)]}


def posts(rng: random.Random, count: int) -> dict[str, Any]:
    users = [{
        "id": rng.randrange(10**12),
        "handle": f"{rng.choice(WORDS)}{rng.randrange(1000)}",
        "bio": " ".join(rng.choices(TEXTS, k=rng.randint(0, 3))),
        "followers": rng.randrange(10**6),
        "verified": rng.random() < 0.1,
        "site": None,
    } for _ in range(count // 4 + 1)]
    return {"statuses": [{
        "id": 10**17 + rng.randrange(10**17),
        "text": " ".join(rng.choices(TEXTS + WORDS, k=rng.randint(3, 20))),
        "lang": rng.choice(["en", "de", "ja", "ru", "el", "he"]),
        "user": rng.choice(users),
        "reply_to": None if rng.random() < 0.7 else rng.randrange(10**17),
        "entities": {
            "tags": [{"text": rng.choice(WORDS), "indices": [rng.randrange(100), rng.randrange(100, 140)]}
                     for _ in range(rng.randint(0, 3))],
            "urls": [],
        },
        "favorited": False,
        "retweets": rng.randrange(5000),
    } for _ in range(count)], "meta": {"count": count, "next": "?max_id=1&q=x"}}


def odds_and_ends(rng: random.Random) -> dict[str, Any]:
    return {
        "flags": [rng.random() < 0.5 for _ in range(300)],
        "maybe": [None if rng.random() < 0.5 else rng.random() < 0.5 for _ in range(300)],
        "big": [rng.randrange(-(10**40), 10**40) for _ in range(50)],
        "blobs": [rng.randbytes(rng.randint(0, 300)) for _ in range(40)],
        "pairs": tuple((rng.randrange(100), rng.choice(TEXTS)) for _ in range(60)),
        "when": [dt.datetime(2020, 1, 1) + dt.timedelta(seconds=rng.randrange(10**8)) for _ in range(20)],
        "long_text": " ".join(rng.choices(TEXTS + WORDS, k=400)),
        "nested": [[[[[i, str(i)]]]] for i in range(50)],
        "by_number": {i: rng.random() for i in range(50)},
    }


def exercise(pyquarl: Any, name: str, doc: Any, comes_back: bool = True, **dump_options: Any) -> None:
    """Dumps and loads `doc`, streams it and reads values in it lazily.
    `comes_back`: it loads as an equal value (no tuples or dates in it)."""
    data, loaded = b"", None
    for _ in range(ROUNDS):
        data = pyquarl.dump_bytes(doc, **dump_options)
        loaded = pyquarl.load_bytes(data)
    if comes_back and loaded != doc:
        raise SystemExit(f"training: {name} does not load as it was dumped")
    pyquarl.load_bytes(data, use_tuples=True)
    # Streaming and the lazy reader weigh as much as the rest: code the
    # training reaches only a little is laid out as if it were cold.
    for threshold in (1 << 14, 1 << 20) * (ROUNDS // 2):
        stream = io.BytesIO()
        pyquarl.dump_bytes(doc, writer=stream, flush_threshold=threshold, **dump_options)
        if stream.getvalue() != data:
            raise SystemExit(f"training: {name} streamed differs from the in-memory dump")
    for path in lazy_paths(pyquarl, doc):
        for _ in range(ROUNDS):
            value = pyquarl.lazy_load_bytes(data, path)
            if not pyquarl.bytes_check_if_contains(data, path, include_falsy=True):
                raise SystemExit(f"training: {name} has no value at {path!r} (read {value!r})")


def lazy_paths(pyquarl: Any, doc: Any) -> list[list[Any]]:
    """Paths to a value near the start, the middle and the end of `doc`."""
    paths = []
    for fraction in (0.0, 0.5, 1.0):
        path: list[Any] = []
        node = doc
        while isinstance(node, (dict, list)) and node:
            if isinstance(node, dict):
                keys = list(node)
                key = keys[min(len(keys) - 1, int(fraction * len(keys)))]
                path.append(key)
            else:
                key = min(len(node) - 1, int(fraction * len(node)))
                path.append(pyquarl.Idx(key))
            node = node[key]
        paths.append(path)
    return paths


def main() -> None:
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    rng = random.Random(SEED)
    with tempfile.TemporaryDirectory() as workdir:
        pyquarl = import_instrumented(Path(sys.argv[1]).resolve(), Path(workdir))
        exercise(pyquarl, "shop", shop())
        exercise(pyquarl, "table", table(rng, 20_000))
        exercise(pyquarl, "short tables", [table(rng, rng.randint(1, 40)) for _ in range(300)])
        exercise(pyquarl, "keyed", keyed(rng, 20_000))
        exercise(pyquarl, "graph", graph(rng, 6_000))
        exercise(pyquarl, "shapes", shapes(rng, 400))
        exercise(pyquarl, "posts", posts(rng, 400))
        exercise(pyquarl, "odds and ends", odds_and_ends(rng), comes_back=False,
                 serialize_dates=True, allow_non_string_keys=True)


if __name__ == "__main__":
    main()
