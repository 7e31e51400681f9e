"""Decoded values as JSON text.

Values that JSON has no form for are written as follows:

* ``bytes`` become a base64 string (standard alphabet, padded);
* dict keys that are not strings become their JSON text (``1`` -> ``"1"``,
  ``True`` -> ``"true"``, ``None`` -> ``"null"``, ``1.5`` -> ``"1.5"``), bytes keys
  their base64 text; if two keys of one dict end up with the same name, both
  members are written, in order;
* NaN and the infinities become the strings ``"NaN"``, ``"Infinity"`` and
  ``"-Infinity"``, or the bare tokens Python's json module reads when
  ``allow_nan`` is set;
* integers of any size are written in full.
"""

from __future__ import annotations

import base64
import json
import math
from collections.abc import Sequence
from typing import Any

__all__ = ["to_json"]


def _base64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _default(obj: object) -> object:
    if isinstance(obj, (bytes, bytearray)):
        return _base64(bytes(obj))
    raise TypeError(f"{type(obj).__name__} values cannot be written as JSON")


def _float_text(value: float, allow_nan: bool) -> str:
    if math.isfinite(value):
        return float.__repr__(value)
    text = "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return text if allow_nan else json.dumps(text)


def _key_text(key: object) -> str:
    if isinstance(key, str):
        return key
    if key is True:
        return "true"
    if key is False:
        return "false"
    if key is None:
        return "null"
    if isinstance(key, int):
        return int.__repr__(key)
    if isinstance(key, float):
        return _float_text(key, allow_nan=True)
    if isinstance(key, (bytes, bytearray)):
        return _base64(bytes(key))
    raise TypeError(f"{type(key).__name__} keys cannot be written as JSON")


class _Writer:
    """A small JSON writer for the values the json module refuses.

    It writes the same layout as ``json.dumps`` with the same settings, but
    keeps every dict member even when two keys share a name.
    """

    def __init__(self, indent: int | None, sort_keys: bool, allow_nan: bool) -> None:
        self.indent = indent
        self.sort_keys = sort_keys
        self.allow_nan = allow_nan
        self.parts: list[str] = []

    def write(self, value: Any, level: int) -> None:
        out = self.parts
        if isinstance(value, str):
            out.append(json.dumps(value, ensure_ascii=False))
        elif value is None or value is True or value is False:
            out.append("null" if value is None else ("true" if value else "false"))
        elif isinstance(value, int):
            out.append(int.__repr__(value))
        elif isinstance(value, float):
            out.append(_float_text(value, self.allow_nan))
        elif isinstance(value, (bytes, bytearray)):
            out.append(json.dumps(_base64(bytes(value))))
        elif isinstance(value, (list, tuple)):
            self._container("[", "]", [(None, item) for item in value], level)
        elif isinstance(value, dict):
            members = [(_key_text(k), v) for k, v in value.items()]
            if self.sort_keys:
                members.sort(key=lambda member: member[0])
            self._container("{", "}", members, level)
        else:
            _default(value)

    def _container(
        self, open_: str, close: str, members: Sequence[tuple[str | None, Any]], level: int
    ) -> None:
        out = self.parts
        if not members:
            out.append(open_ + close)
            return
        out.append(open_)
        inner = outer = ""
        if self.indent is not None:
            inner = "\n" + " " * (self.indent * (level + 1))
            outer = "\n" + " " * (self.indent * level)
        colon = ":" if self.indent is None else ": "
        for i, (key, item) in enumerate(members):
            if i:
                out.append(",")
            out.append(inner)
            if key is not None:
                out.append(json.dumps(key, ensure_ascii=False) + colon)
            self.write(item, level + 1)
        out.append(outer + close)


def to_json(value: Any, *, indent: int | None = None, sort_keys: bool = False, allow_nan: bool = False) -> str:
    """The JSON text of a decoded value (without a final newline).

    Compact without ``indent``; with it, members on their own lines.
    """
    separators = (",", ":") if indent is None else (",", ": ")
    try:
        # The common case, at the json module's native speed.
        return json.dumps(
            value,
            indent=indent,
            separators=separators,
            sort_keys=sort_keys,
            allow_nan=allow_nan,
            ensure_ascii=False,
            default=_default,
        )
    except (TypeError, ValueError):
        # bytes keys, NaN or infinities in strict mode, or keys of mixed types to sort.
        writer = _Writer(indent, sort_keys, allow_nan)
        writer.write(value, 0)
        return "".join(writer.parts)
