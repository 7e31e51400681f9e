"""pyquarl inside Dask (needs the ``dask`` extra: ``pip install pyquarl[dask]``).

- the ``"quarl"`` serialization family, registered on import: a client made
  with ``Client(serializers=SERIALIZERS, deserializers=SERIALIZERS)`` that has
  registered ``QuarlPlugin()`` sends what it can as quarl documents;
- ``read_documents`` and ``to_documents``: Bags over files of documents.
"""

from .bag import read_documents, to_documents
from .serialization import FAMILY, SERIALIZERS, QuarlPlugin, register_type

__all__ = ["FAMILY", "SERIALIZERS", "QuarlPlugin", "read_documents", "register_type", "to_documents"]
