"""pyquarl: compact binary serialization of Python values, with lazy lookups.

The submodules that the native extension imports at start-up are loaded
first, so ``import pyquarl._pyquarl`` finds them ready.
"""

from .exceptions import DeserializationError, QuarlError, SerializationError
from .serialize.settings import CustomType
from .deserialize.lazy_load import Idx
from ._pyquarl import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

__all__ = [
    "CustomType",
    "DeserializationError",
    "Idx",
    "QuarlError",
    "SerializationError",
    "bytes_check_if_contains",
    "dump_bytes",
    "lazy_load_bytes",
    "load_bytes",
]
