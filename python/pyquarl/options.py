"""Turns the keyword options of the public functions into those of the native ones.

The only option of the public functions that the native functions do not
know is ``std_types``: it becomes ready custom types (merged under the
caller's own) and, when encoding, a fallback hook for dataclasses and
namedtuples. Every other option is passed on unchanged, so a mistyped option
fails with the native function's own message. Any new reader or writer of
documents calls one of these two functions on its options.
"""

from __future__ import annotations

from typing import Any

from . import std_types

__all__ = ["decode_options", "encode_options"]


def _merged(own: object, ready: dict[Any, Any]) -> object:
    """The caller's entries first (they win), then the ready ones they do not replace."""
    if own is None:
        return ready
    if not isinstance(own, dict):
        return own  # the native function reports the wrong type
    merged = dict(own)
    for key, value in ready.items():
        merged.setdefault(key, value)
    return merged


def _std_types_flag(options: dict[str, Any]) -> bool:
    if "std_types" not in options:
        return False
    value = options.pop("std_types")
    if type(value) is not bool:
        raise TypeError(f"std_types must be True or False, got {type(value).__name__}")
    return value


def encode_options(options: dict[str, Any]) -> dict[str, Any]:
    """Options for ``dump_bytes`` from those of ``dumps``/``dump`` (the dict is changed in place)."""
    if _std_types_flag(options):
        options["custom_types"] = _merged(options.get("custom_types"), std_types.ENCODERS)
        options["default"] = std_types.fallback(options.get("default"))
    return options


def decode_options(options: dict[str, Any]) -> dict[str, Any]:
    """Options for the decoding functions from those of ``loads``/``load``/``get``/``contains``."""
    if _std_types_flag(options):
        options["custom_types"] = _merged(options.get("custom_types"), std_types.LOADERS)
    return options
