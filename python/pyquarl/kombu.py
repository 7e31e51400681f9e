# mypy: allow-subclassing-any
# mypy: disable-error-code="import-untyped, no-untyped-call, unused-ignore"
"""quarl as a Kombu serializer, and so as a Celery task and result serializer.

``register()`` adds the serializer ``"quarl"`` (content type
``application/x-quarl``, binary). With the ``celery`` extra installed, Kombu
also finds it on its own through the ``kombu.serializers`` entry point, so a
Celery app only names it::

    app.conf.update(task_serializer="quarl", result_serializer="quarl",
                    accept_content=["quarl"], result_accept_content=["quarl"])

It carries what :func:`pyquarl.dumps` does, with the same limits as JSON on
tuples (they arrive as lists) and none on dict keys; a value it cannot encode
(a datetime argument, a set) makes Kombu raise ``EncodeError`` when the message is sent.

This module imports nothing from Kombu until ``register()`` is called, so that
Kombu can load the entry point while it is importing itself.
"""

from __future__ import annotations

from typing import Any

from ._pyquarl import dump_bytes
from .api import loads

__all__ = ["CONTENT_ENCODING", "CONTENT_TYPE", "NAME", "decode", "encode", "register", "serializer"]

NAME = "quarl"
CONTENT_TYPE = "application/x-quarl"
CONTENT_ENCODING = "binary"


def encode(value: object) -> bytes:
    """The message body of ``value``: one quarl document."""
    return dump_bytes(value)


def decode(body: bytes | bytearray | memoryview | str) -> Any:
    """The value of a message body.

    A transport that hands bodies over as text gets them back to bytes the
    way Kombu does for its own binary serializers (``str_to_bytes``).
    """
    if isinstance(body, str):
        body = body.encode()
    return loads(body)


# The entry point's value: the arguments of kombu.serialization.register after the name.
serializer = (encode, decode, CONTENT_TYPE, CONTENT_ENCODING)


def register(name: str = NAME) -> None:
    """Register the serializer with Kombu's global registry under ``name``.

    Kombu disables untrusted content types until they are accepted; Celery
    accepts what its ``accept_content`` setting lists, a plain Kombu
    ``Consumer`` what its ``accept`` argument lists.
    """
    try:
        from kombu.serialization import register as kombu_register  # type: ignore[import-not-found]
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError(
            "pyquarl.kombu.register() needs kombu, which is not installed: pip install \"pyquarl[celery]\"",
            name=error.name,
        ) from error

    kombu_register(name, encode, decode, content_type=CONTENT_TYPE, content_encoding=CONTENT_ENCODING)
