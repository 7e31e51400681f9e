"""Exceptions raised by pyquarl.

Both concrete classes derive from :class:`QuarlError`, itself a
:class:`ValueError`, so callers can catch every encoding and decoding problem
with one ``except`` clause.
"""

from __future__ import annotations

__all__ = ["CorruptDataError", "DeserializationError", "QuarlError", "SerializationError"]


class QuarlError(ValueError):
    """Base class of every error pyquarl raises about the data itself."""


class SerializationError(QuarlError):
    """A value could not be encoded (unsupported type, failing converter, ...)."""


class DeserializationError(QuarlError):
    """Encoded data is corrupt, truncated, or a lazy path does not resolve.

    ``msg`` is the message alone; ``pos`` is the byte offset in the document
    (marker included) where the damage was found, or ``None`` where no single
    offset applies (a path that does not resolve, a loader that failed).
    """

    msg: str
    pos: int | None

    def __init__(self, msg: str = "", pos: int | None = None, /) -> None:
        super().__init__(msg)
        self.msg = msg
        self.pos = pos

    def __reduce__(self) -> tuple[type[DeserializationError], tuple[str, int | None]]:
        # Keeps ``pos`` across pickling (``args`` holds the message alone).
        return (type(self), (self.msg, self.pos))


class CorruptDataError(DeserializationError, TypeError):
    """A byte of the document is not a flag or element type the format has.

    It is also a :class:`TypeError`, the class such damage raised before
    there was a class of its own, so existing ``except TypeError`` keeps working.
    """
