"""Exceptions raised by pyquarl.

Both concrete classes derive from :class:`QuarlError`, itself a
:class:`ValueError`, so callers can catch every encoding and decoding problem
with one ``except`` clause.
"""

__all__ = ["QuarlError", "SerializationError", "DeserializationError"]


class QuarlError(ValueError):
    """Base class of every error pyquarl raises about the data itself."""


class SerializationError(QuarlError):
    """A value could not be encoded (unsupported type, failing converter, ...)."""


class DeserializationError(QuarlError):
    """Encoded data is corrupt, truncated, or a lazy path does not resolve."""
