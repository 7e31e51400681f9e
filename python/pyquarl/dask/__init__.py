"""pyquarl inside Dask (needs the ``dask`` extra: ``pip install "pyquarl[dask]"``).

- the ``"quarl"`` serialization family, registered on import: a client made
  with ``Client(serializers=SERIALIZERS, deserializers=SERIALIZERS)`` that has
  registered ``QuarlPlugin()`` sends what it can as quarl documents;
- ``read_documents`` and ``to_documents``: Bags over files of documents.
"""

try:
    from .bag import read_documents, to_documents
    from .serialization import FAMILY, SERIALIZERS, QuarlPlugin, register_type
except ModuleNotFoundError as error:
    if (error.name or "").partition(".")[0] not in ("dask", "distributed"):
        raise
    raise ModuleNotFoundError(
        f"pyquarl.dask needs {error.name}, which is not installed: pip install \"pyquarl[dask]\"", name=error.name
    ) from error

__all__ = ["FAMILY", "SERIALIZERS", "QuarlPlugin", "read_documents", "register_type", "to_documents"]
