"""pyquarl: compact binary serialization of Python values, with lazy lookups.

    >>> import pyquarl
    >>> data = pyquarl.dumps({"users": [{"name": "ada"}, {"name": "lin"}]})
    >>> pyquarl.loads(data)
    {'users': [{'name': 'ada'}, {'name': 'lin'}]}
    >>> pyquarl.get(data, "users", pyquarl.Idx(1), "name")
    'lin'

The submodules that the native extension imports at start-up are loaded
first, so ``import pyquarl._pyquarl`` finds them ready.
"""

from .exceptions import CorruptDataError, DeserializationError, QuarlError, SerializationError
from .serialize.settings import CustomType
from .deserialize.lazy_load import Idx
from ._pyquarl import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes, raw_decode
from .api import contains, dump, dumps, get, load, loads
from .documents import iter_documents
from .document import Document, get_many, iter_items, open
from .views import View

# A plain attribute: a module-level __getattr__ would keep the interpreter
# from caching lookups such as `pyquarl.dumps`, which every call pays.
__version__ = "0.1.0"

__all__ = [
    "CorruptDataError",
    "CustomType",
    "DeserializationError",
    "Document",
    "Idx",
    "QuarlError",
    "SerializationError",
    "View",
    "bytes_check_if_contains",
    "contains",
    "dump",
    "dump_bytes",
    "dumps",
    "get",
    "get_many",
    "iter_documents",
    "iter_items",
    "lazy_load_bytes",
    "load",
    "load_bytes",
    "loads",
    "open",
    "raw_decode",
]

