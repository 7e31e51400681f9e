"""What a document holds and how its size compares with other encodings."""

from __future__ import annotations

import gzip
import json
import pickle
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from .jsonout import to_json

__all__ = ["Stats", "collect", "describe", "render"]

_LISTED_KEYS = 12


@dataclass
class Stats:
    quarl: int
    json: int
    json_gzip: int
    pickle: int
    distinct_strings: int
    values: int
    depth: int
    shape: str
    # The first few members of a top-level dict (JSON name, shape), and how many there are.
    members: list[tuple[str, str]] = field(default_factory=list)
    member_count: int = 0

    def as_dict(self) -> dict[str, object]:
        return {
            "bytes": {
                "quarl": self.quarl,
                "json": self.json,
                "json_gzip": self.json_gzip,
                "pickle": self.pickle,
            },
            "distinct_strings": self.distinct_strings,
            "values": self.values,
            "depth": self.depth,
            "top_level": self.shape,
            "members": [{"name": name, "shape": shape} for name, shape in self.members],
            "member_count": self.member_count,
        }


def _kind(value: object) -> str:
    return "None" if value is None else type(value).__name__


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def describe(value: Any) -> str:
    """A short phrase for a value: "dict with 3 keys", "list of 500 items, all dict", "str"."""
    if isinstance(value, dict):
        return f"dict with {_plural(len(value), 'key')}"
    if isinstance(value, (list, tuple)):
        text = f"list of {_plural(len(value), 'item')}"
        kinds = Counter(_kind(item) for item in value)
        if len(kinds) == 1:
            text += f", all {next(iter(kinds))}"
        elif kinds:
            text += ": " + ", ".join(f"{n:,} {kind}" for kind, n in kinds.most_common())
        return text
    return _kind(value)


def _walk(value: Any) -> tuple[int, int, int]:
    """(distinct non-empty strings, number of values, nesting depth), without recursion.

    The depth counts containers: 0 for a scalar, 1 for a flat list or dict.
    """
    strings: set[str] = set()
    count = 0
    depth = 0
    stack: list[tuple[Any, int]] = [(value, 0)]
    while stack:
        item, level = stack.pop()
        count += 1
        if isinstance(item, (dict, list, tuple)) and level + 1 > depth:
            depth = level + 1
        if isinstance(item, str):
            if item:
                strings.add(item)
        elif isinstance(item, dict):
            for key, member in item.items():
                if isinstance(key, str):
                    if key:
                        strings.add(key)
                else:
                    stack.append((key, level + 1))
                stack.append((member, level + 1))
        elif isinstance(item, (list, tuple)):
            stack.extend((member, level + 1) for member in item)
    return len(strings), count, depth


def _pickle_size(json_bytes: bytes) -> int:
    """The pickle of the value as JSON gives it, the way a JSON document is
    pickled in practice. The decoded document itself would pickle smaller:
    its equal strings are one object each, which pickle writes once."""
    return len(pickle.dumps(json.loads(json_bytes), protocol=pickle.HIGHEST_PROTOCOL))


def collect(value: Any, quarl_size: int) -> Stats:
    json_bytes = to_json(value, allow_nan=True).encode()
    distinct, count, depth = _walk(value)
    members: list[tuple[str, str]] = []
    if isinstance(value, dict):
        for key, member in list(value.items())[:_LISTED_KEYS]:
            members.append((to_json(key, allow_nan=True), describe(member)))
    return Stats(
        quarl=quarl_size,
        json=len(json_bytes),
        json_gzip=len(gzip.compress(json_bytes, compresslevel=6, mtime=0)),
        pickle=_pickle_size(json_bytes),
        distinct_strings=distinct,
        values=count,
        depth=depth,
        shape=describe(value),
        members=members,
        member_count=len(value) if isinstance(value, dict) else 0,
    )


def render(name: str, stats: Stats) -> str:
    def size_line(label: str, size: int) -> str:
        ratio = stats.quarl / size if size else 0.0
        share = "" if not size else (f"quarl is {100 * ratio:.1f}% of this" if ratio <= 1 else f"quarl is {ratio:.2f}x this")
        return f"  {label:<18}{size:>14,} bytes   {share}".rstrip()

    lines = [
        name,
        f"  {'quarl':<18}{stats.quarl:>14,} bytes",
        size_line("JSON", stats.json),
        size_line("JSON, gzip -6", stats.json_gzip),
        size_line("pickle", stats.pickle),
        f"  {'distinct strings':<18}{stats.distinct_strings:>14,}",
        f"  {'values':<18}{stats.values:>14,}",
        f"  {'nesting depth':<18}{stats.depth:>14,}",
        f"  {'top level':<18}{stats.shape}",
    ]
    width = max((len(key) for key, _ in stats.members), default=0)
    for key, shape in stats.members:
        lines.append(f"    {key:<{width}}  {shape}")
    if stats.member_count > len(stats.members):
        lines.append(f"    ... {stats.member_count - len(stats.members):,} more")
    return "\n".join(lines)
