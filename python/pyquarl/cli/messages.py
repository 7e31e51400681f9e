"""Library error messages reworded for the command line, where the Python
options they mention (``ignore_extra_data``, loaders in ``custom_types``) do
not exist."""

from __future__ import annotations

import re

__all__ = ["for_command_line"]

_EXTRA_DATA = re.compile(r"^Unexpected extra data, from position (\d+)\.")
_UNKNOWN_CUSTOM_TYPE = re.compile(r"^Unknown custom type\. .*identifier: `(.*)` \(type: `(.*)`\)$", re.DOTALL)


def for_command_line(error: BaseException) -> str:
    """The message of a decoding error as ``quarl`` prints it."""
    if isinstance(error, RecursionError):
        return "nested too deeply to decode"
    text = str(error)
    if match := _EXTRA_DATA.match(text):
        return f"unexpected data after the end of the document, from byte {match.group(1)}"
    if match := _UNKNOWN_CUSTOM_TYPE.match(text):
        return (
            f"holds a value of the custom type `{match.group(1)}`, which only a Python program "
            "that knows the type can decode"
        )
    return text
