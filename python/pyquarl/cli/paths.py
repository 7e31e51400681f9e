"""Lazy paths as written on the command line.

A step is a dict key (``users``), or ``#`` and digits for a list index
(``#3``). ``--json-key JSON`` inserts a key given as a JSON literal at its
place among the steps (``--json-key 5`` is the int key 5, ``--json-key
'"#3"'`` the str key ``#3``).
"""

from __future__ import annotations

import json
import re

from ..deserialize.lazy_load import Idx

__all__ = ["JSON_KEY_OPTION", "StepError", "mark_json_keys", "parse_steps", "show_steps"]

JSON_KEY_OPTION = "--json-key"

# Stands before a --json-key value once it has been turned into a positional
# step; no command-line argument can contain a NUL character.
_JSON_KEY_MARK = "\0"

_INDEX = re.compile(r"#([0-9]+)")


class StepError(ValueError):
    """A step that is neither a key, an index nor valid JSON."""


def mark_json_keys(args: list[str]) -> list[str]:
    """Turn each ``--json-key VALUE`` into one marked positional step.

    This keeps JSON keys in order among the plain steps. Nothing after a
    ``--`` is touched; a ``--json-key`` without a value is left for the parser
    to report.
    """
    out: list[str] = []
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            out.extend(args[i:])
            break
        if arg == JSON_KEY_OPTION and i + 1 < len(args):
            out.append(_JSON_KEY_MARK + args[i + 1])
            i += 2
            continue
        if arg.startswith(JSON_KEY_OPTION + "="):
            out.append(_JSON_KEY_MARK + arg[len(JSON_KEY_OPTION) + 1 :])
        else:
            out.append(arg)
        i += 1
    return out


def parse_steps(args: list[str]) -> list[object]:
    steps: list[object] = []
    for arg in args:
        if arg.startswith(_JSON_KEY_MARK):
            text = arg[len(_JSON_KEY_MARK) :]
            try:
                steps.append(json.loads(text))
            except ValueError as error:
                raise StepError(f"{JSON_KEY_OPTION} {text!r} is not valid JSON ({error})") from None
        elif arg.startswith("#"):
            match = _INDEX.fullmatch(arg)
            if match is None:
                raise StepError(
                    f"invalid step {arg!r}: an index is # followed by digits, like #3; "
                    f"for a key that starts with #, use {JSON_KEY_OPTION} '{json.dumps(arg)}'"
                )
            try:
                steps.append(Idx(int(match.group(1))))
            except (OverflowError, ValueError):
                raise StepError(f"invalid step {arg!r}: an index must be below 2**64") from None
        else:
            steps.append(arg)
    return steps


def show_steps(steps: list[object]) -> str:
    """The path as the user would write it, for messages."""
    parts = []
    for step in steps:
        if type(step) is Idx:
            parts.append(f"#{step.index}")
        elif isinstance(step, str) and not step.startswith("#") and step:
            parts.append(step)
        else:
            parts.append(f"{JSON_KEY_OPTION} {json.dumps(step)}")
    return " ".join(parts) if parts else "(the whole document)"
